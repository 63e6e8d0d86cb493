#pragma once
// What the preview shows of a worksheet: the top-left corner of its cells (at most 101
// rows and 26 columns) as plain values, built once from the cell table after a load. The
// preview never reads records itself.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tabulix {

class Workbook;
class Worksheet;

// One cell of a view: empty, an integer, a double, a narrow text or a wide text, and the
// index of the cell's XF record. It holds one value at a time.
class ViewCell {
 public:
  enum Type : std::int32_t { kEmpty = 0, kInteger = 1, kDouble = 2, kNarrow = 3, kWide = 4 };

  std::int32_t Type() const { return type_; }
  // The integer; a double truncated toward zero; 0 for the other types.
  std::int32_t GetInteger() const;
  // The double; an integer as a double; 0 for the other types.
  double GetDouble() const;
  // The narrow text (UTF-8) of a narrow-text cell, else nothing.
  std::optional<std::string_view> GetString() const;
  // The 16-bit text of a wide-text cell, else nothing.
  std::optional<std::u16string_view> GetWString() const;
  // The text of either text type as UTF-8, else nothing.
  std::optional<std::string> TextUtf8() const;

  void SetInteger(std::int32_t value);
  void SetDouble(double value);
  // An empty text empties the cell.
  void SetString(std::string_view utf8);
  void SetWString(std::u16string_view text);
  void Clear();

  std::uint16_t formatIndex_ = 0;

 private:
  std::int32_t type_ = kEmpty;
  std::int32_t integer_ = 0;
  double double_ = 0;
  std::string narrow_;
  std::u16string wide_;
};

class WorksheetView {
 public:
  static constexpr std::uint32_t kMaxRows = 101;
  static constexpr std::uint32_t kMaxColumns = 26;

  // Builds the view of `sheet`, the worksheet at `sheetIndex` of the workbook whose globals
  // (for the shared strings) are `globals`: its top-left `maxRows` by `maxColumns` corner.
  WorksheetView(const Workbook& globals, const Worksheet& sheet, std::uint32_t sheetIndex,
                std::uint32_t maxRows = kMaxRows, std::uint32_t maxColumns = kMaxColumns);

  std::uint32_t SheetIndex() const { return sheetIndex_; }
  std::uint32_t RowCount() const { return rowCount_; }
  std::uint32_t ColumnCount() const { return columnCount_; }

  // The cell at (row, column), growing the view when it lies beyond; nullptr when row >
  // 65535 or column > 255.
  ViewCell* Cell(std::uint32_t row, std::uint32_t column);
  // The cell when it lies inside the view, else nullptr; never grows the view.
  const ViewCell* CellAt(std::uint32_t row, std::uint32_t column) const;

 private:
  void FillFromCellTable(const Workbook& globals, const Worksheet& sheet, std::uint32_t maxRows,
                         std::uint32_t maxColumns);

  std::uint32_t sheetIndex_;
  std::uint32_t rowCount_ = 0;
  std::uint32_t columnCount_ = 0;
  std::vector<std::vector<ViewCell>> rows_;
};

}  // namespace tabulix
