// The single-cell, multi-cell and text cell records: decoding, writing back to the bytes
// they came from, and damaged input.

#include "biff/cell_records.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "biff/cell_multi.hpp"
#include "biff/cell_text.hpp"
#include "biff/rk.hpp"
#include "byte_builder.hpp"
#include "cell_test_util.hpp"
#include "support/test_support.hpp"

namespace tabulix::cells {
namespace {

using test::ByteBuilder;
using test::LogCapture;
using test::WrittenBytes;
using Bytes = std::vector<std::uint8_t>;

TEST(CellRecords, FixedCellsReadWriteBackAndLetTheirBytesGo) {
  LogCapture log;
  {
    const Bytes bytes = ByteBuilder().Header(0x0201, 6).U16(65535).U16(7).U16(15).bytes();
    Blank blank;
    ASSERT_EQ(blank.Read(bytes, 0), 10u);
    // Rows are unsigned: the last row of a sheet is 65535, not -1.
    EXPECT_EQ(blank.row_, 65535);
    EXPECT_EQ(blank.column_, 7);
    EXPECT_EQ(blank.xf_, 15);
    EXPECT_TRUE(blank.data_.empty());
    EXPECT_EQ(WrittenBytes(blank), bytes);
    EXPECT_TRUE(blank.data_.empty()) << "a write leaves no copy of the cell behind";
  }
  {
    const Bytes bytes = ByteBuilder().Header(0x0205, 8).U16(1).U16(2).U16(3).U8(0x07).U8(1).bytes();
    BoolErr cell;
    ASSERT_EQ(cell.Read(bytes, 0), 12u);
    EXPECT_TRUE(cell.IsError());
    EXPECT_EQ(cell.ErrorCode(), 0x07);
    EXPECT_EQ(WrittenBytes(cell), bytes);
  }
  {
    const Bytes bytes = ByteBuilder().Header(0x00FD, 10).U16(4).U16(5).U16(6).U32(123456).bytes();
    LabelSST cell;
    ASSERT_EQ(cell.Read(bytes, 0), 14u);
    EXPECT_EQ(cell.sstIndex_, 123456u);
    EXPECT_EQ(WrittenBytes(cell), bytes);
  }
  {
    // A NaN payload stays as its 8 bytes.
    const Bytes bytes = ByteBuilder()
                            .Header(0x0203, 14)
                            .U16(40000)
                            .U16(1)
                            .U16(2)
                            .U32(0x12345678)
                            .U32(0x7FF81234)
                            .bytes();
    Number cell;
    ASSERT_EQ(cell.Read(bytes, 0), 18u);
    EXPECT_EQ(cell.row_, 40000);
    EXPECT_TRUE(std::isnan(cell.value()));
    EXPECT_EQ(WrittenBytes(cell), bytes);
    cell.SetValue(2.5);
    EXPECT_EQ(cell.value(), 2.5);
  }
  {
    const Bytes bytes =
        ByteBuilder().Header(0x027E, 10).U16(0).U16(0).U16(0).U32(0x3FF00001).bytes();
    RK cell;
    ASSERT_EQ(cell.Read(bytes, 0), 14u);
    EXPECT_DOUBLE_EQ(cell.value(), 0.01);
    EXPECT_EQ(WrittenBytes(cell), bytes);
  }
  EXPECT_TRUE(log.ErrorLines().empty());
  EXPECT_TRUE(Number::Validate(ByteBuilder().Header(0x0203, 14).bytes(), 0));
  EXPECT_FALSE(Number::Validate(ByteBuilder().Header(0x0203, 12).bytes(), 0));
  EXPECT_FALSE(Blank::Validate(ByteBuilder().U16(0x0201).bytes(), 0));
  EXPECT_EQ(
      log.CountError("Exception in Worksheet::CellTable::RowBlock::CellBlock::Blank::Validate"), 1);
}

TEST(CellRecords, FixedCellsAmidOtherRecordsReadAndWriteInPlace) {
  LogCapture log;
  // Cells between other records are decoded where they stand and written where they go,
  // without touching the bytes around them.
  const Bytes stream = ByteBuilder()
                           .Header(0x0208, 2)
                           .U16(0xAAAA)
                           .Header(0x0203, 14)
                           .U16(9)
                           .U16(8)
                           .U16(7)
                           .U32(0)
                           .U32(0x40090000)  // 3.125
                           .Header(0x027E, 10)
                           .U16(1)
                           .U16(2)
                           .U16(3)
                           .U32(RkFromInteger(42))
                           .bytes();
  Number number;
  ASSERT_EQ(number.Read(stream, 6), 18u);
  EXPECT_EQ(number.value(), 3.125);
  EXPECT_EQ(number.xf_, 7);
  RK rk;
  ASSERT_EQ(rk.Read(stream, 24), 14u);
  EXPECT_EQ(rk.value(), 42.0);
  Bytes out(stream.size(), 0xEE);
  EXPECT_EQ(number.Write(out, 6), 18u);
  EXPECT_EQ(rk.Write(out, 24), 14u);
  EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 6, [](std::uint8_t b) { return b == 0xEE; }));
  EXPECT_TRUE(std::equal(out.begin() + 6, out.end(), stream.begin() + 6));

