// The recovery stages as Load runs them, on streams built here: which pass recovers what,
// the repairs of format references, and which worksheets are kept.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "../biff/byte_builder.hpp"
#include "base/diagnostics.hpp"
#include "base/little_endian.hpp"
#include "document/xls_document.hpp"
#include "support/cell_values.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using test::ByteBuilder;
using Bytes = std::vector<std::uint8_t>;

void Bof(ByteBuilder& b, std::uint16_t type) {
  b.Header(0x0809, 16).U16(0x0600).U16(type).U16(0x15EC).U16(0x07CD).U32(0xC1).U32(0x0306);
}
void Eof(ByteBuilder& b) { b.Header(0x000A, 0); }
void Number(ByteBuilder& b, std::uint16_t row, std::uint16_t column, double value,
            std::uint16_t xf = 15) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  b.Header(0x0203, 14).U16(row).U16(column).U16(xf);
  b.U32(static_cast<std::uint32_t>(bits)).U32(static_cast<std::uint32_t>(bits >> 32));
}
void Font(ByteBuilder& b, std::string_view name) {
  b.Header(0x0031, static_cast<std::uint16_t>(16 + name.size()));
  b.U16(200).U16(0).U16(0x7FFF).U16(400).U16(0).U8(0).U8(0).U8(0).U8(0);
  b.U8(static_cast<std::uint8_t>(name.size())).U8(0);
  for (const char c : name) b.U8(static_cast<std::uint8_t>(c));
}
void Xf(ByteBuilder& b, std::uint16_t font, std::uint16_t format) {
  b.Header(0x00E0, 20).U16(font).U16(format).U16(0xFFF5).U8(0x20).U8(0).U8(0).U8(0);
  b.U32(0).U32(0).U16(0x20C0);
}
void Format(ByteBuilder& b, std::uint16_t index) {
  b.Header(0x041E, 6).U16(index).U16(1).U8(0).U8('0');
}

// A workbook stream: globals with five fonts, a custom format 200 and XFs pointing at
// fonts 0 to 9 and at formats 14, 200 and 300; then one worksheet per entry of `sheets`,
// holding a NUMBER per listed row in column 1, and the chart substreams asked for.
struct Built {
  Bytes stream;
  std::vector<std::uint32_t> sheetStarts;
  std::vector<std::uint32_t> sheetEnds;  // offsets of the EOF headers
};

Built Build(const std::vector<std::vector<std::uint16_t>>& sheets, bool chartSheet = false,
            bool embeddedChart = false) {
  ByteBuilder b;
  Bof(b, 0x0005);
  for (const char* name : {"Arial", "Bodoni", "Corbel", "Didot", "Eras"}) Font(b, name);
  Format(b, 200);
  for (int i = 0; i < 16; ++i) Xf(b, 0, 0);
  Xf(b, 5, 14);   // 16: font 5 is the fifth font (index 4 is never used)
  Xf(b, 9, 200);  // 17: font 9 does not exist
  Xf(b, 1, 300);  // 18: format 300 does not exist
  std::vector<std::size_t> positionAt;
  const std::size_t substreams = sheets.size() + (chartSheet ? 1 : 0);
  for (std::size_t i = 0; i < substreams; ++i) {
    positionAt.push_back(b.size() + 4);
    const bool chart = i == sheets.size();
    b.Header(0x0085, 9)
        .U32(0)
        .U8(0)
        .U8(chart ? 2 : 0)
        .U8(1)
        .U8(0)
        .U8(static_cast<std::uint8_t>('P' + i));
  }
  Eof(b);
  Built built;
  for (std::size_t i = 0; i < substreams; ++i) {
    const std::uint32_t start = static_cast<std::uint32_t>(b.size());
    built.sheetStarts.push_back(start);
    const bool chart = i == sheets.size();
    Bof(b, chart ? 0x0020 : 0x0010);
    if (chart) {
      Number(b, 0, 0, 77.0);
    } else {
      b.Header(0x007D, 12).U16(1).U16(1).U16(4000).U16(15).U16(0).U16(0);
      b.Header(0x0200, 14).U32(0).U32(65536).U16(0).U16(3).U16(0);
      for (std::uint16_t row : sheets[i]) Number(b, row, 1, row + 0.5, 17);
      if (embeddedChart) {
        Bof(b, 0x0020);
        Number(b, 0, 2, 99.0);
        Eof(b);
      }
      b.Header(0x023E, 18).U16(0x06B6).U16(0).U16(0).U32(0x40).U16(0).U16(0).U32(0);
    }
    built.sheetEnds.push_back(static_cast<std::uint32_t>(b.size()));
    Eof(b);
  }
  built.stream = b.bytes();
  for (std::size_t i = 0; i < substreams; ++i)
    LittleEndian::Write(built.stream, built.sheetStarts[i], positionAt[i]);
  return built;
}

