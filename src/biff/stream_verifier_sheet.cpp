// The stream verifier's checks of one worksheet: the cells (place, order, XF, shared string),
// the formulas with the records that travel with them, and the records that describe the
// cells (DIMENSIONS, ROW, INDEX, merged ranges, the selection).

#include <algorithm>
#include <cstdio>

#include "base/little_endian.hpp"
#include "biff/formula_tokens.hpp"
#include "biff/record.hpp"
#include "biff/record_codes.hpp"
#include "biff/stream_verifier_parts.hpp"

namespace tabulix::verify {

namespace {

using enum RecordCode;
using cells::CheckFormulaField;
using cells::FormulaSite;
using cells::FormulaTokenCheck;

constexpr std::uint32_t kLastColumn = 255;
constexpr std::uint32_t kColumns = 256;
constexpr std::uint32_t kRows = 65536;
// ROW: bit 7 of the flags says the row has a format of its own, bits 16 to 27 its XF.
constexpr std::uint32_t kRowFormatted = 0x80;
constexpr std::uint32_t kRowXfMask = 0x0FFF;

// The cached result of a FORMULA: 8 bytes at 6; when the last two are 0xFFFF, the first
// says what the formula gave that is not a number.
constexpr std::size_t kResultAt = 6;
constexpr std::size_t kResultMarkAt = 12;
constexpr std::uint16_t kNotANumber = 0xFFFF;
constexpr std::uint8_t kTextResult = 0;
constexpr std::uint8_t kBooleanResult = 1;
constexpr std::uint8_t kErrorResult = 2;
constexpr std::uint8_t kEmptyTextResult = 3;
// Where the formula field (token length, tokens, extra data) begins in each record.
constexpr std::size_t kFormulaFieldAt = 20;
constexpr std::size_t kSharedFieldAt = 8;
constexpr std::size_t kArrayFieldAt = 12;

bool IsErrorCode(std::uint8_t code) {
  return code == 0x00 || code == 0x07 || code == 0x0F || code == 0x17 || code == 0x1D ||
         code == 0x24 || code == 0x2A;
}

bool Is(std::uint16_t code, RecordCode which) { return code == ToCode(which); }

std::string Name(std::uint16_t code) { return std::string(RecordName(code)); }

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

std::string Span(std::uint32_t first, std::uint32_t last) {
  return first == last ? std::to_string(first)
                       : std::to_string(first) + " to " + std::to_string(last);
}

}  // namespace

SheetVerifier::SheetVerifier(Bytes stream, std::span<const RawRecord> records,
                             const GlobalsSummary& globals, Findings& findings, std::size_t bofPos)
    : stream_(stream), records_(records), globals_(globals), findings_(findings), bofPos_(bofPos) {}

std::string SheetVerifier::Place(std::string_view what, std::uint32_t row, std::uint32_t column) {
  std::string text(what);
  text += " at row " + std::to_string(row) + ", column " + std::to_string(column);
  return text;
}

void SheetVerifier::Record(std::size_t index, std::span<const RawRecord> pieces) {
  const RawRecord& r = pieces.front();
  const Bytes data = DataOf(stream_, r);
  const std::uint16_t row = LittleEndian::U16(data, 0);
  const std::uint16_t column = LittleEndian::U16(data, 2);
  const std::uint16_t xf = LittleEndian::U16(data, 4);
  if (r.code == kObjCode) return Object(r, data);
  if (r.code == kNoteCode) return Note(r, data);
  switch (static_cast<RecordCode>(r.code)) {
    case BLANK:
    case NUMBER:
    case RK:
    case BOOLERR:
      Cell(r, RecordName(r.code), row, column, column);
      CellXfIndex(r, RecordName(r.code), row, column, xf);
      break;
    case LABELSST: {
      Cell(r, "LABELSST", row, column, column);
      CellXfIndex(r, "LABELSST", row, column, xf);
      const std::uint32_t string = LittleEndian::U32(data, 6);
      if (string >= globals_.sharedStrings) {
        findings_.Add("sst-index", r.pos,
                      Place("LABELSST", row, column) + " names string " + std::to_string(string) +
                          " of an SST of " + std::to_string(globals_.sharedStrings));
      }
      break;
    }
    case LABEL:
    case RSTRING: {
      Cell(r, RecordName(r.code), row, column, column);
      CellXfIndex(r, RecordName(r.code), row, column, xf);
      TextCursor text(stream_, pieces.first(1), 6, false);
      if (auto fault = text.Read(2, true)) {
        findings_.Add(fault->invariant, r.pos,
                      Place(Name(r.code), row, column) + ": " + fault->what);
      }
      break;
    }
    case MULRK:
      MultipleCells(r, data, 6);
      break;
    case MULBLANK:
      MultipleCells(r, data, 2);
      break;
    case FORMULA:
    case FORMULA3:
    case FORMULA4:
      Formula(index, data);
      break;
    case ARRAY:
    case SHRFMLA:
    case SHRFMLA1:
    case TABLE:
    case TABLE8:
      Companion(index, data);
      break;
    case STRING:
      StringRecord(index, pieces);
      break;
    case DIMENSIONS:
      dimensionsPos_ = r.pos;
      dimensionRows_ = {LittleEndian::U32(data, 0), LittleEndian::U32(data, 4)};
      dimensionColumns_ = {LittleEndian::U16(data, 8), LittleEndian::U16(data, 10)};
      break;
    case INDEX:
      indexPos_ = r.pos;
      indexRows_ = {LittleEndian::U32(data, 4), LittleEndian::U32(data, 8)};
      break;
    case ROW: {
      rows_.push_back({r.pos, row, column, LittleEndian::U16(data, 4)});
      // The row's own format, when its flags say it has one.
      const std::uint32_t flags = LittleEndian::U32(data, 12);
      if ((flags & kRowFormatted) != 0) {
        XfIndex(r, "ROW " + std::to_string(row) + "'s format",
                static_cast<std::uint16_t>((flags >> 16) & kRowXfMask));
      }
      break;
    }
    case COLINFO:
      XfIndex(r, "COLINFO of columns " + Span(row, column),  // first and last column
              LittleEndian::U16(data, 6));
      break;
    case MERGEDCELLS:
    case SELECTION:
      Ranges(r, data);
      break;
    case HEADER:
    case FOOTER:
      if (r.length > 0) {
        TextCursor text(stream_, pieces.first(1), 0, false);
        if (auto fault = text.Read(2, false)) {
          findings_.Add(fault->invariant, r.pos, Name(r.code) + ": " + fault->what);
        }
      }
      break;
    default:
      break;
  }
}

void SheetVerifier::Cell(const RawRecord& record, std::string_view what, std::uint16_t row,
                         std::uint16_t column, std::uint16_t lastColumn) {
  if (lastColumn > kLastColumn) {
    findings_.Add("cell-column", record.pos,
                  std::string(what) + " at row " + std::to_string(row) + ", column " +
                      Span(column, lastColumn) + ": past column 255");
  }
  const std::uint32_t first = (std::uint32_t{row} << 16) | column;
  if (lastPlace_ && first <= *lastPlace_) {
    const std::uint32_t lastRow = *lastPlace_ >> 16;
    const std::uint32_t lastColumnSeen = *lastPlace_ & 0xFFFF;
    findings_.Add(
        "cell-order", record.pos,
        Place(what, row, column) + (lastRow == row && lastColumnSeen >= column
                                        ? " takes a place a cell before it took (up to column " +
                                              std::to_string(lastColumnSeen) + ")"
                                        : " comes after row " + std::to_string(lastRow) +
                                              ", column " + std::to_string(lastColumnSeen)));
  }
  lastPlace_ = (std::uint32_t{row} << 16) | lastColumn;
  if (!anyCell_) {
    anyCell_ = true;
    minRow_ = maxRow_ = row;
    minColumn_ = column;
    maxColumn_ = lastColumn;
  } else {
    minRow_ = std::min<std::uint32_t>(minRow_, row);
    maxRow_ = std::max<std::uint32_t>(maxRow_, row);
    minColumn_ = std::min<std::uint32_t>(minColumn_, column);
    maxColumn_ = std::max<std::uint32_t>(maxColumn_, lastColumn);
  }
  if (lastRowColumns_ == nullptr || lastRow_ != row) {
    const auto [it, added] = rowColumns_.try_emplace(row, column, lastColumn);
    lastRowColumns_ = &it->second;
    lastRow_ = row;
    if (added) return;
  }
  lastRowColumns_->first = std::min(lastRowColumns_->first, column);
  lastRowColumns_->second = std::max(lastRowColumns_->second, lastColumn);
}

void SheetVerifier::XfIndex(const RawRecord& record, std::string_view what, std::uint16_t xf) {
  if (xf >= globals_.xfs) {
    findings_.Add("xf-index", record.pos,
                  std::string(what) + " names XF " + std::to_string(xf) + " of " +
                      std::to_string(globals_.xfs));
  }
}

void SheetVerifier::CellXfIndex(const RawRecord& record, std::string_view what, std::uint16_t row,
                                std::uint16_t column, std::uint16_t xf) {
  // A sheet holds up to a million cells: the words of a finding are made only for one.
  if (xf >= globals_.xfs) XfIndex(record, Place(what, row, column), xf);
}

// MULRK (6 bytes a cell: XF, RK) and MULBLANK (2: XF): row, first column, the cells, and
// the last column, which must agree with the number of cells.
void SheetVerifier::MultipleCells(const RawRecord& record, Bytes data, std::size_t width) {
  const std::string name = Name(record.code);
  const std::uint16_t row = LittleEndian::U16(data, 0);
  const std::uint16_t first = LittleEndian::U16(data, 2);
  const std::uint16_t last = LittleEndian::U16(data, data.size() - 2);
  const std::size_t count = (data.size() - 6) / width;
  if (count == 0) {
    findings_.Add("cell-span", record.pos, Place(name, row, first) + " holds no cell");
    return;
  }
  if (last < first || std::size_t{last} - first + 1 != count) {
    findings_.Add("cell-span", record.pos,
                  Place(name, row, first) + " names last column " + std::to_string(last) +
                      " and holds " + std::to_string(count) + " cells");
  }
  const std::uint32_t lastHeld = static_cast<std::uint32_t>(first + count - 1);
  Cell(record, name, row, first,
       static_cast<std::uint16_t>(std::min<std::uint32_t>(lastHeld, 0xFFFF)));
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint16_t xf = LittleEndian::U16(data, 4 + i * width);
    if (xf >= globals_.xfs) {  // the first such cell stands for the record's
      XfIndex(record, Place(name, row, static_cast<std::uint32_t>(first + i)), xf);
      break;
    }
  }
}

