// The stream verifier on a small well-formed workbook built record by record, and on copies
// of it with one invariant broken each: the verifier must name that invariant, and only it.

#include "biff/stream_verifier.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "byte_builder.hpp"

namespace tabulix {
namespace {

using test::ByteBuilder;
using Bytes = std::vector<std::uint8_t>;

struct Rec {
  std::uint16_t code;
  Bytes data;
};

Rec R(std::uint16_t code, const ByteBuilder& data) { return {code, data.bytes()}; }
Rec Cell(std::uint16_t code, std::uint16_t row, std::uint16_t column, ByteBuilder rest,
         std::uint16_t xf = 1) {
  ByteBuilder b;
  b.U16(row).U16(column).U16(xf);
  for (std::uint8_t byte : rest.bytes()) b.U8(byte);
  return {code, b.bytes()};
}
Rec Number(std::uint16_t row, std::uint16_t column) {
  return Cell(0x0203, row, column, ByteBuilder().U32(0).U32(0x3FF00000));
}
// A FORMULA with a cached result and the given tokens (and extra data).
Rec Formula(std::uint16_t row, std::uint16_t column, std::uint64_t result, const Bytes& tokens) {
  ByteBuilder b;
  b.U32(static_cast<std::uint32_t>(result)).U32(static_cast<std::uint32_t>(result >> 32));
  b.U16(0).U32(0).U16(static_cast<std::uint16_t>(tokens.size()));
  for (std::uint8_t byte : tokens) b.U8(byte);
  return Cell(0x0006, row, column, b);
}
constexpr std::uint64_t kText = 0xFFFF000000000000ull;
const Bytes kInt = {0x1E, 0x07, 0x00};
Bytes Exp(std::uint16_t row, std::uint16_t column) {
  return ByteBuilder().U8(0x01).U16(row).U16(column).bytes();
}
// A long string: count, flags, characters (8-bit).
ByteBuilder& Text(ByteBuilder& b, const std::string& text) {
  b.U16(static_cast<std::uint16_t>(text.size())).U8(0);
  for (char c : text) b.U8(static_cast<std::uint8_t>(c));
  return b;
}
Rec StringRecord(const std::string& text) {
  ByteBuilder b;
  return R(0x0207, Text(b, text));
}

// A NAME of `scope` (0: the workbook, else a sheet counted from 1) standing for `tokens`.
Rec Name(std::uint16_t scope, const std::string& text, const Bytes& tokens) {
  ByteBuilder b;
  b.U16(0).U8(0).U8(static_cast<std::uint8_t>(text.size()));  // options, key, length
  b.U16(static_cast<std::uint16_t>(tokens.size())).U16(0).U16(scope).U32(0);
  b.U8(0);  // 8-bit characters
  for (char c : text) b.U8(static_cast<std::uint8_t>(c));
  for (std::uint8_t byte : tokens) b.U8(byte);
  return R(0x0018, b);
}
Bytes NameToken(std::uint16_t name) { return ByteBuilder().U8(0x23).U16(name).U16(0).bytes(); }
Bytes Ref3d(std::uint16_t entry) { return ByteBuilder().U8(0x3A).U16(entry).U16(0).U16(0).bytes(); }
Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
// An OBJ of `kind` (0x19 a comment, 5 a chart) with its common data and the closing part.
Rec Obj(std::uint16_t kind, std::uint16_t id) {
  return R(0x005D, ByteBuilder().U16(0x15).U16(18).U16(kind).U16(id).U16(0x6011).Fill(12).U32(0));
}
Rec Note(std::uint16_t row, std::uint16_t column, std::uint16_t object) {
  ByteBuilder b;
  b.U16(row).U16(column).U16(0).U16(object);
  return R(0x001C, Text(b, "me").U8(0));
}
Rec Drawing() { return R(0x00EC, ByteBuilder().U16(0x000F).U16(0xF004).U32(0)); }

// A workbook of one font, a style XF and a cell XF, a style, two shared strings and one
// worksheet holding three cells in rows 0 and 1.
struct Book {
  std::vector<Rec> globals = {
      R(0x0031,
        ByteBuilder().U16(200).U16(0).U16(0x7FFF).U16(400).U16(0).U32(0).U8(1).U8(0).Raw({'A'})),
      R(0x00E0, ByteBuilder().U16(0).U16(0).U16(0xFFF5).Fill(14)),  // style XF
      R(0x00E0, ByteBuilder().U16(0).U16(0).U16(0x0001).Fill(14)),  // cell XF, parent 0
      R(0x0293, ByteBuilder().U16(0x8000).U8(0).U8(0xFF)),
      R(0x00FC,
        [] {
          ByteBuilder b;
          b.U32(2).U32(2);
          Text(b, "ab");
          return Text(b, "cd");
        }()),
  };
  std::vector<Rec> sheet = {
      R(0x020B, ByteBuilder().U32(0).U32(0).U32(2).U32(0)),         // INDEX, rows 0 to 1
      R(0x0200, ByteBuilder().U32(0).U32(2).U16(0).U16(3).U16(0)),  // DIMENSIONS
      R(0x0208, ByteBuilder().U16(0).U16(0).U16(3).U16(255).U32(0).U32(0)),
      R(0x0208, ByteBuilder().U16(1).U16(0).U16(3).U16(255).U32(0).U32(0)),
      Cell(0x00FD, 0, 0, ByteBuilder().U32(1)),  // LABELSST
      Number(0, 2),
      Cell(0x0201, 1, 1, ByteBuilder()),  // BLANK
  };
  std::optional<std::uint32_t> sheetPosition;  // the BOUNDSHEET's, when not the sheet's BOF
  std::vector<Rec> links;  // behind the sheet entries (SUPBOOK, EXTERNSHEET, NAME)
  std::vector<Rec> chart;  // a chart sheet, when not empty
  bool chartNamedTwice = false;

