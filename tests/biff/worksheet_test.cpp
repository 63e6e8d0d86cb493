#include "biff/worksheet.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "byte_builder.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

using test::ByteBuilder;
using test::LogCapture;

constexpr std::uint16_t kRow = 0x0208;
constexpr std::uint16_t kNumber = 0x0203;
constexpr std::uint16_t kDbCell = 0x00D7;
constexpr std::uint16_t kIndex = 0x020B;

// ---- Building sheets ------------------------------------------------------------------

ByteBuilder& Bof(ByteBuilder& b, std::uint16_t type) {
  return b.Header(0x0809, 16).U16(0x0600).U16(type).U16(0x2775).U16(0x07CD).U32(0xC1).U32(6);
}
ByteBuilder& Row(ByteBuilder& b, std::uint16_t row) {
  return b.Header(kRow, 16).U16(row).U16(0).U16(3).U16(255).U16(0).U16(0).U32(0x100);
}
ByteBuilder& Number(ByteBuilder& b, std::uint16_t row, std::uint16_t column) {
  return b.Header(kNumber, 14).U16(row).U16(column).U16(15).U32(0).U32(0x3FF00000);
}
ByteBuilder& DbCell(ByteBuilder& b, std::uint16_t rows) {
  b.Header(kDbCell, static_cast<std::uint16_t>(4 + 2 * rows)).U32(0);
  for (std::uint16_t i = 0; i < rows; ++i) b.U16(0);
  return b;
}
ByteBuilder& Window2(ByteBuilder& b) {
  return b.Header(0x023E, 18).U16(0x02B6).U16(0).U16(0).U16(64).U16(0).U16(0).U16(0).U32(0);
}
ByteBuilder& Merged(ByteBuilder& b, std::uint16_t firstRow) {
  return b.Header(0x00E5, 10)
      .U16(1)
      .U16(firstRow)
      .U16(static_cast<std::uint16_t>(firstRow + 1))
      .U16(0)
      .U16(2);
}
ByteBuilder& Eof(ByteBuilder& b) { return b.Header(0x000A, 0); }

struct Walked {
  std::vector<std::uint16_t> codes;
  std::vector<std::size_t> positions;
  bool whole = true;  // every record fitted
};

// The records of `bytes`, header by header (CONTINUEs joined).
Walked Walk(std::span<const std::uint8_t> bytes) {
  Walked w;
  Record record;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::uint32_t size = record.Read(bytes, at);
    if (size == 0) {
      w.whole = false;
      break;
    }
    w.codes.push_back(record.code_);
    w.positions.push_back(at);
    at += size;
  }
  return w;
}

std::size_t Count(const Walked& w, std::uint16_t code) {
  return static_cast<std::size_t>(std::count(w.codes.begin(), w.codes.end(), code));
}

std::vector<std::uint8_t> Written(Worksheet& sheet) {
  std::vector<std::uint8_t> out(sheet.RecordSize());
  EXPECT_EQ(sheet.Write(out, 0), out.size());
  return out;
}

std::size_t CellCount(const Worksheet& sheet) {
  std::size_t cells = 0;
  for (const auto& block : sheet.cellTable_.rowBlocks_) cells += block.cellBlocks_.size();
  return cells;
}

// ---- A new sheet ------------------------------------------------------------------------