// OBJ: a run of subrecords, the first the common object data: its kind and length, then
// the object's kind and id.
void SheetVerifier::Object(const RawRecord& record, Bytes data) {
  const std::uint16_t kind = LittleEndian::U16(data, 0);
  const std::uint16_t length = LittleEndian::U16(data, 2);
  if (kind != kCommonObjectData || length != kCommonObjectDataSize) {
    findings_.Add("object-data", record.pos,
                  "OBJ opens with subrecord " + Hex(kind) + " of " + std::to_string(length) +
                      " bytes, not its common object data");
    return;
  }
  const std::uint16_t type = LittleEndian::U16(data, 4);
  const std::uint16_t id = LittleEndian::U16(data, 6);
  const auto [it, added] = objects_.try_emplace(id, type);
  if (!added) {
    findings_.Add("object-id", record.pos,
                  "OBJ of kind " + std::to_string(type) + " takes id " + std::to_string(id) +
                      ", which an OBJ of kind " + std::to_string(it->second) +
                      " before it took in this sheet");
  }
}

// NOTE: the comment's cell, options, and the id of the OBJ that draws it; its author.
void SheetVerifier::Note(const RawRecord& record, Bytes data) {
  const NoteRecord note{record.pos, LittleEndian::U16(data, 0), LittleEndian::U16(data, 2),
                        LittleEndian::U16(data, 6)};
  if (note.column > kLastColumn) {
    findings_.Add("note-cell", record.pos,
                  Place("NOTE", note.row, note.column) + ": past column 255");
  }
  notes_.push_back(note);
}

