// The save route: a saved workbook must read back, in our reader and in independent ones,
// as the workbook that was loaded, and every position stored in it must lead to the record
// it names. A failed save leaves nothing behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/diagnostics.hpp"
#include "base/little_endian.hpp"
#include "biff/byte_builder.hpp"
#include "biff/cell_block.hpp"
#include "document/xls_document.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::ByteBuilder;

constexpr std::uint16_t kBofCode = 0x0809;
constexpr std::uint16_t kEofCode = 0x000A;
constexpr std::uint16_t kBoundSheetCode = 0x0085;
constexpr std::uint16_t kIndexCode = 0x020B;
constexpr std::uint16_t kRowCode = 0x0208;
constexpr std::uint16_t kDbCellCode = 0x00D7;
constexpr std::uint16_t kWorksheetType = 0x0010;

// Runs save_oracle.py (beside this file) with the system interpreter.
int RunOracle(const std::string& arguments, std::string* output) {
  return test::RunCommand(
      std::string(TABULIX_PYTHON) + " " +
          test::ShellQuote(std::string(TABULIX_TESTS_DIR) + "/document/save_oracle.py") + " " +
          arguments,
      output);
}

// The worksheet names xlrd reads from `file`.
std::vector<std::string> XlrdSheetNames(const fs::path& file) {
  std::string output;
  EXPECT_EQ(RunOracle("names " + test::ShellQuote(file.string()), &output), 0);
  std::vector<std::string> names;
  std::istringstream lines(output);
  std::string hex;
  while (std::getline(lines, hex)) {
    std::string name;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
      name += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    names.push_back(name);
  }
  return names;
}

bool LoadBytes(const Bytes& stream, const fs::path& file, XlsDocument& document) {
  test::WriteFileBytes(file, stream);
  return document.Load(file.string());
}

// Reads a saved file back through the first route: every substream must be found intact.
void ExpectReadsBackWhole(const fs::path& file, const XlsDocument& saved, XlsDocument& again) {
  ASSERT_TRUE(again.Load(file.string())) << file;
  EXPECT_EQ(again.route(), StreamRoute::Storage) << file;
  EXPECT_EQ(again.stream(), saved.saveBuffer()) << file;
  const auto& flags = again.boundaries().intactFlags_;
  EXPECT_EQ(flags.size(), saved.worksheets().size() + 1) << file;
  EXPECT_TRUE(std::all_of(flags.begin(), flags.end(), [](std::uint8_t f) { return f == 1; }))
      << file;
  EXPECT_EQ(again.worksheets().size(), saved.worksheets().size()) << file;
}

// ---------------------------------------------------------------------------------------
// Walking a saved stream record by record.

struct RecordAt {
  std::uint32_t pos;
  std::uint16_t code;
  std::uint16_t length;
};

std::vector<RecordAt> Records(const Bytes& stream) {
  std::vector<RecordAt> records;
  std::size_t pos = 0;
  while (pos + 4 <= stream.size()) {
    const RecordAt record{static_cast<std::uint32_t>(pos), LittleEndian::U16(stream, pos),
                          LittleEndian::U16(stream, pos + 2)};
    records.push_back(record);
    pos += 4 + record.length;
  }
  EXPECT_EQ(pos, stream.size()) << "the record chain does not end with the stream";
  return records;
}

// The DBCELL offsets each row block held before the save: an offset with no cell to point
// at keeps its value.
using DbCellOffsets = std::vector<std::vector<std::vector<std::uint16_t>>>;
DbCellOffsets OffsetsOf(const XlsDocument& document) {
  DbCellOffsets offsets;
  for (const Worksheet& sheet : document.worksheets()) {
    auto& blocks = offsets.emplace_back();
    for (const auto& block : sheet.cellTable_.rowBlocks_) blocks.push_back(block.dbCell_.offsets_);
  }
  return offsets;
}

// Which saved sheets were written as they stood, with their own records.
std::vector<const Worksheet*> KeptOf(const XlsDocument& document) {
  std::vector<const Worksheet*> kept;
  for (const Worksheet& sheet : document.worksheets())
    kept.push_back(sheet.source_.empty() ? nullptr : &sheet);
  return kept;
}

struct PositionCounts {
  std::size_t sheets = 0;
  std::size_t kept = 0;  // sheets saved as they stood
  std::size_t blocks = 0;
  std::size_t rowOffsets = 0;
  std::size_t keptOffsets = 0;  // of rows with no cell at or after them
};