TEST(Worksheet, NewSheetWritesItsOrderAndSize) {
  LogCapture log;
  Worksheet sheet;
  EXPECT_EQ(sheet.bof_.type_, BOF::kWorksheet);
  EXPECT_EQ(sheet.minRow_, 0x10001u);
  EXPECT_EQ(sheet.maxCol_, 0u);
  const auto out = Written(sheet);
  EXPECT_EQ(out.size(), sheet.RecordSize());
  const Walked w = Walk(out);
  ASSERT_TRUE(w.whole);
  EXPECT_EQ(w.codes, (std::vector<std::uint16_t>{0x0809, 0x020B, 0x000D, 0x000C, 0x000F, 0x0011,
                                                 0x0010, 0x005F, 0x002A, 0x002B, 0x0082, 0x0080,
                                                 0x0225, 0x0081, 0x0014, 0x0015, 0x0083, 0x0084,
                                                 0x00A1, 0x0055, 0x0200, 0x023E, 0x001D, 0x000A}));
  // HEADER and FOOTER are bare 4-byte records; SELECTION holds 15 data bytes.
  EXPECT_EQ(w.positions[15] - w.positions[14], 4u);
  EXPECT_EQ(w.positions[16] - w.positions[15], 4u);
  EXPECT_EQ(LittleEndian::U16(out, w.positions[22] + 2), 15);
  EXPECT_EQ(LittleEndian::U16(out, 6), BOF::kWorksheet);
  EXPECT_EQ(log.ErrorLines().size(), 0u);

  // A read sheet put back to new writes the same bytes.
  Worksheet other;
  ByteBuilder b;
  Bof(b, 0x0010);
  Merged(b, 1);
  Eof(b);
  other.Read(b.bytes(), 0);
  other.Reset();
  EXPECT_EQ(Written(other), out);
}

// ---- Reading a sheet --------------------------------------------------------------------

TEST(Worksheet, ListsKeepEveryRecordInOrder) {
  ByteBuilder b;
  Bof(b, 0x0010);
  b.Header(0x007D, 12).U16(0).U16(0).U16(3000).U16(15).U16(0).U16(0);
  b.Header(0x007D, 12).U16(1).U16(4).U16(4000).U16(15).U16(0).U16(0);
  Window2(b);
  Merged(b, 7);
  Merged(b, 40000);
  Eof(b);
  Worksheet sheet;
  ASSERT_EQ(sheet.Read(b.bytes(), 0), b.size());
  ASSERT_EQ(sheet.colInfos_.size(), 2u);
  EXPECT_EQ(sheet.colInfos_[1].width_, 4000);
  ASSERT_EQ(sheet.mergedCells_.size(), 2u);
  EXPECT_EQ(sheet.mergedCells_[0].ranges_[0].firstRow_, 7);
  EXPECT_EQ(sheet.mergedCells_[1].ranges_[0].firstRow_, 40000);
  EXPECT_EQ(sheet.window2_.flags_, 0x02B6);

  const auto out = Written(sheet);
  const Walked w = Walk(out);
  ASSERT_GE(w.codes.size(), 4u);
  const std::size_t n = w.codes.size();
  // ... SELECTION, MERGEDCELLS(7), MERGEDCELLS(40000), EOF
  EXPECT_EQ(w.codes[n - 4], 0x001D);
  EXPECT_EQ(w.codes[n - 3], 0x00E5);
  EXPECT_EQ(LittleEndian::U16(out, w.positions[n - 3] + 6), 7);
  EXPECT_EQ(w.codes[n - 2], 0x00E5);
  EXPECT_EQ(LittleEndian::U16(out, w.positions[n - 2] + 6), 40000);
  EXPECT_EQ(Count(w, 0x007D), 2u);
}

// A chart embedded in the sheet is a substream of its own inside the sheet's.
TEST(Worksheet, NestedSubstreamIsSteppedOverWhole) {
  ByteBuilder b;
  Bof(b, 0x0010);
  Row(b, 0);
  Number(b, 0, 0);
  DbCell(b, 1);
  b.Header(0x005D, 4).U32(0);  // OBJ that anchors the chart
  Bof(b, 0x0020);
  b.Header(0x1002, 4).U32(0);  // chart records
  Bof(b, 0x0020);              // nested one level deeper
  Window2(b);                  // not the sheet's
  Eof(b);
  b.Header(0x023E, 2).U16(0x1234);  // still the chart's
  Eof(b);
  Window2(b);
  Merged(b, 3);
  Eof(b);
  const std::size_t sheetEnd = b.size();
  Bof(b, 0x0010);  // the next sheet
  Eof(b);

  Worksheet sheet;
  ASSERT_EQ(sheet.Read(b.bytes(), 0), sheetEnd);
  EXPECT_EQ(sheet.bof_.type_, BOF::kWorksheet);
  EXPECT_EQ(sheet.window2_.flags_, 0x02B6);
  EXPECT_EQ(sheet.window2_.RecordSize(), 22u);
  ASSERT_EQ(sheet.mergedCells_.size(), 1u);
  EXPECT_EQ(CellCount(sheet), 1u);
  const auto out = Written(sheet);
  EXPECT_EQ(LittleEndian::U16(out, 6), BOF::kWorksheet);
  EXPECT_EQ(Count(Walk(out), 0x0809), 1u);
}

