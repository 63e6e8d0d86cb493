#include "recovery/well_formed.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "biff/cell_block.hpp"
#include "biff/row_block.hpp"
#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"
#include "recovery/recover_sheets.hpp"

namespace tabulix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using cells::CellBlock;
using cells::RowBlock;

void Put16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// Reads `data` as one record of `code`, the way the readers meet it in a stream.
CellBlock ReadCell(std::uint16_t code, const Bytes& data) {
  Bytes record;
  Put16(record, code);
  Put16(record, static_cast<std::uint16_t>(data.size()));
  record.insert(record.end(), data.begin(), data.end());
  CellBlock cell;
  EXPECT_EQ(cell.Read(record, 0), record.size());
  return cell;
}

Bytes CellHead(std::uint16_t row, std::uint16_t column, std::uint16_t xf = 15) {
  Bytes data;
  Put16(data, row);
  Put16(data, column);
  Put16(data, xf);
  return data;
}

CellBlock Number(std::uint16_t row, std::uint16_t column, double value) {
  Bytes data = CellHead(row, column);
  const auto bits = std::bit_cast<std::uint64_t>(value);
  for (int i = 0; i < 8; ++i) data.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  return ReadCell(0x0203, data);
}

CellBlock SharedText(std::uint16_t row, std::uint16_t column, std::uint32_t index) {
  Bytes data = CellHead(row, column);
  Put16(data, static_cast<std::uint16_t>(index & 0xFFFF));
  Put16(data, static_cast<std::uint16_t>(index >> 16));
  return ReadCell(0x00FD, data);
}

CellBlock NumberRun(std::uint16_t row, std::uint16_t first, std::uint16_t count) {
  Bytes data;
  Put16(data, row);
  Put16(data, first);
  for (std::uint16_t i = 0; i < count; ++i) {
    Put16(data, 15);
    Put16(data, static_cast<std::uint16_t>(((i + 1u) << 2) | 2));  // the integer i + 1
    Put16(data, 0);
  }
  Put16(data, static_cast<std::uint16_t>(first + count - 1));
  return ReadCell(0x00BD, data);
}

// A model of one worksheet whose single row block holds `cells`, and a shared string table
// of `strings` texts.
WorkbookModel Model(std::vector<CellBlock> cells, std::vector<std::u16string> strings = {}) {
  WorkbookModel model;
  model.workbook_.Reset();
  for (const std::u16string& text : strings)
    model.workbook_.sst_.strings_.emplace_back().Assign(text);
  Worksheet& sheet = model.worksheets_.emplace_back();
  sheet.Reset();
  RowBlock& block = sheet.cellTable_.rowBlocks_.emplace_back();
  block.cellBlocks_ = std::move(cells);
  return model;
}

std::vector<const CellBlock*> Cells(const Worksheet& sheet) {
  std::vector<const CellBlock*> out;
  for (const RowBlock& block : sheet.cellTable_.rowBlocks_)
    for (const CellBlock& cell : block.cellBlocks_) out.push_back(&cell);
  return out;
}

TEST(WellFormed, SharedStringIndexesPastTheTableShowAPlaceholderNamingTheIndex) {
  std::vector<CellBlock> cells;
  cells.push_back(SharedText(0, 0, 0));
  cells.push_back(SharedText(0, 1, 0x22995));
  cells.push_back(SharedText(1, 0, 0x22995));
  cells.push_back(SharedText(1, 1, 7));
  WorkbookModel model = Model(std::move(cells), {u"kept"});
  const WellFormedCounts counts = MakeWellFormed(model);

  const auto& sst = model.workbook_.sst_;
  ASSERT_EQ(sst.strings_.size(), 3u);  // the one read, one placeholder per lost index
  EXPECT_EQ(sst.Text(0), "kept");
  EXPECT_EQ(counts.sheets.at(0).lostText, 3u);
  const auto cellsNow = Cells(model.worksheets_[0]);
  ASSERT_EQ(cellsNow.size(), 4u);
  EXPECT_EQ(cellsNow[0]->As<cells::LabelSST>()->sstIndex_, 0u);
  EXPECT_EQ(sst.Text(cellsNow[1]->As<cells::LabelSST>()->sstIndex_), "#LOST TEXT 141717");
  EXPECT_EQ(cellsNow[1]->As<cells::LabelSST>()->sstIndex_,
            cellsNow[2]->As<cells::LabelSST>()->sstIndex_);
  EXPECT_EQ(sst.Text(cellsNow[3]->As<cells::LabelSST>()->sstIndex_), "#LOST TEXT 7");
  EXPECT_EQ(sst.unique_, 3u);
  EXPECT_GE(sst.total_, 4u);
}