void SheetVerifier::Formula(std::size_t index, Bytes data) {
  const RawRecord& r = records_[index];
  const std::uint16_t row = LittleEndian::U16(data, 0);
  const std::uint16_t column = LittleEndian::U16(data, 2);
  const std::string place = Place("FORMULA", row, column);
  Cell(r, "FORMULA", row, column, column);
  XfIndex(r, place, LittleEndian::U16(data, 4));
  formulaRow_ = row;
  formulaColumn_ = column;

  // What its cached result is.
  bool text = false;
  if (LittleEndian::U16(data, kResultMarkAt) == kNotANumber) {
    const std::uint8_t kind = LittleEndian::U8(data, kResultAt);
    const std::uint8_t value = LittleEndian::U8(data, kResultAt + 2);
    text = kind == kTextResult;
    if ((kind == kBooleanResult && value > 1) || (kind == kErrorResult && !IsErrorCode(value)) ||
        kind > kEmptyTextResult) {
      findings_.Add("formula-result", r.pos,
                    place + ": a cached result of kind " + std::to_string(kind) + " and value " +
                        std::to_string(value));
    }
  }

  // The records that may follow it: a SHRFMLA, ARRAY or TABLE, then the STRING of a text
  // result (CONTINUE records belong to the record before them).
  const auto nextGroup = [&](std::size_t at) {
    std::size_t next = at + 1;
    while (next < records_.size() && records_[next].code == kContinueCode) ++next;
    return next;
  };
  const std::size_t next = nextGroup(index);
  companionAt_.reset();
  stringAt_.reset();
  std::size_t stringSlot = next;
  if (next < records_.size()) {
    const std::uint16_t code = records_[next].code;
    if (Is(code, ARRAY) || Is(code, SHRFMLA) || Is(code, SHRFMLA1) || Is(code, TABLE) ||
        Is(code, TABLE8)) {
      companionAt_ = next;
      stringSlot = nextGroup(next);
      const Bytes companion = DataOf(stream_, records_[next]);
      hosts_[(std::uint32_t{row} << 16) | column] = {
          code,
          {LittleEndian::U16(companion, 0), LittleEndian::U16(companion, 2),
           LittleEndian::U8(companion, 4), LittleEndian::U8(companion, 5)}};
    }
  }
  if (text) {
    if (stringSlot < records_.size() && Is(records_[stringSlot].code, STRING)) {
      stringAt_ = stringSlot;
    } else {
      findings_.Add("string-missing", r.pos,
                    place + " has a text result and no STRING record behind it");
    }
  }

  if (!Is(r.code, FORMULA)) {
    findings_.Add("formula-code", r.pos,
                  place + " under the code of an older version (0x" +
                      (r.code == ToCode(FORMULA3) ? std::string("0206") : std::string("0406")) +
                      ")");
    return;
  }
  cells::FormulaLinks links;
  const FormulaTokenCheck check =
      CheckFormulaField(data.subspan(kFormulaFieldAt), FormulaSite::Cell, &links);
  if (!check.sound) {
    findings_.Add("formula-tokens", r.pos, place + ": " + check.reason);
    return;
  }
  CheckFormulaLinks(links, globals_, findings_, r.pos, place);
  if (!check.isExp && !check.isTable) return;

  // It points at the cell whose FORMULA the shared formula, array or table follows; that
  // one stands before it (or is this very one) and its range holds this cell.
  const char* wanted = check.isExp ? "a SHRFMLA or ARRAY" : "a TABLE";
  const std::string target =
      "row " + std::to_string(check.expRow) + ", column " + std::to_string(check.expColumn);
  const auto it = hosts_.find((std::uint32_t{check.expRow} << 16) | check.expColumn);
  if (it == hosts_.end()) {
    findings_.Add("shared-missing", r.pos,
                  place + " points at " + target + ", where no FORMULA with " + wanted +
                      " behind it stands before");
    return;
  }
  const bool table = Is(it->second.companion, TABLE) || Is(it->second.companion, TABLE8);
  if (table != check.isTable) {
    findings_.Add("shared-missing", r.pos,
                  place + " points at the " + Name(it->second.companion) + " at " + target +
                      ", not at " + wanted);
  } else if (!it->second.range.Covers(row, column)) {
    const Range& range = it->second.range;
    findings_.Add("shared-missing", r.pos,
                  place + " lies outside the rows " + Span(range.firstRow, range.lastRow) +
                      ", columns " + Span(range.firstColumn, range.lastColumn) + " of the " +
                      Name(it->second.companion) + " at " + target);
  }
}