TEST(Worksheet, CellsAnywhereInTheSheetAreKept) {
  LogCapture log;
  ByteBuilder b;
  Bof(b, 0x0010);
  Number(b, 0, 1);  // before any ROW
  b.Header(0x0200, 14).U32(0).U32(3).U16(0).U16(3).U16(0);
  Row(b, 1);
  Row(b, 2);
  Number(b, 1, 0);
  b.Header(0x0868, 6).Fill(6);  // a record the table does not know, inside it
  Number(b, 2, 0);
  DbCell(b, 2);
  b.Header(0x00D7, 4).U32(0);        // a DBCELL on its own
  b.Header(0x0207, 3).U16(0).U8(0);  // a STRING on its own
  Window2(b);
  Number(b, 5, 5);  // after the table
  Eof(b);
  Worksheet sheet;
  ASSERT_EQ(sheet.Read(b.bytes(), 0), b.size());
  EXPECT_EQ(CellCount(sheet), 4u);
  EXPECT_EQ(sheet.dimensions_.lastRowPlus1_, 3u);
  const auto out = Written(sheet);
  const Walked w = Walk(out);
  ASSERT_TRUE(w.whole);
  EXPECT_EQ(Count(w, kNumber), 4u);
  EXPECT_EQ(Count(w, kRow), 2u);
  EXPECT_EQ(Count(w, 0x0207), 0u);
  EXPECT_EQ(Count(w, 0x0868), 0u);

  Worksheet again;
  ASSERT_EQ(again.Read(out, 0), out.size());
  EXPECT_EQ(Written(again), out);
}

// ---- Damaged sheets -----------------------------------------------------------------------

std::vector<std::uint8_t> SmallSheet() {
  ByteBuilder b;
  Bof(b, 0x0010);
  b.Header(0x020B, 20).U32(0).U32(0).U32(2).U32(0).U32(0);
  b.Header(0x000D, 2).U16(0);
  b.Header(0x0014, 6).U16(3).U8(0).Raw({'a', 'b', 'c'});
  b.Header(0x00A1, 34).Fill(34);
  b.Header(0x0200, 14).U32(0).U32(2).U16(0).U16(1).U16(0);
  Row(b, 0);
  Row(b, 1);
  Number(b, 0, 0);
  Number(b, 1, 0);
  DbCell(b, 2);
  Window2(b);
  b.Header(0x001D, 15).U8(3).U16(0).U16(0).U16(0).U16(1).U16(0).U16(0).U8(0).U8(0);
  Merged(b, 0);
  Eof(b);
  return b.bytes();
}

TEST(Worksheet, DamagedSheetsStayBoundedAndConsistent) {
  LogCapture log;
  const std::vector<std::uint8_t> sheetBytes = SmallSheet();
  {
    Worksheet sheet;
    ASSERT_EQ(sheet.Read(sheetBytes, 0), sheetBytes.size());
    EXPECT_EQ(CellCount(sheet), 2u);
    EXPECT_EQ(sheet.header_.text_.ToUtf8(), "abc");
  }
  // Every prefix: no read past the end, nothing consumed beyond it, and the sheet still
  // writes exactly the size it reports.
  for (std::size_t cut = 0; cut <= sheetBytes.size(); ++cut) {
    const std::vector<std::uint8_t> prefix(sheetBytes.begin(), sheetBytes.begin() + cut);
    Worksheet sheet;
    const std::uint32_t used = sheet.Read(prefix, 0);
    EXPECT_LE(used, cut);
    const auto out = Written(sheet);
    EXPECT_TRUE(Walk(out).whole) << cut;
  }
  // Without EOF the sheet ends with the stream.
  const std::vector<std::uint8_t> noEof(sheetBytes.begin(), sheetBytes.end() - 4);
  Worksheet open;
  EXPECT_EQ(open.Read(noEof, 0), noEof.size());
  EXPECT_EQ(CellCount(open), 2u);
  ASSERT_EQ(open.mergedCells_.size(), 1u);
}

