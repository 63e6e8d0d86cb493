#include "document/worksheet_view.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

#include "biff/cell_block.hpp"
#include "biff/rk.hpp"
#include "biff/text_encoding.hpp"
#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"

namespace tabulix {

namespace {

// Positions a sheet can have: rows 0..65535, columns 0..255.
constexpr std::uint32_t kSheetRows = 0x10000;
constexpr std::uint32_t kSheetColumns = 0x100;

constexpr std::string_view kFormulaText = "#FORMULA";

// Truncation toward zero that saturates: a cell may hold any double, NaN included, and
// converting one outside the 32-bit range is undefined.
std::int32_t TruncateToInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  if (value <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

// An RK number shows as an integer only when its value is whole. The integer form with the
// divide-by-100 flag holds hundredths (123 stands for 1.23), which an integer would cut.
void SetRk(ViewCell& cell, std::uint32_t rk) {
  const bool hundredths = (rk & 0x1) != 0;
  const std::int32_t raw = static_cast<std::int32_t>(rk) >> 2;
  if (cells::RkIsInteger(rk) && (!hundredths || raw % 100 == 0)) {
    cell.SetInteger(hundredths ? raw / 100 : raw);
  } else {
    cell.SetDouble(cells::RkToDouble(rk));
  }
}

}  // namespace

std::int32_t ViewCell::GetInteger() const {
  switch (type_) {
    case kInteger:
      return integer_;
    case kDouble:
      return TruncateToInt32(double_);
    default:
      return 0;
  }
}

double ViewCell::GetDouble() const {
  switch (type_) {
    case kInteger:
      return static_cast<double>(integer_);
    case kDouble:
      return double_;
    default:
      return 0;
  }
}

std::optional<std::string_view> ViewCell::GetString() const {
  if (type_ != kNarrow || narrow_.empty()) return std::nullopt;
  return std::string_view(narrow_);
}

std::optional<std::u16string_view> ViewCell::GetWString() const {
  if (type_ != kWide || wide_.empty()) return std::nullopt;
  return std::u16string_view(wide_);
}

std::optional<std::string> ViewCell::TextUtf8() const {
  if (type_ == kNarrow && !narrow_.empty()) return narrow_;
  if (type_ == kWide && !wide_.empty()) return text::Utf16ToUtf8(wide_);
  return std::nullopt;
}

void ViewCell::SetInteger(std::int32_t value) {
  Clear();
  type_ = kInteger;
  integer_ = value;
}

void ViewCell::SetDouble(double value) {
  Clear();
  type_ = kDouble;
  double_ = value;
}

void ViewCell::SetString(std::string_view utf8) {
  Clear();
  if (utf8.empty()) return;
  narrow_.assign(utf8);
  type_ = kNarrow;
}

void ViewCell::SetWString(std::u16string_view text) {
  Clear();
  if (text.empty()) return;
  wide_.assign(text);
  type_ = kWide;
}

void ViewCell::Clear() {
  type_ = kEmpty;
  integer_ = 0;
  double_ = 0;
  narrow_.clear();
  wide_.clear();
}

WorksheetView::WorksheetView(const Workbook& globals, const Worksheet& sheet,
                             std::uint32_t sheetIndex, std::uint32_t maxRows,
                             std::uint32_t maxColumns)
    : sheetIndex_(sheetIndex) {
  FillFromCellTable(globals, sheet, maxRows, maxColumns);
}

ViewCell* WorksheetView::Cell(std::uint32_t row, std::uint32_t column) {
  if (row >= kSheetRows || column >= kSheetColumns) return nullptr;
  if (column >= columnCount_) {
    columnCount_ = column + 1;
    for (auto& cells : rows_) cells.resize(columnCount_);
  }
  if (row >= rowCount_) {
    rowCount_ = row + 1;
    rows_.resize(rowCount_, std::vector<ViewCell>(columnCount_));
  }
  return &rows_[row][column];
}

const ViewCell* WorksheetView::CellAt(std::uint32_t row, std::uint32_t column) const {
  if (row >= rowCount_ || column >= columnCount_) return nullptr;
  return &rows_[row][column];
}

void WorksheetView::FillFromCellTable(const Workbook& globals, const Worksheet& sheet,
                                      std::uint32_t maxRows, std::uint32_t maxColumns) {
  // The sizes are the last used row and column plus one, so a sheet using its last row
  // states exactly 65,536 rows (and its last column 256 columns). Anything beyond is a
  // damaged DIMENSIONS that cannot be trusted: the view is then left empty rather than
  // sized from it.
  const std::uint32_t rowsUsed = sheet.dimensions_.lastRowPlus1_;
  const std::uint32_t columnsUsed = sheet.dimensions_.lastColumnPlus1_;
  rowCount_ = rowsUsed > kSheetRows ? 0 : std::min(rowsUsed, maxRows);
  columnCount_ = columnsUsed > kSheetColumns ? 0 : std::min(columnsUsed, maxColumns);
  rows_.assign(rowCount_, std::vector<ViewCell>(columnCount_));

  const auto& strings = globals.sst_.strings_;
  // Every record is looked at, not only those up to the first row past the corner: a
  // table read whole keeps the order its writer chose, and real files go back to earlier
  // rows in later blocks. Skipping a record costs two comparisons.
  for (const auto& block : sheet.cellTable_.rowBlocks_) {
    for (const cells::CellBlock& record : block.cellBlocks_) {
      const std::uint32_t row = record.Row();
      const std::uint32_t column = record.Column();
      if (row >= rowCount_ || column >= columnCount_) continue;
      try {
        ViewCell& cell = rows_[row][column];
        switch (record.type_) {
          case cells::BoolErr::kCode:
            if (const auto* boolErr = record.As<cells::BoolErr>(); boolErr && !boolErr->IsError()) {
              cell.SetInteger(boolErr->BoolValue() ? 1 : 0);
              cell.formatIndex_ = boolErr->xf_;
            }
            break;
          case cells::RK::kCode:
            if (const auto* rk = record.As<cells::RK>()) {
              SetRk(cell, rk->rk_);
              cell.formatIndex_ = rk->xf_;
            }
            break;
          case cells::Number::kCode:
            if (const auto* number = record.As<cells::Number>()) {
              cell.SetDouble(number->value());
              cell.formatIndex_ = number->xf_;
            }
            break;
          case cells::Formula::kCode:
          case cells::Formula::kBiff3Code:
          case cells::Formula::kBiff4Code:
            if (const auto* formula = record.As<cells::Formula>()) {
              cell.SetString(kFormulaText);
              cell.formatIndex_ = formula->xf_;
            }
            break;
          case cells::MulRK::kCode:
            if (const auto* mulRk = record.As<cells::MulRK>()) {
              // Integer entries show whatever their XF index: the repair points cells whose
              // XF record is gone at XF 0, and their values must not vanish from the view.
              std::uint32_t at = column;
              for (const auto& entry : mulRk->entries()) {
                if (at > mulRk->lastColumn_ || at >= columnCount_) break;
                ViewCell& target = rows_[row][at];
                SetRk(target, entry.rk_);
                target.formatIndex_ = entry.xf_;
                ++at;
              }
            }
            break;
          case cells::LabelSST::kCode:
            if (const auto* label = record.As<cells::LabelSST>();
                label != nullptr && label->sstIndex_ < strings.size()) {
              const LargeString& text = strings[label->sstIndex_];
              if (text.IsWide()) {
                cell.SetWString(text.wide_);
              } else {
                // 8-bit characters are Latin-1; narrow text here is UTF-8.
                cell.SetString(text::Latin1ToUtf8(text.narrow_));
              }
              cell.formatIndex_ = label->xf_;
            }
            break;
          default:
            // Blanks, LABEL and RSTRING cells stay empty in the view.
            break;
        }
      } catch (const std::exception&) {
        // One cell that cannot be shown must not cost the preview the others.
      }
    }
  }
}

}  // namespace tabulix
