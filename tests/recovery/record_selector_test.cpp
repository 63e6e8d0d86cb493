// The two record selectors: which candidate records they take, where list records go, what
// they index for the cell-table rebuild, and what they log when they pass a record by.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../biff/byte_builder.hpp"
#include "recovery/record_selectors.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

using test::ByteBuilder;
using Bytes = std::vector<std::uint8_t>;

// A record, then an EOF header and a few bytes: the plausible next header a selector wants
// to see behind a record before it takes it.
Bytes Then(const ByteBuilder& record) {
  ByteBuilder b = record;
  b.Header(0x000A, 0).Raw({0, 0});
  return b.bytes();
}

ByteBuilder Font(std::string_view name) {
  ByteBuilder b;
  b.Header(0x0031, static_cast<std::uint16_t>(16 + name.size()));
  b.U16(240).U16(0).U16(0x7FFF).U16(700).U16(0).U8(0).U8(0).U8(0).U8(0);
  b.U8(static_cast<std::uint8_t>(name.size())).U8(0);
  for (char c : name) b.U8(static_cast<std::uint8_t>(c));
  return b;
}

ByteBuilder FormatRecord(std::uint16_t index, std::string_view text) {
  ByteBuilder b;
  b.Header(0x041E, static_cast<std::uint16_t>(5 + text.size()));
  b.U16(index).U16(static_cast<std::uint16_t>(text.size())).U8(0);
  for (char c : text) b.U8(static_cast<std::uint8_t>(c));
  return b;
}

ByteBuilder Xf(std::uint16_t font, std::uint16_t format) {
  ByteBuilder b;
  b.Header(0x00E0, 20).U16(font).U16(format).U16(0xFFF5).U8(0x20).U8(0).U8(0).U8(0);
  b.U32(0).U32(0).U16(0x20C0);
  return b;
}

ByteBuilder Bof(std::uint16_t type) {
  ByteBuilder b;
  b.Header(0x0809, 16).U16(0x0600).U16(type).U16(0x15EC).U16(0x07CD).U32(0x000C0C1).U32(0x0306);
  return b;
}

ByteBuilder Number(std::uint16_t row, std::uint16_t column, double value) {
  ByteBuilder b;
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  b.Header(0x0203, 14).U16(row).U16(column).U16(15).U32(static_cast<std::uint32_t>(bits));
  b.U32(static_cast<std::uint32_t>(bits >> 32));
  return b;
}

ByteBuilder MulBlank(std::uint16_t row, std::uint16_t first, std::uint16_t last) {
  ByteBuilder b;
  b.Header(0x00BE, static_cast<std::uint16_t>(6 + 2 * (last - first + 1)));
  b.U16(row).U16(first);
  for (std::uint16_t c = first; c <= last; ++c) b.U16(15);
  b.U16(last);
  return b;
}

ByteBuilder RowRecord(std::uint16_t row, std::uint16_t first, std::uint16_t lastPlus1) {
  ByteBuilder b;
  b.Header(0x0208, 16).U16(row).U16(first).U16(lastPlus1).U16(300).U16(0).U16(0).U32(0x100);
  return b;
}

// Offers the record at the start of `bytes` as the scan would.
struct Selectors {
  SelectorLog log;
  GlobalsCounters counters;
  std::size_t colInfoCounter = 0;

  bool ToWorkbook(const Bytes& bytes, Workbook& globals, std::uint32_t offset = 0) {
    return WorkbookRecordSelector(bytes, globals, offset, Code(bytes, offset), Size(bytes, offset),
                                  counters, log);
  }
  bool ToWorksheet(const Bytes& bytes, Worksheet& sheet, std::uint32_t offset = 0) {
    return worksheetRecordSelector(bytes, sheet, offset, Code(bytes, offset), Size(bytes, offset),
                                   colInfoCounter, log);
  }
  static std::int16_t Code(const Bytes& b, std::uint32_t at) {
    return static_cast<std::int16_t>(b[at] | b[at + 1] << 8);
  }
  static std::int16_t Size(const Bytes& b, std::uint32_t at) {
    return static_cast<std::int16_t>(b[at + 2] | b[at + 3] << 8);
  }
};

Workbook NewGlobals() {
  Workbook globals;
  globals.Reset();
  return globals;
}

