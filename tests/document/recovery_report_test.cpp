// The report a load returns: what the front ends print must be what the model and the
// saved file hold, for a sound file, a file only the repair route opens, a file only its
// raw bytes give, and a load that stops.

#include "document/recovery_report.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../biff/byte_builder.hpp"
#include "base/little_endian.hpp"
#include "document/xls_document.hpp"
#include "support/cell_values.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kCannotOpen = "            ERROR: Could not open file.              ";

std::size_t ValueCellsOf(const XlsDocument& document) {
  std::size_t count = 0;
  for (const auto& sheet : test::SheetsCellValues(document.worksheets(), document.workbook()))
    count += sheet.size();
  return count;
}

// The names a saved workbook carries, read back by our own load.
std::vector<std::string> SavedNames(XlsDocument& document, const fs::path& file) {
  EXPECT_TRUE(document.SaveStorageFile(file.string()));
  XlsDocument again;
  EXPECT_TRUE(again.Load(file.string()));
  std::vector<std::string> names;
  for (std::size_t i = 0; i < again.WorksheetCount(); ++i)
    names.push_back(again.GetSheetName(i).value_or("?"));
  return names;
}

std::vector<std::string> ReportedNames(const RecoveryReport& report) {
  std::vector<std::string> names;
  for (const auto& sheet : report.sheets_) names.push_back(sheet.name_);
  return names;
}

TEST(RecoveryReport, SoundFilesAreReportedAsTheModelAndTheSavedFileHoldThem) {
  test::LogCapture logs;
  test::TempDir dir;
  for (const char* name : {"29942.xls", "12843-2.xls", "xlrd-profiles.xls", "duprich1.xls"}) {
    const fs::path file = test::CorpusDir() / "real" / name;
    XlsDocument document;
    ASSERT_TRUE(document.Load(file.string())) << name;
    const RecoveryReport& report = document.report();
    EXPECT_TRUE(report.loaded_) << name;
    EXPECT_EQ(report.file_, file.string());
    EXPECT_EQ(report.route_, StreamRoute::Storage) << name;
    EXPECT_EQ(report.streamName_, document.streamName()) << name;
    EXPECT_TRUE(report.routeFailures_.empty()) << name;
    EXPECT_TRUE(report.containerRepairs_.empty()) << name;
    EXPECT_TRUE(report.messages_.empty()) << name;
    EXPECT_FALSE(report.passwordProtected_) << name;
    EXPECT_EQ(report.fileBytes_, fs::file_size(file)) << name;
    EXPECT_EQ(report.streamBytes_, document.stream().size()) << name;

    // Every substream the boundaries found, with the type its BOF names, read whole.
    EXPECT_TRUE(report.boundariesConsistent_) << name;
    const SheetBoundaries& bounds = document.boundaries();
    ASSERT_EQ(report.substreams_.size(), bounds.startPos_.size()) << name;
    ASSERT_GE(report.substreams_.size(), 2u) << name;
    EXPECT_EQ(SubstreamTypeName(report.substreams_[0].type_), "workbook globals") << name;
    for (std::size_t i = 0; i < report.substreams_.size(); ++i) {
      const auto& substream = report.substreams_[i];
      EXPECT_EQ(substream.start_, bounds.startPos_[i]) << name;
      EXPECT_EQ(substream.end_, bounds.endPos_[i]) << name;
      EXPECT_EQ(LittleEndian::U16(document.stream(), substream.end_), 0x000A) << name;
      EXPECT_TRUE(substream.intact_) << name << " substream " << i;
    }
    EXPECT_EQ(report.IntactSubstreams(), report.substreams_.size()) << name;

    ASSERT_EQ(report.sheets_.size(), document.WorksheetCount()) << name;
    for (const auto& sheet : report.sheets_) {
      EXPECT_TRUE(sheet.intact_) << name << " " << sheet.name_;
      // A sheet with values spans rows and columns; an empty one spans none.
      EXPECT_EQ(sheet.rows_ > 0, sheet.valueCells_ > 0) << name << " " << sheet.name_;
      EXPECT_EQ(sheet.columns_ > 0, sheet.valueCells_ > 0) << name << " " << sheet.name_;
    }
    EXPECT_EQ(report.ValueCells(), ValueCellsOf(document)) << name;
    // The names are those the saved workbook gives its sheets.
    EXPECT_EQ(ReportedNames(report), SavedNames(document, dir / name)) << name;
  }
}