// Every stored position of `stream` against the records themselves: BOUNDSHEET -> the
// worksheet BOFs, in order and back to back; INDEX -> the DBCELLs, one per row block;
// DBCELL -> its block's first record; DBCELL row offsets -> each row's first cell, the
// first counted from the block's second ROW record, the others from the previous row's
// first cell.
void ExpectPositionsAgree(const Bytes& stream, const DbCellOffsets& before, PositionCounts& counts,
                          const std::vector<const Worksheet*>& kept = {}) {
  const std::vector<RecordAt> records = Records(stream);

  std::vector<std::uint32_t> sheetPositions;
  std::size_t next = 0;
  for (; next < records.size() && records[next].code != kEofCode; ++next) {
    if (records[next].code == kBoundSheetCode)
      sheetPositions.push_back(LittleEndian::U32(stream, records[next].pos + 4));
  }
  ASSERT_LT(next, records.size()) << "globals without EOF";
  ++next;
  ASSERT_EQ(sheetPositions.size(), before.size()) << "one sheet entry per worksheet";

  for (std::size_t k = 0; k < sheetPositions.size(); ++k) {
    SCOPED_TRACE("worksheet " + std::to_string(k));
    // Each worksheet begins where the one before it ended.
    ASSERT_LT(next, records.size());
    ASSERT_EQ(sheetPositions[k], records[next].pos);
    ASSERT_EQ(records[next].code, kBofCode);
    ++counts.sheets;
    if (k < kept.size() && kept[k] != nullptr) {
      // A sheet saved as it stood (a chart and macro sheet among them) holds its source's
      // bytes, embedded charts too, and its INDEX names what it named there, moved with it.
      ++counts.kept;
      const Worksheet& source = *kept[k];
      const std::uint32_t start = records[next].pos;
      std::optional<RecordAt> index;
      std::size_t depth = 0;
      std::size_t i = next;
      for (; i < records.size(); ++i) {
        depth += records[i].code == kBofCode ? 1 : 0;
        if (records[i].code == kIndexCode && depth == 1) index = records[i];
        if (records[i].code == kEofCode && --depth == 0) break;
      }
      ASSERT_LT(i, records.size()) << "kept sheet without EOF";
      const std::uint32_t end = records[i].pos + 4 + records[i].length;
      ASSERT_EQ(end - start, source.source_.size());
      for (std::uint32_t p = 16; index && p + 4 <= index->length; p += 4) {
        const std::uint32_t at = index->pos - start + 4 + p;
        EXPECT_EQ(LittleEndian::U32(stream, start + at) - start,
                  LittleEndian::U32(source.source_, at) - source.sourcePosition_)
            << "INDEX entry at " << at << " of a kept sheet";
      }
      next = i + 1;
      continue;
    }
    EXPECT_EQ(LittleEndian::U16(stream, records[next].pos + 6), kWorksheetType);

    std::optional<RecordAt> index;
    std::vector<std::uint32_t> dbCells;
    std::size_t blocks = 0;
    std::size_t i = next + 1;
    while (i < records.size() && records[i].code != kEofCode) {
      const RecordAt record = records[i];
      EXPECT_NE(record.code, kBofCode) << "a substream inside a saved worksheet";
      if (record.code == kIndexCode) {
        EXPECT_FALSE(index) << "two INDEX records";
        index = record;
      }
      if (record.code != kRowCode && !cells::IsCellCode(record.code)) {
        EXPECT_NE(record.code, kDbCellCode) << "a DBCELL after no row block at " << record.pos;
        ++i;
        continue;
      }
      // A row block: its ROW records, its cell records (with their companions), its DBCELL.
      SCOPED_TRACE("row block " + std::to_string(blocks));
      const std::uint32_t blockStart = record.pos;
      std::vector<RecordAt> rows;
      for (; i < records.size() && records[i].code == kRowCode; ++i) rows.push_back(records[i]);
      std::vector<RecordAt> cells;
      for (; i < records.size() && records[i].code != kDbCellCode; ++i) {
        ASSERT_NE(records[i].code, kRowCode) << "a block without DBCELL before " << records[i].pos;
        ASSERT_NE(records[i].code, kEofCode) << "a block without DBCELL";
        if (cells::IsCellCode(records[i].code)) cells.push_back(records[i]);
      }
      ASSERT_LT(i, records.size());
      const RecordAt dbCell = records[i++];
      dbCells.push_back(dbCell.pos);
      ASSERT_GE(dbCell.length, 4);
      EXPECT_EQ(dbCell.pos - LittleEndian::U32(stream, dbCell.pos + 4), blockStart);

      const std::size_t offsetCount = (dbCell.length - 4u) / 2u;
      EXPECT_EQ(offsetCount, rows.size()) << "one offset per ROW record";
      const std::vector<std::uint16_t> none;
      const auto& old = k < before.size() && blocks < before[k].size() ? before[k][blocks] : none;
      std::uint32_t from = rows.empty() ? blockStart : rows.front().pos + 4 + rows.front().length;
      std::size_t cursor = 0;
      for (std::size_t r = 0; r < rows.size() && r < offsetCount; ++r) {
        const std::uint16_t row = LittleEndian::U16(stream, rows[r].pos + 4);
        while (cursor < cells.size() && LittleEndian::U16(stream, cells[cursor].pos + 4) < row)
          ++cursor;
        const std::uint16_t stored = LittleEndian::U16(stream, dbCell.pos + 8 + 2 * r);
        ++counts.rowOffsets;
        if (cursor == cells.size()) {
          ++counts.keptOffsets;
          EXPECT_EQ(stored, r < old.size() ? old[r] : 0) << "row " << row << " kept its offset";
          continue;
        }
        EXPECT_EQ(stored, cells[cursor].pos - from) << "row " << row;
        from = cells[cursor].pos;
      }
      ++blocks;
      ++counts.blocks;
    }
    ASSERT_LT(i, records.size()) << "worksheet without EOF";
    if (k < before.size()) {
      EXPECT_EQ(blocks, before[k].size());
    }
    ASSERT_TRUE(index) << "worksheet without INDEX";
    ASSERT_GE(index->length, 16);
    std::vector<std::uint32_t> indexed;
    for (std::uint32_t p = 16; p + 4 <= index->length; p += 4)
      indexed.push_back(LittleEndian::U32(stream, index->pos + 4 + p));
    EXPECT_EQ(indexed, dbCells) << "INDEX names each DBCELL, in order";
    next = i + 1;
  }
  EXPECT_EQ(next, records.size()) << "records after the last worksheet";
}

