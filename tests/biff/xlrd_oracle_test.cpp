// Ground truth from an independent reader: every cell that our record model reads from the
// real files must be the cell xlrd reads from them. The model walks each substream from its
// BOF to its EOF, as the intact-sheet read of a sound file does.

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "base/little_endian.hpp"
#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"
#include "support/cell_values.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using test::AppendJsonString;
using test::SheetCells;

std::vector<std::uint8_t> WorkbookStream(const fs::path& file) {
  std::vector<std::uint8_t> stream;
  test::ReadWorkbookStream(file, stream);
  return stream;
}

bool IsWorksheetBof(std::span<const std::uint8_t> stream, std::size_t pos) {
  return LittleEndian::U16(stream, pos) == 0x0809 && LittleEndian::U16(stream, pos + 6) == 0x0010;
}

TEST(XlrdOracle, EveryCellOfEveryCorpusWorksheetEqualsWhatXlrdReads) {
  test::TempDir dir;
  const fs::path ours = dir / "ours.jsonl";
  std::ofstream out(ours, std::ios::binary);
  int sheetsRead = 0;
  for (const fs::path& file : test::RealCorpusFiles()) {
    const auto stream = WorkbookStream(file);
    ASSERT_FALSE(stream.empty()) << file;
    // A workbook built empty, not reset: the defaults of a new workbook are not in the file.
    Workbook globals;
    globals.Read(stream, 0);
    std::string line = "{\"file\":";
    AppendJsonString(line, file.string());
    line += ",\"sheets\":[";
    bool firstSheet = true;
    for (const auto& entry : globals.sheets_) {
      if (entry.position_ >= stream.size() || !IsWorksheetBof(stream, entry.position_)) continue;
      Worksheet sheet;
      sheet.Reset();
      sheet.Read(stream, entry.position_);
      ++sheetsRead;
      line += firstSheet ? "{\"name\":" : ",{\"name\":";
      firstSheet = false;
      AppendJsonString(line, entry.name_.ToUtf8());
      line += ",\"cells\":" + SheetCells(sheet, globals) + "}";
    }
    out << line << "]}\n";
  }
  out.close();
  std::printf("worksheets read: %d\n", sheetsRead);

  std::string report;
  const int status = test::RunCommand(
      std::string(TABULIX_PYTHON) + " " +
          test::ShellQuote(std::string(TABULIX_TESTS_DIR) + "/biff/xlrd_oracle.py") + " " +
          test::ShellQuote(ours.string()) + " 2>&1",
      &report);
  std::printf("%s", report.c_str());
  EXPECT_EQ(status, 0) << report;
}

TEST(XlrdOracle, EveryCorpusWorkbookWrittenAndReadAgainWritesTheSameBytes) {
  int files = 0;
  for (const fs::path& file : test::RealCorpusFiles()) {
    const auto stream = WorkbookStream(file);
    Workbook globals;
    globals.Read(stream, 0);
    std::vector<Worksheet> sheets;
    for (const auto& entry : globals.sheets_) {
      if (entry.position_ >= stream.size() || !IsWorksheetBof(stream, entry.position_)) continue;
      sheets.emplace_back().Reset();
      sheets.back().Read(stream, entry.position_);
    }

    // Globals then every sheet, as the saved stream lays them out.
    auto writeAll = [](Workbook& workbook, std::vector<Worksheet>& worksheets,
                       std::vector<std::size_t>& starts) {
      std::size_t size = workbook.RecordSize();
      for (auto& sheet : worksheets) size += sheet.RecordSize();
      std::vector<std::uint8_t> bytes(size);
      std::size_t at = workbook.Write(bytes, 0);
      starts.clear();
      for (auto& sheet : worksheets) {
        starts.push_back(at);
        at += sheet.Write(bytes, at);
      }
      EXPECT_EQ(at, size);
      return bytes;
    };
    std::vector<std::size_t> starts;
    const auto first = writeAll(globals, sheets, starts);

    Workbook globalsAgain;
    globalsAgain.Read(first, 0);
    std::vector<Worksheet> sheetsAgain(sheets.size());
    for (std::size_t i = 0; i < sheets.size(); ++i) {
      sheetsAgain[i].Reset();
      sheetsAgain[i].Read(first, starts[i]);
    }
    std::vector<std::size_t> startsAgain;
    const auto second = writeAll(globalsAgain, sheetsAgain, startsAgain);
    EXPECT_EQ(second, first) << file;
    EXPECT_EQ(startsAgain, starts) << file;
    ++files;
  }
  EXPECT_GE(files, 300);
}

}  // namespace
}  // namespace tabulix
