#pragma once
// The pieces the stream verifier is built of, shared by its source files: the records of
// the stream as found, the list of findings, the strict reading of text, what the globals
// hold, the links between records that formulas follow, and the checks of one worksheet.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "biff/formula_tokens.hpp"

namespace tabulix::verify {

using Bytes = std::span<const std::uint8_t>;

// Records the model does not read and the save keeps as they were, whose links the
// verifier follows: comments, drawn objects and their drawing data.
inline constexpr std::uint16_t kNoteCode = 0x001C;
inline constexpr std::uint16_t kObjCode = 0x005D;
inline constexpr std::uint16_t kDrawingGroupCode = 0x00EB;  // MSODRAWINGGROUP, in the globals
inline constexpr std::uint16_t kDrawingCode = 0x00EC;       // MSODRAWING, in a sheet
// OBJ: the subrecord of common object data opens it, and names the object's kind and id.
inline constexpr std::uint16_t kCommonObjectData = 0x0015;
inline constexpr std::uint16_t kCommonObjectDataSize = 18;
inline constexpr std::uint16_t kChartObject = 0x0005;
inline constexpr std::uint16_t kCommentObject = 0x0019;

// A record header as found in the stream; the data lies wholly inside the stream.
struct RawRecord {
  std::size_t pos = 0;  // of the header
  std::uint16_t code = 0;
  std::uint16_t length = 0;
};

// The data bytes of `record`.
inline Bytes DataOf(Bytes stream, const RawRecord& record) {
  return stream.subspan(record.pos + 4, record.length);
}

// The findings, capped in all and per invariant: "<invariant> at <offset>: <what>".
class Findings {
 public:
  // `invariant` names one of the verifier's invariants: a string that outlives the list.
  void Add(std::string_view invariant, std::size_t pos, std::string_view what);
  // The lines, with a last one for those beyond the caps.
  std::vector<std::string> Take();

 private:
  std::vector<std::string> lines_;
  std::map<std::string_view, std::size_t> listed_;  // per invariant
  std::map<std::string_view, std::size_t> more_;    // per invariant, left out
};

// Where the text of a record was found wanting.
struct TextFault {
  std::string_view invariant;  // "text-length", "continue-missing", "text-split", ...
  std::string what;
};

// A strict reader of the strings of a record whose data may go on in CONTINUE records: each
// further piece of a string's characters opens with a flags byte of its own, and a string
// may begin a piece. A reader of a record that cannot continue gets the record alone.
class TextCursor {
 public:
  // `offset`: where the text begins in the first piece; `continues`: the record is one that
  // may go on in CONTINUE records (text that needs more bytes than it has is then missing
  // its CONTINUE; otherwise it is longer than its record).
  TextCursor(Bytes stream, std::span<const RawRecord> pieces, std::size_t offset, bool continues);

  // Reads the string at the cursor and moves past it. `countBytes`: 1 for the short form
  // (8-bit count), 2 for the long one; `extended`: the long form's formatting runs and
  // phonetic block may follow. A broken structure ends the reading (the cursor is then
  // where it stopped); text with an unpaired surrogate is read whole and reported.
  std::optional<TextFault> Read(std::size_t countBytes, bool extended);

  // True when every byte of every piece was read.
  bool AtEnd() const;
  // The bytes not read yet.
  std::size_t Left() const;
  // The stream offset of the next byte.
  std::size_t StreamPos() const;

 private:
  Bytes Piece() const;
  bool NextPiece();
  // Reads `count` characters, the first piece `wide` or not; notes the first unpaired
  // surrogate in `surrogate`.
  std::optional<TextFault> Characters(std::size_t count, bool wide, std::string& surrogate);
  TextFault Missing(std::size_t bytesOrCharacters, const char* unit) const;

  Bytes stream_;
  std::span<const RawRecord> pieces_;
  bool continues_;
  std::size_t piece_ = 0;
  std::size_t offset_ = 0;  // in the current piece's data
};

// A workbook a SUPBOOK record stands for: this one (its sheets), an add-in's functions, or
// another file.
struct SupBook {
  enum class Kind : std::uint8_t { Self, AddIn, External };
  std::size_t pos = 0;
  Kind kind = Kind::External;
  std::uint16_t sheets = 0;
  std::size_t externNames = 0;  // the EXTERNNAME records behind it
};

// An EXTERNSHEET entry: a SUPBOOK and a run of its sheets.
struct ExternSheetEntry {
  std::uint16_t supBook = 0;
  std::uint16_t firstSheet = 0;
  std::uint16_t lastSheet = 0;
};

// What the globals substream holds, as far as the worksheets' checks need it.
struct GlobalsSummary {
  std::size_t xfs = 0;
  std::size_t sharedStrings = 0;  // the strings the SST holds (read whole)
  std::size_t names = 0;          // NAME records
  std::size_t sheets = 0;         // BOUNDSHEET records
  bool hasExternSheet = false;    // an EXTERNSHEET record
  bool hasDrawingGroup = false;   // an MSODRAWINGGROUP record
  std::vector<ExternSheetEntry> externSheet;
  std::vector<SupBook> supBooks;
};

// Where a formula's name tokens and 3-D references point: each names a record the globals
// hold. `what` says which formula, for the messages.
void CheckFormulaLinks(const cells::FormulaLinks& links, const GlobalsSummary& globals,
                       Findings& findings, std::size_t pos, std::string_view what);

// The globals' records that formulas point into (NAME, SUPBOOK, EXTERNNAME, EXTERNSHEET),
// read into the summary and checked against each other once the globals are whole.
class GlobalsLinks {
 public:
  GlobalsLinks(Bytes stream, Findings& findings, GlobalsSummary& summary)
      : stream_(stream), findings_(findings), summary_(summary) {}