// ---------------------------------------------------------------------------------------
// Workbook streams built here.

void Bof(ByteBuilder& b, std::uint16_t type) {
  b.Header(kBofCode, 16)
      .U16(0x0600)  // BIFF8
      .U16(type)
      .U16(0x15EC)   // build
      .U16(0x07CD)   // year
      .U32(0xC1)     // file history
      .U32(0x0306);  // lowest version
}
void Eof(ByteBuilder& b) { b.Header(kEofCode, 0); }

// An integer in an RK record.
void Rk(ByteBuilder& b, std::uint16_t row, std::uint16_t column, std::int32_t value) {
  b.Header(0x027E, 10)
      .U16(row)
      .U16(column)
      .U16(15)
      .U32((static_cast<std::uint32_t>(value) << 2) | 2);
}

struct Entry {
  std::string name;       // 8-bit characters
  std::uint8_t type = 0;  // 0 worksheet, 2 chart
  std::uint8_t visibility = 0;
  std::size_t substream = 0;  // the substream whose BOF it names
};

enum class Body {
  Worksheet,  // an RK with the sheet's number at A1 and one per row below it
  Chart,      // a chart sheet caching a value in a NUMBER
  Lost,       // a worksheet BOF, then bytes no record can be read from, then EOF
};
struct Substream {
  Body body = Body::Worksheet;
  std::int32_t number = 0;
  std::uint16_t rows = 1;
  // Bytes of records no reader keeps, after the cells: they move the later substreams in
  // the source and nowhere in the saved stream.
  std::size_t padding = 0;
};

struct Window {
  std::uint16_t activeSheet = 0;
  std::uint16_t firstVisibleTab = 0;
};

// Globals with WINDOW1, TABID, a font, sixteen XFs and the sheet entries; then the
// substreams.
Bytes Book(const std::vector<Entry>& entries, const std::vector<Substream>& substreams,
           Window window = {}) {
  ByteBuilder b;
  Bof(b, 0x0005);
  b.Header(0x003D, 18)
      .U16(480)    // left
      .U16(90)     // top
      .U16(16275)  // width
      .U16(9015)   // height
      .U16(0x38)   // options
      .U16(window.activeSheet)
      .U16(window.firstVisibleTab)
      .U16(1)     // selected sheets
      .U16(600);  // tab ratio
  b.Header(0x013D, static_cast<std::uint16_t>(2 * entries.size()));
  for (std::size_t i = 0; i < entries.size(); ++i) b.U16(static_cast<std::uint16_t>(i + 1));
  b.Header(0x0031, 17).U16(200).U16(0).U16(0x7FFF).U16(400).U16(0).U8(0).U8(0).U8(0).U8(0);
  b.U8(1).U8(0).U8('A');  // font name "A", 8-bit
  for (int i = 0; i < 16; ++i) {
    b.Header(0x00E0, 20).U16(0).U16(0).U16(i < 15 ? 0xFFF5 : 0x0001).U8(0x20).U8(0).U8(0).U8(0);
    b.U32(0).U32(0).U16(0x20C0);
  }
  std::vector<std::size_t> positionAt;
  for (const Entry& entry : entries) {
    b.Header(kBoundSheetCode, static_cast<std::uint16_t>(8 + entry.name.size()));
    positionAt.push_back(b.size());
    b.U32(0)  // position, set below
        .U8(entry.visibility)
        .U8(entry.type)
        .U8(static_cast<std::uint8_t>(entry.name.size()))
        .U8(0);  // 8-bit characters
    for (const char c : entry.name) b.U8(static_cast<std::uint8_t>(c));
  }
  Eof(b);

  std::vector<std::uint32_t> starts;
  for (const Substream& sub : substreams) {
    starts.push_back(static_cast<std::uint32_t>(b.size()));
    switch (sub.body) {
      case Body::Worksheet:
        Bof(b, kWorksheetType);
        b.Header(0x0200, 14).U32(0).U32(sub.rows).U16(0).U16(1).U16(0);  // DIMENSIONS
        for (std::uint16_t r = 0; r < sub.rows; ++r) Rk(b, r, 0, sub.number + r);
        for (std::size_t left = sub.padding; left > 0;) {
          const std::size_t part = std::min<std::size_t>(left, 4 + 8000);
          b.Header(0x0123, static_cast<std::uint16_t>(part - 4)).Fill(part - 4, 0);
          left -= part;
        }
        break;
      case Body::Chart:
        Bof(b, 0x0020);
        b.Header(0x0203, 14).U16(0).U16(0).U16(15).U32(0).U32(0x40590000);  // 100.0
        break;
      case Body::Lost:
        Bof(b, kWorksheetType);
        b.Fill(40, 0xC0);
        break;
    }
    Eof(b);
  }
  Bytes stream = b.bytes();
  for (std::size_t i = 0; i < entries.size(); ++i)
    LittleEndian::Write(stream, starts.at(entries[i].substream), positionAt[i]);
  return stream;
}

