#include "recovery/cell_table_rebuild.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/little_endian.hpp"
#include "biff/cell_block.hpp"
#include "biff/cell_table.hpp"
#include "biff/row_records.hpp"
#include "biff/workbook.hpp"
#include "recovery/record_selectors.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;
using cells::CellBlock;
using cells::Row;

// A workbook with more XF records than the filler formats ask for.
constexpr std::size_t kManyXfs = 100;

void Put16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& out, std::uint32_t v) {
  Put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
  Put16(out, static_cast<std::uint16_t>(v >> 16));
}
Bytes Record(std::uint16_t code, const Bytes& data) {
  Bytes out;
  Put16(out, code);
  Put16(out, static_cast<std::uint16_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}
// An RK value holding the integer `n`.
std::uint32_t RkInt(std::uint32_t n) { return (n << 2) | 2; }

CellBlock ReadCell(const Bytes& record) {
  CellBlock cell;
  EXPECT_EQ(cell.Read(record, 0), record.size());
  return cell;
}

CellBlock Number(std::uint16_t row, std::uint16_t column, double value) {
  Bytes data;
  Put16(data, row);
  Put16(data, column);
  Put16(data, 15);  // XF
  const auto bits = std::bit_cast<std::uint64_t>(value);
  Put32(data, static_cast<std::uint32_t>(bits));
  Put32(data, static_cast<std::uint32_t>(bits >> 32));
  return ReadCell(Record(0x0203, data));
}

// A MULRK of RK integers from `first`; `lastField` is what its last-column field says.
CellBlock MulRk(std::uint16_t row, std::uint16_t first, const std::vector<std::uint32_t>& values,
                std::uint16_t lastField) {
  Bytes data;
  Put16(data, row);
  Put16(data, first);
  for (std::uint32_t v : values) {
    Put16(data, 15);  // XF
    Put32(data, RkInt(v));
  }
  Put16(data, lastField);
  return ReadCell(Record(0x00BD, data));
}
CellBlock MulRk(std::uint16_t row, std::uint16_t first, const std::vector<std::uint32_t>& values) {
  return MulRk(row, first, values, static_cast<std::uint16_t>(first + values.size() - 1));
}

CellBlock MulBlank(std::uint16_t row, std::uint16_t first, const std::vector<std::uint16_t>& xfs,
                   std::uint16_t lastField) {
  Bytes data;
  Put16(data, row);
  Put16(data, first);
  for (std::uint16_t xf : xfs) Put16(data, xf);
  Put16(data, lastField);
  return ReadCell(Record(0x00BE, data));
}

CellBlock Label(std::uint16_t row, std::uint16_t column, const std::string& text) {
  Bytes data;
  Put16(data, row);
  Put16(data, column);
  Put16(data, 15);  // XF
  Put16(data, static_cast<std::uint16_t>(text.size()));
  data.push_back(0);  // flags: compressed characters
  data.insert(data.end(), text.begin(), text.end());
  return ReadCell(Record(0x0204, data));
}

Row RowRecord(std::uint16_t row, std::uint16_t first, std::uint16_t lastPlus1,
              std::uint16_t height) {
  Bytes data;
  Put16(data, row);
  Put16(data, first);
  Put16(data, lastPlus1);
  Put16(data, height);
  Put16(data, 0);       // reserved
  Put16(data, 0);       // reserved
  Put32(data, 0x0100);  // options
  const Bytes record = Record(0x0208, data);
  Row out;
  EXPECT_EQ(out.Read(record, 0), record.size());
  return out;
}

// Takes a cell into the sheet the way the record selector does.
void Gather(Worksheet& sheet, CellBlock cell) {
  sheet.scratch_.cellBlocks_.push_back(std::move(cell));
  IndexCell(sheet);
}
void Gather(Worksheet& sheet, Row row) {
  sheet.rowIndex_.emplace(row.row_, static_cast<std::uint32_t>(sheet.scratch_.rows_.size()));
  sheet.scratch_.rows_.push_back(std::move(row));
}

std::string Place(const auto& cell) {
  return std::to_string(cell.row_) + "," + std::to_string(cell.column_);
}

std::string Describe(const CellBlock& cell) {
  if (const auto* c = cell.As<cells::Blank>())
    return "BLANK " + Place(*c) + " xf" + std::to_string(c->xf_);
  if (const auto* c = cell.As<cells::Number>()) {
    return "NUMBER " + Place(*c) + " =" + std::to_string(static_cast<int>(c->value()));
  }
  if (const auto* c = cell.As<cells::RK>()) {
    return "RK " + Place(*c) + " =" + std::to_string(static_cast<int>(c->value()));
  }
  if (const auto* c = cell.As<cells::Label>()) return "LABEL " + Place(*c) + " " + c->Text();
  if (const auto* c = cell.As<cells::MulRK>()) {
    std::string text = "MULRK " + Place(*c) + "-" + std::to_string(c->lastColumn_) + " =";
    for (const auto& entry : c->entries())
      text += std::to_string(static_cast<int>(entry.value())) + ";";
    return text;
  }
  if (const auto* c = cell.As<cells::MulBlank>()) {
    std::string text = "MULBLANK " + Place(*c) + "-" + std::to_string(c->lastColumn_) + " xf";
    for (std::uint16_t xf : c->xfs()) text += std::to_string(xf) + ";";
    return text;
  }
  return "code " + std::to_string(cell.type_);
}

// Each block as its ROW records, then its cells.
std::vector<Lines> Describe(const cells::CellTable& table) {
  std::vector<Lines> blocks;
  for (const auto& block : table.rowBlocks_) {
    Lines lines;
    for (const Row& row : block.rows_) {
      lines.push_back("ROW " + std::to_string(row.row_) + " [" + std::to_string(row.firstColumn_) +
                      "," + std::to_string(row.lastColumn_) + ") h" + std::to_string(row.height_));
    }
    for (const CellBlock& cell : block.cellBlocks_) lines.push_back(Describe(cell));
    blocks.push_back(std::move(lines));
  }
  return blocks;
}

struct Bounds {
  std::uint32_t firstRow, lastRowPlus1, firstColumn, lastColumnPlus1;
  bool operator==(const Bounds&) const = default;
};
Bounds DimensionsOf(const Worksheet& sheet) {
  return {sheet.dimensions_.firstRow_, sheet.dimensions_.lastRowPlus1_,
          sheet.dimensions_.firstColumn_, sheet.dimensions_.lastColumnPlus1_};
}

// Writes the table, reads the bytes back, and expects the same rows and cells; written
// again, the read-back table gives the same bytes.
void ExpectWritesAndReadsBack(Worksheet& sheet) {
  test::LogCapture logs;
  cells::CellTable& table = sheet.cellTable_;
  Bytes out(table.RecordSize());
  EXPECT_EQ(table.Write(out, 0), out.size());
  cells::CellTable back;
  EXPECT_EQ(back.Read(out, 0), out.size());
  EXPECT_EQ(Describe(back), Describe(table));
  Bytes again(back.RecordSize());
  EXPECT_EQ(back.Write(again, 0), again.size());
  EXPECT_EQ(again, out);
  EXPECT_EQ(logs.ErrorLines(), Lines{});
}

TEST(CellTableRebuild, FillerFormatsFallBackToTheFormatsTheWorkbookHas) {
  EXPECT_EQ(FillerXf(69, 100), 69);
  EXPECT_EQ(FillerXf(70, 100), 70);
  EXPECT_EQ(FillerXf(70, 71), 70);
  EXPECT_EQ(FillerXf(70, 70), 15);  // XF 70 is the 71st record
  EXPECT_EQ(FillerXf(69, 21), 15);  // a new workbook's 21 XF records
  EXPECT_EQ(FillerXf(70, 21), 15);
  EXPECT_EQ(FillerXf(69, 16), 15);
  EXPECT_EQ(FillerXf(69, 15), 0);
  EXPECT_EQ(FillerXf(69, 10), 0);
  EXPECT_EQ(FillerXf(69, 0), 0);

  // Row 0 lacks the cell between its two; row 1 kept its ROW record and lost its cells.
  const auto rebuilt = [](std::size_t xfCount) {
    Worksheet sheet;
    Gather(sheet, Number(0, 0, 1));
    Gather(sheet, Number(0, 2, 2));
    Gather(sheet, RowRecord(1, 0, 2, 255));
    Gather(sheet, Number(2, 0, 3));
    RebuildCellTable(sheet, xfCount);
    return Describe(sheet.cellTable_);
  };
  const auto expected = [](const std::string& blank, const std::string& run) {
    return std::vector<Lines>{{"ROW 0 [0,3) h255", "ROW 1 [0,2) h255", "ROW 2 [0,1) h255",
                               "NUMBER 0,0 =1", "BLANK 0,1 xf" + blank, "NUMBER 0,2 =2",
                               "MULBLANK 1,0-1 xf" + run + ";" + run + ";", "NUMBER 2,0 =3"}};
  };
  EXPECT_EQ(rebuilt(kManyXfs), expected("69", "70"));
  EXPECT_EQ(rebuilt(21), expected("15", "15"));
  EXPECT_EQ(rebuilt(10), expected("0", "0"));

  // An empty workbook has no XF records: the fillers fall back to XF 0.
  Worksheet sheet;
  Gather(sheet, Number(0, 0, 1));
  Gather(sheet, Number(0, 2, 2));
  RebuildCellTable(sheet, Workbook().xfs_.size());
  const std::string xf = std::to_string(FillerXf(69, 0));
  EXPECT_EQ(Describe(sheet.cellTable_),
            (std::vector<Lines>{
                {"ROW 0 [0,3) h255", "NUMBER 0,0 =1", "BLANK 0,1 xf" + xf, "NUMBER 0,2 =2"}}));
}

TEST(CellTableRebuild, CellsOfAFewRowsBecomeOneBlockOfTheRowsTheyNeed) {
  Worksheet sheet;
  // Gathered out of order, as a damaged stream gives them. Row 4 has nothing: it is not
  // made up, and each row spans its own cells only.
  Gather(sheet, Number(5, 2, 52));
  Gather(sheet, Number(3, 2, 32));
  Gather(sheet, Number(3, 1, 31));
  RebuildCellTable(sheet, kManyXfs);
  EXPECT_EQ(Describe(sheet.cellTable_),
            (std::vector<Lines>{{"ROW 3 [1,3) h255", "ROW 5 [2,3) h255", "NUMBER 3,1 =31",
                                 "NUMBER 3,2 =32", "NUMBER 5,2 =52"}}));
  EXPECT_EQ(DimensionsOf(sheet), (Bounds{3, 6, 1, 3}));
  ExpectWritesAndReadsBack(sheet);

  // A single cell: one block, one ROW, that cell.
  Worksheet single;
  Gather(single, Number(7, 3, 1));
  RebuildCellTable(single, kManyXfs);
  EXPECT_EQ(Describe(single.cellTable_),
            (std::vector<Lines>{{"ROW 7 [3,4) h255", "NUMBER 7,3 =1"}}));
  EXPECT_EQ(DimensionsOf(single), (Bounds{7, 8, 3, 4}));

  // A row whose ROW record came through but none of its cells, across many columns: one
  // run with the row filler format in each.
  Worksheet wide;
  Gather(wide, Number(0, 2, 1));
  Gather(wide, RowRecord(1, 0, 20, 255));
  Gather(wide, Number(2, 9, 2));
  RebuildCellTable(wide, kManyXfs);
  ASSERT_EQ(wide.cellTable_.rowBlocks_.size(), 1u);
  const auto& cellsOfWide = wide.cellTable_.rowBlocks_[0].cellBlocks_;
  const auto lostRow = std::find_if(cellsOfWide.begin(), cellsOfWide.end(),
                                    [](const CellBlock& c) { return c.Row() == 1; });
  ASSERT_NE(lostRow, cellsOfWide.end());
  EXPECT_EQ(Describe(*lostRow), "MULBLANK 1,2-9 xf70;70;70;70;70;70;70;70;");
  EXPECT_EQ(std::count_if(cellsOfWide.begin(), cellsOfWide.end(),
                          [](const CellBlock& c) { return c.Row() == 1; }),
            1);
  ExpectWritesAndReadsBack(wide);
}

TEST(CellTableRebuild, RowBlocksHoldThirtyTwoRows) {
  Worksheet exact;
  for (std::uint16_t row = 100; row <= 131; ++row) Gather(exact, Number(row, 0, 1));
  RebuildCellTable(exact, kManyXfs);
  ASSERT_EQ(exact.cellTable_.rowBlocks_.size(), 1u);
  EXPECT_EQ(exact.cellTable_.rowBlocks_[0].rows_.size(), 32u);
  EXPECT_EQ(exact.cellTable_.rowBlocks_[0].rows_.back().row_, 131);

  Worksheet oneMore;
  for (std::uint16_t row = 100; row <= 131; ++row) Gather(oneMore, Number(row, 0, 1));
  Gather(oneMore, Number(132, 0, 2));
  RebuildCellTable(oneMore, kManyXfs);
  ASSERT_EQ(oneMore.cellTable_.rowBlocks_.size(), 2u);
  EXPECT_EQ(oneMore.cellTable_.rowBlocks_[0].rows_.size(), 32u);
  EXPECT_EQ(Describe(oneMore.cellTable_)[1], (Lines{"ROW 132 [0,1) h255", "NUMBER 132,0 =2"}));
  ExpectWritesAndReadsBack(oneMore);
}

TEST(CellTableRebuild, LostCellsBetweenTheEndsOfARowAreOneRun) {
  // A cell at each end of every other row: the columns between are one blank run per row,
  // not 254 blank records, the rows between are not made up, and the rows made anew carry
  // the option bit the format wants.
  Worksheet sheet;
  for (std::uint16_t row = 0; row < 2000; row += 2) {
    Gather(sheet, Number(row, 0, 1));
    Gather(sheet, Number(row, 255, 2));
  }
  RebuildCellTable(sheet, kManyXfs);
  std::size_t cells = 0;
  for (const auto& block : sheet.cellTable_.rowBlocks_) {
    cells += block.cellBlocks_.size();
    for (const Row& row : block.rows_) EXPECT_EQ(row.options_, 0x100u);
  }
  EXPECT_EQ(cells, 1000u * 3);
  EXPECT_EQ(
      Describe(sheet.cellTable_).front()[16 + 1], "MULBLANK 0,1-254 xf" + [] {
        std::string xfs;
        for (int i = 1; i <= 254; ++i) xfs += "69;";
        return xfs;
      }());
}

TEST(CellTableRebuild, RowsAboveTheSignedRangeAreKept) {
  Worksheet sheet;
  Gather(sheet, Number(40002, 0, 2));
  Gather(sheet, Number(40000, 0, 1));
  RebuildCellTable(sheet, kManyXfs);
  EXPECT_EQ(Describe(sheet.cellTable_),
            (std::vector<Lines>{{"ROW 40000 [0,1) h255", "ROW 40002 [0,1) h255",
                                 "NUMBER 40000,0 =1", "NUMBER 40002,0 =2"}}));
  EXPECT_EQ(DimensionsOf(sheet), (Bounds{40000, 40003, 0, 1}));
  ExpectWritesAndReadsBack(sheet);
}

TEST(CellTableRebuild, CellsAtTheFarCornersMakeNoGridBetweenThem) {
  // The first and the last row and column of a sheet. Filled as a grid, these two cells
  // made 65,536 rows of 256 columns: a 500-byte input saved as 252 MB.
  Worksheet sheet;
  Gather(sheet, Number(65535, 255, 2));
  Gather(sheet, Number(0, 0, 1));
  RebuildCellTable(sheet, kManyXfs);
  EXPECT_EQ(Describe(sheet.cellTable_),
            (std::vector<Lines>{{"ROW 0 [0,1) h255", "NUMBER 0,0 =1"},
                                {"ROW 65535 [255,256) h255", "NUMBER 65535,255 =2"}}));
  EXPECT_EQ(DimensionsOf(sheet), (Bounds{0, 0x10000, 0, 256}));
  EXPECT_LT(sheet.cellTable_.RecordSize(), 100u);
  ExpectWritesAndReadsBack(sheet);
}

TEST(CellTableRebuild, RecoveredRowsSpanTheirCellsWithinTheSheetAndKeepTheirHeight) {
  Worksheet sheet;
  Gather(sheet, Number(0, 2, 2));
  Gather(sheet, Number(0, 4, 4));
  Gather(sheet, Number(1, 4, 14));
  Gather(sheet, Number(3, 3, 33));
  Gather(sheet, Number(4, 3, 43));
  // One column short of its cells, as some writers make it: widened to take them in.
  Gather(sheet, RowRecord(0, 2, 4, 300));
  // Wider than the sheet: narrowed to columns 2 to 4, nothing filled beyond.
  Gather(sheet, RowRecord(1, 0, 11, 600));
  // An empty row kept for its height gets no cells.
  Gather(sheet, RowRecord(2, 0, 0, 500));
  // Columns 0 to 0 on a row with cells, as some writers make every ROW: the cells count.
  Gather(sheet, RowRecord(4, 0, 0, 200));
  // A row without cells: one run over the ROW's own columns.
  Gather(sheet, RowRecord(5, 3, 5, 250));
  Gather(sheet, Number(6, 2, 62));
  // Outside the rows of the cells.
  Gather(sheet, RowRecord(7, 0, 5, 700));
  RebuildCellTable(sheet, kManyXfs);
  // clang-format off
  const std::vector<Lines> expected = {{
      "ROW 0 [2,5) h300", "ROW 1 [2,5) h600", "ROW 2 [0,0) h500", "ROW 3 [3,4) h255",
      "ROW 4 [3,4) h200", "ROW 5 [3,5) h250", "ROW 6 [2,3) h255",
      "NUMBER 0,2 =2", "BLANK 0,3 xf69", "NUMBER 0,4 =4",
      "MULBLANK 1,2-3 xf69;69;", "NUMBER 1,4 =14",
      "NUMBER 3,3 =33",
      "NUMBER 4,3 =43",
      "MULBLANK 5,3-4 xf70;70;",
      "NUMBER 6,2 =62"}};
  // clang-format on
  EXPECT_EQ(Describe(sheet.cellTable_), expected);
  EXPECT_EQ(DimensionsOf(sheet), (Bounds{0, 7, 2, 5}));
  ExpectWritesAndReadsBack(sheet);
}

TEST(CellTableRebuild, OnlyTheFirstRecordOfARowOrCellReachesTheTable) {
  Worksheet sheet;
  Gather(sheet, Number(2, 3, 1));
  Gather(sheet, Number(2, 3, 2));
  Gather(sheet, RowRecord(2, 3, 4, 300));
  Gather(sheet, RowRecord(2, 3, 4, 400));
  RebuildCellTable(sheet, kManyXfs);
  EXPECT_EQ(Describe(sheet.cellTable_),
            (std::vector<Lines>{{"ROW 2 [3,4) h300", "NUMBER 2,3 =1"}}));
}

TEST(CellTableRebuild, RunsAreFittedToTheSheetAndToTheCellsInsideThem) {
  test::LogCapture logs;  // the damaged runs are logged as they are read
  {
    // Columns 250 to 260: past the last column, so the numbers up to column 255 are kept
    // and the rest, which no sheet has room for, are cut.
    Worksheet sheet;
    Gather(sheet, MulRk(0, 250, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    RebuildCellTable(sheet, kManyXfs);
    EXPECT_EQ(Describe(sheet.cellTable_),
              (std::vector<Lines>{{"ROW 0 [250,256) h255", "MULRK 0,250-255 =0;1;2;3;4;5;"}}));
    EXPECT_EQ(DimensionsOf(sheet), (Bounds{0, 1, 250, 256}));
    ExpectWritesAndReadsBack(sheet);
  }
  Worksheet sheet;
  // Row 0: a run covers a later duplicate at column 2; a blank run ends the row.
  Gather(sheet, Number(0, 0, 0));
  Gather(sheet, MulRk(0, 1, {1, 2, 3}));
  Gather(sheet, Number(0, 2, 99));
  Gather(sheet, MulBlank(0, 4, {21, 22}, 5));
  // Row 1: a run whose last column claims 1 to 4 but that holds two entries.
  Gather(sheet, MulRk(1, 1, {11, 12}, 4));
  // Row 2: a run of one cell, and a blank run whose last column lies before its first.
  Gather(sheet, MulRk(2, 2, {22}));
  Gather(sheet, MulBlank(2, 4, {23}, 3));
  // Row 3: a run reaching past its recovered ROW widens it.
  Gather(sheet, MulRk(3, 1, {31, 32, 33, 34}));
  Gather(sheet, RowRecord(3, 0, 3, 255));
  // Row 4: a blank run laid over the row before its values (as some writers do) gives up
  // its columns from the first value on, keeping their formats where no value comes.
  Gather(sheet, MulBlank(4, 0, {40, 41, 42, 43, 44, 45}, 5));
  Gather(sheet, Number(4, 2, 42));
  Gather(sheet, MulRk(4, 3, {43, 44}));
  // Row 5: cut down to one column, the blank run is a blank.
  Gather(sheet, MulBlank(5, 0, {50, 51, 52}, 2));
  Gather(sheet, Number(5, 1, 51));
  RebuildCellTable(sheet, kManyXfs);
  // clang-format off
  const std::vector<Lines> expected = {{
      "ROW 0 [0,6) h255", "ROW 1 [1,3) h255", "ROW 2 [2,5) h255",
      "ROW 3 [0,5) h255", "ROW 4 [0,6) h255", "ROW 5 [0,3) h255",
      "NUMBER 0,0 =0", "MULRK 0,1-3 =1;2;3;", "MULBLANK 0,4-5 xf21;22;",
      "MULRK 1,1-2 =11;12;",
      "RK 2,2 =22", "MULBLANK 2,3-4 xf69;69;",
      "BLANK 3,0 xf69", "MULRK 3,1-4 =31;32;33;34;",
      "MULBLANK 4,0-1 xf40;41;", "NUMBER 4,2 =42", "MULRK 4,3-4 =43;44;", "BLANK 4,5 xf45",
      "BLANK 5,0 xf50", "NUMBER 5,1 =51", "BLANK 5,2 xf52"}};
  // clang-format on
  EXPECT_EQ(Describe(sheet.cellTable_), expected);
  ExpectWritesAndReadsBack(sheet);
}

TEST(CellTableRebuild, OnlyRowRecordsGiveTheFirstCellOfTheSheet) {
  Worksheet sheet;
  Gather(sheet, RowRecord(7, 0, 4, 400));
  RebuildCellTable(sheet, kManyXfs);
  EXPECT_EQ(sheet.minRow_, 0u);
  EXPECT_EQ(sheet.minCol_, 0u);
  EXPECT_EQ(sheet.maxRow_, 0u);
  EXPECT_EQ(sheet.maxCol_, 0u);
  // The ROW lies past the rows of the sheet's cells, of which there are none: nothing is
  // made up, not even a blank in the first cell.
  EXPECT_EQ(Describe(sheet.cellTable_), std::vector<Lines>{});
  EXPECT_EQ(DimensionsOf(sheet), (Bounds{0, 1, 0, 1}));
}

TEST(CellTableRebuild, ASheetWithNothingGatheredKeepsItsTable) {
  test::LogCapture logs;
  Worksheet sheet;
  sheet.cellTable_.rowBlocks_.resize(1);
  sheet.cellTable_.rowBlocks_[0].rows_.push_back(RowRecord(4, 0, 1, 300));
  sheet.cellTable_.rowBlocks_[0].cellBlocks_.push_back(Number(4, 0, 5));
  sheet.dimensions_.firstRow_ = 4;
  sheet.dimensions_.lastRowPlus1_ = 5;
  sheet.dimensions_.lastColumnPlus1_ = 1;
  const std::vector<Lines> before = Describe(sheet.cellTable_);
  RebuildCellTable(sheet, kManyXfs);
  EXPECT_EQ(Describe(sheet.cellTable_), before);
  EXPECT_EQ(DimensionsOf(sheet), (Bounds{4, 5, 0, 1}));
  EXPECT_EQ(logs.ErrorLines(),
            Lines{"Code:0  Error:0  MSG:Return from XlsDocument::UpdateCellTableofWorkSheet"});
}

TEST(CellTableRebuild, GatheredRecordsAreMovedAndLetGo) {
  Worksheet sheet;
  Gather(sheet, Label(0, 0, "kept"));
  Gather(sheet, Label(0, 0, "duplicate"));
  Gather(sheet, RowRecord(0, 0, 1, 300));
  const cells::Label* gathered = sheet.scratch_.cellBlocks_[0].As<cells::Label>();
  ASSERT_NE(gathered, nullptr);
  // Leftovers of an earlier table are replaced, not added to.
  sheet.cellTable_.rowBlocks_.resize(3);
  sheet.cellTable_.rowBlocks_[0].cellBlocks_.push_back(Number(0, 0, 5));
  RebuildCellTable(sheet, kManyXfs);
  EXPECT_EQ(Describe(sheet.cellTable_),
            (std::vector<Lines>{{"ROW 0 [0,1) h300", "LABEL 0,0 kept"}}));
  // The very text object the selector read now sits in the table.
  EXPECT_EQ(sheet.cellTable_.rowBlocks_[0].cellBlocks_[0].As<cells::Label>(), gathered);
  EXPECT_TRUE(sheet.scratch_.rows_.empty());
  EXPECT_TRUE(sheet.scratch_.cellBlocks_.empty());
  EXPECT_EQ(sheet.scratch_.cellBlocks_.capacity(), 0u);
  EXPECT_TRUE(sheet.rowIndex_.empty());
  EXPECT_TRUE(sheet.cellIndex_.empty());
  ExpectWritesAndReadsBack(sheet);
}

TEST(CellTableRebuild, AFailingRowIsLoggedAndLeftOutAndTheOthersGoOn) {
  test::LogCapture logs;
  Worksheet sheet;
  Gather(sheet, Number(10, 0, 1));
  Gather(sheet, Number(11, 0, 2));
  Gather(sheet, Number(12, 0, 3));
  // An index naming a cell the list does not hold.
  sheet.cellIndex_[11][0] = 999;
  RebuildCellTable(sheet, kManyXfs);
  EXPECT_EQ(Describe(sheet.cellTable_),
            (std::vector<Lines>{
                {"ROW 10 [0,1) h255", "ROW 12 [0,1) h255", "NUMBER 10,0 =1", "NUMBER 12,0 =3"}}));
  const Lines lines = logs.ErrorLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "Code:1  Error:0  MSG:= RowNo, CException in "
            "XlsDocument::UpdateCellTableofWorkSheet function");
  // The failure's own text follows under the same row code.
  const std::string prefix = "Code:1  Error:0  MSG:";
  EXPECT_EQ(lines[1].rfind(prefix, 0), 0u);
  EXPECT_NE(lines[1].find("999"), std::string::npos) << lines[1];
  ExpectWritesAndReadsBack(sheet);
}

// The worksheets of a workbook stream, each with its ROW and cell records gathered in
// stream order (those of a chart inside a sheet left out).
std::vector<Worksheet> GatherSheets(const Bytes& stream) {
  std::vector<Worksheet> sheets;
  int depth = 0;
  bool inWorksheet = false;
  for (std::size_t pos = 0; pos + 4 <= stream.size();) {
    const std::uint16_t code = LittleEndian::U16(stream, pos);
    const std::size_t next = pos + 4 + LittleEndian::U16(stream, pos + 2);
    if (next > stream.size()) break;
    if (code == 0x0809) {
      if (++depth == 1) {
        inWorksheet = next >= pos + 8 && LittleEndian::U16(stream, pos + 6) == 0x0010;
        if (inWorksheet) sheets.emplace_back();
      }
    } else if (code == 0x000A) {
      if (depth > 0 && --depth == 0) inWorksheet = false;
    } else if (inWorksheet && depth == 1) {
      if (code == Row::kCode) {
        Row row;
        if (row.Read(stream, pos) != 0) Gather(sheets.back(), std::move(row));
      } else if (cells::IsCellCode(code)) {
        CellBlock cell;
        if (cell.Read(stream, pos) != 0) Gather(sheets.back(), std::move(cell));
      }
    }
    pos = next;
  }
  return sheets;
}

std::uint32_t LastColumnOf(const CellBlock& cell) {
  if (const auto* run = cell.As<cells::MulRK>()) return run->lastColumn_;
  if (const auto* run = cell.As<cells::MulBlank>()) return run->lastColumn_;
  return cell.Column();
}

// Real files as oracles: every worksheet of the corpus, gathered as the record selector
// gathers it, comes out with the first cell of every place at that place and of its kind;
// each row holds one cell per column of its ROW's range, in order; and the table writes
// and reads back to the same bytes.
TEST(CellTableRebuild, EveryCellOfTheCorpusComesThrough) {
  test::LogCapture logs;
  const auto files = test::RealCorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus at " << test::CorpusDir();
  std::size_t cellsChecked = 0;
  for (const auto& path : files) {
    Bytes stream;
    if (!test::ReadWorkbookStream(path, stream)) continue;
    std::vector<Worksheet> sheets = GatherSheets(stream);
    for (std::size_t s = 0; s < sheets.size(); ++s) {
      SCOPED_TRACE(path.filename().string() + " sheet " + std::to_string(s));
      Worksheet& sheet = sheets[s];
      std::map<std::pair<std::uint16_t, std::uint16_t>, std::uint16_t> expected;
      for (const auto& [row, columns] : sheet.cellIndex_) {
        for (const auto& [column, position] : columns) {
          expected[{row, column}] = sheet.scratch_.cellBlocks_[position].type_;
        }
      }
      RebuildCellTable(sheet, kManyXfs);

      std::map<std::pair<std::uint16_t, std::uint16_t>, std::uint16_t> placed;
      bool dense = true;
      for (const auto& block : sheet.cellTable_.rowBlocks_) {
        std::size_t at = 0;
        for (const Row& row : block.rows_) {
          std::uint32_t column = row.firstColumn_;
          for (; at < block.cellBlocks_.size() && block.cellBlocks_[at].Row() == row.row_; ++at) {
            const CellBlock& cell = block.cellBlocks_[at];
            dense = dense && cell.Column() == column;
            column = LastColumnOf(cell) + 1;
            placed.emplace(std::pair{cell.Row(), cell.Column()}, cell.type_);
          }
          dense = dense && (column == row.lastColumn_ || row.firstColumn_ == row.lastColumn_);
        }
        dense = dense && at == block.cellBlocks_.size();
      }
      EXPECT_TRUE(dense);
      std::size_t missing = 0;
      for (const auto& [place, type] : expected) {
        const auto found = placed.find(place);
        // A run cut down to one column is its single-cell kind.
        const std::uint16_t single = type == cells::MulBlank::kCode ? cells::Blank::kCode
                                     : type == cells::MulRK::kCode  ? cells::RK::kCode
                                                                    : type;
        missing += found == placed.end() || (found->second != type && found->second != single);
      }
      EXPECT_EQ(missing, 0u) << "of " << expected.size();
      cellsChecked += expected.size();

      cells::CellTable& table = sheet.cellTable_;
      Bytes out(table.RecordSize());
      EXPECT_EQ(table.Write(out, 0), out.size());
      cells::CellTable back;
      EXPECT_EQ(back.Read(out, 0), out.size());
      Bytes again(back.RecordSize());
      back.Write(again, 0);
      EXPECT_TRUE(again == out);
    }
  }
  EXPECT_GT(cellsChecked, 100000u);
}

}  // namespace
}  // namespace tabulix
