// The walk of the stream verifier: the record chain, the sizes of the records, the frame of
// substreams, and the globals. The worksheets' own checks are in stream_verifier_sheet.cpp.

#include "biff/stream_verifier.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>
#include <optional>

#include "base/little_endian.hpp"
#include "biff/record.hpp"
#include "biff/record_codes.hpp"
#include "biff/stream_verifier_parts.hpp"
#include "biff/text_encoding.hpp"

namespace tabulix {

namespace verify {
namespace {

constexpr std::uint16_t Code(RecordCode code) { return ToCode(code); }

constexpr std::uint16_t kGlobalsType = 0x0005;
constexpr std::uint16_t kWorksheetType = 0x0010;
constexpr std::uint16_t kChartType = 0x0020;
constexpr std::uint16_t kBiff8 = 0x0600;

// The sound sizes of the records a saved workbook holds, by code. The fixed records and the
// single cells have exactly their size; lists are a fixed part and whole items; records with
// text are at least their fixed fields and a string header (the text is read on its own).
enum class Shape : std::uint8_t { Exact, Steps, AtLeast };
struct Layout {
  std::uint16_t code;
  Shape shape;
  std::uint16_t size;  // Exact: the size; Steps: the fixed part; AtLeast: the least size
  std::uint16_t step;  // Steps: the size of one item
  bool continues;      // may go on in CONTINUE records
};

constexpr Layout Exact(RecordCode code, std::uint16_t size) {
  return {Code(code), Shape::Exact, size, 0, false};
}
constexpr Layout Steps(RecordCode code, std::uint16_t fixed, std::uint16_t step) {
  return {Code(code), Shape::Steps, fixed, step, false};
}
constexpr Layout AtLeast(std::uint16_t code, std::uint16_t size, bool continues = false) {
  return {code, Shape::AtLeast, size, 0, continues};
}
constexpr Layout AtLeast(RecordCode code, std::uint16_t size, bool continues = false) {
  return AtLeast(Code(code), size, continues);
}

using enum RecordCode;
constexpr std::array kLayouts = {
    AtLeast(FORMULA, 22),  // fields, token length
    Exact(EOF_, 0),
    Exact(CALCCOUNT, 2),
    Exact(CALCMODE, 2),
    Exact(PRECISION, 2),
    Exact(REFMODE, 2),
    Exact(DELTA, 8),
    Exact(ITERATION, 2),
    Exact(PROTECT, 2),
    Exact(PASSWORD, 2),
    AtLeast(HEADER, 0),  // empty, or a string
    AtLeast(FOOTER, 0),
    AtLeast(EXTERNSHEET, 2, true),  // count; entries (the count is checked on its own)
    AtLeast(NAME, 14, true),        // fields; name, tokens and texts are checked on their own
    Exact(WINDOWPROTECT, 2),
    AtLeast(kNoteCode, 8),   // cell, options, object id; author
    Steps(SELECTION, 9, 6),  // pane, active cell, its range's number, count; ranges
    Exact(DATE1904, 2),
    Exact(PRINTHEADERS, 2),
    Exact(PRINTGRIDLINES, 2),
    AtLeast(FONT, 16),  // fields, name header
    AtLeast(TABLE, 16),
    Exact(WINDOW1, 18),
    Exact(BACKUP, 2),
    Exact(CODENAME, 2),  // the code page
    Exact(DEFCOLWIDTH, 2),
    Exact(WRITEACCESS, 112),
    AtLeast(kObjCode, 22, true),  // the common object data; further parts (and drawing data)
    Exact(SAVERECALC, 2),
    Exact(COLINFO, 12),
    Exact(GUTS, 8),
    Exact(WSBOOL, 2),
    Exact(GRIDSET, 2),
    Exact(HCENTER, 2),
    Exact(VCENTER, 2),
    AtLeast(BOUNDSHEET, 8),  // position, visibility, type, name header
    Exact(COUNTRY, 4),
    Exact(HIDEOBJ, 2),
    Steps(PALETTE, 2, 4),
    Exact(FNGROUPCOUNT, 2),
    Exact(SETUP, 34),
    AtLeast(SHRFMLA, 10),  // range, reserved, use count, token length
    Steps(MULRK, 6, 6),
    Steps(MULBLANK, 6, 2),
    Exact(MMS, 2),
    AtLeast(RSTRING, 9),
    Steps(DBCELL, 4, 2),
    Exact(BOOKBOOL, 2),
    Exact(XF, 20),
    Exact(INTERFACEHDR, 2),
    Exact(INTERFACEEND, 0),
    Steps(MERGEDCELLS, 2, 8),
    AtLeast(SST, 8, true),
    Exact(LABELSST, 10),
    Steps(EXTSST, 2, 8),
    Steps(TABID, 0, 2),
    Exact(USESELFS, 2),
    Exact(DSF, 2),
    AtLeast(SUPBOOK, 4, true),  // sheets, and the mark or a file name; sheet names
    Exact(PROT4REV, 2),
    Exact(REFRESHALL, 2),
    Exact(PROT4REVPASS, 2),
    Exact(EXCEL9FILE, 0),
    Exact(RECALCID, 8),
    Exact(DIMENSIONS, 14),
    Exact(BLANK, 6),
    Exact(NUMBER, 14),
    AtLeast(LABEL, 9),  // row, column, XF, string header
    Exact(BOOLERR, 8),
    AtLeast(FORMULA3, 22),
    AtLeast(STRING, 3, true),
    Exact(ROW, 16),
    Steps(INDEX, 16, 4),
    AtLeast(ARRAY, 14),  // range, options, reserved, token length
    Exact(DEFAULTROWHEIGHT, 4),
    AtLeast(TABLE8, 16),
    Exact(WINDOW2, 18),
    Exact(RK, 10),
    AtLeast(STYLE, 4),
    AtLeast(FORMULA4, 22),
    AtLeast(FORMAT, 5),  // index, string header
    AtLeast(SHRFMLA1, 10),
    Exact(BOF, 16),
};
static_assert(std::is_sorted(kLayouts.begin(), kLayouts.end(),
                             [](const Layout& a, const Layout& b) { return a.code < b.code; }));

const Layout* LayoutOf(std::uint16_t code) {
  const auto it = std::lower_bound(kLayouts.begin(), kLayouts.end(), code,
                                   [](const Layout& l, std::uint16_t c) { return l.code < c; });
  return it != kLayouts.end() && it->code == code ? &*it : nullptr;
}

std::string Label(std::uint16_t code) {
  const std::string_view name = RecordName(code);
  if (!name.empty()) return std::string(name);
  if (code == kNoteCode) return "NOTE";
  if (code == kObjCode) return "OBJ";
  char text[24];
  std::snprintf(text, sizeof text, "record 0x%04X", code);
  return text;
}

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

// What is wrong with the size of a record of `layout`, or nothing.
std::optional<std::string> SizeProblem(const Layout& layout, std::uint16_t length) {
  switch (layout.shape) {
    case Shape::Exact:
      if (length == layout.size) return std::nullopt;
      return std::to_string(length) + " data bytes, not " + std::to_string(layout.size);
    case Shape::Steps:
      if (length >= layout.size && (length - layout.size) % layout.step == 0) return std::nullopt;
      return std::to_string(length) + " data bytes, not " + std::to_string(layout.size) +
             " and items of " + std::to_string(layout.step);
    case Shape::AtLeast:
      if (length >= layout.size) return std::nullopt;
      return std::to_string(length) + " data bytes, fewer than its " + std::to_string(layout.size) +
             " of fields";
  }
  return std::nullopt;
}

// ---- the globals ------------------------------------------------------------------------

// Built-in number formats have indices below this; the others must be defined by FORMAT.
constexpr std::uint16_t kFirstCustomFormat = 164;
// Font index 4 names no font: indices from 5 name the font one place before.
constexpr std::uint16_t kSkippedFont = 4;
constexpr std::uint16_t kStyleXf = 0x0004;      // bit 2 of the XF's type word
constexpr std::uint16_t kNoParent = 0x0FFF;     // a style XF's parent
constexpr std::uint16_t kStyleXfMask = 0x0FFF;  // STYLE: the XF index
constexpr std::uint16_t kBuiltInStyle = 0x8000;
// XF: the vertical alignments (top, centre, bottom, justified, distributed) in bits 4 to 6
// of the alignment byte.
constexpr unsigned kLastVerticalAlignment = 4;
// FONT: the script (normal, superscript, subscript) and the underline kinds.
constexpr std::uint16_t kLastScript = 2;
constexpr std::uint8_t kUnderlines[] = {0x00, 0x01, 0x02, 0x21, 0x22};

struct SheetEntry {
  std::size_t pos = 0;  // of the BOUNDSHEET
  std::uint32_t target = 0;
  std::uint8_t type = 0;
};

// The BOF substream type a sheet entry's type names (worksheet, macro sheet, chart, module).
std::optional<std::uint16_t> SubstreamType(std::uint8_t entryType) {
  switch (entryType) {
    case 0:
      return kWorksheetType;
    case 1:
      return 0x0040;
    case 2:
      return kChartType;
    case 6:
      return 0x0006;
    default:
      return std::nullopt;
  }
}

class GlobalsVerifier {
 public:
  GlobalsVerifier(Bytes stream, Findings& findings)
      : stream_(stream), findings_(findings), links_(stream, findings, summary_) {}

