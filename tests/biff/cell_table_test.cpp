// Row blocks and the cell table: where a block ends, what it keeps, the sizes the position
// fix-up adds up, and the DBCELL and INDEX records.

#include "biff/cell_table.hpp"

#include <gtest/gtest.h>

#include <iostream>
#include <vector>

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

ByteBuilder& AddRow(ByteBuilder& b, std::uint16_t row) {
  return b.Header(0x0208, 16).U16(row).U16(0).U16(3).U16(255).U16(0).U16(0).U32(0x100);
}
ByteBuilder& AddNumber(ByteBuilder& b, std::uint16_t row, std::uint16_t column) {
  return b.Header(0x0203, 14).U16(row).U16(column).U16(15).U32(0).U32(0x3FF00000);
}
ByteBuilder& AddBlank(ByteBuilder& b, std::uint16_t row, std::uint16_t column) {
  return b.Header(0x0201, 6).U16(row).U16(column).U16(15);
}

TEST(CellTable, BlockWithDbCellReadsWholeAndWritesBack) {
  LogCapture log;
  // Three rows, five cells (18 + 10 + 18 + 18 + 10 bytes), then a DBCELL.
  ByteBuilder b;
  AddRow(b, 0);
  AddRow(b, 1);
  AddRow(b, 65535);
  AddNumber(b, 0, 0);
  AddBlank(b, 0, 1);
  AddNumber(b, 1, 0);
  AddNumber(b, 65535, 0);
  AddBlank(b, 65535, 2);
  b.Header(0x00D7, 10).U32(60 + 74).U16(40).U16(28).U16(18);
  b.Header(0x023E, 0);
  const Bytes bytes = b.bytes();

  CellTable table;
  const std::uint32_t taken = table.Read(bytes, 0);
  ASSERT_EQ(taken, bytes.size() - 4) << "the table ends before WINDOW2";
  ASSERT_EQ(table.rowBlocks_.size(), 1u);
  RowBlock& block = table.rowBlocks_[0];
  ASSERT_EQ(block.rows_.size(), 3u);
  ASSERT_EQ(block.cellBlocks_.size(), 5u);
  EXPECT_EQ(block.rows_[2].row_, 65535);
  EXPECT_EQ(block.cellBlocks_[4].Row(), 65535);
  EXPECT_EQ(block.cellBlocks_[4].Column(), 2);
  EXPECT_EQ(block.dbCell_.offsets_, (std::vector<std::uint16_t>{40, 28, 18}));

  // The arithmetic of the fix-up: DBCELL's first field is the rows' 60 bytes plus the
  // cells' sizes; the first row's offset is from the second ROW to the first cell.
  std::uint32_t cells = 0;
  for (CellBlock& cell : block.cellBlocks_) cells += cell.RecordSize();
  EXPECT_EQ(cells, 74u);
  EXPECT_EQ(block.RecordSize() - block.dbCell_.RecordSize(), 60u + cells);
  EXPECT_EQ(block.rows_[1].RecordSize() + block.rows_[2].RecordSize(), 40u);
  EXPECT_EQ(block.dbCell_.RecordSize(), 14u);
  EXPECT_EQ(table.RecordSize(), taken);
  EXPECT_EQ(WrittenBytes(table), Bytes(bytes.begin(), bytes.end() - 4));
  EXPECT_TRUE(log.ErrorLines().empty());

  CellTable copy = table;
  EXPECT_EQ(WrittenBytes(copy), WrittenBytes(table));
  table.Reset();
  EXPECT_EQ(table.RecordSize(), 0u);
}

TEST(CellTable, BlockWithoutDbCellStopsBeforeTheForeignRecord) {
  LogCapture log;
  // No DBCELL: the block must not swallow WINDOW2, EOF or anything behind them.
  ByteBuilder b;
  AddRow(b, 4);
  AddNumber(b, 4, 1);
  b.Header(0x023E, 18).Fill(18);
  AddBlank(b, 9, 9);  // a run after the foreign record: read by a second call
  b.Header(0x000A, 0);
  const Bytes bytes = b.bytes();

  CellTable table;
  ASSERT_EQ(table.Read(bytes, 0), 20u + 18);
  ASSERT_EQ(table.rowBlocks_.size(), 1u);
  EXPECT_EQ(table.rowBlocks_[0].cellBlocks_.size(), 1u);
  EXPECT_TRUE(table.rowBlocks_[0].dbCell_.offsets_.empty()) << "a default DBCELL";

  const std::size_t blank = 20 + 18 + 22;
  ASSERT_EQ(table.Read(bytes, blank), 10u);
  ASSERT_EQ(table.rowBlocks_.size(), 2u) << "appended";
  EXPECT_EQ(table.rowBlocks_[1].cellBlocks_[0].type_, Blank::kCode);
  // Nothing to read at the EOF, or at a WINDOW2.
  EXPECT_EQ(table.Read(bytes, blank + 10), 0u);
  EXPECT_EQ(table.Read(bytes, 38), 0u);
  EXPECT_EQ(table.rowBlocks_.size(), 2u);
  EXPECT_TRUE(log.ErrorLines().empty());
}