TEST(WorkbookRecordSelector, ListRecordsFillTheListsInStreamOrder) {
  test::LogCapture logs;
  Selectors s;
  Workbook globals = NewGlobals();
  const std::size_t defaultFonts = globals.fonts_.size();
  const std::size_t defaultXfs = globals.xfs_.size();
  ASSERT_GT(defaultXfs, 2u);

  // A font without a name is no font: no place in the list, the counter stays.
  EXPECT_TRUE(s.ToWorkbook(Then(Font("")), globals));
  EXPECT_EQ(s.counters.font, 0u);
  EXPECT_EQ(globals.fonts_.size(), defaultFonts);
  EXPECT_EQ(globals.fonts_[0].name_.ToUtf8(), "Arial");
  EXPECT_TRUE(s.ToWorkbook(Then(Font("Verdana")), globals));
  EXPECT_EQ(s.counters.font, 1u);
  EXPECT_EQ(globals.fonts_[0].name_.ToUtf8(), "Verdana");

  // The first FORMAT of an index names it; a duplicate takes the next place only.
  EXPECT_TRUE(s.ToWorkbook(Then(FormatRecord(200, "0.000")), globals));
  EXPECT_TRUE(s.ToWorkbook(Then(FormatRecord(200, "#,##0")), globals));
  EXPECT_EQ(s.counters.format, 2u);
  EXPECT_EQ(globals.formats_[1].text_.ToUtf8(), "#,##0");
  ASSERT_TRUE(globals.formatPositions_.contains(200));
  EXPECT_EQ(globals.formatPositions_.at(200), 0u);

  // Fewer XFs than the defaults leave the rest behind; more are appended.
  EXPECT_TRUE(s.ToWorkbook(Then(Xf(1, 200)), globals));
  EXPECT_EQ(globals.xfs_.size(), defaultXfs);
  EXPECT_EQ(globals.xfs_[0].formatIndex_, 200);
  s.counters.xf = defaultXfs;
  EXPECT_TRUE(s.ToWorkbook(Then(Xf(2, 14)), globals));
  ASSERT_EQ(globals.xfs_.size(), defaultXfs + 1);
  EXPECT_EQ(globals.xfs_.back().fontIndex_, 2);
}

TEST(WorkbookRecordSelector, ARecordIsTakenOnlyWithAPlausibleHeaderBehindIt) {
  test::LogCapture logs;
  Selectors s;
  Workbook globals = NewGlobals();

  // WRITEACCESS of 112 bytes followed by garbage: not taken, even though a plausible
  // header stands where a 32-byte one would end.
  ByteBuilder access;
  access.Header(0x005C, 112).U16(4).U8(0).Raw({'T', 'e', 's', 't'}).Fill(27, 0x20);
  access.Header(0x000A, 0);
  while (access.size() < 116) access.U8(0x20);
  access.Fill(40, 0x41);
  const std::string before = globals.writeAccess_.userName_.ToUtf8();
  EXPECT_TRUE(s.ToWorkbook(access.bytes(), globals));
  EXPECT_EQ(globals.writeAccess_.userName_.ToUtf8(), before);
  EXPECT_EQ(logs.CountError("Record skipped in XlsDocument::WorkbookRecordSelector, "
                            "ObjOffset = 0, code = 5c, size = 112"),
            1);

  // The rejection is logged only until a record is taken.
  EXPECT_TRUE(s.ToWorkbook(access.bytes(), globals));
  EXPECT_EQ(logs.CountError("Record skipped in XlsDocument::WorkbookRecordSelector, "
                            "ObjOffset = 0, code = 5c, size = 112"),
            1);

  // A code page record that ends exactly where the slice ends has nothing behind it.
  ByteBuilder codePage;
  codePage.Header(0x0042, 2).U16(1252);
  const std::uint16_t oldCodePage = globals.codeName_.value_;
  EXPECT_TRUE(s.ToWorkbook(codePage.bytes(), globals));
  EXPECT_EQ(globals.codeName_.value_, oldCodePage);
  EXPECT_TRUE(s.ToWorkbook(Then(codePage), globals));
  EXPECT_EQ(globals.codeName_.value_, 1252);

  // A record that is no globals record is reported and left alone.
  EXPECT_TRUE(s.ToWorkbook(Then(Number(1, 1, 2.5)), globals));
  EXPECT_EQ(logs.CountError("Record skipped as default value in "
                            "XlsDocument::WorkbookRecordSelector, ObjOffset = 0, code = 203, "
                            "size = 14"),
            1);
}

TEST(RecordSelectors, OnlyABofOfTheirOwnKindReplacesTheirBof) {
  test::LogCapture logs;
  Selectors s;
  Workbook globals = NewGlobals();
  Worksheet sheet;
  globals.bof_.type_ = 0x0005;

  // A chart's BOF reaches both selectors in a mixed slice; neither takes it.
  const Bytes chart = Then(Bof(0x0020));
  EXPECT_TRUE(s.ToWorkbook(chart, globals));
  EXPECT_TRUE(s.ToWorksheet(chart, sheet));
  EXPECT_EQ(globals.bof_.type_, 0x0005);
  EXPECT_EQ(sheet.bof_.type_, 0x0010);
  EXPECT_EQ(sheet.recovered_, 0);

  const Bytes worksheetBof = Then(Bof(0x0010));
  EXPECT_TRUE(s.ToWorkbook(worksheetBof, globals));
  EXPECT_EQ(globals.bof_.type_, 0x0005);
  EXPECT_TRUE(s.ToWorksheet(worksheetBof, sheet));
  EXPECT_EQ(sheet.recovered_, 1);
}