  // `sized`: the record has a sound size. One that has not (a finding already) still counts
  // among the fonts, formats, XFs, sheets, names and SUPBOOKs, so that the indices of the
  // others stay as a reader counts them; its text is not read.
  void Record(std::span<const RawRecord> pieces, bool sized) {
    const RawRecord& r = pieces.front();
    const Bytes data = DataOf(stream_, r);
    const auto code = static_cast<RecordCode>(r.code);
    if (r.code == kDrawingGroupCode) summary_.hasDrawingGroup = true;
    if (code == BOUNDSHEET) ++summary_.sheets;
    if (code == NAME || code == SUPBOOK || code == EXTERNNAME || code == EXTERNSHEET) {
      links_.Record(pieces, sized);
      return;
    }
    if (!sized && code != FONT && code != FORMAT && code != XF) return;
    switch (code) {
      case FONT: {
        ++fonts_;
        if (!sized) break;
        const std::string name = "FONT " + std::to_string(fonts_ - 1);
        // Fields readers take from a short list: a value off it is a font made of junk.
        const std::uint16_t script = LittleEndian::U16(data, 8);
        const std::uint8_t underline = LittleEndian::U8(data, 10);
        if (script > kLastScript || std::find(std::begin(kUnderlines), std::end(kUnderlines),
                                              underline) == std::end(kUnderlines)) {
          findings_.Add("font-fields", r.pos,
                        name + ": script " + std::to_string(script) + ", underline " +
                            std::to_string(underline));
        }
        Text(r, name + "'s name", 14, 1);
        break;
      }
      case DATE1904:
        // Readers know two date systems.
        if (LittleEndian::U16(data, 0) > 1) {
          findings_.Add("globals-value", r.pos,
                        "DATE1904 of " + std::to_string(LittleEndian::U16(data, 0)));
        }
        break;
      case CODENAME: {
        // The code page the workbook's 8-bit text is in: readers refuse one they do not know.
        const std::uint16_t page = LittleEndian::U16(data, 0);
        if (!text::KnownCodePage(page)) {
          findings_.Add("globals-value", r.pos, "code page " + std::to_string(page));
        }
        break;
      }
      case FORMAT:
        formats_.push_back(LittleEndian::U16(data, 0));
        if (sized) Text(r, "FORMAT " + std::to_string(formats_.back()), 2, 2);
        break;
      case XF: {
        xfs_.push_back({r.pos, LittleEndian::U16(data, 0), LittleEndian::U16(data, 2),
                        LittleEndian::U16(data, 4)});
        ++summary_.xfs;
        const unsigned vertical = (LittleEndian::U8(data, 6) >> 4) & 0x07;
        if (sized && vertical > kLastVerticalAlignment) {
          findings_.Add("xf-fields", r.pos,
                        "XF " + std::to_string(xfs_.size() - 1) + ": vertical alignment " +
                            std::to_string(vertical));
        }
        break;
      }
      case STYLE: {
        const std::uint16_t word = LittleEndian::U16(data, 0);
        styles_.emplace_back(r.pos, static_cast<std::uint16_t>(word & kStyleXfMask));
        if ((word & kBuiltInStyle) != 0) {
          if (r.length != 4) {
            findings_.Add("record-size", r.pos,
                          "a built-in STYLE of " + std::to_string(r.length) + " bytes, not 4");
          }
        } else {
          Text(r, "STYLE's name", 2, 2);
        }
        break;
      }
      case BOUNDSHEET:
        entries_.push_back({r.pos, LittleEndian::U32(data, 0), LittleEndian::U8(data, 5)});
        Text(r, "BOUNDSHEET's name", 6, 1);
        break;
      case PALETTE:
        if (r.length != 2 + 4 * std::size_t{LittleEndian::U16(data, 0)}) {
          findings_.Add("record-size", r.pos,
                        "PALETTE of " + std::to_string(LittleEndian::U16(data, 0)) +
                            " colours in " + std::to_string(r.length) + " bytes");
        }
        break;
      case SST:
        SharedStrings(pieces);
        break;
      default:
        break;
    }
  }