std::vector<std::string> EntryNames(const XlsDocument& document) {
  std::vector<std::string> names;
  for (const auto& entry : document.workbook().sheets_) names.push_back(entry.name_.ToUtf8());
  return names;
}

// The number each worksheet carries at A1.
// The names the load's report gives the sheets, which the save must give them too.
std::vector<std::string> ReportedNames(const XlsDocument& document) {
  std::vector<std::string> names;
  for (const auto& sheet : document.report().sheets_) names.push_back(sheet.name_);
  return names;
}

std::vector<int> FirstNumbers(const XlsDocument& document) {
  std::vector<int> numbers;
  for (const WorksheetView& view : document.sheetViews()) {
    const ViewCell* cell = view.CellAt(0, 0);
    numbers.push_back(cell == nullptr ? -1 : cell->GetInteger());
  }
  return numbers;
}

// ---------------------------------------------------------------------------------------
// 1. Every real file round trips.

TEST(SaveRoute, EveryRealFileRoundTripsThroughXlrdOlefileAndOurReader) {
  test::LogCapture logs;
  test::TempDir dir;
  const auto files = test::RealCorpusFiles();
  ASSERT_GE(files.size(), 378u) << "corpus missing at " << test::CorpusDir();
  const auto start = std::chrono::steady_clock::now();

  const fs::path pairs = dir / "pairs.tsv";
  std::ofstream list(pairs, std::ios::binary);
  std::size_t worksheets = 0;
  PositionCounts counts;
  for (std::size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(files[i].filename().string());
    XlsDocument document;
    ASSERT_TRUE(document.Load(files[i].string()));
    const DbCellOffsets before = OffsetsOf(document);
    const fs::path saved = dir / (std::to_string(i) + ".xls");
    ASSERT_TRUE(document.SaveStorageFile(saved.string()));
    worksheets += document.worksheets().size();
    ExpectPositionsAgree(document.saveBuffer(), before, counts, KeptOf(document));
    XlsDocument again;
    ExpectReadsBackWhole(saved, document, again);
    list << files[i].string() << '\t' << saved.string() << '\n';
  }
  list.close();
  const double ours =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::string report;
  const int status = RunOracle("compare " + test::ShellQuote(pairs.string()), &report);
  std::printf(
      "%zu files, %zu worksheets saved and read back in %.1f s (%zu row blocks, %zu "
      "row offsets walked)\n%s",
      files.size(), worksheets, ours, counts.blocks, counts.rowOffsets, report.c_str());
  EXPECT_EQ(status, 0) << report;
  EXPECT_NE(report.find("files " + std::to_string(files.size()) + ","), std::string::npos);
  EXPECT_EQ(logs.CountError("Failed StgCreateStorageEx"), 0);
}

// ---------------------------------------------------------------------------------------
// 2. The stored positions agree with the records.

// Breaks the length of one cell record in the middle of the worksheet with the most cell
// records, so that the sheet is recovered record by record and its cell table rebuilt.
// False when the stream has no worksheet with twenty cells.
bool BreakOneCellLength(Bytes& stream) {
  Workbook globals;
  globals.Read(stream, 0);
  std::vector<std::uint32_t> best;
  for (const auto& entry : globals.sheets_) {
    const std::uint32_t bof = entry.position_;
    if (bof + 8 > stream.size() || LittleEndian::U16(stream, bof) != kBofCode ||
        LittleEndian::U16(stream, bof + 6) != kWorksheetType)
      continue;
    std::vector<std::uint32_t> singles;
    for (std::size_t p = bof; p + 4 <= stream.size();) {
      const std::uint16_t code = LittleEndian::U16(stream, p);
      if (code == kEofCode) break;
      if (cells::IsCellCode(code) && code != 0x00BD && code != 0x00BE)
        singles.push_back(static_cast<std::uint32_t>(p));
      p += 4 + LittleEndian::U16(stream, p + 2);
    }
    if (singles.size() > best.size()) best = singles;
  }
  if (best.size() < 20) return false;
  LittleEndian::Write(stream, std::uint16_t{0x7FF0}, best[best.size() / 2] + 2);
  return true;
}

