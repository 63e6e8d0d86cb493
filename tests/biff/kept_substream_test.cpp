// A substream saved as it stood: its bytes found through nested substreams, the positions it
// holds moved with it and nothing else touched, and the records a user would miss counted.

#include "biff/kept_substream.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "base/little_endian.hpp"
#include "biff/byte_builder.hpp"

namespace tabulix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::ByteBuilder;

void Bof(ByteBuilder& b, std::uint16_t type) {
  b.Header(0x0809, 16).U16(0x0600).U16(type).U16(0).U16(0).U32(0).U32(0);
}
void Eof(ByteBuilder& b) { b.Header(0x000A, 0); }

// A worksheet whose INDEX names two DBCELLs, with a comment, a hyperlink and an embedded
// chart whose own drawing records belong to the chart. `at` is where its BOF stands.
struct Sheet {
  Bytes bytes;
  std::size_t indexPositions = 0;  // offset of the INDEX's first DBCELL position
  std::size_t chartIndex = 0;      // offset of a record inside the chart coded like INDEX
};
Sheet BuildSheet(std::uint32_t at) {
  ByteBuilder b;
  Sheet sheet;
  Bof(b, 0x0010);
  b.Header(0x020B, 24).U32(0).U32(0).U32(2).U32(0);
  sheet.indexPositions = b.size();
  b.U32(at + 100).U32(at + 200);
  b.Header(0x00EC, 4).U32(0xDEADBEEF);  // MSODRAWING
  b.Header(0x005D, 4).U32(1);           // OBJ
  Bof(b, 0x0020);                       // the embedded chart
  b.Header(0x00EC, 2).U16(7);           // the chart's own drawing
  sheet.chartIndex = b.size() + 4;
  b.Header(0x020B, 20).U32(0).U32(0).U32(0).U32(0).U32(at + 300);
  Eof(b);
  b.Header(0x001C, 4).U32(3);  // NOTE
  b.Header(0x01B8, 2).U16(9);  // HLINK
  Eof(b);
  sheet.bytes = b.bytes();
  return sheet;
}

TEST(KeptSubstream, ASubstreamRunsThroughItsNestedChartsToItsOwnEof) {
  const Sheet sheet = BuildSheet(0);
  Bytes stream = sheet.bytes;
  const std::size_t end = stream.size();
  stream.insert(stream.end(), {0x0A, 0x00, 0x00, 0x00});  // a stray EOF behind it
  EXPECT_EQ(kept::SubstreamBytes(stream, 0).size(), end);
  // Cut before the sheet's own EOF: the chart's EOF does not close the sheet.
  EXPECT_TRUE(kept::SubstreamBytes(Bytes(stream.begin(), stream.begin() + end - 4), 0).empty());
  // Not at a BOF, or past the end: nothing.
  EXPECT_TRUE(kept::SubstreamBytes(stream, end).empty());
  EXPECT_TRUE(kept::SubstreamBytes(stream, stream.size() + 8).empty());
}

TEST(KeptSubstream, OnlyTheSheetsOwnIndexMovesWithIt) {
  const std::uint32_t from = 5000;
  const Sheet sheet = BuildSheet(from);
  for (const std::uint32_t to : {std::uint32_t{100}, from, std::uint32_t{90000}}) {
    Bytes out(to + sheet.bytes.size(), 0xEE);
    ASSERT_EQ(kept::WriteSheet(sheet.bytes, from, out, to), sheet.bytes.size());
    Bytes expected = sheet.bytes;
    LittleEndian::Write(expected, to + 100, sheet.indexPositions);
    LittleEndian::Write(expected, to + 200, sheet.indexPositions + 4);
    EXPECT_EQ(Bytes(out.begin() + to, out.end()), expected) << to;
    EXPECT_EQ(LittleEndian::U32(out, to + sheet.chartIndex + 16), from + 300);
  }
  Bytes tooSmall(sheet.bytes.size() - 1);
  EXPECT_EQ(kept::WriteSheet(sheet.bytes, from, tooSmall, 0), 0u);
}

TEST(KeptSubstream, GlobalsTakeTheirSheetsNewPositionsAndMoveTheirStringIndex) {
  ByteBuilder b;
  Bof(b, 0x0005);
  b.Header(0x0018, 4).U32(0x11223344);  // NAME
  for (const std::uint8_t type : {0, 2}) {
    b.Header(0x0085, 9).U32(1000 + type).U8(0).U8(type).U8(1).U8(0).U8('S');
  }
  b.Header(0x00FF, 2 + 16).U16(8).U32(40).U16(12).U16(0).U32(900).U16(4).U16(0);
  Eof(b);
  const Bytes globals = b.bytes();

  const std::vector<kept::SheetEntry> entries = kept::SheetEntries(globals);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].position, 1000u);
  EXPECT_EQ(entries[1].position, 1002u);
  EXPECT_EQ(entries[1].type, 2);

  // The globals stood 16 bytes into the source stream and start the saved one; a third
  // position has no entry to go to.
  Bytes out(globals.size());
  const std::uint32_t positions[] = {7000, 8000, 9000};
  ASSERT_EQ(kept::WriteGlobals(globals, 16, positions, out, 0), globals.size());
  const std::vector<kept::SheetEntry> moved = kept::SheetEntries(out);
  ASSERT_EQ(moved.size(), 2u);
  EXPECT_EQ(moved[0].position, 7000u);
  EXPECT_EQ(moved[1].position, 8000u);
  const std::size_t extSst = globals.size() - 4 - 18;  // its data: strings per bucket, buckets
  EXPECT_EQ(LittleEndian::U32(out, extSst + 2), 24u);
  EXPECT_EQ(LittleEndian::U16(out, extSst + 6), 12);
  EXPECT_EQ(LittleEndian::U32(out, extSst + 10), 884u);
  // Everything else is the source's.
  for (std::size_t i = 0; i < globals.size(); ++i) {
    const bool moves = (i >= 4 + 20 + 8 && i < 4 + 20 + 8 + 4) ||
                       (i >= 4 + 20 + 8 + 13 && i < 4 + 20 + 8 + 17) ||
                       (i >= extSst + 2 && i < extSst + 6) || (i >= extSst + 10 && i < extSst + 14);
    if (!moves) {
      EXPECT_EQ(out[i], globals[i]) << i;
    }
  }
}

TEST(KeptSubstream, KindsAreCountedWithAnEmbeddedChartsRecordsItsOwn) {
  kept::KindCounts counts{};
  kept::CountKinds(BuildSheet(0).bytes, counts);
  auto count = [&counts](kept::Kind kind) { return counts[static_cast<std::size_t>(kind)]; };
  EXPECT_EQ(count(kept::Kind::Drawings), 2u);  // the sheet's MSODRAWING and OBJ
  EXPECT_EQ(count(kept::Kind::EmbeddedCharts), 1u);
  EXPECT_EQ(count(kept::Kind::Comments), 1u);
  EXPECT_EQ(count(kept::Kind::Hyperlinks), 1u);
  EXPECT_EQ(count(kept::Kind::DefinedNames), 0u);
}

}  // namespace
}  // namespace tabulix
