#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "biff/sheet_fixed_records.hpp"
#include "biff/sheet_page_records.hpp"
#include "biff/sheet_view_records.hpp"
#include "byte_builder.hpp"
#include "support/test_support.hpp"

namespace tabulix::sheet {
namespace {

using test::ByteBuilder;
using test::LogCapture;

std::vector<std::uint8_t> Written(Record& record) {
  std::vector<std::uint8_t> out(record.RecordSize());
  EXPECT_EQ(record.Write(out, 0), out.size());
  return out;
}

// ---- Records of a fixed layout, all at once ------------------------------------------

template <typename T>
class FixedRecordTest : public ::testing::Test {};

using FixedRecords =
    ::testing::Types<CALCMODE, CALCCOUNT, REFMODE, ITERATION, DELTA, SAVERECALC, PrintHeaders,
                     PrintGridlines, Gridset, Guts, DefaultRowHeight, WSBool, HCenter, VCenter,
                     Setup, DefColWidth, ColInfo, Dimensions, Window2>;
TYPED_TEST_SUITE(FixedRecordTest, FixedRecords);

TYPED_TEST(FixedRecordTest, ReadWriteAndTheOddLengths) {
  LogCapture log;
  const std::string readText = TypeParam::Texts().read;
  const std::uint32_t size = TypeParam::kDataSize;

  // A new record is exactly its layout, and its header check accepts what it writes.
  TypeParam fresh;
  EXPECT_EQ(fresh.RecordSize(), size + 4);
  const auto defaults = Written(fresh);
  EXPECT_TRUE(TypeParam::Validate(defaults, 0));

  // Every byte of a full record comes back in place.
  const auto full = ByteBuilder().Header(TypeParam::kCode, size).Fill(size, 0x41).bytes();
  TypeParam record;
  EXPECT_EQ(record.Read(full, 0), size + 4);
  EXPECT_EQ(Written(record), full);

  // Longer than its layout: the extra bytes are kept.
  const auto longer = ByteBuilder().Header(TypeParam::kCode, size + 3).Fill(size + 3, 7).bytes();
  EXPECT_EQ(record.Read(longer, 0), size + 7);
  EXPECT_EQ(Written(record), longer);
  EXPECT_FALSE(TypeParam::Validate(longer, 0));
  EXPECT_EQ(log.CountError(readText), 0);
  // Longer than one record may carry (a damaged length): consumed as read, written in
  // two pieces, and the size says so.
  const auto huge = ByteBuilder().Header(TypeParam::kCode, 9000).Fill(9000).bytes();
  EXPECT_EQ(record.Read(huge, 0), 9004u);
  EXPECT_EQ(record.RecordSize(), 9008u);
  EXPECT_EQ(Written(record).size(), 9008u);

  // Shorter: logged; the fields it does not reach keep their values; written back as read.
  const auto shorter = ByteBuilder().Header(TypeParam::kCode, 1).U8(0x99).bytes();
  TypeParam cut;
  EXPECT_EQ(cut.Read(shorter, 0), 5u);
  EXPECT_EQ(log.CountError(readText), 1);
  EXPECT_EQ(cut.RecordSize(), 5u);
  EXPECT_EQ(Written(cut).size(), 5u);
  EXPECT_EQ(Written(cut)[4], 0x99);

  // A length past the end of the stream: nothing consumed, the record stays as it was
  // and still writes what its size says.
  const auto pastEnd = ByteBuilder().Header(TypeParam::kCode, size + 10).Fill(size).bytes();
  TypeParam kept;
  kept.Read(full, 0);
  EXPECT_EQ(kept.Read(pastEnd, 0), 0u);
  EXPECT_EQ(log.CountError(readText), 2);
  EXPECT_EQ(Written(kept), full);

  // Reset brings back the defaults.
  kept.Reset();
  EXPECT_EQ(Written(kept), defaults);

  // The header check logs only when no header is there.
  const std::string validateText = TypeParam::Texts().validate;
  EXPECT_FALSE(TypeParam::Validate(full, full.size() - 2));
  EXPECT_EQ(log.CountError(validateText), 1);
}

TEST(SheetRecords, DefaultsOfANewSheet) {
  EXPECT_EQ(CALCMODE().value_, 1);
  EXPECT_EQ(CALCCOUNT().value_, 100);
  EXPECT_EQ(REFMODE().value_, 1);
  EXPECT_EQ(SAVERECALC().value_, 1);
  EXPECT_EQ(Gridset().value_, 1);
  EXPECT_EQ(WSBool().value_, 0x04C1);
  EXPECT_EQ(DefColWidth().value_, 8);
  EXPECT_DOUBLE_EQ(DELTA().MaxChange(), 0.001);
  DELTA delta;
  EXPECT_EQ(Written(delta), (std::vector<std::uint8_t>{0x10, 0, 8, 0, 0xFC, 0xA9, 0xF1, 0xD2, 0x4D,
                                                       0x62, 0x50, 0x3F}));
  DefaultRowHeight height;
  EXPECT_EQ(Written(height), (std::vector<std::uint8_t>{0x25, 0x02, 4, 0, 0, 0, 0xFF, 0}));
  sheet::Setup setup;
  const auto setupBytes = Written(setup);
  ASSERT_EQ(setupBytes.size(), 38u);
  EXPECT_EQ(setupBytes, ByteBuilder()
                            .Header(0x00A1, 34)
                            .U16(0)
                            .U16(255)
                            .U16(1)
                            .U16(1)
                            .U16(1)
                            .U16(4)
                            .U16(0)
                            .U16(0)
                            .U32(0)
                            .U32(0x3FE00000)  // margins: 0.5 inch
                            .U32(0)
                            .U32(0x3FE00000)
                            .U16(0)
                            .bytes());
  Window2 window;
  EXPECT_EQ(window.flags_, 0x06B6);
  EXPECT_EQ(window.gridColour_, 64);
  // CALCMODE's value is signed: -1 is "automatic except tables".
  const auto manual = ByteBuilder().Header(0x000D, 2).U16(0xFFFF).bytes();
  CALCMODE mode;
  mode.Read(manual, 0);
  EXPECT_EQ(mode.value_, -1);
}

TEST(SheetRecords, FailureTextsAreTheSystemsOwn) {
  LogCapture log;
  const auto shortCount = ByteBuilder().Header(0x000C, 1).U8(1).bytes();
  CALCCOUNT count;
  count.Read(shortCount, 0);
  EXPECT_EQ(log.CountError("Exception reading in Worksheet::CALCCOUNT::Read"), 1);
  const auto shortColInfo = ByteBuilder().Header(0x007D, 4).U32(0).bytes();
  ColInfo colInfo;
  colInfo.Read(shortColInfo, 0);
  EXPECT_EQ(log.CountError("Error reading ColInfo Record"), 1);
  std::vector<std::uint8_t> tooSmall(3);
  colInfo.Write(tooSmall, 0);
  EXPECT_EQ(log.CountError("Error writing ColInfo Record"), 1);
  Dimensions dimensions;
  dimensions.Write(tooSmall, 0);
  EXPECT_EQ(log.CountError("Error writing Dimensions Record"), 1);
  Window2 window;
  window.Read(shortCount, 1);
  EXPECT_EQ(log.CountError("Error reading Window2 Record"), 1);
}

TEST(SheetRecords, DimensionsRowsAreUnsigned) {
  const auto bytes =
      ByteBuilder().Header(0x0200, 14).U32(40000).U32(65536).U16(2).U16(300).U16(0).bytes();
  Dimensions dimensions;
  dimensions.Read(bytes, 0);
  EXPECT_EQ(dimensions.firstRow_, 40000u);
  EXPECT_EQ(dimensions.lastRowPlus1_, 65536u);
  EXPECT_EQ(dimensions.lastColumnPlus1_, 300);
}

// ---- Page header and footer ----------------------------------------------------------

TEST(SheetRecords, HeaderAndFooterText) {
  LogCapture log;
  Header header;
  Footer footer;
  EXPECT_EQ(Written(header), (std::vector<std::uint8_t>{0x14, 0, 0, 0}));
  EXPECT_EQ(Written(footer), (std::vector<std::uint8_t>{0x15, 0, 0, 0}));

  // Length 0 reads and writes no string, even over a header that had one.
  const auto text = ByteBuilder()
                        .Header(0x0014, 10)
                        .U16(7)
                        .U8(0)
                        .Raw({'P', 'a', 'g', 'e', ' ', '&', 'P'})
                        .bytes();
  ASSERT_EQ(header.Read(text, 0), 14u);
  EXPECT_EQ(header.text_.ToUtf8(), "Page &P");
  EXPECT_EQ(Written(header), text);
  const auto empty = ByteBuilder().Header(0x0014, 0).bytes();
  ASSERT_EQ(header.Read(empty, 0), 4u);
  EXPECT_FALSE(header.HasText());
  EXPECT_EQ(header.text_.ToUtf8(), "");
  EXPECT_EQ(Written(header), empty);

  // 16-bit characters write back as they were.
  const auto wide = ByteBuilder().Header(0x0015, 7).U16(2).U8(1).U16(0x4E2D).U16(0x6587).bytes();
  ASSERT_EQ(footer.Read(wide, 0), 11u);
  EXPECT_EQ(Written(footer), wide);

  // Formatting runs are not kept: the record shrinks to what it writes, consistently.
  const auto rich = ByteBuilder()
                        .Header(0x0014, 3 + 2 + 2 + 4)
                        .U16(2)
                        .U8(0x08)
                        .U16(1)
                        .Raw({'a', 'b'})
                        .U32(0x00050001)
                        .bytes();
  ASSERT_EQ(header.Read(rich, 0), rich.size());
  EXPECT_EQ(header.text_.ToUtf8(), "ab");
  const auto once = Written(header);
  EXPECT_EQ(once, ByteBuilder().Header(0x0014, 5).U16(2).U8(0).Raw({'a', 'b'}).bytes());

  // A count that the data does not hold keeps the characters that are there.
  const auto cut = ByteBuilder().Header(0x0014, 5).U16(9).U8(0).Raw({'x', 'y'}).bytes();
  ASSERT_EQ(header.Read(cut, 0), 9u);
  EXPECT_EQ(header.text_.ToUtf8(), "xy");
  EXPECT_GE(log.CountError("Exception reading in Worksheet::Header::Read"), 1);
  EXPECT_EQ(Written(header).size(), header.RecordSize());

  header.SetText("Confidential");
  EXPECT_EQ(header.RecordSize(), 4u + 3 + 12);
  Header back;
  const auto set = Written(header);
  back.Read(set, 0);
  EXPECT_EQ(back.text_.ToUtf8(), "Confidential");
  header.SetText("");
  EXPECT_EQ(header.RecordSize(), 4u);

  EXPECT_TRUE(Header::Validate(text, 0));
  EXPECT_TRUE(Header::Validate(empty, 0));
  EXPECT_FALSE(Footer::Validate(text, 0));
  EXPECT_FALSE(Header::Validate(ByteBuilder().Header(0x0014, 2).U16(0).bytes(), 0));
}

// ---- SELECTION -----------------------------------------------------------------------

std::vector<std::uint8_t> SelectionBytes(std::uint16_t length, std::uint16_t count,
                                         std::size_t refs) {
  ByteBuilder b;
  b.Header(0x001D, length).U8(3).U16(5).U16(2).U16(0).U16(count);
  for (std::size_t i = 0; i < refs; ++i) {
    b.U16(static_cast<std::uint16_t>(10 * i + 1)).U16(static_cast<std::uint16_t>(10 * i + 4));
    b.U8(static_cast<std::uint8_t>(i)).U8(static_cast<std::uint8_t>(i + 3));
  }
  return b.bytes();
}

TEST(SheetRecords, SelectionReferences) {
  LogCapture log;
  Selection fresh;
  EXPECT_EQ(fresh.DataSize(), 15u);
  EXPECT_EQ(fresh.RecordSize(), 19u);
  // A new selection: pane 3, the active reference is the first of one.
  EXPECT_EQ(Written(fresh), ByteBuilder()
                                .Header(0x001D, 15)
                                .U8(3)
                                .U16(0)
                                .U16(0)
                                .U16(0)
                                .U16(1)
                                .U16(0)
                                .U16(0)
                                .U8(0)
                                .U8(0)
                                .bytes());

  // Count 2 in 21 bytes: exactly two references.
  const auto two = SelectionBytes(21, 2, 2);
  Selection selection;
  ASSERT_EQ(selection.Read(two, 0), 25u);
  ASSERT_EQ(selection.refs_.size(), 2u);
  EXPECT_EQ(selection.activeRow_, 5);
  EXPECT_EQ(selection.activeColumn_, 2);
  EXPECT_EQ(selection.refs_[1].firstRow_, 11);
  EXPECT_EQ(selection.refs_[1].lastRow_, 14);
  EXPECT_EQ(selection.refs_[1].lastColumn_, 4);
  EXPECT_EQ(Written(selection), two);
  EXPECT_EQ(log.CountError("Exception in Worksheet::Selection::Read"), 0);

  // A count that lies: what the data holds is kept, and the written count tells the truth.
  const auto lying = SelectionBytes(21, 900, 2);
  ASSERT_EQ(selection.Read(lying, 0), 25u);
  EXPECT_EQ(selection.refs_.size(), 2u);
  EXPECT_EQ(log.CountError("Exception in Worksheet::Selection::Read"), 1);
  EXPECT_EQ(Written(selection), two);

  // A reference cut short by the data is logged.
  const auto cutRef = SelectionBytes(18, 2, 2);
  ASSERT_EQ(selection.Read(std::span(cutRef).first(22), 0), 22u);
  EXPECT_EQ(selection.refs_.size(), 2u);
  EXPECT_EQ(log.CountError("Exception in Worksheet::Selection::SELECTION_REF::Read"), 1);
  EXPECT_EQ(Written(selection).size(), selection.RecordSize());

  // Count 0 keeps one reference; a record too short for its fields keeps the rest.
  const auto none = SelectionBytes(15, 0, 1);
  Selection zero;
  ASSERT_EQ(zero.Read(none, 0), 19u);
  EXPECT_EQ(zero.refs_.size(), 1u);
  EXPECT_EQ(zero.refs_[0].lastRow_, 4);
  const auto stub = ByteBuilder().Header(0x001D, 2).U8(1).U8(0).bytes();
  ASSERT_EQ(selection.Read(stub, 0), 6u);
  EXPECT_EQ(selection.pane_, 1);
  EXPECT_EQ(selection.refs_.size(), 2u);  // the references held before stay
  EXPECT_EQ(Written(selection).size(), selection.RecordSize());

  EXPECT_TRUE(Selection::Validate(two, 0));
  EXPECT_FALSE(Selection::Validate(cutRef, 0));
}

// ---- MERGEDCELLS ---------------------------------------------------------------------

TEST(SheetRecords, MergedCellRanges) {
  LogCapture log;
  MergedCells fresh;
  EXPECT_EQ(Written(fresh), (std::vector<std::uint8_t>{0xE5, 0, 2, 0, 0, 0}));

  const auto two = ByteBuilder()
                       .Header(0x00E5, 18)
                       .U16(2)
                       .U16(1)
                       .U16(2)
                       .U16(0)
                       .U16(3)
                       .U16(40000)
                       .U16(40010)
                       .U16(5)
                       .U16(6)
                       .bytes();
  MergedCells merged;
  ASSERT_EQ(merged.Read(two, 0), 22u);
  ASSERT_EQ(merged.ranges_.size(), 2u);
  EXPECT_EQ(merged.ranges_[1].firstRow_, 40000);
  EXPECT_EQ(merged.ranges_[1].lastColumn_, 6);
  EXPECT_EQ(Written(merged), two);
  EXPECT_TRUE(MergedCells::Validate(two, 0));

  // A count past the data: the whole ranges stay, the list replaces the old one.
  const auto lying = ByteBuilder()
                         .Header(0x00E5, 13)
                         .U16(5000)
                         .U16(7)
                         .U16(8)
                         .U16(9)
                         .U16(10)
                         .Raw({1, 2, 3})
                         .bytes();
  ASSERT_EQ(merged.Read(lying, 0), 17u);
  ASSERT_EQ(merged.ranges_.size(), 1u);
  EXPECT_EQ(merged.ranges_[0].firstRow_, 7);
  EXPECT_EQ(log.CountError("Error reading MergedCells::AddList Record"), 1);
  EXPECT_EQ(log.CountError("Error reading MergedCell Record"), 1);
  EXPECT_EQ(Written(merged),
            ByteBuilder().Header(0x00E5, 10).U16(1).U16(7).U16(8).U16(9).U16(10).bytes());
  EXPECT_FALSE(MergedCells::Validate(lying, 0));

  std::vector<std::uint8_t> small(8);
  merged.Write(small, 0);
  EXPECT_EQ(log.CountError("Error writing MergedCell Record"), 1);
}

}  // namespace
}  // namespace tabulix::sheet