struct Loaded {
  test::TempDir dir;
  XlsDocument document;
  bool ok = false;
};

void LoadInto(Loaded& loaded, const Bytes& stream) {
  const fs::path file = loaded.dir / "book.xls";
  test::WriteFileBytes(file, stream);
  loaded.ok = loaded.document.Load(file.string());
}

std::vector<test::CellValues> Cells(const XlsDocument& document) {
  return test::SheetsCellValues(document.worksheets(), document.workbook());
}

TEST(RecoverSheets, AnIntactStreamIsReadWholeAndNoPassRuns) {
  test::LogCapture logs;
  test::TempDir diagnostics;
  SetDiagnosticsDirectory(diagnostics.path());
  Loaded loaded;
  LoadInto(loaded, Build({{1, 2}, {3}}).stream);
  SetDiagnosticsDirectory({});
  ASSERT_TRUE(loaded.ok);
  EXPECT_FALSE(fs::exists(diagnostics / "ObjPositionsCompleteData.txt"));
  EXPECT_FALSE(fs::exists(diagnostics / "ObjPositionsWorkSheet.txt"));
  // The globals' place and the two default sheets nothing went into are gone.
  const auto cells = Cells(loaded.document);
  ASSERT_EQ(cells.size(), 2u);
  EXPECT_EQ(cells[0].size(), 2u);
  EXPECT_EQ(cells[1].size(), 1u);
  EXPECT_EQ(loaded.document.sheetViews().size(), 2u);

  // Format references: built-in and recovered formats stay, a lost custom one goes; a font
  // index past 4 names the list position one lower.
  const auto& xfs = loaded.document.workbook().xfs_;
  ASSERT_GE(xfs.size(), 19u);
  EXPECT_EQ(xfs[16].fontIndex_, 5);
  EXPECT_EQ(xfs[16].formatIndex_, 14);
  EXPECT_EQ(xfs[17].fontIndex_, 0);
  EXPECT_EQ(xfs[17].formatIndex_, 200);
  EXPECT_EQ(xfs[18].formatIndex_, 0);
}

TEST(RecoverSheets, ADamagedSheetIsRecoveredByItsSlice) {
  test::LogCapture logs;
  Built built = Build({{1, 2, 3, 4}, {7}}, /*chartSheet=*/true, /*embeddedChart=*/true);
  // The second NUMBER of the first sheet claims far more bytes than there are.
  const std::uint32_t second = built.sheetStarts[0] + 20 + 16 + 18 + 18;
  ASSERT_EQ(LittleEndian::U16(built.stream, second), 0x0203);
  LittleEndian::Write(built.stream, std::uint16_t{0x3000}, second + 2);
  Loaded loaded;
  LoadInto(loaded, built.stream);
  ASSERT_TRUE(loaded.ok);
  const auto cells = Cells(loaded.document);
  // The globals' XFs name a font and a format that are not there: they are saved from the
  // model, and the chart sheet, which has no model, is left out with them. The chart
  // embedded in the first sheet leaves its cached value out of the sheet.
  ASSERT_EQ(cells.size(), 2u);
  EXPECT_EQ(cells[0].size(), 3u);
  EXPECT_TRUE(cells[0].contains({1, 1}));
  EXPECT_FALSE(cells[0].contains({2, 1}));
  EXPECT_FALSE(cells[0].contains({0, 2}));
  EXPECT_EQ(cells[1].size(), 1u);
  EXPECT_TRUE(loaded.document.workbook().source_.empty());
  EXPECT_NE(loaded.document.report().keptRecordsNote_.find("xf-"), std::string::npos)
      << loaded.document.report().keptRecordsNote_;
  EXPECT_EQ(loaded.document.workbook().bof_.type_, 0x0005);
  // The rebuilt sheet holds the rows of its recovered cells: the row whose only cell was
  // lost is not made up.
  const Worksheet& rebuilt = loaded.document.worksheets()[0];
  ASSERT_FALSE(rebuilt.cellTable_.rowBlocks_.empty());
  EXPECT_EQ(rebuilt.cellTable_.rowBlocks_[0].rows_.size(), 3u);
}

TEST(RecoverSheets, AStreamCutInsideItsLastSheetKeepsThatSheetsCells) {
  test::LogCapture logs;
  Built built = Build({{1}, {1, 2, 3, 4, 5, 6}});
  // Cut in the middle of the fifth NUMBER of the last sheet.
  built.stream.resize(built.sheetStarts[1] + 20 + 16 + 18 + 4 * 18 + 9);
  Loaded loaded;
  LoadInto(loaded, built.stream);
  ASSERT_TRUE(loaded.ok);
  const auto cells = Cells(loaded.document);
  ASSERT_EQ(cells.size(), 2u);
  EXPECT_EQ(cells[1].size(), 4u);
}