TEST(Worksheet, BadLengthsAreLoggedAndTheWalkGoesOn) {
  LogCapture log;
  // Members whose lengths run past their data, and one whose length runs past the stream.
  ByteBuilder b;
  Bof(b, 0x0010);
  b.Header(0x000C, 1).U8(5);                                      // CALCCOUNT of 1 byte
  b.Header(0x0200, 4).U32(9);                                     // DIMENSIONS of 4 bytes
  b.Header(0x001D, 11).U8(3).U16(1).U16(1).U16(0).U16(7).U16(0);  // SELECTION: 7 refs, none whole
  Window2(b);
  b.Header(0x0080, 500).U16(1);  // GUTS running past the stream
  Worksheet sheet;
  EXPECT_EQ(sheet.Read(b.bytes(), 0), b.size() - 6);
  EXPECT_EQ(log.CountError("Exception reading in Worksheet::CALCCOUNT::Read"), 1);
  EXPECT_EQ(log.CountError("Error reading Dimensions Record"), 1);
  EXPECT_EQ(log.CountError("Exception in Worksheet::Selection::Read"), 1);
  EXPECT_EQ(log.CountError("Error reading 'Record' Record"), 1);
  EXPECT_EQ(sheet.dimensions_.firstRow_, 9u);
  EXPECT_EQ(sheet.window2_.flags_, 0x02B6);
  EXPECT_EQ(sheet.guts_.RecordSize(), 12u);
  EXPECT_TRUE(Walk(Written(sheet)).whole);
}

TEST(Worksheet, UnclosedNestedSubstreamEndsWithTheStream) {
  // A nested substream that never closes takes the rest of the stream, and no more.
  ByteBuilder nested;
  Bof(nested, 0x0010);
  Bof(nested, 0x0020);
  nested.Header(0x1002, 40).U32(0);
  Worksheet chartless;
  EXPECT_EQ(chartless.Read(nested.bytes(), 0), nested.size());
}

// ---- INDEX and DBCELL positions -----------------------------------------------------------

TEST(Worksheet, PositionFixUpOfOneBlock) {
  ByteBuilder b;
  Bof(b, 0x0010);
  Row(b, 0);
  Row(b, 1);
  Row(b, 2);
  Number(b, 0, 0);
  Number(b, 0, 1);
  Number(b, 1, 0);
  b.Header(0x027E, 10).U16(2).U16(0).U16(15).U32(0x192);  // RK
  b.Header(0x0201, 6).U16(2).U16(1).U16(15);              // BLANK
  DbCell(b, 3);
  Eof(b);
  Worksheet sheet;
  ASSERT_EQ(sheet.Read(b.bytes(), 0), b.size());
  ASSERT_EQ(sheet.cellTable_.rowBlocks_.size(), 1u);
  const std::uint32_t start = 1000;
  const std::uint32_t end = sheet.FixCellIndexPositions(start);
  EXPECT_EQ(end, start + sheet.RecordSize());
  const auto& dbCell = sheet.cellTable_.rowBlocks_[0].dbCell_;
  EXPECT_EQ(dbCell.firstRowOffset_, 60u + 18 + 18 + 18 + 14 + 10);
  ASSERT_EQ(dbCell.offsets_.size(), 3u);
  EXPECT_EQ(dbCell.offsets_[0], 40);       // second ROW to the first cell
  EXPECT_EQ(dbCell.offsets_[1], 18 + 18);  // row 0's cells
  EXPECT_EQ(dbCell.offsets_[2], 18);       // row 1's cell
}