  // A buffer one byte short takes nothing, and says so.
  Bytes tight(17, 0xEE);
  EXPECT_EQ(number.Write(tight, 0), 0u);
  EXPECT_EQ(tight, Bytes(17, 0xEE));
  EXPECT_EQ(log.CountError("Error writing Number Record"), 1);

  // A CONTINUE behind a cell belongs to it: joined on reading, split as it was on writing.
  const Bytes continued = ByteBuilder()
                              .Header(0x00FD, 10)
                              .U16(1)
                              .U16(2)
                              .U16(3)
                              .U32(5)
                              .Header(0x003C, 2)
                              .U16(0xBEEF)
                              .bytes();
  LabelSST label;
  ASSERT_EQ(label.Read(continued, 0), 20u);
  EXPECT_EQ(label.sstIndex_, 5u);
  EXPECT_EQ(WrittenBytes(label), continued);
  EXPECT_EQ(log.CountError("Error reading LabelSST Record"), 1) << "its length is not a LABELSST's";
}

TEST(CellRecords, ShortOrOverlongCellsKeepTheBytesTheirFieldsDoNotCover) {
  LogCapture log;
  // A NUMBER of 10 bytes: the value is not all there; the record goes back as it came.
  const Bytes shortNumber =
      ByteBuilder().Header(0x0203, 10).U16(3).U16(4).U16(5).U32(0xAABBCCDD).bytes();
  Number number;
  number.SetValue(7.0);
  ASSERT_EQ(number.Read(shortNumber, 0), 14u);
  EXPECT_EQ(number.row_, 3);
  EXPECT_EQ(number.value(), 7.0) << "the field beyond the data keeps its value";
  EXPECT_EQ(log.CountError("Error reading Number Record"), 1);
  EXPECT_EQ(WrittenBytes(number), shortNumber);

  // A BLANK with two extra bytes keeps them.
  const Bytes longBlank = ByteBuilder().Header(0x0201, 8).U16(1).U16(2).U16(3).U16(0xBEEF).bytes();
  Blank blank;
  ASSERT_EQ(blank.Read(longBlank, 0), 12u);
  EXPECT_EQ(WrittenBytes(blank), longBlank);

  // A length that runs past the stream reads nothing and says so.
  const Bytes cut = ByteBuilder().Header(0x00FD, 10).U16(1).U16(2).bytes();
  LabelSST label;
  EXPECT_EQ(label.Read(cut, 0), 0u);
  EXPECT_EQ(log.CountError("Error reading LabelSST Record"), 1);
  EXPECT_EQ(log.CountError("Error reading 'Record' Record"), 1);
}

Bytes MulRkBytes(std::uint16_t row, std::uint16_t first, std::uint16_t last, int entries) {
  ByteBuilder b;
  b.Header(0x00BD, static_cast<std::uint16_t>(6 + 6 * entries)).U16(row).U16(first);
  for (int i = 0; i < entries; ++i)
    b.U16(static_cast<std::uint16_t>(15 + i)).U32(RkFromInteger(i * 10));
  b.U16(last);
  return b.bytes();
}