  // The references between the globals' records, once all are there.
  void Finish() {
    std::sort(formats_.begin(), formats_.end());
    for (std::size_t i = 0; i < xfs_.size(); ++i) {
      const Xf& xf = xfs_[i];
      const std::string name = "XF " + std::to_string(i);
      const bool fontThere = xf.font < kSkippedFont
                                 ? xf.font < fonts_
                                 : xf.font > kSkippedFont && xf.font - 1u < fonts_;
      if (!fontThere) {
        findings_.Add("xf-font", xf.pos,
                      name + " names font " + std::to_string(xf.font) + "; the globals hold " +
                          std::to_string(fonts_) + " fonts (index 4 names none)");
      }
      if (xf.format >= kFirstCustomFormat &&
          !std::binary_search(formats_.begin(), formats_.end(), xf.format)) {
        findings_.Add("xf-format", xf.pos,
                      name + " names number format " + std::to_string(xf.format) +
                          ", which no FORMAT defines");
      }
      const std::uint16_t parent = xf.type >> 4;
      if (IsStyle(xf)) {
        if (parent != kNoParent) {
          findings_.Add("xf-parent", xf.pos,
                        "style " + name + " names parent " + std::to_string(parent) +
                            "; a style XF has none (4095)");
        }
      } else if (parent >= xfs_.size() || !IsStyle(xfs_[parent])) {
        findings_.Add("xf-parent", xf.pos,
                      "cell " + name + " names parent " + std::to_string(parent) +
                          ", which is not a style XF of the " + std::to_string(xfs_.size()));
      }
    }
    for (const auto& [pos, xf] : styles_) {
      if (xf >= xfs_.size()) {
        findings_.Add("style-xf", pos,
                      "STYLE names XF " + std::to_string(xf) + "; the globals hold " +
                          std::to_string(xfs_.size()));
      }
    }
    links_.Finish();
  }