TEST(WorksheetRecordSelector, CellsAreIndexedForTheRebuild) {
  test::LogCapture logs;
  Selectors s;
  Worksheet sheet;

  // EOF and DBCELL alone do not make a worksheet.
  EXPECT_TRUE(s.ToWorksheet(Then(ByteBuilder().Header(0x000A, 0)), sheet));
  EXPECT_TRUE(s.ToWorksheet(Then(ByteBuilder().Header(0x00D7, 4).U32(0)), sheet));
  EXPECT_EQ(sheet.recovered_, 0);

  // Two cells at one place: both kept, the first indexed.
  EXPECT_TRUE(s.ToWorksheet(Then(Number(3, 2, 1.5)), sheet));
  EXPECT_TRUE(s.ToWorksheet(Then(Number(3, 2, 9.0)), sheet));
  EXPECT_EQ(sheet.recovered_, 1);
  ASSERT_EQ(sheet.scratch_.cellBlocks_.size(), 2u);
  EXPECT_EQ(sheet.cellIndex_.at(3).at(2), 0u);

  // A value written over a blank takes its place; a blank written over a value does not.
  ByteBuilder blank;
  blank.Header(0x0201, 6).U16(6).U16(1).U16(15);
  EXPECT_TRUE(s.ToWorksheet(Then(blank), sheet));
  EXPECT_TRUE(s.ToWorksheet(Then(Number(6, 1, 4.0)), sheet));
  EXPECT_TRUE(s.ToWorksheet(Then(blank), sheet));
  EXPECT_EQ(sheet.cellIndex_.at(6).at(1), 3u);
  sheet.scratch_.cellBlocks_.resize(2);
  sheet.cellIndex_.erase(6);

  // Rows are unsigned: row 40000 is a real row and moves the bounds.
  EXPECT_TRUE(s.ToWorksheet(Then(Number(40000, 1, 7.0)), sheet));
  EXPECT_EQ(sheet.cellIndex_.at(40000).at(1), 2u);
  EXPECT_EQ(sheet.maxRow_, 40000u);
  EXPECT_EQ(sheet.minRow_, 3u);

  // Column 300 does not exist: the cell is not placed and the column bounds stay.
  EXPECT_TRUE(s.ToWorksheet(Then(Number(5, 300, 1.0)), sheet));
  EXPECT_FALSE(sheet.cellIndex_.contains(5));
  EXPECT_EQ(sheet.maxCol_, 2u);

  // A MULBLANK is placed at its first column and widens the column bounds to its span.
  EXPECT_TRUE(s.ToWorksheet(Then(MulBlank(4, 0, 9)), sheet));
  EXPECT_EQ(sheet.cellIndex_.at(4).size(), 1u);
  EXPECT_TRUE(sheet.cellIndex_.at(4).contains(0));
  EXPECT_EQ(sheet.minCol_, 0u);
  EXPECT_EQ(sheet.maxCol_, 9u);

  // ROW records: all kept, the first of a row indexed.
  EXPECT_TRUE(s.ToWorksheet(Then(RowRecord(3, 0, 10)), sheet));
  EXPECT_TRUE(s.ToWorksheet(Then(RowRecord(3, 0, 4)), sheet));
  ASSERT_EQ(sheet.scratch_.rows_.size(), 2u);
  EXPECT_EQ(sheet.rowIndex_.at(3), 0u);

  // Column information fills its list in order.
  ByteBuilder colInfo;
  colInfo.Header(0x007D, 12).U16(1).U16(1).U16(4000).U16(15).U16(0).U16(0);
  EXPECT_TRUE(s.ToWorksheet(Then(colInfo), sheet));
  EXPECT_TRUE(s.ToWorksheet(Then(colInfo), sheet));
  EXPECT_EQ(sheet.colInfos_.size(), 2u);
  EXPECT_EQ(s.colInfoCounter, 2u);

  // A globals record is not the worksheet's: logged without a comma after the name.
  EXPECT_TRUE(s.ToWorksheet(Then(Xf(0, 0)), sheet));
  EXPECT_EQ(logs.CountError("Record skipped as default value in "
                            "XlsDocument::worksheetRecordSelector ObjOffset = 0, code = e0, "
                            "size = 20"),
            1);
}

}  // namespace
}  // namespace tabulix
