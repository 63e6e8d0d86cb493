#pragma once
// The preview's spreadsheet grid: a read-only table of 101 rows and 27 columns whose row 0
// and column 0 are its fixed header row and column. Cells are addressed as in the grid
// (header row and column included); the header cells are the table's header sections, so
// they stay in view while the cells scroll. Colours are 0x00BBGGRR, widths twips (15 to
// a pixel), alignments the grid's values: 3 centre, 4 right, 6 left, all vertically
// centred.

#include <QString>
#include <QTableWidget>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QTableWidgetItem;

namespace tabulix::app {

// 0xRRGGBB as the grid takes colours, 0x00BBGGRR.
inline std::uint32_t GridColour(std::uint32_t rgb) {
  return ((rgb & 0xFF) << 16) | (rgb & 0xFF00) | ((rgb >> 16) & 0xFF);
}

class CMSFlexGrid : public QTableWidget {
  Q_OBJECT

 public:
  static constexpr int kRows = 101;
  static constexpr int kCols = 27;
  static constexpr int kTwipsPerPixel = 15;

  explicit CMSFlexGrid(QWidget* parent = nullptr);
  ~CMSFlexGrid() override;

  // The current cell, which the cell operations below act on. Values outside the grid
  // are kept, and the cell operations then do nothing.
  void SetRow(int row) { row_ = row; }
  void SetCol(int col) { col_ = col; }
  int GetRow() const { return row_; }
  int GetCol() const { return col_; }

  // Fill and text colour of the current cell; get gives 0 for a cell that has the grid's
  // own colour.
  void SetCellBackColor(std::uint32_t colour);
  std::uint32_t GetCellBackColor() const;
  void SetCellForeColor(std::uint32_t colour);
  std::uint32_t GetCellForeColor() const;
  // 3 centre, 4 right, 6 left; any other value leaves the alignment as it is.
  void SetCellAlignment(std::int16_t alignment);
  void SetCellFontBold(bool bold);

  // Width of column `col` in twips; column 0 is the header column.
  void SetColWidth(int col, int twips);
  int GetColWidth(int col) const;

  void SetTextMatrix(int row, int col, const QString& text);
  QString GetTextMatrix(int row, int col) const;

  // Every cell's text and formatting, the header cells' too; widths stay.
  void Clear();

  // What a cell shows, for tests: its colours (nothing when the grid's own), alignment
  // (0 when none was set) and weight.
  std::optional<std::uint32_t> CellBackColorAt(int row, int col) const;
  std::optional<std::uint32_t> CellForeColorAt(int row, int col) const;
  std::int16_t CellAlignmentAt(int row, int col) const;
  bool CellFontBoldAt(int row, int col) const;

 private:
  // The item behind grid cell (row, col), made when first needed; nullptr outside the grid.
  QTableWidgetItem* Item(int row, int col);
  const QTableWidgetItem* ItemAt(int row, int col) const;
  QTableWidgetItem* CurrentItem() { return Item(row_, col_); }
  // A header cell or cell that shows nothing yet.
  QTableWidgetItem* NewItem() const;

  int row_ = 0;
  int col_ = 0;
  // Column widths as set, in twips: pixels would round them.
  std::vector<int> widths_;
  // The corner cell (0, 0): the table draws no text there, but it keeps what it is given.
  std::unique_ptr<QTableWidgetItem> corner_;
};

}  // namespace tabulix::app