// Rows from 32768 on are rows like any other, not negative ones.
TEST(Worksheet, PositionFixUpComparesRowsUnsigned) {
  ByteBuilder b;
  Bof(b, 0x0010);
  Row(b, 32000);
  Row(b, 40000);
  Number(b, 32000, 0);
  Number(b, 32000, 1);
  Number(b, 40000, 0);
  DbCell(b, 2);
  Eof(b);
  Worksheet sheet;
  ASSERT_EQ(sheet.Read(b.bytes(), 0), b.size());
  sheet.FixCellIndexPositions(0);
  const auto& dbCell = sheet.cellTable_.rowBlocks_.at(0).dbCell_;
  ASSERT_EQ(dbCell.offsets_.size(), 2u);
  EXPECT_EQ(dbCell.offsets_[0], 20);
  EXPECT_EQ(dbCell.offsets_[1], 36);
}

// After the fix-up, INDEX leads to every DBCELL and every DBCELL back to its first ROW.
void ExpectPositionsLead(Worksheet& sheet, std::uint32_t start, const std::string& what) {
  const std::uint32_t end = sheet.FixCellIndexPositions(start);
  std::vector<std::uint8_t> out(start + sheet.RecordSize());
  ASSERT_EQ(sheet.Write(out, start), sheet.RecordSize()) << what;
  EXPECT_EQ(end, out.size()) << what;
  const auto& blocks = sheet.cellTable_.rowBlocks_;
  ASSERT_GE(sheet.index_.positions_.size(), blocks.size()) << what;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const std::uint32_t at = sheet.index_.positions_[i];
    ASSERT_LT(at + 8u, out.size()) << what;
    ASSERT_EQ(LittleEndian::U16(out, at), kDbCell) << what << " block " << i;
    if (blocks[i].rows_.empty()) continue;
    const std::uint32_t back = LittleEndian::U32(out, at + 4);
    ASSERT_LE(back, at) << what;
    EXPECT_EQ(LittleEndian::U16(out, at - back), kRow) << what << " block " << i;
    EXPECT_EQ(LittleEndian::U16(out, at - back + 4), blocks[i].rows_[0].row_) << what;
  }
  // The INDEX written holds the positions just computed.
  const std::size_t indexAt = start + sheet.bof_.RecordSize();
  ASSERT_EQ(LittleEndian::U16(out, indexAt), kIndex) << what;
  if (!blocks.empty()) {
    EXPECT_EQ(LittleEndian::U32(out, indexAt + 4 + 16), sheet.index_.positions_[0]) << what;
  }
}

TEST(Worksheet, FixedPositionsLeadToTheBlocks) {
  ByteBuilder b;
  Bof(b, 0x0010);
  for (std::uint16_t block = 0; block < 3; ++block) {
    for (std::uint16_t r = 0; r < 32; ++r) Row(b, static_cast<std::uint16_t>(block * 32 + r));
    for (std::uint16_t r = 0; r < 32; r += 3)
      Number(b, static_cast<std::uint16_t>(block * 32 + r), 2);
    DbCell(b, 32);
  }
  Eof(b);
  Worksheet sheet;
  ASSERT_EQ(sheet.Read(b.bytes(), 0), b.size());
  ASSERT_EQ(sheet.cellTable_.rowBlocks_.size(), 3u);
  ExpectPositionsLead(sheet, 512, "three blocks");
}

// ---- Real workbooks -----------------------------------------------------------------------

std::vector<std::uint8_t> WorkbookStream(const std::filesystem::path& path) {
  std::vector<std::uint8_t> bytes;
  test::ReadWorkbookStream(path, bytes);
  return bytes;
}