// A sheet's rows and columns are those its cells span, runs included; a run of numbers
// counts once per number, blanks not at all.
TEST(RecoveryReport, ASheetSpansTheRowsAndColumnsOfItsCells) {
  test::LogCapture logs;
  test::TempDir dir;
  test::ByteBuilder b;
  auto bof = [&b](std::uint16_t type) {
    b.Header(0x0809, 16).U16(0x0600).U16(type).U16(0x15EC).U16(0x07CD).U32(0xC1).U32(0x0306);
  };
  bof(0x0005);
  b.Header(0x000A, 0);
  bof(0x0010);
  b.Header(0x00BD, 30).U16(3).U16(2);  // MULRK, row 3, columns 2 to 5
  for (std::uint32_t value = 1; value <= 4; ++value) b.U16(15).U32(value << 2 | 2);
  b.U16(5);
  b.Header(0x00BE, 12).U16(5).U16(0).U16(15).U16(15).U16(15).U16(2);  // MULBLANK, row 5, 0 to 2
  b.Header(0x0203, 14).U16(7).U16(1).U16(15).U32(0).U32(0x40140000);  // NUMBER 5.0 at row 7
  b.Header(0x000A, 0);
  test::WriteFileBytes(dir / "cells.xls", b.bytes());

  XlsDocument document;
  ASSERT_TRUE(document.Load((dir / "cells.xls").string()));
  const RecoveryReport& report = document.report();
  ASSERT_EQ(report.sheets_.size(), 1u);
  EXPECT_EQ(report.sheets_[0].rows_, 5u);     // rows 3 to 7
  EXPECT_EQ(report.sheets_[0].columns_, 6u);  // columns 0 to 5
  EXPECT_EQ(report.sheets_[0].valueCells_, 5u);
  EXPECT_EQ(report.ValueCells(), ValueCellsOf(document));
}

TEST(RecoveryReport, TheDamagedSampleIsReportedRouteByRoute) {
  test::LogCapture logs;
  test::TempDir dir;
  const fs::path sample = fs::path(TABULIX_TESTS_DIR) / ".." / "samples" / "truncated-29942.xls";
  XlsDocument document;
  ASSERT_TRUE(document.Load(sample.string()));
  const RecoveryReport& report = document.report();
  // Both container routes refuse the cut file, each saying why, and the reassembly puts
  // the stream back together from the file's sectors.
  EXPECT_EQ(report.route_, StreamRoute::Reassembled);
  EXPECT_TRUE(report.streamName_.empty());
  ASSERT_EQ(report.routeFailures_.size(), 2u);
  EXPECT_EQ(report.routeFailures_[0].route_, StreamRoute::Storage);
  EXPECT_EQ(report.routeFailures_[1].route_, StreamRoute::Compound);
  EXPECT_FALSE(report.routeFailures_[0].reason_.empty());
  EXPECT_NE(report.routeFailures_[1].reason_.find("chain ends after"), std::string::npos)
      << report.routeFailures_[1].reason_;
  EXPECT_EQ(report.streamBytes_, report.fileBytes_);
  EXPECT_EQ(report.fileBytes_, 65433u);
  const RecoveryReport::Reassembly& pieces = report.reassembly_;
  EXPECT_TRUE(pieces.done_);
  EXPECT_EQ(pieces.unit_, 512u);
  EXPECT_EQ(pieces.start_, 2560u);
  EXPECT_FALSE(pieces.complete_);
  // The stream's one jump in the file is over a sector of the allocation table, which
  // no walk takes for a piece: nothing was reordered.
  EXPECT_TRUE(pieces.joins_.empty());
  EXPECT_EQ(pieces.chainBytes_, 62360u);
  EXPECT_TRUE(pieces.shifts_.empty());

  // The globals come whole out of the reassembled stream; the sheet the cut went through
  // is rebuilt.
  EXPECT_TRUE(report.boundariesConsistent_);
  EXPECT_EQ(report.IntactSubstreams(), 1u);
  ASSERT_EQ(report.sheets_.size(), 1u);
  EXPECT_EQ(report.sheets_[0].name_, "Sheet1");
  EXPECT_EQ(report.sheets_[0].valueCells_, 2349u);
  EXPECT_FALSE(report.sheets_[0].intact_);
  EXPECT_EQ(report.ValueCells(), ValueCellsOf(document));
  EXPECT_EQ(ReportedNames(report), SavedNames(document, dir / "saved.xls"));
}