  const GlobalsSummary& summary() const { return summary_; }
  const std::vector<SheetEntry>& entries() const { return entries_; }

 private:
  struct Xf {
    std::size_t pos = 0;
    std::uint16_t font = 0;
    std::uint16_t format = 0;
    std::uint16_t type = 0;  // locks, style bit, parent in bits 4 to 15
  };
  static bool IsStyle(const Xf& xf) { return (xf.type & kStyleXf) != 0; }

  // The string at `offset` of a record that does not continue.
  void Text(const RawRecord& r, const std::string& what, std::size_t offset,
            std::size_t countBytes) {
    TextCursor cursor(stream_, std::span<const RawRecord>(&r, 1), offset, false);
    if (auto fault = cursor.Read(countBytes, countBytes == 2)) {
      findings_.Add(fault->invariant, r.pos, what + ": " + fault->what);
    }
  }

  // The shared string table: the counts, and every string read whole across the CONTINUE
  // records. Each string takes at least 3 bytes, so the loop ends with the data whatever
  // the count says.
  void SharedStrings(std::span<const RawRecord> pieces) {
    const RawRecord& r = pieces.front();
    const Bytes data = DataOf(stream_, r);
    const std::uint32_t total = LittleEndian::U32(data, 0);
    const std::uint32_t unique = LittleEndian::U32(data, 4);
    TextCursor cursor(stream_, pieces, 8, true);
    std::size_t held = 0;
    bool whole = true;
    while (held < unique) {
      if (cursor.AtEnd()) {
        findings_.Add("sst-count", r.pos,
                      "the SST counts " + std::to_string(unique) + " strings and holds " +
                          std::to_string(held));
        break;
      }
      const std::size_t at = cursor.StreamPos();
      if (auto fault = cursor.Read(2, true)) {
        findings_.Add(fault->invariant, at,
                      "SST string " + std::to_string(held) + ": " + fault->what);
        if (fault->invariant != "surrogate") {
          whole = false;
          break;
        }
      }
      ++held;
    }
    if (whole && held == unique && !cursor.AtEnd()) {
      findings_.Add("sst-count", r.pos,
                    std::to_string(cursor.Left()) + " bytes follow the SST's last string (" +
                        std::to_string(unique) + " counted)");
    }
    if (total < unique) {
      findings_.Add("sst-count", r.pos,
                    "the SST counts " + std::to_string(total) + " uses of " +
                        std::to_string(unique) + " strings");
    }
    summary_.sharedStrings = held;
  }