  Bytes Stream() const {
    ByteBuilder b;
    const auto put = [&](const Rec& r) {
      b.Header(r.code, static_cast<std::uint16_t>(r.data.size()));
      for (std::uint8_t byte : r.data) b.U8(byte);
    };
    put(Bof(0x0005));
    for (const Rec& r : globals) put(r);
    std::vector<std::size_t> entries;  // the BOUNDSHEETs' position fields
    const auto entry = [&](std::uint8_t type, char name) {
      entries.push_back(b.size() + 4);
      put(R(0x0085, ByteBuilder().U32(0).U8(0).U8(type).U8(2).U8(0).Raw({'S'}).U8(
                        static_cast<std::uint8_t>(name))));
    };
    entry(0, '1');
    if (!chart.empty()) entry(2, '2');
    if (chartNamedTwice) entry(2, '3');
    for (const Rec& r : links) put(r);
    put({0x000A, {}});
    const auto sheetAt = static_cast<std::uint32_t>(b.size());
    put(Bof(0x0010));
    for (const Rec& r : sheet) put(r);
    put({0x000A, {}});
    const auto chartAt = static_cast<std::uint32_t>(b.size());
    if (!chart.empty()) {
      put(Bof(0x0020));
      for (const Rec& r : chart) put(r);
      put({0x000A, {}});
    }
    Bytes bytes = b.bytes();
    for (std::size_t e = 0; e < entries.size(); ++e) {
      const std::uint32_t position = e == 0 ? sheetPosition.value_or(sheetAt) : chartAt;
      for (int k = 0; k < 4; ++k) {
        bytes[entries[e] + k] = static_cast<std::uint8_t>(position >> 8 * k);
      }
    }
    return bytes;
  }
  static Rec Bof(std::uint16_t type) {
    return R(0x0809,
             ByteBuilder().U16(0x0600).U16(type).U16(0x19A0).U16(0x07CD).U32(0xC0C9).U32(0x0306));
  }
};

std::string Show(const std::vector<std::string>& findings) {
  std::string text;
  for (const std::string& f : findings) text += "  " + f + "\n";
  return text;
}

TEST(StreamVerifier, AWellFormedBookHasNoFindingAndPaddingIsNotOne) {
  Book book;
  Bytes stream = book.Stream();
  EXPECT_TRUE(VerifyWorkbookStream(stream).empty()) << Show(VerifyWorkbookStream(stream));
  stream.resize(4096, 0);  // the spreadsheet program pads short streams
  EXPECT_TRUE(VerifyWorkbookStream(stream).empty()) << Show(VerifyWorkbookStream(stream));
  // Formulas: a shared one with its SHRFMLA and a follower, a text result with its STRING
  // continued in a CONTINUE record, a name once the globals hold a NAME record.
  book.globals.push_back(Name(0, "n", kInt));
  book.sheet.push_back(Formula(1, 2, 0, Exp(1, 2)));
  book.sheet.push_back(
      R(0x00BC, ByteBuilder().U16(1).U16(1).U8(2).U8(3).U16(0x0200).U16(3).Raw({0x1E, 1, 0})));
  book.sheet.push_back(Formula(1, 3, kText, ByteBuilder().U8(0x43).U16(1).U16(0).bytes()));
  book.sheet.push_back(R(0x0207, ByteBuilder().U16(4).U8(1).U16('a').U16(0xD83D)));
  book.sheet.push_back(R(0x003C, ByteBuilder().U8(1).U16(0xDE00).U16('b')));
  book.sheet[1] = R(0x0200, ByteBuilder().U32(0).U32(2).U16(0).U16(4).U16(0));
  book.sheet[3] = R(0x0208, ByteBuilder().U16(1).U16(0).U16(4).U16(255).U32(0).U32(0));
  EXPECT_TRUE(VerifyWorkbookStream(book.Stream()).empty())
      << Show(VerifyWorkbookStream(book.Stream()));
}

struct Fault {
  std::string invariant;
  std::function<void(Book&)> make;
  // Invariants the fault breaks as well: a cell past column 255 cannot lie inside
  // DIMENSIONS or its ROW.
  std::vector<std::string> also = {};
};

// The book without its LABELSST, for faults that cut the shared strings short.
void DropLabel(Book& b) { b.sheet.erase(b.sheet.begin() + 4); }
// Room for cells in column 3 of row 1.
void Widen(Book& b) {
  b.sheet[1].data[10] = 4;
  b.sheet[3].data[4] = 4;
}

// Each fault made on a copy of `base` is named, and nothing else is.
void ExpectEachNamed(const Book& base, const std::vector<Fault>& faults) {
  for (const Fault& fault : faults) {
    Book book = base;
    fault.make(book);
    const std::vector<std::string> findings = VerifyWorkbookStream(book.Stream());
    SCOPED_TRACE(fault.invariant);
    bool named = false;
    for (const std::string& finding : findings) {
      const std::string invariant = finding.substr(0, finding.find(" at "));
      named = named || invariant == fault.invariant;
      EXPECT_TRUE(invariant == fault.invariant ||
                  std::find(fault.also.begin(), fault.also.end(), invariant) != fault.also.end())
          << finding;
    }
    EXPECT_TRUE(named) << Show(findings);
  }
}

TEST(StreamVerifier, EachBrokenInvariantIsNamed) {
  const auto sheetAdd = [](Rec r) { return [r](Book& b) { b.sheet.push_back(r); }; };
  const std::vector<std::string> outside = {"dimensions", "row-span"};
  const std::vector<Fault> faults = {
      {"record-length", sheetAdd(R(0x0870, ByteBuilder().Fill(8225)))},
      {"record-size", [](Book& b) { b.sheet[5].data.pop_back(); }},                // NUMBER
      {"record-size", [](Book& b) { b.globals.push_back(R(0x0022, ByteBuilder().U32(0))); }},
      // An XF too long still counts: the cells' XF indices stay as readers count them.
      {"record-size", [](Book& b) { b.globals[2].data.push_back(0); }},
      {"sheet-entry", [](Book& b) { b.sheetPosition = 4; }},  // and the sheet has no entry
      {"xf-font", [](Book& b) { b.globals[2].data[0] = 4; }},  // index 4 names no font
      {"xf-font", [](Book& b) { b.globals[2].data[0] = 5; }},  // the second font
      {"xf-format", [](Book& b) { b.globals[2].data[2] = 200; }},
      {"xf-parent", [](Book& b) { b.globals[2].data[4] = 0x11; }},  // parent 1: a cell XF
      {"xf-parent", [](Book& b) { b.globals[1].data[4] = 0x05; }},  // a style XF with a parent
      {"style-xf", [](Book& b) { b.globals[3].data[0] = 9; }},
      {"sst-count", [](Book& b) { b.globals[4].data[4] = 3; }},     // 3 counted, 2 held
      {"sst-count", [](Book& b) { b.globals[4].data.push_back(0); }},
      {"sst-count", [](Book& b) { b.globals[4].data[0] = 1; }},     // fewer uses than strings
      {"continue-missing",
       [](Book& b) {
         b.globals[4].data.pop_back();
         DropLabel(b);
       }},
      {"text-continue",
       [](Book& b) {
         b.globals[4].data.pop_back();
         b.globals.push_back(R(0x003C, ByteBuilder().U8(0x05).U8('d')));
         DropLabel(b);
       }},
      {"text-split",
       [](Book& b) {
         b.globals[4].data = ByteBuilder().U32(1).U32(1).U16(2).U8(1).U8('a').bytes();
         b.globals.push_back(R(0x003C, ByteBuilder().U8(0).U16('b')));
         DropLabel(b);
       }},
      // A low half alone, a high half at the end, a high half before another high half.
      {"surrogate", sheetAdd(Cell(0x0204, 1, 2, ByteBuilder().U16(1).U8(1).U16(0xDC00)))},
      {"surrogate", sheetAdd(Cell(0x0204, 1, 2, ByteBuilder().U16(2).U8(1).U16('a').U16(0xD800)))},
      {"surrogate",
       sheetAdd(Cell(0x0204, 1, 2, ByteBuilder().U16(3).U8(1).U16(0xD800).U16(0xD800).U16(0xDC00)))},
      {"text-length", [](Book& b) { b.sheet.push_back(Cell(0x0204, 1, 2, ByteBuilder().U16(3).U8(0).U8('a'))); }},
      {"cell-column", sheetAdd(Number(1, 256)), outside},
      {"cell-column", sheetAdd(Cell(0x00BE, 1, 254, ByteBuilder().U16(1).U16(1).U16(256))),
       outside},
      {"cell-span", sheetAdd(Cell(0x00BD, 1, 2, ByteBuilder().U32(2).U16(4)))},  // one cell
      {"cell-order", [](Book& b) { std::swap(b.sheet[4], b.sheet[5]); }},
      {"cell-order", sheetAdd(Number(1, 1))},  // the BLANK's place again
      {"sst-index", [](Book& b) { b.sheet[4].data[6] = 2; }},
      {"xf-index", [](Book& b) { b.sheet[5].data[4] = 2; }},  // a cell's
      {"xf-index", [](Book& b) { b.sheet[2].data[12] = 0x80; b.sheet[2].data[14] = 2; }},  // a row's
      {"xf-index", sheetAdd(R(0x007D, ByteBuilder().U16(5).U16(6).U16(2000).U16(7).U16(0).U16(0)))},
      {"xf-fields", [](Book& b) { b.globals[2].data[6] = 0x70; }},  // vertical alignment 7
      {"globals-value", [](Book& b) { b.globals.push_back(R(0x0022, ByteBuilder().U16(2))); }},
      {"globals-value", [](Book& b) { b.globals.push_back(R(0x0042, ByteBuilder().U16(2))); }},
      {"font-fields", [](Book& b) { b.globals[0].data[8] = 3; }},   // script
      {"font-fields", [](Book& b) { b.globals[0].data[10] = 3; }},  // underline
      {"dimensions", [](Book& b) { b.sheet[1].data[10] = 2; }},  // the NUMBER in column 2
      {"dimensions", [](Book& b) { b.sheet.erase(b.sheet.begin() + 1); }},
      {"row-dimensions", [](Book& b) { b.sheet[3].data[0] = 2; }},
      {"row-span", [](Book& b) { b.sheet[2].data[4] = 2; }},  // row 0 ends before column 2
      {"index-rows", [](Book& b) { b.sheet[0].data[8] = 1; }},
      {"string-missing", sheetAdd(Formula(1, 2, kText, kInt))},
      {"string-stray",
       [](Book& b) {
         b.sheet.push_back(Formula(1, 2, 0, kInt));
         b.sheet.push_back(StringRecord("x"));
       }},
      {"shared-missing", sheetAdd(Formula(1, 2, 0, Exp(0, 0)))},
      {"shared-missing",
       [](Book& b) {  // the shared range ends before the second cell
         Widen(b);
         b.sheet.push_back(Formula(1, 2, 0, Exp(1, 2)));
         b.sheet.push_back(R(0x00BC, ByteBuilder().U16(1).U16(1).U8(2).U8(2).U16(0x0200).U16(3)
                                         .Raw({0x1E, 1, 0})));
         b.sheet.push_back(Formula(1, 3, 0, Exp(1, 2)));
       }},
      {"companion-stray", sheetAdd(R(0x0221, ByteBuilder().U16(0).U16(0).U8(0).U8(0).U16(0)
                                                 .U32(0).U16(3).Raw({0x1E, 1, 0})))},
      {"range",
       [](Book& b) {
         b.sheet.push_back(Formula(1, 2, 0, kInt));
         b.sheet.push_back(R(0x0221, ByteBuilder().U16(1).U16(0).U8(2).U8(2).U16(0).U32(0)
                                         .U16(3).Raw({0x1E, 1, 0})));
       }},
      {"range", sheetAdd(R(0x00E5, ByteBuilder().U16(1).U16(0).U16(0).U16(3).U16(1)))},
      {"formula-tokens", sheetAdd(Formula(1, 2, 0, {0x1E, 1, 0, 0x18, 0x0A}))},
      {"formula-names", sheetAdd(Formula(1, 2, 0, ByteBuilder().U8(0x23).U16(1).U16(0).bytes()))},
      {"formula-externsheet",
       sheetAdd(Formula(1, 2, 0, ByteBuilder().U8(0x3A).U16(0).U16(0).U16(0).bytes()))},
      {"formula-result", sheetAdd(Formula(1, 2, 0xFFFF000000000005ull, kInt))},
      {"formula-code",
       [](Book& b) {
         b.sheet.push_back(Formula(1, 2, 0, kInt));
         b.sheet.back().code = 0x0406;
       }},
      {"continue-stray", sheetAdd(R(0x003C, ByteBuilder().U16(0)))},
  };
  ExpectEachNamed(Book(), faults);
}

TEST(StreamVerifier, TheFrameOfSubstreamsAndRecords) {
  const auto invariants = [](const Bytes& stream) {
    std::string text;
    for (const std::string& f : VerifyWorkbookStream(stream))
      text += f.substr(0, f.find(' ')) + ";";
    return text;
  };
  const Bytes whole = Book().Stream();
  // Cut inside the last header, inside a record's data, and a stream of nothing.
  EXPECT_EQ(invariants(Bytes(whole.begin(), whole.end() - 2)), "record-cut;");
  EXPECT_EQ(invariants(Bytes(whole.begin(), whole.end() - 10)), "record-cut;");
  EXPECT_EQ(invariants({}), "substreams;");
  // No EOF at the end; a record behind the last EOF; a BOF of another version.
  EXPECT_EQ(invariants(Bytes(whole.begin(), whole.end() - 4)), "substreams;");
  Bytes behind = whole;
  for (std::uint8_t byte : {0x01, 0x02, 0x00, 0x00}) behind.push_back(byte);
  EXPECT_EQ(invariants(behind), "substreams;");
  Bytes older = whole;
  older[5] = 0x05;  // the globals' BOF: version 0x0500
  EXPECT_EQ(invariants(older), "substreams;");
  // The stream opens with the worksheet's BOF, not the globals'.
  Bytes sheetFirst = whole;
  sheetFirst[6] = 0x10;
  EXPECT_NE(invariants(sheetFirst).find("substreams;"), std::string::npos);
}

TEST(StreamVerifier, FindingsAreCappedPerInvariant) {
  Book book;
  for (std::uint16_t k = 0; k < 150; ++k) book.sheet.push_back(Number(1, 300 + k));
  book.sheet.push_back(Cell(0x00FD, 1, 450, ByteBuilder().U32(9)));  // after them all
  const std::vector<std::string> findings = VerifyWorkbookStream(book.Stream());
  std::size_t columns = 0;
  for (const std::string& f : findings) columns += f.rfind("cell-column at ", 0) == 0;
  EXPECT_EQ(columns, kMaxFindingsPerInvariant) << Show(findings);
  // The shared string past the table is not hidden behind the columns.
  EXPECT_EQ(std::count_if(findings.begin(), findings.end(),
                          [](const std::string& f) { return f.rfind("sst-index at ", 0) == 0; }),
            1);
  EXPECT_EQ(findings.back(), "... and 141 more: cell-column 141") << Show(findings);
}

// The book with what the save keeps of a whole workbook besides its cells: the workbook's
// own SUPBOOK and an EXTERNSHEET entry for its two sheets, a name scoped to the worksheet
// and one naming it, a formula using both, a comment, a chart drawn on the worksheet, and a
// chart sheet.
Book Linked() {
  Book b;
  b.globals.push_back(R(0x00EB, ByteBuilder().U16(0x000F).U16(0xF000).U32(0)));  // [5]
  b.links = {
      R(0x01AE, ByteBuilder().U16(2).U16(0x0401)),           // [0] this workbook, 2 sheets
      R(0x0017, ByteBuilder().U16(1).U16(0).U16(0).U16(1)),  // [1] entry 0: sheets 0 to 1
      Name(1, "Rate", Ref3d(0)),                             // [2]
      Name(0, "Twice", Join({NameToken(1), kInt, {0x05}})),  // [3] Rate * 7
  };
  b.sheet.push_back(Formula(1, 2, 0, Join({NameToken(2), Ref3d(0), {0x03}})));  // [7]
  b.sheet.push_back(Drawing());
  b.sheet.push_back(Obj(0x19, 1));  // [9]
  b.sheet.push_back(Drawing());
  b.sheet.push_back(Obj(0x05, 2));       // [11]
  b.sheet.push_back(Book::Bof(0x0020));  // [12]
  b.sheet.push_back(R(0x1002, ByteBuilder().Fill(16)));
  b.sheet.push_back({0x000A, {}});
  b.sheet.push_back(Note(0, 0, 1));  // [15]
  b.chart = {R(0x1002, ByteBuilder().Fill(16))};
  return b;
}

TEST(StreamVerifier, LinksBetweenRecordsThatHoldRaiseNothing) {
  const Book book = Linked();
  EXPECT_TRUE(VerifyWorkbookStream(book.Stream()).empty())
      << Show(VerifyWorkbookStream(book.Stream()));
  // An external name through the workbook's own SUPBOOK is one of its names; names that
  // belong to no sheet of it (0xFFFE) or to a sheet since deleted (0xFFFF) point nowhere.
  Book more = book;
  more.sheet[7] = Formula(1, 2, 0, ByteBuilder().U8(0x39).U16(1).U16(2).U16(0).bytes());
  more.links[1] =
      R(0x0017, ByteBuilder().U16(2).U16(0).U16(0).U16(1).U16(0).U16(0xFFFE).U16(0xFFFF));
  EXPECT_TRUE(VerifyWorkbookStream(more.Stream()).empty())
      << Show(VerifyWorkbookStream(more.Stream()));
}

TEST(StreamVerifier, EachDanglingLinkIsNamed) {
  const auto formula = [](Bytes tokens) {
    return [tokens](Book& b) { b.sheet[7] = Formula(1, 2, 0, tokens); };
  };
  const std::vector<Fault> faults = {
      {"name-index", formula(NameToken(3))},                                         // of 2
      {"name-index", [](Book& b) { b.links[3] = Name(0, "Twice", NameToken(0)); }},  // from 1
      {"namex-index", formula(ByteBuilder().U8(0x39).U16(0).U16(3).U16(0).bytes())},
      {"externsheet-index", formula(Ref3d(1))},
      {"externsheet-supbook", [](Book& b) { b.links[1].data[2] = 1; }},
      {"externsheet-sheet", [](Book& b) { b.links[1].data[6] = 2; }},  // sheets 0 to 2
      {"supbook-sheets", [](Book& b) { b.links[0].data[0] = 3; }},
      {"name-scope", [](Book& b) { b.links[2].data[8] = 3; }},
      {"sheet-entry", [](Book& b) { b.chartNamedTwice = true; }, {"supbook-sheets"}},
      {"note-object", [](Book& b) { b.sheet[15] = Note(0, 0, 2); }},  // the chart's
      {"note-object", [](Book& b) { b.sheet[15] = Note(0, 0, 7); }},
      {"note-cell", [](Book& b) { b.sheet[15] = Note(0, 256, 1); }},
      {"drawing-group", [](Book& b) { b.globals.erase(b.globals.begin() + 5); }},
      {"object-id", [](Book& b) { b.sheet[11] = Obj(5, 1); }},
      {"object-data", [](Book& b) { b.sheet[9].data[0] = 0x0C; }, {"note-object"}},
      {"embedded-chart", [](Book& b) { b.sheet[12] = Book::Bof(0x0010); }},
      {"embedded-chart", [](Book& b) { std::swap(b.sheet[9], b.sheet[11]); }},
      {"record-size", [](Book& b) { b.links[2].data.pop_back(); }},  // the formula cut
      {"record-size", [](Book& b) { b.links[1].data[0] = 2; }},      // 2 entries counted
      {"record-size", [](Book& b) { b.sheet[15].data.resize(6); }},  // NOTE
      {"formula-tokens", [](Book& b) { b.links[3] = Name(0, "Twice", {0x18}); }},
  };
  ExpectEachNamed(Linked(), faults);
}

TEST(StreamVerifier, CutLinkRecordsAreFindingsNotCrashes) {
  const Book whole = Linked();
  for (std::size_t k = 0; k < whole.links.size(); ++k) {
    for (std::size_t size = 0; size < whole.links[k].data.size(); ++size) {
      Book book = whole;
      book.links[k].data.resize(size);
      EXPECT_FALSE(VerifyWorkbookStream(book.Stream()).empty()) << "record " << k << ", " << size;
    }
  }
  const Bytes stream = whole.Stream();
  for (std::size_t size = 0; size < stream.size(); ++size) {
    EXPECT_FALSE(VerifyWorkbookStream(std::span(stream).first(size)).empty());
  }
}

}  // namespace
}  // namespace tabulix
