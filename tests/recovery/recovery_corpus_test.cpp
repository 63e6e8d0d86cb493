// The whole load on real files: sound ones must come out cell for cell as an independent
// reader sees them, and damage built into them must cost no more than the damaged records.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"
#include "document/xls_document.hpp"
#include "support/cell_values.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::CellValues;

constexpr std::uint16_t kBofCode = 0x0809;
constexpr std::uint16_t kEofCode = 0x000A;
constexpr std::uint16_t kBoundSheetCode = 0x0085;

// Files of several writers, each with three or more sheets and a few hundred to ten
// thousand cells.
const char* const kDamageFiles[] = {
    "12843-2.xls",      "19599-1.xls",    "29942.xls",
    "34775.xls",        "47245_test.xls", "LookupFunctionsTestCaseData.xls",
    "MRExtraLines.xls", "duprich1.xls",   "xlrd-profiles.xls",
};

bool IsWorksheetBof(std::span<const std::uint8_t> stream, std::size_t pos) {
  return pos + 8 <= stream.size() && LittleEndian::U16(stream, pos) == kBofCode &&
         LittleEndian::U16(stream, pos + 6) == 0x0010;
}

struct SheetRef {
  std::uint32_t boundSheetAt = 0;  // stream offset of its BOUNDSHEET record
  std::uint32_t bofAt = 0;
  std::uint32_t eofAt = 0;
  std::vector<std::uint32_t> cellRecords;  // offsets of its cell records
  CellValues cells;
};

// What a sound stream holds, read record by record: every worksheet with its cells, as far
// as their records lie wholly in the first `cut` bytes.
std::vector<SheetRef> ReadReference(const Bytes& stream, std::size_t cut) {
  Workbook globals;
  globals.Read(stream, 0);
  std::vector<SheetRef> sheets;
  std::size_t pos = 0;
  std::vector<std::uint32_t> boundSheets;
  while (pos + 4 <= stream.size()) {
    const std::uint16_t code = LittleEndian::U16(stream, pos);
    if (code == kBoundSheetCode) boundSheets.push_back(static_cast<std::uint32_t>(pos));
    if (code == kEofCode) break;
    pos += 4 + LittleEndian::U16(stream, pos + 2);
  }
  for (std::size_t i = 0; i < globals.sheets_.size() && i < boundSheets.size(); ++i) {
    const std::uint32_t bof = globals.sheets_[i].position_;
    if (!IsWorksheetBof(stream, bof)) continue;
    SheetRef ref;
    ref.boundSheetAt = boundSheets[i];
    ref.bofAt = bof;
    for (std::size_t at = bof; at + 4 <= stream.size();) {
      const std::uint16_t code = LittleEndian::U16(stream, at);
      if (code == kEofCode) {
        ref.eofAt = static_cast<std::uint32_t>(at);
        break;
      }
      if (cells::IsCellCode(code)) ref.cellRecords.push_back(static_cast<std::uint32_t>(at));
      at += 4 + LittleEndian::U16(stream, at + 2);
    }
    Worksheet sheet;
    sheet.Reset();
    if (bof < cut) sheet.Read(std::span(stream).first(cut), bof);
    ref.cells = test::SheetCellValues(sheet, globals);
    sheets.push_back(std::move(ref));
  }
  return sheets;
}

// Cells of `expected` that some recovered worksheet holds with the same value.
std::size_t CellsRecovered(const std::vector<SheetRef>& expected, const XlsDocument& document) {
  std::vector<CellValues> reference;
  for (const SheetRef& ref : expected) reference.push_back(ref.cells);
  return test::CellsFound(reference,
                          test::SheetsCellValues(document.worksheets(), document.workbook()));
}

std::size_t CellCount(const std::vector<SheetRef>& sheets) {
  std::size_t count = 0;
  for (const SheetRef& sheet : sheets) count += sheet.cells.size();
  return count;
}

// Loads `stream` from a file of its own, as a rescued file's raw bytes.
bool LoadStream(const Bytes& stream, const test::TempDir& dir, XlsDocument& document) {
  const fs::path file = dir / "damaged.xls";
  test::WriteFileBytes(file, stream);
  return document.Load(file.string());
}

struct Damage {
  const char* name;
  // Damages `stream` in place and returns the cells that must come back.
  std::vector<SheetRef> (*apply)(Bytes& stream);
};

const SheetRef* FirstSheetWithCells(const std::vector<SheetRef>& sheets) {
  for (const SheetRef& sheet : sheets) {
    if (sheet.cellRecords.size() >= 20) return &sheet;
  }
  return nullptr;
}