void SheetVerifier::Companion(std::size_t index, Bytes data) {
  const RawRecord& r = records_[index];
  const std::string name = Name(r.code);
  if (!companionAt_ || *companionAt_ != index) {
    findings_.Add("companion-stray", r.pos, name + " does not follow a FORMULA");
    return;
  }
  const Range range{LittleEndian::U16(data, 0), LittleEndian::U16(data, 2),
                    LittleEndian::U8(data, 4), LittleEndian::U8(data, 5)};
  const std::string where = name + " of rows " + Span(range.firstRow, range.lastRow) +
                            ", columns " + Span(range.firstColumn, range.lastColumn);
  if (range.firstRow > range.lastRow || range.firstColumn > range.lastColumn) {
    findings_.Add("range", r.pos, where + ": the first comes after the last");
  } else if (!range.Covers(formulaRow_, formulaColumn_)) {
    findings_.Add(
        "range", r.pos,
        where + " does not hold its own " + Place("FORMULA", formulaRow_, formulaColumn_));
  }
  if (Is(r.code, TABLE) || Is(r.code, TABLE8)) return;
  const bool shared = !Is(r.code, ARRAY);
  cells::FormulaLinks links;
  const FormulaTokenCheck check =
      CheckFormulaField(data.subspan(shared ? kSharedFieldAt : kArrayFieldAt),
                        shared ? FormulaSite::Shared : FormulaSite::Array, &links);
  if (!check.sound) {
    findings_.Add("formula-tokens", r.pos, where + ": " + check.reason);
    return;
  }
  CheckFormulaLinks(links, globals_, findings_, r.pos, where);
}