TEST(CellTable, CellsBeforeTheFirstRowAndLoneCompanionsEndABlock) {
  LogCapture log;
  ByteBuilder b;
  AddNumber(b, 0, 0);  // a cell before any ROW: a block of its own, kept
  AddRow(b, 0);
  AddNumber(b, 0, 1);
  b.Header(0x0207, 4).U16(1).U8(0).U8('s');  // a STRING with no FORMULA: the worksheet's
  AddRow(b, 1);
  AddNumber(b, 1, 0);
  AddRow(b, 40);  // a ROW behind cells opens the next block
  AddBlank(b, 40, 0);
  const Bytes bytes = b.bytes();

  CellTable table;
  const std::size_t string = 18 + 20 + 18;
  ASSERT_EQ(table.Read(bytes, 0), string);
  ASSERT_EQ(table.rowBlocks_.size(), 2u);
  EXPECT_TRUE(table.rowBlocks_[0].rows_.empty());
  EXPECT_EQ(table.rowBlocks_[0].cellBlocks_.size(), 1u);
  EXPECT_EQ(table.rowBlocks_[1].rows_.size(), 1u);

  ASSERT_EQ(table.Read(bytes, string + 8), bytes.size() - string - 8);
  ASSERT_EQ(table.rowBlocks_.size(), 4u);
  EXPECT_EQ(table.rowBlocks_[3].rows_[0].row_, 40);
  EXPECT_TRUE(log.ErrorLines().empty());
}

TEST(CellTable, RecordRunningPastTheStreamEndsTheTableAndKeepsWhatWasRead) {
  LogCapture log;
  ByteBuilder b;
  AddRow(b, 2);
  AddNumber(b, 2, 0);
  b.Header(0x0203, 14).U16(2).U16(1);  // cut short by the stream's end
  const Bytes bytes = b.bytes();

  CellTable table;
  ASSERT_EQ(table.Read(bytes, 0), 38u);
  ASSERT_EQ(table.rowBlocks_.size(), 1u);
  EXPECT_EQ(table.rowBlocks_[0].cellBlocks_.size(), 1u);
  // The block that met the cut record, and the one the table tried to start there.
  EXPECT_EQ(log.CountError("Error reading RowBlock"), 2);
  EXPECT_EQ(log.CountError("Error reading CellTable"), 1);
  EXPECT_EQ(table.Read(bytes, 38), 0u);
  EXPECT_EQ(log.CountError("Error reading CellTable"), 2);
  EXPECT_EQ(table.rowBlocks_.size(), 1u);
  // A header cut in two reads nothing either.
  EXPECT_EQ(table.Read(Bytes{0x08, 0x02, 0x10}, 0), 0u);

  EXPECT_TRUE(IsCellTableCode(0x0208));
  EXPECT_TRUE(IsCellTableCode(0x0204));
  EXPECT_TRUE(IsCellTableCode(0x00D6));
  EXPECT_FALSE(IsCellTableCode(0x00D7));
  EXPECT_FALSE(IsCellTableCode(0x0207));
  EXPECT_FALSE(IsCellTableCode(0x00BC));
}