  // One of those records with its CONTINUE records; `sized`: its size is sound. A NAME or
  // SUPBOOK too short for its fields still counts, so that the indices of the others stay
  // as readers count them.
  void Record(std::span<const RawRecord> pieces, bool sized);
  // Once the globals are whole (the summary counts their BOUNDSHEET records).
  void Finish();

 private:
  struct NameRecord {
    std::size_t pos = 0;
    std::size_t index = 0;  // 1-based, as formulas name it
    std::uint16_t scope = 0;
    cells::FormulaLinks links;
  };
  void Name(std::span<const RawRecord> pieces);
  void ExternSheet(std::span<const RawRecord> pieces);

  Bytes stream_;
  Findings& findings_;
  GlobalsSummary& summary_;
  std::vector<NameRecord> names_;
  std::optional<std::size_t> externSheetPos_;
};

// The checks of one worksheet substream: fed its records in order (those of substreams
// nested in it left out), then finished at its EOF or at the end of the stream.
class SheetVerifier {
 public:
  SheetVerifier(Bytes stream, std::span<const RawRecord> records, const GlobalsSummary& globals,
                Findings& findings, std::size_t bofPos);

  // The record at records[index] with its CONTINUE records (`pieces`).
  void Record(std::size_t index, std::span<const RawRecord> pieces);
  void Finish();

 private:
  struct Range {
    std::uint16_t firstRow = 0;
    std::uint16_t lastRow = 0;
    std::uint16_t firstColumn = 0;
    std::uint16_t lastColumn = 0;
    bool Covers(std::uint32_t row, std::uint32_t column) const {
      return row >= firstRow && row <= lastRow && column >= firstColumn && column <= lastColumn;
    }
  };
  struct Host {
    std::uint16_t companion = 0;  // the code of the SHRFMLA, ARRAY or TABLE behind it
    Range range;
  };
  struct RowRecord {
    std::size_t pos = 0;
    std::uint16_t row = 0;
    std::uint16_t firstColumn = 0;
    std::uint16_t endColumn = 0;  // last + 1
  };
  struct Bounds {
    std::uint32_t first = 0;
    std::uint32_t end = 0;  // last + 1
  };

  // A cell record's place and XF; the columns of a MULRK or MULBLANK run from `column` to
  // `lastColumn`.
  void Cell(const RawRecord& record, std::string_view what, std::uint16_t row, std::uint16_t column,
            std::uint16_t lastColumn);
  // An XF index of a cell, a row or a column: it names an XF of the globals.
  void XfIndex(const RawRecord& record, std::string_view what, std::uint16_t xf);
  // The same for a single-cell record at `row`, `column`.
  void CellXfIndex(const RawRecord& record, std::string_view what, std::uint16_t row,
                   std::uint16_t column, std::uint16_t xf);
  void MultipleCells(const RawRecord& record, Bytes data, std::size_t width);
  void Formula(std::size_t index, Bytes data);
  void Companion(std::size_t index, Bytes data);
  void StringRecord(std::size_t index, std::span<const RawRecord> pieces);
  void Ranges(const RawRecord& record, Bytes data);
  // Comments and drawn objects: OBJ (its common data names the object's kind and id) and
  // NOTE (a comment's cell and object).
  void Object(const RawRecord& record, Bytes data);
  void Note(const RawRecord& record, Bytes data);
  // "FORMULA at row 3, column 4"
  static std::string Place(std::string_view what, std::uint32_t row, std::uint32_t column);

  Bytes stream_;
  std::span<const RawRecord> records_;
  const GlobalsSummary& globals_;
  Findings& findings_;
  std::size_t bofPos_;

  std::optional<std::size_t> dimensionsPos_;
  Bounds dimensionRows_;
  Bounds dimensionColumns_;
  std::optional<std::size_t> indexPos_;
  Bounds indexRows_;
  std::vector<RowRecord> rows_;

  bool anyCell_ = false;
  std::uint32_t minRow_ = 0, maxRow_ = 0, minColumn_ = 0, maxColumn_ = 0;
  // The last place a cell took: (row << 16) | column; the next must come after it.
  std::optional<std::uint32_t> lastPlace_;
  // Row -> the first and last column of its cells.
  std::map<std::uint16_t, std::pair<std::uint16_t, std::uint16_t>> rowColumns_;
  // The entry of the row the last cell was in (nullptr before the first): cells come row by
  // row, so most find theirs here. Map entries stay where they are.
  std::pair<std::uint16_t, std::uint16_t>* lastRowColumns_ = nullptr;
  std::uint16_t lastRow_ = 0;
  // (row << 16) | column -> the FORMULA there that a SHRFMLA, ARRAY or TABLE follows.
  std::map<std::uint32_t, Host> hosts_;

  struct NoteRecord {
    std::size_t pos = 0;
    std::uint16_t row = 0;
    std::uint16_t column = 0;
    std::uint16_t object = 0;
  };
  // Object id -> its kind, of the OBJ records met so far; the NOTE records, checked against
  // them at the end (a sheet's notes follow its objects, but nothing forces it).
  std::map<std::uint16_t, std::uint16_t> objects_;
  std::vector<NoteRecord> notes_;

  // The record index a companion or a STRING may stand at (the one behind the FORMULA
  // that allows it), and the FORMULA's place for the messages.
  std::optional<std::size_t> companionAt_;
  std::optional<std::size_t> stringAt_;
  std::uint16_t formulaRow_ = 0;
  std::uint16_t formulaColumn_ = 0;
};

}  // namespace tabulix::verify