void SheetVerifier::StringRecord(std::size_t index, std::span<const RawRecord> pieces) {
  const RawRecord& r = pieces.front();
  if (!stringAt_ || *stringAt_ != index) {
    findings_.Add("string-stray", r.pos, "STRING does not follow a FORMULA with a text result");
    return;
  }
  const std::string what = "STRING of the " + Place("FORMULA", formulaRow_, formulaColumn_);
  TextCursor text(stream_, pieces, 0, true);
  if (auto fault = text.Read(2, true)) {
    findings_.Add(fault->invariant, r.pos, what + ": " + fault->what);
  } else if (!text.AtEnd()) {
    findings_.Add("text-length", r.pos,
                  what + " holds " + std::to_string(text.Left()) + " bytes past its text");
  }
}

// MERGEDCELLS (a count, then ranges of four 16-bit fields) and SELECTION (pane, active cell,
// its range's number, a count, then ranges of two 16-bit rows and two 8-bit columns): the
// count agrees with the length and every range is in order and inside the sheet.
void SheetVerifier::Ranges(const RawRecord& record, Bytes data) {
  const bool merged = Is(record.code, MERGEDCELLS);
  const std::size_t countAt = merged ? 0 : 7;
  const std::size_t first = merged ? 2 : 9;
  const std::size_t width = merged ? 8 : 6;
  const std::size_t count = LittleEndian::U16(data, countAt);
  const std::string name = Name(record.code);
  if (first + count * width != data.size()) {
    findings_.Add("record-size", record.pos,
                  name + " counts " + std::to_string(count) + " ranges in " +
                      std::to_string(data.size()) + " bytes");
    return;
  }
  if (!merged && LittleEndian::U16(data, 3) > kLastColumn) {
    findings_.Add("range", record.pos,
                  name + ": the active cell's column " +
                      std::to_string(LittleEndian::U16(data, 3)) + " is past 255");
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = first + i * width;
    const std::uint32_t firstRow = LittleEndian::U16(data, at);
    const std::uint32_t lastRow = LittleEndian::U16(data, at + 2);
    const std::uint32_t firstColumn =
        merged ? LittleEndian::U16(data, at + 4) : LittleEndian::U8(data, at + 4);
    const std::uint32_t lastColumn =
        merged ? LittleEndian::U16(data, at + 6) : LittleEndian::U8(data, at + 5);
    if (firstRow > lastRow || firstColumn > lastColumn || lastColumn > kLastColumn) {
      findings_.Add("range", record.pos,
                    name + " range " + std::to_string(i) + ": rows " + std::to_string(firstRow) +
                        " to " + std::to_string(lastRow) + ", columns " +
                        std::to_string(firstColumn) + " to " + std::to_string(lastColumn));
      return;  // the first stands for the record's
    }
  }
}