  Bytes stream_;
  Findings& findings_;
  GlobalsSummary summary_;
  std::size_t fonts_ = 0;
  std::vector<std::uint16_t> formats_;
  std::vector<Xf> xfs_;
  std::vector<std::pair<std::size_t, std::uint16_t>> styles_;  // STYLE position, XF index
  std::vector<SheetEntry> entries_;
  GlobalsLinks links_;
};

// ---- the walk ---------------------------------------------------------------------------

// The records of the stream as its chain of lengths gives them, up to the first that does
// not fit (a finding). False when the walk had to stop there. Zero bytes behind the last
// record are padding (the spreadsheet program itself pads short streams to 4096 bytes).
bool Split(Bytes stream, std::vector<RawRecord>& records, Findings& findings) {
  std::size_t padding = stream.size();
  while (padding > 0 && stream[padding - 1] == 0) --padding;
  std::size_t pos = 0;
  while (pos < stream.size() && !(pos > 0 && pos >= padding)) {
    const std::size_t left = stream.size() - pos;
    if (left < kRecordHeaderSize) {
      findings.Add("record-cut", pos,
                   std::to_string(left) + " bytes after the last record, too few for a header");
      return false;
    }
    const RawRecord r{pos, LittleEndian::U16(stream, pos), LittleEndian::U16(stream, pos + 2)};
    if (left - kRecordHeaderSize < r.length) {
      findings.Add("record-cut", pos,
                   Label(r.code) + " of " + std::to_string(r.length) +
                       " data bytes runs past the "
                       "end of the stream (" +
                       std::to_string(left - kRecordHeaderSize) + " left)");
      return false;
    }
    records.push_back(r);
    pos += kRecordHeaderSize + r.length;
  }
  return true;
}

class Walk {
 public:
  Walk(Bytes stream, std::span<const RawRecord> records, Findings& findings)
      : stream_(stream), records_(records), findings_(findings), globals_(stream, findings) {}

  void Run(bool complete) {
    std::size_t i = 0;
    while (i < records_.size()) {
      std::size_t j = i + 1;
      while (j < records_.size() && records_[j].code == kContinueCode) ++j;
      Group(i, records_.subspan(i, j - i));
      previous_ = i;
      i = j;
    }
    if (!open_.empty() && complete) {
      findings_.Add("substreams", topStart_, "the substream that starts here has no EOF");
    }
    CloseTop();
    if (!globalsSeen_) {
      findings_.Add("substreams", 0,
                    records_.empty() ? "the stream holds no record" : "the stream has no BOF");
    }
    CheckSheetEntries();
  }

