// Ground truth from an independent reader: every cell that our record model reads from the
// real files must be the cell xlrd reads from them. The model walks each substream from its
// BOF to its EOF, as the intact-sheet read of a sound file does.

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"
#include "compound/little_endian.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using cells::CellBlock;

std::vector<std::uint8_t> WorkbookStream(const fs::path& file) {
  std::vector<std::uint8_t> stream;
  test::ReadWorkbookStream(file, stream);
  return stream;
}

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

void AppendCell(std::string& out, bool& first, unsigned row, unsigned column, char kind,
                const std::string& text, double number = 0) {
  out += first ? "[" : ",[";
  first = false;
  out += std::to_string(row) + "," + std::to_string(column) + ",\"";
  out += kind;
  out += "\",";
  if (kind == 's') {
    AppendJsonString(out, text);
  } else if (kind == 'n' && !std::isfinite(number)) {
    // Python's reader takes these spellings of the values JSON itself has no words for.
    out += std::isnan(number) ? "NaN" : (number > 0 ? "Infinity" : "-Infinity");
  } else if (kind == 'n') {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, result.ptr);
  } else {
    out += text;
  }
  out += ']';
}

// The cells of one worksheet as JSON rows [row, column, kind, value]; blanks are left out.
std::string SheetCells(const Worksheet& sheet, const Workbook& globals) {
  std::string out = "[";
  bool first = true;
  for (const auto& block : sheet.cellTable_.rowBlocks_) {
    for (const CellBlock& cell : block.cellBlocks_) {
      const unsigned row = cell.Row();
      const unsigned column = cell.Column();
      if (const auto* number = cell.As<CellBlock::Number>()) {
        AppendCell(out, first, row, column, 'n', "", number->value());
      } else if (const auto* rk = cell.As<CellBlock::RK>()) {
        AppendCell(out, first, row, column, 'n', "", rk->value());
      } else if (const auto* mulRk = cell.As<CellBlock::MulRK>()) {
        unsigned c = column;
        for (const auto& entry : mulRk->entries()) AppendCell(out, first, row, c++, 'n', "", entry.value());
      } else if (const auto* label = cell.As<CellBlock::LabelSST>()) {
        AppendCell(out, first, row, column, 's', globals.sst_.Text(label->sstIndex_));
      } else if (const auto* text = cell.As<CellBlock::Label>()) {
        AppendCell(out, first, row, column, 's', text->Text());
      } else if (const auto* boolErr = cell.As<CellBlock::BoolErr>()) {
        AppendCell(out, first, row, column, boolErr->error_ != 0 ? 'e' : 'b',
                   std::to_string(boolErr->value_));
      } else if (const auto* formula = cell.As<CellBlock::Formula>()) {
        using Kind = CellBlock::Formula::ResultKind;
        switch (formula->resultKind()) {
          case Kind::Number:
            AppendCell(out, first, row, column, 'n', "", formula->resultNumber());
            break;
          case Kind::String:
            AppendCell(out, first, row, column, 's', formula->resultString());
            break;
          case Kind::EmptyString:
            AppendCell(out, first, row, column, 's', "");
            break;
          case Kind::Boolean:
            AppendCell(out, first, row, column, 'b', formula->resultBoolean() ? "1" : "0");
            break;
          case Kind::Error:
            AppendCell(out, first, row, column, 'e', std::to_string(formula->resultError()));
            break;
          case Kind::Other:
            break;
        }
      }
    }
  }
  return out + "]";
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