// A single-cell record in the middle of a worksheet gets a length far beyond its sheet.
// (A run record hit the same way takes all its cells with it: a MULRK of twelve numbers
// is 1.3% of a small file.)
std::vector<SheetRef> BreakOneLength(Bytes& stream) {
  auto sheets = ReadReference(stream, stream.size());
  const SheetRef* victim = FirstSheetWithCells(sheets);
  if (victim == nullptr) return {};
  std::vector<std::uint32_t> singles;
  for (const std::uint32_t at : victim->cellRecords) {
    const std::uint16_t code = LittleEndian::U16(stream, at);
    if (code != 0x00BD && code != 0x00BE) singles.push_back(at);
  }
  if (singles.empty()) return {};
  const std::uint32_t at = singles[singles.size() / 2];
  LittleEndian::Write(stream, std::uint16_t{0x7FF0}, at + 2);
  return sheets;
}

// The last 40% of the stream is gone.
std::vector<SheetRef> CutAt60Percent(Bytes& stream) {
  const std::size_t cut = stream.size() * 6 / 10;
  auto sheets = ReadReference(stream, cut);
  stream.resize(cut);
  return sheets;
}

// The first worksheet with cells loses its BOUNDSHEET, BOF and EOF records; the cells of
// the others must come back.
std::vector<SheetRef> DestroyOneSheetFrame(Bytes& stream) {
  auto sheets = ReadReference(stream, stream.size());
  const SheetRef* victim = FirstSheetWithCells(sheets);
  if (victim == nullptr || victim->eofAt == 0) return {};
  auto scribble = [&stream](std::uint32_t at) {
    const std::size_t length = 4 + LittleEndian::U16(stream, at + 2);
    std::fill_n(stream.begin() + at, length, std::uint8_t{0xEE});
  };
  scribble(victim->boundSheetAt);
  scribble(victim->bofAt);
  scribble(victim->eofAt);
  std::vector<SheetRef> others;
  for (const SheetRef& sheet : sheets)
    if (&sheet != victim) others.push_back(sheet);
  return others;
}

TEST(RecoveryCorpus, DamagedStreamsGiveBackTheirCells) {
  test::LogCapture logs;
  test::TempDir dir;
  const Damage damages[] = {{"length field", BreakOneLength},
                            {"cut at 60%", CutAt60Percent},
                            {"sheet frame destroyed", DestroyOneSheetFrame}};
  for (const Damage& damage : damages) {
    std::size_t allExpected = 0;
    std::size_t allRecovered = 0;
    for (const char* name : kDamageFiles) {
      const fs::path file = test::CorpusDir() / "real" / name;
      Bytes stream;
      ASSERT_TRUE(test::ReadWorkbookStream(file, stream)) << file;
      const std::vector<SheetRef> expected = damage.apply(stream);
      const std::size_t count = CellCount(expected);
      if (count == 0) continue;
      XlsDocument document;
      ASSERT_TRUE(LoadStream(stream, dir, document)) << name << ", " << damage.name;
      const std::size_t recovered = CellsRecovered(expected, document);
      std::printf("%-22s %-34s %6zu of %6zu cells (%.2f%%)\n", damage.name, name, recovered, count,
                  100.0 * static_cast<double>(recovered) / static_cast<double>(count));
      EXPECT_GE(recovered * 100, count * 99) << name << ", " << damage.name;
      allExpected += count;
      allRecovered += recovered;
    }
    EXPECT_GT(allExpected, 10000u) << damage.name;
    std::printf("%-22s all: %zu of %zu cells\n", damage.name, allRecovered, allExpected);
  }
}

TEST(RecoveryCorpus, EveryCellOfEverySoundFileComesThroughTheLoadAsXlrdReadsIt) {
  test::LogCapture logs;
  test::TempDir dir;
  const fs::path ours = dir / "ours.jsonl";
  std::ofstream out(ours, std::ios::binary);
  int files = 0;
  for (const fs::path& file : test::RealCorpusFiles()) {
    XlsDocument document;
    ASSERT_TRUE(document.Load(file.string())) << file;
    ++files;
    // The recovered worksheets stand in the order of the sheet entries that name them;
    // chart and macro sheets kept as they stood come with them and hold no cells.
    Bytes stream = document.stream();
    std::vector<std::string> names;
    for (const auto& entry : document.workbook().sheets_)
      if (IsWorksheetBof(stream, entry.position_)) names.push_back(entry.name_.ToUtf8());
    std::vector<const Worksheet*> worksheets;
    for (const Worksheet& sheet : document.worksheets())
      if (sheet.bof_.type_ == BOF::kWorksheet) worksheets.push_back(&sheet);
    EXPECT_EQ(names.size(), worksheets.size()) << file;
    std::string line = "{\"file\":";
    test::AppendJsonString(line, file.string());
    line += ",\"sheets\":[";
    for (std::size_t i = 0; i < worksheets.size() && i < names.size(); ++i) {
      line += i == 0 ? "{\"name\":" : ",{\"name\":";
      test::AppendJsonString(line, names[i]);
      line += ",\"cells\":" + test::SheetCells(*worksheets[i], document.workbook()) + "}";
    }
    out << line << "]}\n";
  }
  out.close();
  EXPECT_GE(files, 378);
  std::string report;
  const int status = test::RunCommand(
      std::string(TABULIX_PYTHON) + " " +
          test::ShellQuote(std::string(TABULIX_TESTS_DIR) + "/biff/xlrd_oracle.py") + " " +
          test::ShellQuote(ours.string()),
      &report);
  std::printf("%s", report.c_str());
  EXPECT_EQ(status, 0) << report;
}