 private:
  enum class Part { None, Globals, Worksheet, Other };

  void Group(std::size_t index, std::span<const RawRecord> pieces) {
    const RawRecord& r = pieces.front();
    for (const RawRecord& piece : pieces) {
      if (piece.length > kMaxRecordData) {
        findings_.Add("record-length", piece.pos,
                      Label(piece.code) + " of " + std::to_string(piece.length) +
                          " data bytes, more than 8224");
      }
    }
    if (r.code == kContinueCode) {
      findings_.Add("continue-stray", r.pos, "the stream starts with a CONTINUE record");
      return;
    }
    // The records of the globals and of a worksheet itself are checked; those of other
    // substreams (charts, modules) only for their frame.
    const bool checked = open_.size() == 1 && (part_ == Part::Globals || part_ == Part::Worksheet);
    bool sized = true;
    if (const Layout* layout = LayoutOf(r.code);
        layout != nullptr && (checked || r.code == Code(BOF) || r.code == Code(EOF_))) {
      if (auto problem = SizeProblem(*layout, r.length)) {
        findings_.Add("record-size", r.pos, Label(r.code) + " of " + *problem);
        sized = false;
      }
      if (checked && pieces.size() > 1 && !layout->continues) {
        findings_.Add("continue-stray", pieces[1].pos,
                      std::to_string(pieces.size() - 1) + " CONTINUE record(s) follow " +
                          Label(r.code) + ", which does not continue");
      }
    }

    if (r.code == kDrawingCode && open_.size() >= 1 && part_ != Part::Globals && !drawingNoted_) {
      // Readers find a sheet's drawing through the globals' table of pictures and shapes.
      drawingNoted_ = true;
      if (!globals_.summary().hasDrawingGroup) {
        findings_.Add("drawing-group", r.pos,
                      "MSODRAWING in a sheet and the globals hold no MSODRAWINGGROUP record");
      }
    }

    if (r.code == Code(BOF)) {
      Bof(r, sized);
    } else if (r.code == Code(EOF_)) {
      Eof(r);
    } else if (open_.empty()) {
      findings_.Add("substreams", r.pos, Label(r.code) + " stands outside every substream");
    } else if (checked && part_ == Part::Globals) {
      globals_.Record(pieces, sized);
    } else if (checked && sized && part_ == Part::Worksheet) {
      sheet_->Record(index, pieces);
    }
  }

  void Bof(const RawRecord& r, bool sized) {
    const Bytes data = DataOf(stream_, r);
    const std::uint16_t version = LittleEndian::U16(data, 0);
    const std::uint16_t type = LittleEndian::U16(data, 2);
    if (sized && version != kBiff8) {
      findings_.Add("substreams", r.pos, "BOF of BIFF version " + Hex(version) + ", not 0x0600");
    }
    if (!open_.empty() && part_ == Part::Globals) {
      findings_.Add("substreams", r.pos, "a BOF inside the globals: their EOF is missing");
      CloseTop();
    }
    if (!open_.empty()) {  // a substream inside a worksheet: an embedded chart
      if (open_.size() == 1 && part_ == Part::Worksheet) EmbeddedChart(r, type);
      open_.push_back(type);
      return;
    }
    topStart_ = r.pos;
    open_.push_back(type);
    if (!globalsSeen_) {
      globalsSeen_ = true;
      part_ = Part::Globals;
      if (type != kGlobalsType) {
        findings_.Add("substreams", r.pos,
                      "the first substream is of type " + Hex(type) + ", not the globals");
      }
      return;
    }
    starts_.emplace_back(r.pos, type);
    if (type == kGlobalsType) {
      findings_.Add("substreams", r.pos, "a second globals substream");
      part_ = Part::Other;
    } else if (type == kWorksheetType) {
      part_ = Part::Worksheet;
      sheet_.emplace(stream_, records_, globals_.summary(), findings_, r.pos);
    } else {
      part_ = Part::Other;
    }
  }

