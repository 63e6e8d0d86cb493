// The worksheet record selector: decides whether one candidate record of a damaged stream
// is a worksheet record that can be taken into the current worksheet, reads it in, and
// indexes ROW and cell records for the cell-table rebuild.

#include <algorithm>
#include <string_view>

#include "base/log.hpp"
#include "recovery/record_selectors.hpp"
#include "recovery/selector_support.hpp"

namespace tabulix {

namespace {

constexpr std::string_view kSkipped =
    "Record skipped in XlsDocument::worksheetRecordSelector, ObjOffset = ";
constexpr std::string_view kUnknown =
    "Record skipped as default value in XlsDocument::worksheetRecordSelector ObjOffset = ";
constexpr std::string_view kFailed =
    "Exception in XlsDocument::worksheetRecordSelector:: ObjOffset = ";

// BIFF8 has 256 columns; a larger column number is damage.
constexpr std::uint32_t kLastColumn = 255;

enum class Kind { NotOurs, Marker, Simple, Cell, ColInfo, MergedCells, Row, Bof };

struct Rule {
  Kind kind = Kind::NotOurs;
  std::uint32_t length = 0;  // bytes to step over before the next header; 0: no test
};

Rule RuleFor(std::uint16_t code, std::uint32_t size) {
  const std::uint32_t sized = size + 4;
  switch (code) {
    case 0x000A:  // EOF
    case 0x00D7:  // DBCELL
      return {Kind::Marker, 0};
    case 0x000C:  // CALCCOUNT
    case 0x000D:  // CALCMODE
    case 0x000F:  // REFMODE
    case 0x0011:  // ITERATION
    case 0x002A:  // PRINTHEADERS
    case 0x002B:  // PRINTGRIDLINES
    case 0x0055:  // DEFCOLWIDTH
    case 0x005F:  // SAVERECALC
    case 0x0081:  // WSBOOL
    case 0x0082:  // GRIDSET
    case 0x0083:  // HCENTER
    case 0x0084:  // VCENTER
      return {Kind::Simple, 6};
    case 0x0225:
      return {Kind::Simple, 8};  // DEFAULTROWHEIGHT
    case 0x0010:
      return {Kind::Simple, 12};  // DELTA
    case 0x0080:
      return {Kind::Simple, 12};  // GUTS
    case 0x0200:
      return {Kind::Simple, 18};  // DIMENSIONS
    case 0x023E:
      return {Kind::Simple, 22};  // WINDOW2
    case 0x00A1:
      return {Kind::Simple, 38};  // SETUP
    case 0x0014:                  // HEADER
    case 0x0015:                  // FOOTER
    case 0x001D:                  // SELECTION
    case 0x020B:                  // INDEX
      return {Kind::Simple, sized};
    case 0x007D:
      return {Kind::ColInfo, 16};
    case 0x00E5:
      return {Kind::MergedCells, sized};
    case 0x0208:
      return {Kind::Row, 20};
    case 0x0809:
      return {Kind::Bof, 20};
    case 0x0006:  // FORMULA
    case 0x0206:  // FORMULA as some writers still code it
    case 0x0406:
    case 0x00BD:  // MULRK
    case 0x00BE:  // MULBLANK
    case 0x00FD:  // LABELSST
    case 0x0201:  // BLANK
    case 0x0203:  // NUMBER
    case 0x0204:  // LABEL: text cells of writers that keep no shared-string table
    case 0x00D6:  // RSTRING
    case 0x0205:  // BOOLERR
    case 0x027E:  // RK
      return {Kind::Cell, sized};
    default:
      return {};
  }
}

bool IsBlank(const cells::CellBlock& cell) {
  return cell.As<cells::Blank>() != nullptr || cell.As<cells::MulBlank>() != nullptr;
}

void LowerTo(std::uint32_t& bound, std::uint32_t value) { bound = std::min(bound, value); }
void RaiseTo(std::uint32_t& bound, std::uint32_t value) { bound = std::max(bound, value); }

}  // namespace

void IndexCell(Worksheet& sheet) {
  auto& cellsTaken = sheet.scratch_.cellBlocks_;
  if (cellsTaken.empty()) return;
  const cells::CellBlock& cell = cellsTaken.back();
  // Rows are unsigned 16-bit: all 65536 of them are real rows.
  const std::uint16_t row = cell.Row();
  const std::uint32_t column = cell.Column();
  std::uint32_t lastColumn = column;
  if (const auto* mulRk = cell.As<cells::MulRK>()) lastColumn = mulRk->lastColumn_;
  if (const auto* mulBlank = cell.As<cells::MulBlank>()) lastColumn = mulBlank->lastColumn_;

  LowerTo(sheet.minRow_, row);
  RaiseTo(sheet.maxRow_, row);
  if (column > kLastColumn) return;  // no such column: the cell is kept but not placed
  LowerTo(sheet.minCol_, column);
  RaiseTo(sheet.maxCol_, std::min(std::max(lastColumn, column), kLastColumn));
  // The first cell taken for a place is the one the rebuild uses, except that a value
  // takes the place of a blank: some writers lay blanks over a row and then write the
  // values into it, and a reader of the sound file shows the values.
  const auto position = static_cast<std::uint32_t>(cellsTaken.size() - 1);
  auto [it, placed] =
      sheet.cellIndex_[row].try_emplace(static_cast<std::uint16_t>(column), position);
  if (!placed && IsBlank(cellsTaken[it->second]) && !IsBlank(cell)) it->second = position;
}

bool worksheetRecordSelector(std::span<const std::uint8_t> slice, Worksheet& sheet,
                             std::uint32_t offset, std::int16_t code, std::int16_t size,
                             std::size_t& colInfoCounter, SelectorLog& log) {
  const auto ucode = static_cast<std::uint16_t>(code);
  const auto usize = static_cast<std::uint32_t>(static_cast<std::uint16_t>(size));
  try {
    const Rule rule = RuleFor(ucode, usize);
    if (rule.kind == Kind::NotOurs) {
      WriteLog(0, 0, selector::Message(kUnknown, offset, code, size), true);
      return true;
    }
    bool passes = rule.length == 0 || selector::FitsBefore(slice, offset, rule.length);
    // Only a worksheet's own BOF may stand at the head of a worksheet: a chart's or a
    // macro sheet's would turn the saved sheet into one.
    if (passes && rule.kind == Kind::Bof)
      passes = selector::BofType(slice, offset) == BOF::kWorksheet;
    if (!passes) {
      log.NoteRejected(kSkipped, offset, code, size);
      return true;
    }

    switch (rule.kind) {
      case Kind::NotOurs:
      case Kind::Marker:
        break;
      case Kind::Simple:
      case Kind::Bof:
        if (Record* member = sheet.MemberFor(ucode)) member->Read(slice, offset);
        sheet.recovered_ = 1;
        break;
      case Kind::ColInfo:
        if (colInfoCounter >= sheet.colInfos_.size()) sheet.colInfos_.emplace_back();
        sheet.colInfos_[colInfoCounter++].Read(slice, offset);
        sheet.recovered_ = 1;
        break;
      case Kind::MergedCells:
        sheet.mergedCells_.emplace_back().Read(slice, offset);
        sheet.recovered_ = 1;
        break;
      case Kind::Row: {
        auto& rows = sheet.scratch_.rows_;
        rows.emplace_back().Read(slice, offset);
        sheet.rowIndex_.try_emplace(rows.back().row_, static_cast<std::uint32_t>(rows.size() - 1));
        sheet.recovered_ = 1;
        break;
      }
      case Kind::Cell: {
        auto& cellsTaken = sheet.scratch_.cellBlocks_;
        // A cell that does not read is no cell: it would stand in the table as nothing.
        if (cellsTaken.emplace_back().Read(slice, offset) == 0) {
          cellsTaken.pop_back();
          break;
        }
        IndexCell(sheet);
        sheet.recovered_ = 1;
        break;
      }
    }
    log.recordTaken_ = 1;
    return true;
  } catch (...) {
    WriteLog(0, 0, selector::Message(kFailed, offset, code, size), true);
    return false;
  }
}

}  // namespace tabulix