// The BOF positions that the globals' BOUNDSHEET records give for worksheets.
std::vector<std::size_t> WorksheetPositions(std::span<const std::uint8_t> stream) {
  std::vector<std::size_t> positions;
  Record record;
  std::size_t at = 0;
  while (at < stream.size()) {
    const std::uint32_t size = record.Read(stream, at);
    if (size == 0 || record.code_ == 0x000A) break;
    if (record.code_ == 0x0085 && record.dataSize_ >= 6 && record.data_[5] == 0) {
      const std::uint32_t bof = LittleEndian::U32(record.data_, 0);
      if (BOF::Validate(stream, bof) && LittleEndian::U16(stream, bof + 6) == BOF::kWorksheet) {
        positions.push_back(bof);
      }
    }
    at += size;
  }
  return positions;
}

TEST(Worksheet, EveryCorpusWorksheetWritesBackStably) {
  const auto files = test::RealCorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  LogCapture log;
  std::size_t sheets = 0;
  std::size_t cells = 0;
  std::size_t withEof = 0;
  std::size_t nested = 0;
  std::size_t readBytes = 0;
  std::size_t writtenBytes = 0;
  for (const auto& file : files) {
    const std::vector<std::uint8_t> stream = WorkbookStream(file);
    if (stream.empty()) continue;
    for (std::size_t pos : WorksheetPositions(stream)) {
      const std::string what = file.filename().string() + " @" + std::to_string(pos);
      Worksheet sheet;
      const std::uint32_t used = sheet.Read(stream, pos);
      ASSERT_GT(used, 0u) << what;
      readBytes += used;
      nested += Count(Walk(std::span(stream).subspan(pos, used)), 0x0809) > 1 ? 1 : 0;
      const bool endsAtEof = LittleEndian::U16(stream, pos + used - 4) == 0x000A;
      EXPECT_TRUE(endsAtEof) << what << " read " << used << " of " << stream.size();
      withEof += endsAtEof ? 1 : 0;
      ASSERT_EQ(sheet.bof_.type_, BOF::kWorksheet) << what;
      const auto first = Written(sheet);
      ASSERT_EQ(first.size(), sheet.RecordSize()) << what;
      writtenBytes += first.size();

      Worksheet again;
      ASSERT_EQ(again.Read(first, 0), first.size()) << what;
      ASSERT_EQ(CellCount(again), CellCount(sheet)) << what;
      ASSERT_EQ(Written(again), first) << what;

      ++sheets;
      cells += CellCount(sheet);
      ExpectPositionsLead(sheet, 4096, what);
    }
  }
  std::printf(
      "[ corpus   ] %zu worksheets, %zu cell records, %zu ended at their EOF, "
      "%zu held nested substreams, %zu bytes read, %zu written\n",
      sheets, cells, withEof, nested, readBytes, writtenBytes);
  EXPECT_GT(sheets, files.size());
  EXPECT_EQ(withEof, sheets);
}

// Real sheets with lying lengths and codes: every read stays inside the stream and the
// sheet still writes exactly what it reports.
TEST(Worksheet, DamagedCorpusSheetsStayConsistent) {
  const auto files = test::RealCorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  LogCapture log;
  std::size_t damaged = 0;
  for (std::size_t f = 0; f < files.size(); f += 24) {
    std::vector<std::uint8_t> stream = WorkbookStream(files[f]);
    const auto positions = WorksheetPositions(stream);
    if (positions.empty()) continue;
    const std::size_t pos = positions.front();
    const std::size_t length = Worksheet().Read(stream, pos);
    for (std::size_t k = 1; k <= 24; ++k) {
      const std::size_t at = pos + 20 + (length - 20) * k / 25;
      const std::uint8_t saved[2] = {stream[at], stream[at + 1]};
      stream[at] = 0xFF;
      stream[at + 1] = static_cast<std::uint8_t>(k * 37);
      Worksheet sheet;
      EXPECT_LE(sheet.Read(stream, pos), stream.size() - pos);
      std::vector<std::uint8_t> out(sheet.RecordSize());
      EXPECT_EQ(sheet.Write(out, 0), out.size()) << files[f] << " @" << at;
      stream[at] = saved[0];
      stream[at + 1] = saved[1];
      ++damaged;
    }
  }
  EXPECT_GT(damaged, 100u);
}

}  // namespace
}  // namespace tabulix