TEST(RecoveryReport, TheRepairRouteSaysWhatItRepaired) {
  test::LogCapture logs;
  test::TempDir dir;
  // A sound document whose sector shift is destroyed: the strict reader refuses it, the
  // tolerant one takes the block size the file's length allows.
  Bytes bytes = test::ReadFileBytes(test::CorpusDir() / "real" / "29942.xls");
  ASSERT_GT(bytes.size(), 512u);
  LittleEndian::Write(std::span<std::uint8_t>(bytes), std::uint16_t{0}, 30);
  test::WriteFileBytes(dir / "shift.xls", bytes);

  XlsDocument document;
  ASSERT_TRUE(document.Load((dir / "shift.xls").string()));
  const RecoveryReport& report = document.report();
  EXPECT_EQ(report.route_, StreamRoute::Compound);
  EXPECT_EQ(report.streamName_, "Workbook");
  ASSERT_EQ(report.routeFailures_.size(), 1u);
  EXPECT_EQ(report.routeFailures_[0].route_, StreamRoute::Storage);
  EXPECT_NE(report.routeFailures_[0].reason_.find("sector shift 0"), std::string::npos)
      << report.routeFailures_[0].reason_;
  const auto& repairs = report.containerRepairs_;
  EXPECT_NE(std::find(repairs.begin(), repairs.end(),
                      "block size taken as 512 bytes (sector shift field 0)"),
            repairs.end());
  // The stream came out whole: the sheets are read as from the sound file.
  EXPECT_EQ(report.IntactSubstreams(), report.substreams_.size());
  EXPECT_EQ(report.sheets_.size(), 3u);

  // A second load on the same object reports that load alone.
  test::WriteFileBytes(dir / "bare.xls", document.stream());
  ASSERT_TRUE(document.Load((dir / "bare.xls").string()));
  EXPECT_EQ(document.report().route_, StreamRoute::Raw);
  EXPECT_TRUE(document.report().containerRepairs_.empty());
  EXPECT_EQ(document.report().routeFailures_.size(), 2u);
  EXPECT_EQ(document.report().sheets_.size(), 3u);
}

TEST(RecoveryReport, ALoadThatStopsSaysWhyInTheReport) {
  test::LogCapture logs;
  test::TempDir dir;
  test::WriteFileBytes(dir / "empty.xls", {});
  struct Case {
    fs::path path;
    StreamRoute route;
    std::vector<std::string> messages;
  };
  for (const Case& c :
       {Case{dir / "missing.xls",
             StreamRoute::None,
             {kCannotOpen, "There is no file at " + (dir / "missing.xls").string() + "."}},
        Case{dir / "empty.xls",
             StreamRoute::Raw,
             {"The file is empty: there is nothing to recover."}}}) {
    test::RecordingNotifier notifier;
    XlsDocument document;
    EXPECT_FALSE(document.Load(c.path.string())) << c.path;
    const RecoveryReport& report = document.report();
    EXPECT_FALSE(report.loaded_) << c.path;
    EXPECT_EQ(report.route_, c.route) << c.path;
    EXPECT_TRUE(report.sheets_.empty()) << c.path;
    EXPECT_EQ(report.messages_, c.messages) << c.path;
    EXPECT_EQ(report.messages_, notifier.messages()) << c.path;
  }
  // Real encrypted workbooks: the load stops on the FILEPASS record, tells the user once
  // and reports the protection.
  std::size_t encrypted = 0;
  for (const std::string& line : test::ReadLines(test::CorpusDir() / "odd" / "MANIFEST.tsv")) {
    if (line.find("encrypted (FILEPASS in globals)") == std::string::npos) continue;
    const fs::path file = test::CorpusDir() / "odd" / line.substr(0, line.find('\t'));
    Bytes stream;
    if (!test::ReadWorkbookStream(file, stream)) continue;  // only sound containers
    ++encrypted;
    test::RecordingNotifier notifier;
    XlsDocument document;
    EXPECT_FALSE(document.Load(file.string())) << file;
    const RecoveryReport& report = document.report();
    EXPECT_TRUE(report.passwordProtected_) << file;
    EXPECT_EQ(report.route_, StreamRoute::Storage) << file;
    EXPECT_EQ(report.messages_, std::vector<std::string>{"File is password protected."}) << file;
    EXPECT_EQ(report.messages_, notifier.messages()) << file;
  }
  EXPECT_GE(encrypted, 5u);
}

}  // namespace
}  // namespace tabulix