TEST(CellTable, TableBuiltByTheModelWritesWhatItsSizeSaysAndReadsBack) {
  LogCapture log;
  CellTable table;
  RowBlock& block = table.rowBlocks_.emplace_back();
  block.rows_.emplace_back().row_ = 40000;
  block.cellBlocks_.reserve(4);  // the references below must stay valid
  CellBlock& number = block.cellBlocks_.emplace_back();
  number.Emplace<Number>().SetValue(6.5);
  CellBlock& text = block.cellBlocks_.emplace_back();
  Label& label = text.Emplace<Label>();
  label.row_ = 40000;
  label.column_ = 1;
  label.SetText("\xD0\xA2\xD0\xB5\xD0\xBA\xD1\x81\xD1\x82");
  CellBlock& formula = block.cellBlocks_.emplace_back();
  Formula& f = formula.Emplace<Formula>();
  f.row_ = 40000;
  f.column_ = 2;
  f.result_ = 0xFFFF000000000000ull;
  f.formula_ = {0x03, 0x00, 0x1E, 0x01, 0x00};
  f.string_.SetText("ok");
  f.hasString_ = true;
  CellBlock& run = block.cellBlocks_.emplace_back();
  MulRK& mulRk = run.Emplace<MulRK>();
  mulRk.row_ = 40000;
  mulRk.column_ = 3;
  mulRk.SetEntries({{15, RkFromInteger(7)}, {15, RkFromDouble(0.5)}});
  block.dbCell_.offsets_ = {0};

  EXPECT_EQ(text.type_, Label::kCode);
  EXPECT_EQ(formula.type_, Formula::kCode);
  const Bytes written = WrittenBytes(table);
  ASSERT_EQ(written.size(), table.RecordSize());
  CellTable again;
  ASSERT_EQ(again.Read(written, 0), written.size());
  ASSERT_EQ(again.rowBlocks_.size(), 1u);
  const RowBlock& read = again.rowBlocks_[0];
  ASSERT_EQ(read.cellBlocks_.size(), 4u);
  EXPECT_EQ(read.rows_[0].row_, 40000);
  EXPECT_EQ(read.cellBlocks_[0].As<Number>()->value(), 6.5);
  EXPECT_EQ(read.cellBlocks_[1].As<Label>()->Text(), label.Text());
  EXPECT_EQ(read.cellBlocks_[2].As<Formula>()->resultString(), "ok");
  EXPECT_EQ(read.cellBlocks_[3].As<MulRK>()->entries()[1].value(), 0.5);
  EXPECT_EQ(read.cellBlocks_[3].As<MulRK>()->lastColumn_, 4);
  EXPECT_TRUE(read.hasDbCell_);
  EXPECT_EQ(WrittenBytes(again), written);
  EXPECT_TRUE(log.ErrorLines().empty());
}

TEST(CellTable, DbCellAndIndexSizesFollowTheirLists) {
  LogCapture log;
  {
    // An empty sheet's INDEX: rows 0 and 0, no positions stored; one position 0 held.
    const Bytes bytes = ByteBuilder().Header(0x020B, 16).U32(0).U32(0).U32(0).U32(0).bytes();
    Index index;
    ASSERT_EQ(index.Read(bytes, 0), 20u);
    EXPECT_EQ(index.firstRow_, 0u);
    EXPECT_EQ(index.lastRow_, 0u);
    EXPECT_EQ(index.positions_, (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(index.RecordSize(), 24u);
    EXPECT_EQ(Index().RecordSize(), 24u);
  }
  {
    // Rows 30..40 start in one block and end in the next: both positions stay.
    const Bytes bytes =
        ByteBuilder().Header(0x020B, 24).U32(0).U32(30).U32(41).U32(0).U32(1000).U32(2000).bytes();
    Index index;
    ASSERT_EQ(index.Read(bytes, 0), 28u);
    EXPECT_EQ(index.positions_, (std::vector<std::uint32_t>{1000, 2000}));
    EXPECT_EQ(WrittenBytes(index), bytes);
  }
  EXPECT_TRUE(log.ErrorLines().empty());
  {
    // Rows that lie (a last row of 2^32 - 1) size nothing: the data holds one position.
    const Bytes bytes = ByteBuilder()
                            .Header(0x020B, 21)
                            .U32(0)
                            .U32(0x80000000u)
                            .U32(0xFFFFFFFFu)
                            .U32(0)
                            .U32(77)
                            .U8(0)
                            .bytes();
    Index index;
    ASSERT_EQ(index.Read(bytes, 0), 25u);
    EXPECT_EQ(index.positions_, (std::vector<std::uint32_t>{77}));
    EXPECT_EQ(index.lastRow_, 0xFFFFFFFFu);
    EXPECT_EQ(log.CountError("Exception reading in Workbook::Index::Read"), 1);
  }
  {
    DBCell dbCell;
    EXPECT_EQ(dbCell.RecordSize(), 8u);
    dbCell.offsets_.resize(32);
    EXPECT_EQ(dbCell.RecordSize(), 8u + 64);
    // An odd byte behind the offsets is reported and not kept.
    const Bytes bytes = ByteBuilder().Header(0x00D7, 7).U32(100).U16(20).U8(1).bytes();
    ASSERT_EQ(dbCell.Read(bytes, 0), 11u);
    EXPECT_EQ(dbCell.firstRowOffset_, 100u);
    EXPECT_EQ(dbCell.offsets_, (std::vector<std::uint16_t>{20}));
    EXPECT_EQ(log.CountError("Error reading DBCell Record"), 1);
  }
  std::cout << "sizeof(CellBlock) = " << sizeof(CellBlock)
            << ", sizeof(Formula) = " << sizeof(Formula) << ", sizeof(Label) = " << sizeof(Label)
            << "\n";
}

}  // namespace
}  // namespace tabulix::cells