TEST(WellFormed, UnpairedSurrogatesBecomeReplacementCharactersAndAreCounted) {
  std::u16string text = u"ab";
  text.push_back(char16_t{0xD800});  // a high half with no low half
  text += u"c";
  text.push_back(char16_t{0xDC00});  // a low half alone
  std::u16string pair = u"x";
  pair.push_back(char16_t{0xD83D});
  pair.push_back(char16_t{0xDE00});  // a whole pair stays
  std::vector<CellBlock> cells;
  cells.push_back(SharedText(0, 0, 0));
  cells.push_back(SharedText(0, 1, 1));
  WorkbookModel model = Model(std::move(cells), {text, pair});
  model.workbook_.sheets_[0].name_.Assign(std::u16string(1, char16_t{0xDBFF}));
  const WellFormedCounts counts = MakeWellFormed(model);

  const auto& sst = model.workbook_.sst_;
  EXPECT_EQ(sst.strings_[0].wide_, u"ab\uFFFDc\uFFFD");
  EXPECT_EQ(sst.strings_[1].wide_, pair);
  EXPECT_EQ(model.workbook_.sheets_[0].name_.wide_, u"\uFFFD");
  EXPECT_EQ(counts.stringsRepaired, 2u);
  EXPECT_EQ(counts.sheets.at(0).lostText, 0u);

  std::u16string lone(1, char16_t{0xDFFF});
  EXPECT_TRUE(RepairUtf16(lone));
  EXPECT_EQ(lone, u"\uFFFD");
  std::u16string sound = u"plain";
  EXPECT_FALSE(RepairUtf16(sound));
}

TEST(WellFormed, CellsStayOnTheGridAndRunsInsideTheirRow) {
  std::vector<CellBlock> cells;
  cells.push_back(NumberRun(0, 250, 10));  // reaches column 259
  cells.push_back(NumberRun(1, 255, 3));   // only its first number fits: a single RK
  cells.push_back(Number(2, 300, 1.5));    // no such column
  WorkbookModel model = Model(std::move(cells));
  const WellFormedCounts counts = MakeWellFormed(model);

  const auto kept = Cells(model.worksheets_[0]);
  ASSERT_EQ(kept.size(), 2u);
  const auto* run = kept[0]->As<cells::MulRK>();
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->entries().size(), 6u);
  EXPECT_EQ(run->lastColumn_, 255);
  ASSERT_NE(kept[1]->As<cells::RK>(), nullptr);
  EXPECT_EQ(kept[1]->Column(), 255);
  EXPECT_EQ(kept[1]->As<cells::RK>()->value(), 1.0);
  EXPECT_EQ(counts.sheets.at(0).droppedOutOfRange, 4u + 2u + 1u);

  const auto& dimensions = model.worksheets_[0].dimensions_;
  EXPECT_EQ(dimensions.firstRow_, 0u);
  EXPECT_EQ(dimensions.lastRowPlus1_, 2u);
  EXPECT_EQ(dimensions.firstColumn_, 250);
  EXPECT_EQ(dimensions.lastColumnPlus1_, 256);
}

TEST(WellFormed, CellsOutOfOrderAreSortedIntoRowsThatCoverThem) {
  std::vector<CellBlock> cells;
  cells.push_back(Number(40, 3, 1));
  cells.push_back(Number(2, 5, 2));
  cells.push_back(Number(2, 1, 3));
  cells.push_back(Number(2, 5, 4));  // a second cell on a taken place
  WorkbookModel model = Model(std::move(cells));
  const WellFormedCounts counts = MakeWellFormed(model);

  const Worksheet& sheet = model.worksheets_[0];
  const auto kept = Cells(sheet);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0]->Row(), 2);
  EXPECT_EQ(kept[0]->Column(), 1);
  EXPECT_EQ(kept[1]->As<cells::Number>()->value(), 2.0);  // the first of the place
  EXPECT_EQ(kept[2]->Row(), 40);
  EXPECT_EQ(counts.sheets.at(0).droppedUnreadable, 1u);
  // Rows 2 and 40 lie in different blocks of 32, each with a ROW spanning its cells.
  ASSERT_EQ(sheet.cellTable_.rowBlocks_.size(), 2u);
  const auto& first = sheet.cellTable_.rowBlocks_[0].rows_;
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].row_, 2);
  EXPECT_EQ(first[0].firstColumn_, 1);
  EXPECT_EQ(first[0].lastColumn_, 6);
  EXPECT_EQ(sheet.index_.firstRow_, 2u);
  EXPECT_EQ(sheet.index_.lastRow_, 41u);
}