TEST(SaveRoute, StoredPositionsLeadToTheirRecords) {
  test::LogCapture logs;
  test::TempDir dir;
  PositionCounts sound;
  PositionCounts rebuilt;
  std::size_t files = 0;
  std::size_t damaged = 0;
  std::size_t grown = 0;  // damaged files with a sheet whose INDEX or DBCELLs grew in the save
  const auto corpus = test::RealCorpusFiles();
  ASSERT_GE(corpus.size(), 378u);
  for (std::size_t i = 0; i < corpus.size(); i += 7) {
    SCOPED_TRACE(corpus[i].filename().string());
    XlsDocument document;
    ASSERT_TRUE(document.Load(corpus[i].string()));
    const DbCellOffsets before = OffsetsOf(document);
    ASSERT_TRUE(document.SaveStorageFile((dir / "sound.xls").string()));
    ExpectPositionsAgree(document.saveBuffer(), before, sound, KeptOf(document));
    ++files;

    // The same stream with one record length broken: a sheet is rebuilt.
    Bytes stream;
    ASSERT_TRUE(test::ReadWorkbookStream(corpus[i], stream));
    if (!BreakOneCellLength(stream)) continue;
    XlsDocument broken;
    ASSERT_TRUE(LoadBytes(stream, dir / "damaged.xls", broken));
    const auto& flags = broken.boundaries().intactFlags_;
    if (std::find(flags.begin(), flags.end(), 0) == flags.end()) continue;
    std::vector<std::size_t> sizes;  // INDEX entries and DBCELL offsets before the save
    for (const Worksheet& sheet : broken.worksheets()) {
      std::size_t size = sheet.index_.positions_.size();
      for (const auto& block : sheet.cellTable_.rowBlocks_) size += block.dbCell_.offsets_.size();
      sizes.push_back(size);
    }
    const DbCellOffsets brokenBefore = OffsetsOf(broken);
    const fs::path saved = dir / "rebuilt.xls";
    ASSERT_TRUE(broken.SaveStorageFile(saved.string()));
    ExpectPositionsAgree(broken.saveBuffer(), brokenBefore, rebuilt, KeptOf(broken));
    bool grew = false;
    for (std::size_t w = 0; w < broken.worksheets().size(); ++w) {
      const Worksheet& sheet = broken.worksheets()[w];
      std::size_t size = sheet.index_.positions_.size();
      for (const auto& block : sheet.cellTable_.rowBlocks_) size += block.dbCell_.offsets_.size();
      grew = grew || size > sizes[w];
    }
    // Beside globals kept as they stood, the load's check of the saved stream has run the
    // fix already, so that the save finds the entries there.
    const bool checked = !broken.workbook().source_.empty() ||
                         broken.report().keptRecordsNote_.find("saved format") != std::string::npos;
    if (grew || checked) ++grown;
    XlsDocument again;
    ExpectReadsBackWhole(saved, broken, again);
    ++damaged;
  }
  std::printf(
      "sound: %zu files, %zu sheets (%zu as they stood), %zu row blocks, %zu row offsets (%zu "
      "kept)\n",
      files, sound.sheets, sound.kept, sound.blocks, sound.rowOffsets, sound.keptOffsets);
  std::printf(
      "damaged: %zu files (%zu with a sheet grown), %zu sheets, %zu row blocks, "
      "%zu row offsets (%zu kept)\n",
      damaged, grown, rebuilt.sheets, rebuilt.blocks, rebuilt.rowOffsets, rebuilt.keptOffsets);
  // Sound files are saved as they stood; the sheets rebuilt beside them walk the blocks.
  EXPECT_GT(sound.kept, 100u);
  EXPECT_GT(rebuilt.blocks, 100u);
  EXPECT_GE(damaged, 10u);
  // The case that needs the fixes in their order: rebuilt sheets that grow in the index fix
  // (at the save, or at the load's check of what it keeps).
  EXPECT_EQ(grown, damaged);
}

// ---------------------------------------------------------------------------------------
// 3. Sheet entries.