void SheetVerifier::Finish() {
  for (const NoteRecord& note : notes_) {
    const auto it = objects_.find(note.object);
    if (it == objects_.end() || it->second != kCommentObject) {
      findings_.Add(
          "note-object", note.pos,
          Place("NOTE", note.row, note.column) + " names object " + std::to_string(note.object) +
              (it == objects_.end()
                   ? ", which no OBJ of this sheet has"
                   : ", an OBJ of kind " + std::to_string(it->second) + ", not a comment"));
    }
  }

  if (!dimensionsPos_) {
    findings_.Add("dimensions", bofPos_, "the worksheet has no DIMENSIONS record");
  } else {
    const Bounds& rows = dimensionRows_;
    const Bounds& columns = dimensionColumns_;
    const std::string said =
        "DIMENSIONS of rows " + std::to_string(rows.first) + " up to " + std::to_string(rows.end) +
        ", columns " + std::to_string(columns.first) + " up to " + std::to_string(columns.end);
    if (rows.first > rows.end || rows.end > kRows || columns.first > columns.end ||
        columns.end > kColumns) {
      findings_.Add("dimensions", *dimensionsPos_, said + ": not a range of the sheet");
    } else if (anyCell_ && (minRow_ < rows.first || maxRow_ >= rows.end ||
                            minColumn_ < columns.first || maxColumn_ >= columns.end)) {
      findings_.Add("dimensions", *dimensionsPos_,
                    said + " do not cover the cells' rows " + Span(minRow_, maxRow_) +
                        ", columns " + Span(minColumn_, maxColumn_));
    }
  }

  // ROW records: one finding of each kind for the sheet, naming the first and the count.
  std::size_t outside = 0, narrow = 0;
  const RowRecord* firstOutside = nullptr;
  const RowRecord* firstNarrow = nullptr;
  std::string narrowWhat;
  for (const RowRecord& row : rows_) {
    if (dimensionsPos_ && (row.row < dimensionRows_.first || row.row >= dimensionRows_.end)) {
      if (outside++ == 0) firstOutside = &row;
    }
    const auto cellsOf = rowColumns_.find(row.row);
    const bool bad = row.firstColumn > row.endColumn || row.endColumn > kColumns ||
                     (cellsOf != rowColumns_.end() && (cellsOf->second.first < row.firstColumn ||
                                                       cellsOf->second.second >= row.endColumn));
    if (bad && narrow++ == 0) {
      firstNarrow = &row;
      narrowWhat = "ROW " + std::to_string(row.row) + " spans columns " +
                   std::to_string(row.firstColumn) + " up to " + std::to_string(row.endColumn);
      if (cellsOf != rowColumns_.end()) {
        narrowWhat +=
            "; its cells lie in columns " + Span(cellsOf->second.first, cellsOf->second.second);
      }
    }
  }
  if (firstOutside != nullptr) {
    findings_.Add("row-dimensions", firstOutside->pos,
                  std::to_string(outside) + " ROW record(s) outside the DIMENSIONS rows " +
                      std::to_string(dimensionRows_.first) + " up to " +
                      std::to_string(dimensionRows_.end) + ", the first for row " +
                      std::to_string(firstOutside->row));
  }
  if (firstNarrow != nullptr) {
    findings_.Add("row-span", firstNarrow->pos,
                  narrowWhat + (narrow > 1 ? " (and " + std::to_string(narrow - 1) + " more ROW)"
                                           : std::string()));
  }

  if (indexPos_ && anyCell_ && (minRow_ < indexRows_.first || maxRow_ >= indexRows_.end)) {
    findings_.Add("index-rows", *indexPos_,
                  "INDEX of rows " + std::to_string(indexRows_.first) + " up to " +
                      std::to_string(indexRows_.end) + " does not cover the cells' rows " +
                      Span(minRow_, maxRow_));
  }
}

}  // namespace tabulix::verify