  // A substream inside a worksheet is a chart drawn on it, and follows the OBJ that places
  // it: readers take the OBJ for the chart's frame.
  void EmbeddedChart(const RawRecord& r, std::uint16_t type) {
    if (type != kChartType) {
      findings_.Add("embedded-chart", r.pos,
                    "a substream of type " + Hex(type) + " inside a worksheet, not a chart");
      return;
    }
    const RawRecord* before = previous_ ? &records_[*previous_] : nullptr;
    const Bytes data = before != nullptr ? DataOf(stream_, *before) : Bytes();
    const bool object = before != nullptr && before->code == kObjCode &&
                        LittleEndian::U16(data, 0) == kCommonObjectData;
    if (!object || LittleEndian::U16(data, 4) != kChartObject) {
      const std::string after = object
                                    ? "an OBJ of kind " + std::to_string(LittleEndian::U16(data, 4))
                                : before != nullptr ? Label(before->code)
                                                    : std::string("nothing");
      findings_.Add("embedded-chart", r.pos,
                    "a chart inside a worksheet that does not follow the OBJ of a chart (it "
                    "follows " +
                        after + ")");
    }
  }

  void Eof(const RawRecord& r) {
    if (open_.empty()) {
      findings_.Add("substreams", r.pos, "EOF outside every substream");
      return;
    }
    open_.pop_back();
    if (open_.empty()) CloseTop();
  }

  // Ends the top-level substream: its closing checks.
  void CloseTop() {
    if (part_ == Part::Globals) globals_.Finish();
    if (sheet_) sheet_->Finish();
    sheet_.reset();
    drawingNoted_ = false;
    open_.clear();
    part_ = Part::None;
  }

  // Each sheet entry names the start of a substream of its type, and each substream after
  // the globals has an entry.
  void CheckSheetEntries() {
    std::vector<bool> named(starts_.size(), false);
    for (const SheetEntry& entry : globals_.entries()) {
      // The starts are in stream order.
      const auto it = std::lower_bound(starts_.begin(), starts_.end(), entry.target,
                                       [](const std::pair<std::size_t, std::uint16_t>& s,
                                          std::uint32_t at) { return s.first < at; });
      const std::optional<std::uint16_t> type = SubstreamType(entry.type);
      if (it == starts_.end() || it->first != entry.target) {
        findings_.Add("sheet-entry", entry.pos,
                      "BOUNDSHEET names position " + std::to_string(entry.target) +
                          ", where no substream starts");
        continue;
      }
      const auto k = static_cast<std::size_t>(it - starts_.begin());
      if (named[k]) {
        findings_.Add("sheet-entry", entry.pos,
                      "a second BOUNDSHEET names the substream at " + std::to_string(entry.target));
        continue;
      }
      named[k] = true;
      if (!type || *type != it->second) {
        findings_.Add("sheet-entry", entry.pos,
                      "BOUNDSHEET of sheet type " + std::to_string(entry.type) +
                          " names a substream of type " + Hex(it->second));
      }
    }
    for (std::size_t k = 0; k < starts_.size(); ++k) {
      if (!named[k]) {
        findings_.Add("sheet-entry", starts_[k].first, "no BOUNDSHEET names this substream");
      }
    }
  }

  Bytes stream_;
  std::span<const RawRecord> records_;
  Findings& findings_;
  GlobalsVerifier globals_;
  std::optional<SheetVerifier> sheet_;
  std::vector<std::uint16_t> open_;  // the types of the open substreams, outermost first
  Part part_ = Part::None;           // of the outermost
  std::size_t topStart_ = 0;
  bool globalsSeen_ = false;
  // The substreams after the globals: BOF position and type.
  std::vector<std::pair<std::size_t, std::uint16_t>> starts_;
  std::optional<std::size_t> previous_;  // the first record of the group before
  bool drawingNoted_ = false;            // in the open top-level substream
};

}  // namespace
}  // namespace verify

std::vector<std::string> VerifyWorkbookStream(std::span<const std::uint8_t> stream) {
  verify::Findings findings;
  std::vector<verify::RawRecord> records;
  const bool complete = verify::Split(stream, records, findings);
  verify::Walk(stream, records, findings).Run(complete);
  return findings.Take();
}

}  // namespace tabulix