TEST(SaveRoute, OneSheetEntryPerSavedWorksheet) {
  test::LogCapture logs;
  test::TempDir dir;
  // Entries: a worksheet, a chart sheet, a worksheet whose substream is lost, a worksheet;
  // then a worksheet no entry names. The window points past the sheets that are saved.
  const Bytes stream =
      Book({{"Alpha", 0, 0, 0}, {"Chart1", 2, 0, 1}, {"Beta", 0, 0, 2}, {"Gamma", 0, 0, 3}},
           {{Body::Worksheet, 1},
            {Body::Chart},
            {Body::Lost},
            {Body::Worksheet, 3},
            {Body::Worksheet, 4}},
           {.activeSheet = 4, .firstVisibleTab = 3});
  XlsDocument document;
  ASSERT_TRUE(LoadBytes(stream, dir / "source.xls", document));
  ASSERT_EQ(FirstNumbers(document), (std::vector<int>{1, 3, 4}));
  const DbCellOffsets before = OffsetsOf(document);
  const fs::path saved = dir / "saved.xls";
  ASSERT_TRUE(document.SaveStorageFile(saved.string()));

  const std::vector<std::string> expected{"Alpha", "Gamma", "Recovered Sheet 3"};
  EXPECT_EQ(EntryNames(document), expected);
  EXPECT_EQ(ReportedNames(document), expected);
  PositionCounts counts;
  ExpectPositionsAgree(document.saveBuffer(), before, counts, KeptOf(document));

  XlsDocument again;
  ExpectReadsBackWhole(saved, document, again);
  EXPECT_EQ(EntryNames(again), expected);
  for (const auto& entry : again.workbook().sheets_) {
    EXPECT_EQ(entry.type_, 0);
    EXPECT_EQ(entry.visibility_, 0);
  }
  // Each name stays with its own sheet.
  EXPECT_EQ(FirstNumbers(again), (std::vector<int>{1, 3, 4}));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const WorksheetView* view = again.GetWorksheetView(expected[i]);
    ASSERT_NE(view, nullptr) << expected[i];
    EXPECT_EQ(view, &again.sheetViews()[i]) << expected[i];
  }
  EXPECT_EQ(again.workbook().tabId_.ids_, (std::vector<std::uint16_t>{1, 2, 3}));
  EXPECT_EQ(again.workbook().window1_.activeSheet_, 0);
  EXPECT_EQ(again.workbook().window1_.firstVisibleTab_, 0);
  EXPECT_EQ(XlrdSheetNames(saved), expected);
}

// Two worksheets, the first padded in the source so that the second begins where the
// first begins in the saved stream. Loaded into `document`; false when the padding could not
// be made.
bool LoadWithMeetingPositions(const test::TempDir& dir, XlsDocument& document) {
  // A third sheet is lost, so that the globals are saved from the model (globals kept as
  // they stood keep their length, and the positions could not meet).
  const std::vector<Entry> entries{{"First", 0, 0, 0}, {"Second", 0, 0, 1}, {"Third", 0, 0, 2}};
  XlsDocument probe;
  if (!LoadBytes(Book(entries, {{Body::Worksheet, 1}, {Body::Worksheet, 2}, {Body::Lost}}),
                 dir / "probe.xls", probe) ||
      !probe.SaveStorageFile((dir / "probe-saved.xls").string()))
    return false;
  const std::uint32_t savedStart = probe.workbook().sheets_.at(0).position_;
  const std::uint32_t sourceSecond = probe.worksheets().at(1).sourcePosition_;
  if (savedStart < sourceSecond + 4) return false;
  const Bytes stream = Book(
      entries,
      {{Body::Worksheet, 1, 1, savedStart - sourceSecond}, {Body::Worksheet, 2}, {Body::Lost}});
  return LoadBytes(stream, dir / "source.xls", document) &&
         document.worksheets().at(1).sourcePosition_ == savedStart;
}

// The save fixes the sheet entries twice; by the second time they hold positions of the
// saved stream, one of which may equal a source position: no worksheet may take another's
// entry by it.
TEST(SaveRoute, NamesStayWithTheirSheetsWhenSavedAndSourcePositionsMeet) {
  test::LogCapture logs;
  test::TempDir dir;
  XlsDocument document;
  ASSERT_TRUE(LoadWithMeetingPositions(dir, document));
  const std::vector<std::uint32_t> sources{document.worksheets()[0].sourcePosition_,
                                           document.worksheets()[1].sourcePosition_};
  const fs::path saved = dir / "saved.xls";
  ASSERT_TRUE(document.SaveStorageFile(saved.string()));
  EXPECT_EQ(document.workbook().sheets_.at(0).position_, sources[1]);
  EXPECT_EQ(EntryNames(document), (std::vector<std::string>{"First", "Second"}));
  // The worksheets still tell where in the source they came from.
  EXPECT_EQ(document.worksheets()[0].sourcePosition_, sources[0]);
  EXPECT_EQ(document.worksheets()[1].sourcePosition_, sources[1]);
  XlsDocument again;
  ExpectReadsBackWhole(saved, document, again);
  EXPECT_EQ(EntryNames(again), (std::vector<std::string>{"First", "Second"}));
  EXPECT_EQ(FirstNumbers(again), (std::vector<int>{1, 2}));
}

// Still open: after a save the entries hold saved positions and the worksheets source ones,
// so the lookups and a second save pair them by a coincidence of the two. They need to know
// that the entries were fixed (one per worksheet, in order).
TEST(SaveRoute, AfterASaveLookupsAndASecondSaveKeepEachNameWithItsSheet) {
  test::LogCapture logs;
  test::TempDir dir;
  XlsDocument document;
  ASSERT_TRUE(LoadWithMeetingPositions(dir, document));
  const fs::path saved = dir / "saved.xls";
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("save " + std::to_string(round + 1));
    ASSERT_TRUE(document.SaveStorageFile(saved.string()));
    EXPECT_EQ(EntryNames(document), (std::vector<std::string>{"First", "Second"}));
    for (std::uint32_t i = 0; i < 2; ++i) {
      const WorksheetView* view = document.GetWorksheetView(i == 0 ? "First" : "Second");
      ASSERT_NE(view, nullptr);
      EXPECT_EQ(view->SheetIndex(), i);
    }
    XlsDocument again;
    ExpectReadsBackWhole(saved, document, again);
    EXPECT_EQ(FirstNumbers(again), (std::vector<int>{1, 2}));
  }
}