TEST(RecoverSheets, WithoutBoundariesTheWholeStreamPassSeparatesTheSheets) {
  test::LogCapture logs;
  Built built = Build({{1, 2}, {1, 3, 5}, {9}});
  // The first sheet loses its BOF and the last its EOF: nothing pairs up.
  std::fill_n(built.stream.begin() + built.sheetStarts[0], 20, std::uint8_t{0xEE});
  std::fill_n(built.stream.begin() + built.sheetEnds[2], 4, std::uint8_t{0xEE});
  built.stream.insert(built.stream.end(), {0, 0, 0, 0});
  Loaded loaded;
  LoadInto(loaded, built.stream);
  ASSERT_TRUE(loaded.ok);
  EXPECT_FALSE(loaded.document.boundaries().boundariesConsistent_);
  const auto cells = Cells(loaded.document);
  // The sheet that lost its BOF keeps its cells to itself rather than sharing them with
  // the next sheet, whose cells at the same places would be lost.
  ASSERT_EQ(cells.size(), 3u);
  EXPECT_EQ(cells[0].size(), 2u);
  EXPECT_EQ(cells[1].size(), 3u);
  EXPECT_EQ(cells[1].at({1, 1}), "\"n\",1.5]");
  EXPECT_EQ(cells[2].size(), 1u);
  // Every cell points at an XF record that exists.
  const std::size_t xfCount = loaded.document.workbook().xfs_.size();
  for (const Worksheet& sheet : loaded.document.worksheets()) {
    for (const auto& block : sheet.cellTable_.rowBlocks_) {
      for (const auto& cell : block.cellBlocks_) {
        if (const auto* number = cell.As<cells::Number>()) {
          EXPECT_LT(number->xf_, xfCount);
        }
      }
    }
  }
}

TEST(RecoverSheets, WhenNoSubstreamChainsTheWholeStreamPassRunsThoughTheBoundariesPairUp) {
  test::LogCapture logs;
  Built built = Build({{1, 2}, {4}});
  // One length in the globals and one in each sheet breaks every chain; every BOF and EOF
  // stays where it was.
  const std::uint32_t firstFont = 20;
  ASSERT_EQ(LittleEndian::U16(built.stream, firstFont), 0x0031);
  LittleEndian::Write(built.stream, std::uint16_t{0x2000}, firstFont + 2);
  for (const std::uint32_t start : built.sheetStarts) {
    const std::uint32_t colInfo = start + 20;
    ASSERT_EQ(LittleEndian::U16(built.stream, colInfo), 0x007D);
    LittleEndian::Write(built.stream, std::uint16_t{0x7000}, colInfo + 2);
  }
  test::TempDir diagnostics;
  SetDiagnosticsDirectory(diagnostics.path());
  Loaded loaded;
  LoadInto(loaded, built.stream);
  SetDiagnosticsDirectory({});
  ASSERT_TRUE(loaded.ok);
  EXPECT_TRUE(loaded.document.boundaries().boundariesConsistent_);
  EXPECT_TRUE(fs::exists(diagnostics / "ObjPositionsCompleteData.txt"));
  const auto cells = Cells(loaded.document);
  ASSERT_EQ(cells.size(), 2u);
  EXPECT_EQ(cells[0].size(), 2u);
  EXPECT_EQ(cells[1].size(), 1u);
  // Every cell record passed the globals' selector by, with a line each.
  EXPECT_EQ(logs.CountError("Record skipped as default value in "
                            "XlsDocument::WorkbookRecordSelector, ObjOffset = " +
                            std::to_string(built.sheetStarts[1] + 20 + 16 + 18) +
                            ", code = 203, size = 14"),
            1);
}

TEST(RecoverSheets, EachSheetOfTheWholeStreamPassFillsItsOwnColumnInformation) {
  test::LogCapture logs;
  Built built = Build({{1}, {2}, {3}});
  // No EOF at the end: nothing pairs up.
  built.stream.resize(built.sheetEnds.back());
  built.stream.insert(built.stream.end(), {0, 0, 0, 0});
  Loaded loaded;
  LoadInto(loaded, built.stream);
  ASSERT_TRUE(loaded.ok);
  ASSERT_FALSE(loaded.document.boundaries().boundariesConsistent_);
  ASSERT_EQ(loaded.document.worksheets().size(), 3u);
  for (const Worksheet& sheet : loaded.document.worksheets()) EXPECT_EQ(sheet.colInfos_.size(), 1u);
}

}  // namespace
}  // namespace tabulix