TEST(CellRecords, MulRkAndMulBlankSpans) {
  LogCapture log;
  {
    const Bytes bytes = MulRkBytes(70000 % 65536, 2, 5, 4);
    MulRK cell;
    ASSERT_EQ(cell.Read(bytes, 0), bytes.size());
    ASSERT_EQ(cell.entries().size(), 4u);
    EXPECT_EQ(cell.column_, 2);
    EXPECT_EQ(cell.lastColumn_, 5);
    EXPECT_EQ(cell.entries()[3].xf_, 18);
    EXPECT_EQ(cell.entries()[3].value(), 30.0);
    EXPECT_FALSE(cell.AsRead());
    EXPECT_EQ(cell.DataSize(), 6u + 6 * 4);
    EXPECT_EQ(WrittenBytes(cell), bytes);
    // Entries set by the model move the last column along.
    cell.SetEntries({{1, RkFromInteger(1)}, {2, RkFromInteger(2)}});
    EXPECT_EQ(cell.lastColumn_, 3);
    EXPECT_EQ(cell.RecordSize(), 4u + 6 + 12);
  }
  {
    const Bytes bytes =
        ByteBuilder().Header(0x00BE, 12).U16(9).U16(1).U16(21).U16(22).U16(23).U16(3).bytes();
    MulBlank cell;
    ASSERT_EQ(cell.Read(bytes, 0), 16u);
    ASSERT_EQ(cell.xfs().size(), 3u);
    EXPECT_EQ(cell.xfs()[2], 23);
    EXPECT_EQ(WrittenBytes(cell), bytes);
  }
  EXPECT_TRUE(log.ErrorLines().empty());
}

TEST(CellRecords, MulRkAndMulBlankWhoseSpanLiesStayAlignedAndUnchanged) {
  LogCapture log;
  {
    // Claims columns 0..60000 but holds 2 entries: only those are taken, nothing sized
    // from the span, and the whole record is reported and written back as read.
    const Bytes bytes = MulRkBytes(1, 0, 60000, 2);
    MulRK cell;
    ASSERT_EQ(cell.Read(bytes, 0), bytes.size());
    EXPECT_EQ(cell.entries().size(), 2u);
    EXPECT_TRUE(cell.AsRead());
    EXPECT_EQ(cell.RecordSize(), bytes.size());
    EXPECT_EQ(WrittenBytes(cell), bytes);
    EXPECT_EQ(log.CountError("Error reading MulRK Record"), 1);
    EXPECT_EQ(log.CountError("Error reading MulRK::XFRK Record"), 1);
  }
  {
    // Last column before the first: no cells, still aligned.
    const Bytes bytes = MulRkBytes(1, 9, 3, 2);
    MulRK cell;
    ASSERT_EQ(cell.Read(bytes, 0), bytes.size());
    EXPECT_TRUE(cell.entries().empty());
    EXPECT_EQ(WrittenBytes(cell), bytes);
  }
  {
    // A span shorter than the data, and an odd length.
    const Bytes bytes =
        ByteBuilder().Header(0x00BE, 11).U16(9).U16(1).U16(21).U16(22).U8(0).U16(1).bytes();
    MulBlank cell;
    ASSERT_EQ(cell.Read(bytes, 0), 15u);
    EXPECT_EQ(cell.xfs().size(), 1u);
    EXPECT_EQ(WrittenBytes(cell), bytes);
    EXPECT_EQ(log.CountError("Error reading MulBlank Record"), 1);
  }
  {
    // Too short for even the three fields.
    const Bytes bytes = ByteBuilder().Header(0x00BD, 3).U16(4).U8(1).bytes();
    MulRK cell;
    ASSERT_EQ(cell.Read(bytes, 0), 7u);
    EXPECT_EQ(cell.row_, 4);
    EXPECT_EQ(WrittenBytes(cell), bytes);
  }
}

Bytes LabelBytes(std::uint16_t code, const Bytes& text, std::uint16_t chars, std::uint8_t flags,
                 const Bytes& tail = {}) {
  ByteBuilder b;
  b.Header(code, static_cast<std::uint16_t>(9 + text.size() + tail.size()))
      .U16(12)
      .U16(3)
      .U16(17)
      .U16(chars)
      .U8(flags);
  for (std::uint8_t byte : text) b.U8(byte);
  for (std::uint8_t byte : tail) b.U8(byte);
  return b.bytes();
}

