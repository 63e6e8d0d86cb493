#include "app/workbook_preview.hpp"

#include <QPainter>
#include <QResizeEvent>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>
#include <algorithm>
#include <exception>

#include "app/dialog_units.hpp"
#include "app/flex_grid.hpp"
#include "app/sheet_preview.hpp"
#include "base/log.hpp"
#include "document/cell_text.hpp"
#include "document/preview_format.hpp"
#include "document/xls_document.hpp"

namespace tabulix::app {

namespace {

constexpr std::int32_t kGridCode = 10002;
constexpr int kHeaderColumnTwips = 400;
constexpr int kColumnTwips = 1000;
// The frame a page sits in, inside the preview's edge.
constexpr int kFrame = 2;

// Tabs all as wide as the widest, but together no wider than the preview holds: a longer
// name is cut with an ellipsis (its tab's tip shows it whole).
class FixedWidthTabBar : public QTabBar {
 public:
  explicit FixedWidthTabBar(QWidget* parent) : QTabBar(parent) {}

 protected:
  QSize tabSizeHint(int index) const override {
    QSize hint = QTabBar::tabSizeHint(index);
    int widest = 0;
    for (int i = 0; i < count(); ++i) widest = std::max(widest, QTabBar::tabSizeHint(i).width());
    const QWidget* preview = parentWidget();
    const int room = preview != nullptr && preview->width() > 0
                         ? preview->width() / WorkbookPreview::kPageCount
                         : widest;
    hint.setWidth(std::min(widest, std::max(room, 1)));
    return hint;
  }
  QSize minimumTabSizeHint(int index) const override { return tabSizeHint(index); }
};

// A tab shows '&' as a mnemonic unless it is doubled.
QString TabLabel(const QString& name) {
  QString label = name;
  return label.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

}  // namespace

WorkbookPreview::WorkbookPreview(QWidget* parent)
    : QWidget(parent), tabs_(new FixedWidthTabBar(this)) {
  tabs_->setShape(QTabBar::RoundedSouth);
  tabs_->setExpanding(false);
  tabs_->setElideMode(Qt::ElideRight);
  tabs_->setUsesScrollButtons(false);
  connect(tabs_, &QTabBar::currentChanged, this, [this](int) {
    if (!settingTabs_) ShowPage();
  });
  for (SheetPreview2*& page : pages_) {
    page = new SheetPreview2(this);
    page->hide();
  }
  resize(sizeHint());
  Prepare();
}

WorkbookPreview::~WorkbookPreview() = default;

QSize WorkbookPreview::sizeHint() const { return DialogRect(0, 0, 364, 216).size(); }

void WorkbookPreview::Prepare() {
  filled_.fill(false);
  ClearGrids();
  document_ = nullptr;
  pageSheets_.clear();
  busy_ = false;
}

void WorkbookPreview::ClearGrids() {
  for (std::size_t p = 0; p < pages_.size(); ++p) {
    CMSFlexGrid& grid = pages_[p]->Grid();
    grid.setUpdatesEnabled(false);
    grid.Clear();
    filled_[p] = false;
    grid.SetColWidth(0, kHeaderColumnTwips);
    grid.SetRow(0);
    grid.SetCol(0);
    grid.SetCellAlignment(kPreviewAlignCentre);
    grid.SetCellFontBold(true);
    for (int j = 1; j <= kShownColumns; ++j) {
      grid.SetColWidth(j, kColumnTwips);
      grid.SetRow(0);
      grid.SetCol(j);
      grid.SetCellAlignment(kPreviewAlignCentre);
      grid.SetCellFontBold(true);
      grid.SetTextMatrix(0, j, QString(QChar(u'A' + j - 1)));
    }
    for (int j = 1; j <= kShownRows; ++j) {
      grid.SetRow(j);
      grid.SetCol(0);
      grid.SetCellAlignment(kPreviewAlignCentre);
      grid.SetCellFontBold(true);
      grid.SetTextMatrix(j, 0, QString::number(j));
    }
    grid.SetTextMatrix(0, 0, QStringLiteral(" "));
    grid.setUpdatesEnabled(true);
  }
}

void WorkbookPreview::SetWorkbook(const XlsDocument* document) {
  document_ = document;
  pageSheets_.clear();
  if (document == nullptr) return;
  for (const auto& [sheet, name] : PreviewSheets(*document)) pageSheets_.push_back(sheet);
  ClearGrids();
  FillPage(0);
}

void WorkbookPreview::ShowPage() {
  int page = tabs_->currentIndex();
  if (page < 0 || page >= kPageCount) page = 0;
  const QRect area = DisplayArea();
  for (SheetPreview2* each : pages_) {
    each->hide();
    each->setGeometry(area);
  }
  pages_[static_cast<std::size_t>(page)]->show();
  if (page != 0 && !busy_) FillPage(page);
}

void WorkbookPreview::FillPage(int page) {
  if (page < 0 || page >= kPageCount) return;
  const auto p = static_cast<std::size_t>(page);
  if (filled_[p] || document_ == nullptr) return;
  CMSFlexGrid& grid = pages_[p]->Grid();
  // A page with no worksheet behind it keeps its headers and counts as filled.
  filled_[p] = true;
  if (p >= pageSheets_.size()) return;
  const std::size_t sheet = pageSheets_[p];
  const XlsDocument& document = *document_;
  if (sheet >= document.sheetViews().size() || sheet >= document.worksheets().size()) return;

  grid.setUpdatesEnabled(false);
  try {
    for (const auto& [column, twips] :
         PreviewColumnWidths(document.worksheets()[sheet], kShownColumns)) {
      grid.SetColWidth(static_cast<int>(column) + 1, static_cast<int>(twips));
    }
  } catch (const std::exception&) {
    WriteLog(kGridCode, 0, "Could Not Set column width", true);
  }
  try {
    const WorksheetView& view = document.sheetViews()[sheet];
    const std::uint32_t rows = std::min<std::uint32_t>(view.RowCount(), kShownRows);
    const std::uint32_t columns = std::min<std::uint32_t>(view.ColumnCount(), kShownColumns);
    for (std::uint32_t r = 0; r < rows; ++r) {
      for (std::uint32_t c = 0; c < columns; ++c) {
        const ViewCell* cell = view.CellAt(r, c);
        if (cell == nullptr) continue;
        const std::optional<std::string> text = PreviewCellText(document.workbook(), *cell);
        if (!text) continue;
        FormatCell(grid, r, c, QString::fromStdString(*text), cell->formatIndex_);
      }
    }
  } catch (const std::exception&) {
    WriteLog(kGridCode, 0, "Could Not Set data to grid", true);
  }
  grid.setUpdatesEnabled(true);
}

void WorkbookPreview::FormatCell(CMSFlexGrid& grid, std::uint32_t row, std::uint32_t column,
                                 const QString& text, std::uint16_t xf) {
  const int gridRow = static_cast<int>(row) + 1;
  const int gridCol = static_cast<int>(column) + 1;
  grid.SetRow(gridRow);
  grid.SetCol(gridCol);
  const PreviewFormat format = PreviewFormatOf(document_->workbook(), xf);
  if (format.fill) grid.SetCellBackColor(GridColour(*format.fill));
  if (format.alignment != 0) grid.SetCellAlignment(format.alignment);
  if (format.text) grid.SetCellForeColor(GridColour(*format.text));
  if (format.bold) grid.SetCellFontBold(true);
  grid.SetTextMatrix(gridRow, gridCol, text);
}

std::vector<std::pair<std::size_t, QString>> WorkbookPreview::PreviewSheets(
    const XlsDocument& document) {
  std::vector<std::pair<std::size_t, QString>> shown;
  const auto& sheets = document.report().sheets_;
  // A report of a load that stopped may name sheets that have no view to show.
  const std::size_t viewed =
      std::min({sheets.size(), document.sheetViews().size(), document.worksheets().size()});
  for (std::size_t k = 0; k < viewed && shown.size() < kPageCount; ++k) {
    if (!sheets[k].IsWorksheet()) continue;
    QString name = QString::fromStdString(sheets[k].name_);
    if (name.isEmpty()) name = QStringLiteral("Sheet %1").arg(k + 1);
    shown.emplace_back(k, name);
  }
  return shown;
}

void WorkbookPreview::DeleteAllItems() {
  settingTabs_ = true;
  while (tabs_->count() > 0) tabs_->removeTab(tabs_->count() - 1);
  settingTabs_ = false;
}

int WorkbookPreview::InsertItem(int position, const QString& text) {
  settingTabs_ = true;
  const int index = tabs_->insertTab(position, TabLabel(text));
  tabs_->setTabData(index, text);
  tabs_->setTabToolTip(index, text);
  settingTabs_ = false;
  PlaceTabs();
  return index;
}

int WorkbookPreview::ItemCount() const { return tabs_->count(); }

QString WorkbookPreview::ItemText(int index) const { return tabs_->tabData(index).toString(); }

void WorkbookPreview::SetCurSel(int index) {
  settingTabs_ = true;
  tabs_->setCurrentIndex(index);
  settingTabs_ = false;
}

int WorkbookPreview::GetCurSel() const { return tabs_->currentIndex(); }

CMSFlexGrid& WorkbookPreview::Grid(int page) {
  return pages_.at(static_cast<std::size_t>(page))->Grid();
}

bool WorkbookPreview::PageFilled(int page) const {
  return page >= 0 && page < kPageCount && filled_[static_cast<std::size_t>(page)];
}

int WorkbookPreview::VisiblePage() const {
  for (std::size_t p = 0; p < pages_.size(); ++p) {
    if (!pages_[p]->isHidden()) return static_cast<int>(p);
  }
  return -1;
}

QRect WorkbookPreview::DisplayArea() const {
  const int tabHeight = tabs_->sizeHint().height();
  return QRect(0, 0, width(), std::max(height() - tabHeight, 0))
      .adjusted(kFrame, kFrame, -kFrame, -kFrame);
}

void WorkbookPreview::PlaceTabs() {
  const int tabHeight = tabs_->sizeHint().height();
  tabs_->setGeometry(0, std::max(height() - tabHeight, 0), width(), tabHeight);
}

void WorkbookPreview::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  PlaceTabs();
  const QRect area = DisplayArea();
  for (SheetPreview2* page : pages_) page->setGeometry(area);
}

void WorkbookPreview::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  QStyleOptionTabWidgetFrame frame;
  frame.initFrom(this);
  frame.rect = DisplayArea().adjusted(-kFrame, -kFrame, kFrame, kFrame);
  frame.shape = QTabBar::RoundedSouth;
  style()->drawPrimitive(QStyle::PE_FrameTabWidget, &frame, &painter, this);
}

}  // namespace tabulix::app