TEST(SaveRoute, SheetNamesAreMadeValidAndUnique) {
  test::LogCapture logs;
  test::TempDir dir;
  const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
  const std::vector<Entry> entries{
      {"Data", 0, 1, 0},
      {"DATA", 0, 1, 1},  // the same name to a spreadsheet program
      {"a/b:c?d*e[f]g\\h", 0, 1, 2},
      {forty, 0, 1, 3},
      {"'quoted'", 0, 1, 4},
      {"data", 0, 1, 5},
      {forty, 0, 1, 6},  // the same 31 characters as the fourth
      {"''", 0, 1, 7},   // nothing left
      {"Caf\xE9", 0, 1, 8},
      {"CAF\xC9", 0, 1, 9},  // Latin-1 letters fold too
      {"recovered sheet 12", 0, 1, 10},
  };
  std::vector<Substream> substreams;
  for (int i = 0; i < 12; ++i) substreams.push_back({Body::Worksheet, i + 1});
  // Every named sheet hidden; the window names sheets that exist.
  const Bytes stream = Book(entries, substreams, {.activeSheet = 2, .firstVisibleTab = 1});
  XlsDocument document;
  ASSERT_TRUE(LoadBytes(stream, dir / "source.xls", document));
  ASSERT_EQ(document.worksheets().size(), 12u);
  const fs::path saved = dir / "saved.xls";
  ASSERT_TRUE(document.SaveStorageFile(saved.string()));

  const std::vector<std::string> expected{
      "Data",
      "DATA (2)",
      "a_b_c_d_e_f_g_h",
      forty.substr(0, 31),
      "quoted",
      "data (3)",
      forty.substr(0, 27) + " (2)",
      "Recovered Sheet 8",
      "Café",
      "CAFÉ (2)",
      "recovered sheet 12",
      "Recovered Sheet 12 (2)",
  };
  // The load's report named them so before the save.
  EXPECT_EQ(ReportedNames(document), expected);
  XlsDocument again;
  ExpectReadsBackWhole(saved, document, again);
  EXPECT_EQ(EntryNames(again), expected);
  std::vector<int> numbers(12);
  for (int i = 0; i < 12; ++i) numbers[i] = i + 1;
  EXPECT_EQ(FirstNumbers(again), numbers);
  // Hidden sheets stay hidden; the sheet no entry named gets a visible one.
  const auto& sheets = again.workbook().sheets_;
  ASSERT_EQ(sheets.size(), 12u);
  for (std::size_t i = 0; i < sheets.size(); ++i) EXPECT_EQ(sheets[i].visibility_, i < 11 ? 1 : 0);
  EXPECT_EQ(again.workbook().window1_.activeSheet_, 2);
  EXPECT_EQ(again.workbook().window1_.firstVisibleTab_, 1);
  EXPECT_EQ(again.workbook().tabId_.ids_.size(), 12u);
  EXPECT_EQ(XlrdSheetNames(saved), expected);

  // A workbook whose every sheet is hidden cannot be shown: the first becomes visible.
  XlsDocument hidden;
  ASSERT_TRUE(LoadBytes(
      Book({{"H1", 0, 1, 0}, {"H2", 0, 1, 1}}, {{Body::Worksheet, 1}, {Body::Worksheet, 2}}),
      dir / "hidden.xls", hidden));
  ASSERT_TRUE(hidden.SaveStorageFile(saved.string()));
  XlsDocument shown;
  ExpectReadsBackWhole(saved, hidden, shown);
  ASSERT_EQ(shown.workbook().sheets_.size(), 2u);
  EXPECT_EQ(shown.workbook().sheets_[0].visibility_, 0);
  EXPECT_EQ(shown.workbook().sheets_[1].visibility_, 1);
}

// ---------------------------------------------------------------------------------------
// 4. Progress.

TEST(SaveRoute, ProgressRunsFromZeroThroughEachSheetToOneHundred) {
  test::LogCapture logs;
  test::TempDir dir;
  for (const int sheets : {1, 3, 7}) {
    SCOPED_TRACE(std::to_string(sheets) + " worksheets");
    std::vector<Entry> entries;
    std::vector<Substream> substreams;
    for (int i = 0; i < sheets; ++i) {
      // Appended rather than "literal" + temporary string, on which GCC 12 at -O3 warns falsely.
      entries.push_back(
          {std::string("S").append(std::to_string(i)), 0, 0, static_cast<std::size_t>(i)});
      substreams.push_back({Body::Worksheet, i});
    }
    XlsDocument document;
    ASSERT_TRUE(LoadBytes(Book(entries, substreams), dir / "source.xls", document));
    ASSERT_EQ(document.worksheets().size(), static_cast<std::size_t>(sheets));
    std::vector<int> seen;
    ASSERT_TRUE(document.SaveStorageFile((dir / "saved.xls").string(),
                                         [&seen](int percent) { seen.push_back(percent); }));
    std::vector<int> expected{0, 20};
    for (int i = 0; i < sheets; ++i) expected.push_back(20 + 80 * (i + 1) / sheets);
    expected.push_back(100);
    EXPECT_EQ(seen, expected);
    if (sheets == 3) {
      EXPECT_EQ(seen, (std::vector<int>{0, 20, 46, 73, 100, 100}));
    }
  }
}