TEST(CellRecords, LabelAndRStringKeepTheirTextInAnyScriptAndWriteALabel) {
  LogCapture log;
  {
    // Latin-1 text, 8-bit characters.
    const Bytes bytes = LabelBytes(0x0204, {'C', 'a', 'f', 0xE9}, 4, 0);
    Label cell;
    ASSERT_EQ(cell.Read(bytes, 0), bytes.size());
    EXPECT_EQ(cell.Text(), "Caf\xC3\xA9");
    EXPECT_EQ(cell.row_, 12);
    EXPECT_EQ(cell.xf_, 17);
    EXPECT_TRUE(cell.data_.empty());
    EXPECT_EQ(WrittenBytes(cell), bytes);
  }
  {
    // Greek and CJK in 16-bit characters.
    const Bytes bytes = LabelBytes(0x0204, {0xA9, 0x03, 0x2D, 0x4E, 0x87, 0x65}, 3, 1);
    Label cell;
    ASSERT_EQ(cell.Read(bytes, 0), bytes.size());
    EXPECT_EQ(cell.Text(), "\xCE\xA9\xE4\xB8\xAD\xE6\x96\x87");
    EXPECT_EQ(WrittenBytes(cell), bytes);
  }
  {
    // RSTRING: the same text plus two formatting runs; written as a LABEL without them.
    const Bytes runs = ByteBuilder().U16(2).U32(0x00010000).U32(0x00020002).bytes();
    const Bytes bytes = LabelBytes(0x00D6, {0x1F, 0x04, 0x40, 0x04}, 2, 1, runs);
    Label cell;
    ASSERT_EQ(cell.Read(bytes, 0), bytes.size());
    EXPECT_EQ(cell.readCode_, 0x00D6);
    EXPECT_EQ(cell.Text(), "\xD0\x9F\xD1\x80");
    EXPECT_EQ(WrittenBytes(cell), LabelBytes(0x0204, {0x1F, 0x04, 0x40, 0x04}, 2, 1));
  }
  {
    // Two zero bytes some writers put behind the string stay.
    const Bytes bytes = LabelBytes(0x0204, {'D', 0, 'a', 0}, 2, 1, {0, 0});
    Label cell;
    ASSERT_EQ(cell.Read(bytes, 0), bytes.size());
    EXPECT_EQ(cell.Text(), "Da");
    EXPECT_EQ(WrittenBytes(cell), bytes);
  }
  EXPECT_TRUE(log.ErrorLines().empty());
  {
    // A count that lies: the characters that are there are kept, the rest is not read.
    const Bytes bytes = LabelBytes(0x0204, {'a', 'b'}, 40, 0);
    Label cell;
    ASSERT_EQ(cell.Read(bytes, 0), bytes.size());
    EXPECT_EQ(cell.Text(), "ab");
    EXPECT_EQ(log.CountError("Error reading Label Record"), 1);
    EXPECT_EQ(WrittenBytes(cell), LabelBytes(0x0204, {'a', 'b'}, 2, 0));
  }
  {
    // Text set by the model, wider than Latin-1.
    Label cell;
    cell.SetText(
        "\xE2\x82\xAC"
        "5");
    const Bytes written = WrittenBytes(cell);
    Label again;
    ASSERT_EQ(again.Read(written, 0), written.size());
    EXPECT_EQ(again.Text(),
              "\xE2\x82\xAC"
              "5");
  }
}

TEST(CellRecords, LabelTextSplitOverAContinueRecordIsJoined) {
  LogCapture log;
  // "abcd" whose last two characters go on in a CONTINUE that switches to 16-bit ones.
  const Bytes bytes = ByteBuilder()
                          .Header(0x0204, 11)
                          .U16(0)
                          .U16(0)
                          .U16(0)
                          .U16(4)
                          .U8(0)
                          .U8('a')
                          .U8('b')
                          .Header(0x003C, 5)
                          .U8(1)
                          .U16(0x03A9)
                          .U16('d')
                          .bytes();
  Label cell;
  ASSERT_EQ(cell.Read(bytes, 0), bytes.size());
  EXPECT_EQ(cell.Text(),
            "ab\xCE\xA9"
            "d");
  EXPECT_TRUE(log.ErrorLines().empty());
}

}  // namespace
}  // namespace tabulix::cells
