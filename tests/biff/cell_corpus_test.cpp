// The cell table against every real workbook: each run of ROW and cell records of every
// worksheet is read by the cell table and written back, and must give the very bytes it was
// read from; the table must hold every cell record an independent walk of the sheet meets.

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "biff/cell_table.hpp"
#include "biff/record.hpp"
#include "support/test_support.hpp"

namespace tabulix::cells {
namespace {

constexpr std::uint16_t kBof = 0x0809;
constexpr std::uint16_t kEof = 0x000A;
constexpr std::uint16_t kWorksheet = 0x0010;

bool LoadStream(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes) {
  return test::ReadWorkbookStream(path, bytes);
}

// Tracks the substream a walk is in: each BOF opens one (a chart inside a sheet nests),
// each EOF closes the innermost.
struct Substreams {
  std::vector<std::uint16_t> open;
  bool InWorksheet() const { return !open.empty() && open.back() == kWorksheet; }
  void See(std::span<const std::uint8_t> stream, std::size_t pos, std::uint16_t code) {
    if (code == kBof) open.push_back(LittleEndian::U16(stream, pos + 6));
    if (code == kEof && !open.empty()) open.pop_back();
  }
};

std::size_t CellRecordsInWalk(std::span<const std::uint8_t> stream) {
  Substreams substreams;
  Record record;
  std::size_t cells = 0;
  for (std::size_t pos = 0; pos < stream.size();) {
    const std::uint32_t size = record.Read(stream, pos);
    if (size == 0) break;
    if (substreams.InWorksheet() && IsCellCode(record.code_)) ++cells;
    substreams.See(stream, pos, record.code_);
    pos += size;
  }
  return cells;
}

struct TableCounts {
  std::size_t cells = 0;
  std::size_t texts = 0;  // LABEL and RSTRING cells
  std::size_t tables = 0;
  std::size_t mismatches = 0;
};

std::size_t CountCells(CellTable& table, std::size_t& texts, bool& rich) {
  std::size_t cells = 0;
  for (RowBlock& block : table.rowBlocks_) {
    for (CellBlock& cell : block.cellBlocks_) {
      ++cells;
      if (const Label* label = cell.As<Label>()) {
        ++texts;
        rich = rich || label->readCode_ == Label::kRichCode;
      }
    }
  }
  return cells;
}

// Each block written must give the bytes it was read from; a block read without a DBCELL
// is written with a default one behind them.
bool SameBlocks(CellTable& table, std::span<const std::uint8_t> original) {
  std::size_t at = 0;
  std::vector<std::uint8_t> out;
  for (RowBlock& block : table.rowBlocks_) {
    out.assign(block.RecordSize(), 0);
    if (block.Write(out, 0) != out.size()) return false;
    const std::size_t kept =
        block.hasDbCell_ ? out.size() : out.size() - block.dbCell_.RecordSize();
    if (original.size() - at < kept) return false;
    if (!std::equal(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(kept),
                    original.begin() + static_cast<std::ptrdiff_t>(at))) {
      std::size_t differs = 0;
      while (out[differs] == original[at + differs]) ++differs;
      std::cout << "  block at " << at << " differs at byte " << differs << "\n";
      return false;
    }
    at += kept;
  }
  return at == original.size();
}

TableCounts ReadTables(const std::string& name, std::span<const std::uint8_t> stream) {
  TableCounts counts;
  Substreams substreams;
  Record record;
  std::vector<std::uint8_t> out;
  for (std::size_t pos = 0; pos + kRecordHeaderSize <= stream.size();) {
    const std::uint16_t code = LittleEndian::U16(stream, pos);
    if (substreams.InWorksheet() && IsCellTableCode(code)) {
      CellTable table;
      const std::uint32_t taken = table.Read(stream, pos);
      if (taken == 0) break;  // the record runs past the stream's end
      ++counts.tables;
      bool rich = false;
      counts.cells += CountCells(table, counts.texts, rich);
      const auto original = stream.subspan(pos, taken);
      if (rich) {
        // RSTRING is written as LABEL: the written table must read back to itself.
        out.assign(table.RecordSize(), 0);
        EXPECT_EQ(table.Write(out, 0), out.size()) << name << " at " << pos;
        CellTable again;
        EXPECT_EQ(again.Read(out, 0), out.size()) << name << " at " << pos;
        std::vector<std::uint8_t> second(again.RecordSize());
        again.Write(second, 0);
        EXPECT_EQ(second, out) << name << " at " << pos;
      } else if (!SameBlocks(table, original)) {
        if (++counts.mismatches <= 3) ADD_FAILURE() << name << ": table at " << pos << " differs";
      }
      pos += taken;
      continue;
    }
    const std::uint32_t size = record.Read(stream, pos);
    if (size == 0) break;
    substreams.See(stream, pos, record.code_);
    pos += size;
  }
  return counts;
}

TEST(CellCorpus, EverySheetsCellTableWritesBackToItsOwnBytes) {
  const auto files = test::RealCorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  test::LogCapture log;
  std::size_t streams = 0;
  std::size_t cells = 0;
  std::size_t texts = 0;
  std::size_t tables = 0;
  std::size_t filesWithText = 0;
  std::vector<std::uint8_t> bytes;
  for (const auto& path : files) {
    bytes.clear();
    if (!LoadStream(path, bytes)) continue;
    ++streams;
    const std::string name = path.filename().string();
    const TableCounts counts = ReadTables(name, bytes);
    EXPECT_EQ(counts.mismatches, 0u) << name;
    EXPECT_EQ(counts.cells, CellRecordsInWalk(bytes)) << name;
    cells += counts.cells;
    texts += counts.texts;
    tables += counts.tables;
    if (counts.texts > 0) ++filesWithText;
  }
  std::cout << streams << " streams, " << tables << " cell-table runs, " << cells
            << " cell records, " << texts << " LABEL/RSTRING cells in " << filesWithText
            << " files\n";
  // Damaged records of the corpus are reported; a sound file's cells never are.
  std::map<std::string, int> messages;
  for (const std::string& line : log.ErrorLines()) ++messages[line.substr(line.find("MSG:") + 4)];
  for (const auto& [message, count] : messages)
    std::cout << "  " << count << " x " << message << "\n";
  EXPECT_GE(streams, files.size() * 9 / 10);
  // The corpus holds 1,891 LABEL and RSTRING records in 10 files; those of worksheets are
  // these, the others belong to chart substreams.
  EXPECT_EQ(texts, 604u);
  EXPECT_EQ(filesWithText, 5u);
}

// Damaged cell runs: two bytes overwritten at many places in every cell-table run of a
// sample of the corpus. Whatever the damage, the table stays inside the stream, writes
// exactly the bytes its size announces, and what it writes reads back to the same bytes.
TEST(CellCorpus, DamagedCellRunsStayConsistent) {
  const auto files = test::RealCorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  test::LogCapture log;
  std::size_t damaged = 0;
  std::vector<std::uint8_t> stream;
  for (std::size_t f = 0; f < files.size(); f += 9) {
    stream.clear();
    if (!LoadStream(files[f], stream)) continue;
    // The first cell-table run of the stream.
    Record record;
    std::size_t pos = 0;
    while (pos + kRecordHeaderSize <= stream.size() &&
           !IsCellTableCode(LittleEndian::U16(stream, pos))) {
      const std::uint32_t size = record.Read(stream, pos);
      if (size == 0) break;
      pos += size;
    }
    if (pos + kRecordHeaderSize > stream.size()) continue;
    const std::size_t length = CellTable().Read(stream, pos);
    for (std::size_t k = 1; k <= 30 && length > 8; ++k) {
      std::vector<std::uint8_t> bytes = stream;
      const std::size_t at = pos + 4 + (length - 6) * k / 31;
      bytes[at] = static_cast<std::uint8_t>(k * 53);
      bytes[at + 1] = static_cast<std::uint8_t>(k % 3 == 0 ? 0xFF : k);
      CellTable table;
      const std::uint32_t taken = table.Read(bytes, pos);
      ASSERT_LE(taken, bytes.size() - pos);
      std::vector<std::uint8_t> out(table.RecordSize());
      ASSERT_EQ(table.Write(out, 0), out.size()) << files[f] << " @" << at;
      CellTable again;
      ASSERT_EQ(again.Read(out, 0), out.size()) << files[f] << " @" << at;
      std::vector<std::uint8_t> second(again.RecordSize());
      ASSERT_EQ(again.Write(second, 0), second.size());
      ASSERT_EQ(second, out) << files[f] << " @" << at;
      ++damaged;
    }
  }
  std::cout << damaged << " damaged cell runs\n";
  EXPECT_GT(damaged, 300u);
}

}  // namespace
}  // namespace tabulix::cells
