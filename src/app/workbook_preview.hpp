#pragma once
// The preview of the recovered sheets: a row of sheet tabs along the bottom and, above
// them, five pages, each a grid showing the top-left 100 rows and 26 columns of one
// worksheet with its column widths, fills, text colours, alignment and bold type.
//
// Pages fill lazily: the first when a workbook arrives, every other one the first time its
// tab is selected, and each at most once per workbook. While the main window's load runs
// the preview is busy: selecting a tab then only switches pages, since the workbook is
// being rebuilt.

#include <QString>
#include <QWidget>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

class QTabBar;

namespace tabulix {
class XlsDocument;
}

namespace tabulix::app {

class CMSFlexGrid;
class SheetPreview2;

class WorkbookPreview : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kPageCount = 5;
  static constexpr int kShownRows = 100;
  static constexpr int kShownColumns = 26;

  // Makes the five pages, which live as long as the preview.
  explicit WorkbookPreview(QWidget* parent = nullptr);
  ~WorkbookPreview() override;

  // Every grid back to headers only, no workbook, not busy.
  void Prepare();
  // Every grid back to its headers (letters A-Z, numbers 1-100) and default widths; every
  // page unfilled.
  void ClearGrids();
  // Shows `document`: clears the grids and fills the first page. nullptr only drops the
  // workbook (the grids keep what they show until cleared). The document must outlive its
  // use here; the main window sets the preview busy while a load rebuilds it.
  void SetWorkbook(const XlsDocument* document);
  // Shows the page of the selected tab (the first when none is) in the area above the
  // tabs, filling it first when it is not the first page and the preview is not busy.
  void ShowPage();
  // Fills page `page` from the workbook unless it is filled already or there is none.
  void FillPage(int page);
  void SetBusy(bool busy) { busy_ = busy; }
  bool Busy() const { return busy_; }

  // The sheet tabs. Setting them does not change the page shown; the user's selecting a
  // tab does.
  void DeleteAllItems();
  // Inserts a tab named `text` (shown as it is, ampersands included); returns its index.
  int InsertItem(int position, const QString& text);
  int ItemCount() const;
  QString ItemText(int index) const;
  void SetCurSel(int index);
  // The selected tab, -1 when there is none.
  int GetCurSel() const;

  // The sheets the tabs show, in order: (index among document.report().sheets_, which is
  // also the index of its worksheet and of its view, and its name). The first five
  // worksheets of the report: chart and macro sheets have no cells to show, and a page
  // finds its sheet by this index rather than by a name that a damaged file may give twice.
  static std::vector<std::pair<std::size_t, QString>> PreviewSheets(const XlsDocument& document);

  // For tests.
  CMSFlexGrid& Grid(int page);
  bool PageFilled(int page) const;
  // The page shown, -1 when none is.
  int VisiblePage() const;

  QSize sizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  // The area above the tabs that a page takes.
  QRect DisplayArea() const;
  void PlaceTabs();
  // Sets grid cell (row + 1, column + 1) to `text` with the look of XF `xf`.
  void FormatCell(CMSFlexGrid& grid, std::uint32_t row, std::uint32_t column, const QString& text,
                  std::uint16_t xf);

  QTabBar* tabs_;
  std::array<SheetPreview2*, kPageCount> pages_{};
  std::array<bool, kPageCount> filled_{};
  bool busy_ = false;
  const XlsDocument* document_ = nullptr;
  // The report's index of the sheet each page shows, from the workbook set.
  std::vector<std::size_t> pageSheets_;
  // The tabs are being set by the program, not selected by the user.
  bool settingTabs_ = false;
};

}  // namespace tabulix::app