TEST(WellFormed, CellRecordsOfTheWrongLengthAreTrimmedOrDropped) {
  Bytes longer = CellHead(0, 0);
  for (int i = 0; i < 8; ++i) longer.push_back(0);
  longer.push_back(0xEE);  // one byte past the value
  Bytes shorter = CellHead(0, 1);
  shorter.push_back(0x01);  // the value cut short
  std::vector<CellBlock> cells;
  cells.push_back(ReadCell(0x0203, longer));
  cells.push_back(ReadCell(0x0203, shorter));
  WorkbookModel model = Model(std::move(cells));
  const WellFormedCounts counts = MakeWellFormed(model);

  const auto kept = Cells(model.worksheets_[0]);
  ASSERT_EQ(kept.size(), 1u);
  auto cell = *kept[0];
  EXPECT_EQ(cell.RecordSize(), 18u);
  EXPECT_EQ(counts.sheets.at(0).droppedUnreadable, 1u);
}

TEST(WellFormed, FormatRecordsNameOnlyWhatReadersKnow) {
  WorkbookModel model = Model({Number(0, 0, 1)});
  auto& xfs = model.workbook_.xfs_;
  ASSERT_GE(xfs.size(), 21u);
  xfs[0].typeProtection_ = 0x0001;                 // the Normal style made a cell format
  xfs[16].typeProtection_ = 0x0150;                // a cell format whose parent is a cell format
  xfs[16].borderLines_ = 0x7F7F00FE;               // left style 14, right 15, colours 127
  xfs[16].borderColours_ = 0xFC000000;             // fill pattern 63
  xfs[16].fillColours_ = 0x3FFF;                   // both fill colours 127
  xfs[16].alignment_ = 0x70;                       // vertical alignment 7
  xfs[17].formatIndex_ = 154;                      // reserved, no FORMAT record
  xfs[18].formatIndex_ = 57;                       // an East Asian date: built in
  xfs[18].borderLines_ = 0x00400000 | 0x00001230;  // left colour 64 (automatic), styles kept
  const Workbook::XF sound = xfs[18];
  FixXFReferences(model.workbook_);
  MakeWellFormed(model);

  EXPECT_EQ(xfs[0].typeProtection_ & 0xFFF4, 0xFFF4);  // a style with no parent
  EXPECT_EQ(xfs[16].typeProtection_ >> 4, 0);          // the Normal style
  EXPECT_EQ(xfs[16].borderLines_, (1u << 30) | (64u << 23) | (64u << 16));  // flags kept
  EXPECT_EQ(xfs[16].borderColours_, 0u);
  EXPECT_EQ(xfs[16].fillColours_, (64u << 7) | 64u);
  EXPECT_EQ(xfs[16].alignment_, 0x20);
  EXPECT_EQ(xfs[17].formatIndex_, 0);
  EXPECT_EQ(xfs[18].formatIndex_, 57);
  EXPECT_EQ(xfs[18].borderLines_, sound.borderLines_);
}

TEST(WellFormed, GlobalsReadersCheckHoldValuesTheyKnow) {
  WorkbookModel model = Model({Number(0, 0, 1)});
  Workbook& globals = model.workbook_;
  globals.codeName_.value_ = 17409;  // no code page
  globals.date1904_.value_ = 0x0100;
  globals.xfs_[3].dataSize_ = 8;  // an XF read short
  globals.writeAccess_.dataSize_ = 32;
  globals.writeAccess_.userNameShort_.Assign(std::string_view("short form"));
  // Records with no body read with one (a damaged length the chain still walked through).
  globals.excel9File_.dataSize_ = 65;
  globals.excel9File_.data_.assign(65, 0x41);
  globals.interfaceEnd_.dataSize_ = 2;
  globals.interfaceEnd_.data_.assign(2, 0);
  MakeWellFormed(model);

  EXPECT_EQ(globals.codeName_.value_, 1200);
  EXPECT_EQ(globals.date1904_.value_, 1);
  EXPECT_EQ(globals.xfs_[3].RecordSize(), 24u);
  EXPECT_EQ(globals.writeAccess_.dataSize_, 112u);
  EXPECT_EQ(globals.writeAccess_.userName_.ToUtf8(), "short form");
  EXPECT_EQ(globals.excel9File_.RecordSize(), 4u);
  EXPECT_EQ(globals.interfaceEnd_.RecordSize(), 4u);

  WorkbookModel sound = Model({Number(0, 0, 1)});
  sound.workbook_.codeName_.value_ = 1252;
  MakeWellFormed(sound);
  EXPECT_EQ(sound.workbook_.codeName_.value_, 1252);
}

}  // namespace
}  // namespace tabulix