// ---------------------------------------------------------------------------------------
// 5. Bad targets and the diagnostic dump.

std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

Bytes SmallBook() {
  return Book({{"One", 0, 0, 0}, {"Two", 0, 0, 1}},
              {{Body::Worksheet, 1, 40}, {Body::Worksheet, 2, 3}});
}

TEST(SaveRoute, ATargetThatCannotBeWrittenFailsAndLeavesNothingBehind) {
  test::TempDir dir;
  XlsDocument document;
  {
    test::LogCapture quiet;
    ASSERT_TRUE(LoadBytes(SmallBook(), dir / "source.xls", document));
  }
  const fs::path folder = dir / "folder";
  fs::create_directory(folder);

  {
    SCOPED_TRACE("folder missing");
    test::LogCapture logs;
    EXPECT_FALSE(document.SaveStorageFile((folder / "missing" / "out.xls").string()));
    EXPECT_EQ(logs.CountError("Failed StgCreateStorageEx"), 1);
    EXPECT_FALSE(fs::exists(folder / "missing"));
    EXPECT_TRUE(Listing(folder).empty());
  }
  {
    SCOPED_TRACE("read-only folder");
    test::LogCapture logs;
    fs::permissions(folder, fs::perms(0555));
    EXPECT_FALSE(document.SaveStorageFile((folder / "out.xls").string()));
    fs::permissions(folder, fs::perms(0755));
    EXPECT_EQ(logs.CountError("Failed StgCreateStorageEx"), 1);
    EXPECT_TRUE(Listing(folder).empty());
  }
  {
    SCOPED_TRACE("read-only file");
    test::LogCapture logs;
    const fs::path target = folder / "kept.xls";
    const Bytes old{'o', 'l', 'd'};
    test::WriteFileBytes(target, old);
    fs::permissions(target, fs::perms(0444));
    EXPECT_FALSE(document.SaveStorageFile(target.string()));
    EXPECT_EQ(logs.CountError("Failed StgCreateStorageEx"), 1);
    EXPECT_EQ(test::ReadFileBytes(target), old);
    EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms(0444));
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"kept.xls"}));
    fs::permissions(target, fs::perms(0644));
  }
  {
    SCOPED_TRACE("writable file");
    test::LogCapture logs;
    const fs::path target = folder / "kept.xls";
    EXPECT_TRUE(document.SaveStorageFile(target.string()));
    EXPECT_TRUE(logs.ErrorLines().empty());
    Bytes stream;
    ASSERT_TRUE(test::ReadWorkbookStream(target, stream));
    EXPECT_EQ(stream, document.saveBuffer());
    EXPECT_EQ(Listing(folder), (std::vector<std::string>{"kept.xls"}));
    XlsDocument again;
    ExpectReadsBackWhole(target, document, again);
    EXPECT_EQ(EntryNames(again), (std::vector<std::string>{"One", "Two"}));
  }
}

TEST(SaveRoute, TheDiagnosticDumpHoldsTheSavedStreamAndIsOptional) {
  test::LogCapture logs;
  test::TempDir dir;
  test::TempDir diagnostics;
  XlsDocument document;
  ASSERT_TRUE(LoadBytes(SmallBook(), dir / "source.xls", document));

  SetDiagnosticsDirectory(diagnostics.path());
  const bool dumped = document.SaveStorageFile((dir / "with.xls").string());
  SetDiagnosticsDirectory({});
  ASSERT_TRUE(dumped);
  EXPECT_FALSE(document.saveBuffer().empty());
  EXPECT_EQ(test::ReadFileBytes(diagnostics / "Out_payload.bin"), document.saveBuffer());
  Bytes stream;
  ASSERT_TRUE(test::ReadWorkbookStream(dir / "with.xls", stream));
  EXPECT_EQ(stream, document.saveBuffer());

  // With the folder absent the save goes on and makes no folder.
  const fs::path absent = dir / "no-such-folder";
  SetDiagnosticsDirectory(absent);
  const bool saved = document.SaveStorageFile((dir / "without.xls").string());
  SetDiagnosticsDirectory({});
  ASSERT_TRUE(saved);
  EXPECT_FALSE(fs::exists(absent));
  ASSERT_TRUE(test::ReadWorkbookStream(dir / "without.xls", stream));
  EXPECT_EQ(stream, document.saveBuffer());
  XlsDocument again;
  ExpectReadsBackWhole(dir / "without.xls", document, again);
}

}  // namespace
}  // namespace tabulix