TEST(RecoveryCorpus, GlobalsReadWholeAreNotWrittenOverByChartData) {
  // The data of these files' chart sheets holds byte runs that pass for FONT records.
  test::LogCapture logs;
  for (const char* name : {"12843-1.xls", "ex42570-20305.xls"}) {
    const fs::path file = test::CorpusDir() / "real" / name;
    XlsDocument document;
    ASSERT_TRUE(document.Load(file.string())) << name;
    ASSERT_TRUE(document.globalsRead()) << name;
    Workbook own;
    own.Read(document.stream(), 0);
    ASSERT_LE(own.fonts_.size(), document.workbook().fonts_.size()) << name;
    for (std::size_t i = 0; i < own.fonts_.size(); ++i) {
      const auto& kept = document.workbook().fonts_[i];
      EXPECT_EQ(kept.name_.ToUtf8(), own.fonts_[i].name_.ToUtf8()) << name << " font " << i;
      EXPECT_EQ(kept.height_, own.fonts_[i].height_) << name << " font " << i;
    }
  }
}

TEST(RecoveryCorpus, HostileStreamsLoadInBoundedTime) {
  test::LogCapture logs;
  test::TempDir dir;
  std::mt19937 random(7);
  Bytes noise(1 << 20);
  for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
  const Bytes zeros(1 << 20, 0);
  // A million copies of one NUMBER record: a million candidates for one cell.
  const std::uint8_t number[] = {0x03, 0x02, 14, 0, 1, 0, 2, 0,    15,
                                 0,    0,    0,  0, 0, 0, 0, 0xF0, 0x3F};
  Bytes numbers;
  numbers.reserve(sizeof number * 1'000'000);
  for (int i = 0; i < 1'000'000; ++i)
    numbers.insert(numbers.end(), std::begin(number), std::end(number));

  // Seventy thousand worksheet BOF records and no EOF: more sheets than a workbook can name.
  const std::uint8_t bof[] = {0x09, 0x08, 16,   0, 0, 6, 0x10, 0, 0xEC, 0x15,
                              0xCD, 0x07, 0xC1, 0, 0, 0, 6,    3, 0,    0};
  Bytes bofs;
  for (int i = 0; i < 70'000; ++i) bofs.insert(bofs.end(), std::begin(bof), std::end(bof));

  struct Case {
    const char* name;
    const Bytes* stream;
  };
  for (const Case& c :
       {Case{"random bytes", &noise}, Case{"zeros", &zeros},
        Case{"a million NUMBER records", &numbers}, Case{"70,000 worksheet BOFs", &bofs}}) {
    test::RecordingNotifier notifier;
    XlsDocument document;
    const auto start = std::chrono::steady_clock::now();
    const bool loaded = LoadStream(*c.stream, dir, document);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-26s loaded=%d worksheets=%zu in %.1f s\n", c.name, loaded,
                document.worksheets().size(), seconds);
    EXPECT_LE(document.worksheets().size(), kMaxSubstreams) << c.name;
    // Whatever the outcome, it is told, and every view is within its bounds.
    if (!loaded) {
      EXPECT_EQ(notifier.messages().size(), 1u) << c.name;
    }
    for (const WorksheetView& view : document.sheetViews()) {
      EXPECT_LE(view.RowCount(), WorksheetView::kMaxRows);
      EXPECT_LE(view.ColumnCount(), WorksheetView::kMaxColumns);
    }
  }
  // The repeated record is one cell in the end.
  XlsDocument document;
  ASSERT_TRUE(LoadStream(numbers, dir, document));
  ASSERT_EQ(document.worksheets().size(), 1u);
  const CellValues cells = test::SheetCellValues(document.worksheets()[0], document.workbook());
  ASSERT_EQ(cells.size(), 1u);
  EXPECT_EQ(cells.begin()->first, (std::pair<std::uint32_t, std::uint32_t>{1, 2}));
}

}  // namespace
}  // namespace tabulix
