#include "recovery/sheet_boundaries.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/diagnostics.hpp"
#include "document/xls_document.hpp"
#include "recovery/intact_read.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Offsets = std::vector<std::uint32_t>;

void Put16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& out, std::uint32_t v) {
  Put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  Put16(out, static_cast<std::uint16_t>(v >> 16));
}
void Record(Bytes& out, std::uint16_t code, const Bytes& data) {
  Put16(out, code);
  Put16(out, static_cast<std::uint16_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
}
void Bof(Bytes& out, std::uint16_t type) {
  Bytes data;
  Put16(data, 0x0600);
  Put16(data, type);
  Put16(data, 0x15EC);
  Put16(data, 0x07CD);
  Put32(data, 0xC0C1);
  Put32(data, 0x0306);
  Record(out, 0x0809, data);
}
void Eof(Bytes& out) { Record(out, 0x000A, {}); }
// A NUMBER cell: row, column, XF, an IEEE double whose bytes are given.
Bytes NumberData(std::uint16_t row, const Bytes& value) {
  Bytes data;
  Put16(data, row);
  Put16(data, 0);
  Put16(data, 15);
  data.insert(data.end(), value.begin(), value.end());
  return data;
}

// A globals substream naming two worksheets, then the two worksheets, each with one cell.
// The offsets of every BOF and EOF are recorded.
struct TwoSheetStream {
  Bytes bytes;
  std::uint32_t s1 = 0, s2 = 0, e0 = 0, e1 = 0, e2 = 0;
  std::uint32_t cellOfSheet1 = 0;
};

TwoSheetStream MakeTwoSheetStream(std::uint16_t secondType = 0x0010,
                                  std::uint16_t firstType = 0x0005) {
  TwoSheetStream s;
  Bytes& b = s.bytes;
  Bof(b, firstType);
  const std::size_t sheetPositions[2] = {b.size() + 4, b.size() + 13 + 4};
  for (char name : {'A', 'B'}) {
    Bytes data(4, 0);  // the position, filled in below
    data.insert(data.end(), {0, 0, 1, 0, static_cast<std::uint8_t>(name)});
    Record(b, 0x0085, data);
  }
  s.e0 = static_cast<std::uint32_t>(b.size());
  Eof(b);
  s.s1 = static_cast<std::uint32_t>(b.size());
  Bof(b, 0x0010);
  s.cellOfSheet1 = static_cast<std::uint32_t>(b.size());
  Record(b, 0x0203, NumberData(7, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
  s.e1 = static_cast<std::uint32_t>(b.size());
  Eof(b);
  s.s2 = static_cast<std::uint32_t>(b.size());
  Bof(b, secondType);
  Record(b, 0x0203, NumberData(65535, {0, 0, 0, 0, 0, 0, 0, 0x40}));
  s.e2 = static_cast<std::uint32_t>(b.size());
  Eof(b);
  for (int i = 0; i < 2; ++i) {
    const std::uint32_t target = i == 0 ? s.s1 : s.s2;
    for (int k = 0; k < 4; ++k)
      b[sheetPositions[i] + k] = static_cast<std::uint8_t>(target >> (8 * k));
  }
  return s;
}

SheetBoundaries Locate(const Bytes& stream) {
  SheetBoundaries b;
  FindMarkers(stream, b);
  FindBoundaries(stream, b);
  if (b.boundariesConsistent_) MarkIntactSheets(stream, b);
  return b;
}

// The real stream of the first corpus file whose boundaries pair up with at least
// `substreams` substreams, all intact.
Bytes IntactCorpusStream(std::size_t substreams, SheetBoundaries* found = nullptr) {
  for (const fs::path& file : test::RealCorpusFiles()) {
    XlsDocument document;
    if (!document.Load(file.string())) continue;
    const SheetBoundaries b = Locate(document.stream());
    if (!b.boundariesConsistent_ || b.startPos_.size() < substreams) continue;
    bool all = true;
    for (auto flag : b.intactFlags_) all = all && flag == 1;
    if (!all) continue;
    if (found) *found = b;
    return document.stream();
  }
  return {};
}

TEST(SheetBoundaries, FindMarkersTestsEveryByteOffset) {
  // Overlapping and unaligned values count; the last byte has no 16-bit value.
  const Bytes stream = {0x09, 0x08, 0x85, 0x00, 0x0A, 0x00, 0x0A, 0x00, 0x85};
  SheetBoundaries b;
  FindMarkers(stream, b);
  EXPECT_EQ(b.BOFMarker_, Offsets{0});
  EXPECT_EQ(b.boundMarker_, Offsets{2});
  EXPECT_EQ(b.EOFMarker_, (Offsets{4, 6}));
  FindMarkers(Bytes{0x0A}, b);
  EXPECT_TRUE(b.EOFMarker_.empty());
}

TEST(SheetBoundaries, IntactTwoSheetStreamPairsUpAndIsIntact) {
  test::LogCapture logs;
  const TwoSheetStream s = MakeTwoSheetStream();
  const SheetBoundaries b = Locate(s.bytes);
  EXPECT_EQ(b.startPos_, (Offsets{0, s.s1, s.s2}));
  EXPECT_EQ(b.endPos_, (Offsets{s.e0, s.e1, s.e2}));
  EXPECT_EQ(s.s1, s.e0 + 4);
  EXPECT_TRUE(b.boundariesConsistent_);
  EXPECT_EQ(b.intactFlags_, (std::vector<std::uint8_t>{1, 1, 1}));
  EXPECT_TRUE(logs.ErrorLines().empty());

  // The same through the load entry, which owns the state and the chain walk.
  test::TempDir dir;
  test::WriteFileBytes(dir / "bare.xls", s.bytes);
  XlsDocument document;
  ASSERT_TRUE(document.Load((dir / "bare.xls").string()));
  EXPECT_EQ(document.boundaries().startPos_, b.startPos_);
  EXPECT_TRUE(jumpthroughSheet(document.stream(), s.s1, s.e1));
  EXPECT_FALSE(jumpthroughSheet(document.stream(), s.s1, s.e1 + 1));
}

TEST(SheetBoundaries, DamagedHeadersAndStrayMarkers) {
  test::LogCapture logs;
  {
    // A sheet whose BOF header is overwritten still starts where its BOUNDSHEET says,
    // because the EOF before it is sound; the chain walk then refuses it as intact.
    SheetBoundaries intact;
    Bytes stream = IntactCorpusStream(3, &intact);
    ASSERT_FALSE(stream.empty());
    const std::uint32_t s1 = intact.startPos_[1];
    for (int k = 0; k < 4; ++k) stream[s1 + k] = 0xEE;
    const SheetBoundaries b = Locate(stream);
    EXPECT_EQ(b.startPos_, intact.startPos_);
    EXPECT_EQ(b.endPos_, intact.endPos_);
    EXPECT_TRUE(b.boundariesConsistent_);
    ASSERT_EQ(b.intactFlags_.size(), intact.intactFlags_.size());
    EXPECT_EQ(b.intactFlags_[1], 0);
    EXPECT_EQ(b.intactFlags_[0], 1);
    EXPECT_EQ(b.intactFlags_[2], 1);
  }
  {
    // A whole sound BOF inside a cell's data is a marker that nothing confirms.
    TwoSheetStream s = MakeTwoSheetStream();
    Bytes fake;
    Bof(fake, 0x0010);
    Bytes label = {0, 0, 0, 0, 15, 0};
    label.insert(label.end(), fake.begin(), fake.end());
    Bytes stream(s.bytes.begin(), s.bytes.begin() + s.e1);
    Record(stream, 0x0207, label);  // a STRING-coded record carrying the bytes
    const std::uint32_t shift = static_cast<std::uint32_t>(stream.size()) - s.e1;
    stream.insert(stream.end(), s.bytes.begin() + s.e1, s.bytes.end());
    // The BOUNDSHEET of the second sheet follows the move.
    const std::size_t second = 20 + 13 + 4;
    std::uint32_t position = s.s2 + shift;
    for (int k = 0; k < 4; ++k) stream[second + k] = static_cast<std::uint8_t>(position >> (8 * k));
    const SheetBoundaries b = Locate(stream);
    EXPECT_EQ(b.startPos_, (Offsets{0, s.s1, s.s2 + shift}));
    EXPECT_TRUE(b.boundariesConsistent_);
    EXPECT_EQ(b.intactFlags_, (std::vector<std::uint8_t>{1, 1, 1}));
    // The stray BOF survived validation but had no witness.
    EXPECT_EQ(b.BOFMarker_.size(), 4u);
  }
  {
    // Garbage after the last EOF: the last substream still ends at that EOF.
    TwoSheetStream s = MakeTwoSheetStream();
    Bytes stream = s.bytes;
    std::mt19937 random(7);
    for (int i = 0; i < 5000; ++i) stream.push_back(static_cast<std::uint8_t>(random() | 0x10));
    const SheetBoundaries b = Locate(stream);
    EXPECT_EQ(b.endPos_, (Offsets{s.e0, s.e1, s.e2}));
    EXPECT_TRUE(b.boundariesConsistent_);
    EXPECT_EQ(b.intactFlags_, (std::vector<std::uint8_t>{1, 1, 1}));
  }
  {
    // A length field that does not chain: that substream alone is not intact.
    TwoSheetStream s = MakeTwoSheetStream();
    Bytes stream = s.bytes;
    stream[s.cellOfSheet1 + 2] = 13;  // NUMBER's 14 bytes claimed as 13
    const SheetBoundaries b = Locate(stream);
    EXPECT_TRUE(b.boundariesConsistent_);
    EXPECT_EQ(b.intactFlags_, (std::vector<std::uint8_t>{1, 0, 1}));
    // A length of 0x8000 or more is never sound, even where it would reach the end.
    Bytes huge(0x8008, 0);
    huge[3] = 0x80;
    EXPECT_FALSE(jumpthroughSheet(huge, 0, 0x8004));
    huge[3] = 0x7F;
    huge[2] = 0xFC;
    EXPECT_TRUE(jumpthroughSheet(huge, 0, 0x8000));
  }
  {
    // A walk that runs off the end of the stream is refused and logged.
    const Bytes stream = {0x09, 0x08, 0x00, 0x00, 0x01, 0x00};
    EXPECT_FALSE(jumpthroughSheet(stream, 0, 6));
    EXPECT_FALSE(jumpthroughSheet(stream, 4, 2));
    EXPECT_FALSE(jumpthroughSheet(stream, 0, 7));
    EXPECT_EQ(logs.CountError("Exception in XlsDocument::jumpthroughSheet"), 1);
  }
}

TEST(SheetBoundaries, StreamsWithoutEofOrStartAndTheConsistencyRules) {
  test::LogCapture logs;
  {
    // No EOF at all: nothing ends, so a globals start alone does not pair up.
    TwoSheetStream s = MakeTwoSheetStream();
    Bytes stream = s.bytes;
    for (std::uint32_t e : {s.e0, s.e1, s.e2}) stream[e] = 0x0B;
    const SheetBoundaries b = Locate(stream);
    EXPECT_TRUE(b.endPos_.empty());
    EXPECT_FALSE(b.startPos_.empty());
    EXPECT_FALSE(b.boundariesConsistent_);
    EXPECT_TRUE(b.intactFlags_.empty());
  }
  {
    // Neither starts nor ends: trivially consistent, with nothing intact.
    const Bytes stream(1000, 0x41);
    const SheetBoundaries b = Locate(stream);
    EXPECT_TRUE(b.startPos_.empty());
    EXPECT_TRUE(b.boundariesConsistent_);
    EXPECT_TRUE(b.intactFlags_.empty());
  }
  // The rules on their own.
  EXPECT_FALSE(BoundariesPairUp({0, 24}, {20}, true, 20));              // lengths differ
  EXPECT_FALSE(BoundariesPairUp({4}, {20}, true, 20));                  // globals not first
  EXPECT_TRUE(BoundariesPairUp({0}, {20}, true, 20));                   // one, at the last EOF
  EXPECT_FALSE(BoundariesPairUp({0}, {20}, true, 40));                  // one, ending early
  EXPECT_FALSE(BoundariesPairUp({0, 30, 60}, {20, 50, 80}, true, 80));  // a gap in the middle
  EXPECT_TRUE(BoundariesPairUp({0, 24, 60}, {20, 50, 80}, true, 80));   // last at the last EOF
  EXPECT_TRUE(BoundariesPairUp({0, 24, 54}, {20, 50, 70}, true, 90));   // last follows on
  EXPECT_FALSE(BoundariesPairUp({0, 24, 60}, {20, 50, 70}, true, 90));
}

// The smallest stream with a globals substream naming one sheet, that sheet, and three
// stray markers after the last EOF that validation removes.
Bytes DumpStream() {
  Bytes b;
  Bof(b, 0x0005);
  Record(b, 0x0085, {37, 0, 0, 0, 0, 0, 1, 0, 'A'});
  Eof(b);
  Bof(b, 0x0010);
  Eof(b);
  b.insert(b.end(), {0x09, 0x08, 0x00, 0x00, 0x85, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x01, 0x00});
  return b;
}

TEST(SheetBoundaries, DumpFilesByteForByteOnlyWhenTheFolderExists) {
  test::LogCapture logs;
  test::TempDir dir;
  const Bytes stream = DumpStream();
  ASSERT_EQ(stream.size(), 73u);

  SetDiagnosticsDirectory(dir / "absent");
  Locate(stream);
  EXPECT_FALSE(fs::exists(dir / "absent"));
  EXPECT_TRUE(fs::is_empty(dir.path()));

  SetDiagnosticsDirectory(dir.path());
  const SheetBoundaries b = Locate(stream);
  SetDiagnosticsDirectory({});
  EXPECT_EQ(b.startPos_, (Offsets{0, 37}));
  EXPECT_TRUE(b.boundariesConsistent_);

  auto text = [&](const char* name) {
    const Bytes bytes = test::ReadFileBytes(dir / name);
    return std::string(bytes.begin(), bytes.end());
  };
  EXPECT_EQ(text("Boundaries_before.csv"),
            "\n sizeof(boundMarker_) = 2,sizeof(BOFMarker_) =  3,sizeof(EOFMarker_) =  3,"
            "\n boundMarker_[0]  =  20,BOFMarker_[0]  =  0,EOFMarker_[0]  =  33,"
            "\n boundMarker_[1]  =  65,BOFMarker_[1]  =  37,EOFMarker_[1]  =  57,"
            "\n ,BOFMarker_[2]  =  61,EOFMarker_[2]  =  69,");
  EXPECT_EQ(text("Boundaries_After.csv"),
            "\n sizeof(boundMarker_) = 1,sizeof(BOFMarker_) =  2,sizeof(EOFMarker_) =  2,"
            "\n boundMarker_[0]  =  20,BOFMarker_[0]  =  0,EOFMarker_[0]  =  33,"
            "\n ,BOFMarker_[1]  =  37,EOFMarker_[1]  =  57,");
  EXPECT_EQ(text("Boundaries_Start-End_flags.csv"),
            "\n sizeof(boundShtsFlags_) = 2,sizeof(bofsFlags_) =  2,sizeof(eofsFlags_) =  2,"
            "\n boundShtsFlags_[0]  =  1,bofsFlags_[0]  =  0,eofsFlags_[0]  =  1,"
            "\n boundShtsFlags_[1]  =  0,bofsFlags_[1]  =  1,eofsFlags_[1]  =  0,");
  EXPECT_EQ(text("Boundaries_Start-End.csv"),
            "\n sizeof(startPos_) = 2,sizeof(endPos_) =  2,"
            "\n startPos_[0]  =  0,endPos_[0]  =  33,"
            "\n startPos_[1]  =  37,endPos_[1]  =  57,");
}

TEST(SheetBoundaries, BadInputCompletesWithNothingIntact) {
  test::LogCapture logs;
  constexpr std::size_t kSize = 4 * 1024 * 1024;
  auto repeated = [&](const Bytes& unit) {
    Bytes out;
    out.reserve(kSize + unit.size());
    while (out.size() < kSize) out.insert(out.end(), unit.begin(), unit.end());
    return out;
  };
  Bytes random(kSize);
  std::mt19937 generator(1234);
  for (auto& byte : random) byte = static_cast<std::uint8_t>(generator());

  struct Case {
    const char* name;
    Bytes stream;
  };
  const Case cases[] = {
      {"zeros", Bytes(kSize, 0)},
      {"random", random},
      {"3 bytes", {0x09, 0x08, 0x10}},
      {"0x0809 repeated", repeated({0x09, 0x08})},
      {"BOF header repeated", repeated({0x09, 0x08, 0x10, 0x00})},
      {"whole BOF repeated",
       [] {
         Bytes unit;
         Bof(unit, 0x0010);
         Bytes out;
         while (out.size() < kSize) out.insert(out.end(), unit.begin(), unit.end());
         return out;
       }()},
      {"EOF repeated", repeated({0x0A, 0x00, 0x00, 0x00})},
      {"BOUNDSHEET header repeated", repeated({0x85, 0x00, 0xFF, 0xFF})},
      // Every marker is a sound BOUNDSHEET whose record goes on in one shared chain of
      // CONTINUE records to the end of the stream.
      {"BOUNDSHEETs sharing a CONTINUE chain",
       repeated({0x3C, 0x00, 0x0C, 0x00, 0x85, 0x00, 0x08, 0x00, 0, 0, 0, 0, 0, 0, 1, 0})},
  };
  for (const Case& c : cases) {
    SheetBoundaries b = Locate(c.stream);
    for (auto flag : b.intactFlags_) EXPECT_EQ(flag, 0) << c.name;
    Workbook workbook;
    std::vector<Worksheet> worksheets;
    bool globalsRead = false;
    if (b.boundariesConsistent_) {
      EXPECT_EQ(ReadIntactSheets(c.stream, b, workbook, worksheets, globalsRead),
                IntactReadResult::Done);
    }
    EXPECT_FALSE(globalsRead) << c.name;
  }
}

}  // namespace
}  // namespace tabulix
