// LibreOffice and Gnumeric open the workbooks the save writes and read the same cell values
// there as in the files they were recovered from.

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <string>

#include "document/xls_document.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;

// Real files chosen for what each brings; see the comment at each.
constexpr const char* kSample[] = {
    "12843-1.xls",                // 23 worksheets between 17 chart sheets, Chinese names and
                                  // text, dates, formulas
    "46904.xls",                  // the largest: 92000 cells, 43000 strings over 144
                                  // CONTINUEs, Danish text
    "53446.xls",                  // the most cells: 99000 on 7 sheets
    "StringContinueRecords.xls",  // long strings split across CONTINUE records, text results
    "46368.xls",                  // two strings long enough to span seven CONTINUE records
    "12561-2.xls",                // Japanese text, formulas
    "15228.xls",                  // 18 sheets whose formulas use names and other sheets
    "FormulaEvalTestData.xls",    // every kind of formula result, add-in functions
    "florida_data.ashx.xls",      // written by Macintosh Excel, 14000 cells, formulas
    "stress.xls",                 // written by LibreOffice Calc
    "44891.xls",                  // Calc again, formulas, Spanish text
    "xlrd-Formate.xls",           // Calc, number, date and time formats, umlauts in names
    "49423.xls",                  // Russian text, strings over 10 CONTINUEs
    "29982.xls",                  // dates, formulas, Portuguese text
    "ex45582-22397.xls",          // 914 dates
    "BOOK_in_capitals.xls",       // written by Crystal Reports: stream "BOOK", a sheet name
                                  // longer than 31 characters
};

bool ToolFound(const std::string& tool) {
  return test::RunCommand("command -v " + tool + " >/dev/null 2>&1") == 0;
}

TEST(OtherReaders, OpenSavedWorkbooksWithTheSameCellValues) {
  // CI installs both programs through scripts/bootstrap.sh: a machine without them must not
  // pass this test unseen.
  ASSERT_TRUE(ToolFound("soffice"))
      << "soffice not found: install libreoffice-calc-nogui (scripts/bootstrap.sh does)";
  ASSERT_TRUE(ToolFound("ssconvert"))
      << "ssconvert not found: install gnumeric (scripts/bootstrap.sh does)";

  test::LogCapture logs;
  test::RecordingNotifier notifier;
  test::TempDir dir;
  const fs::path originals = dir / "original";
  const fs::path saved = dir / "saved";
  const fs::path work = dir / "work";
  fs::create_directories(originals);
  fs::create_directories(saved);
  fs::create_directories(work);

  for (const char* name : kSample) {
    SCOPED_TRACE(name);
    const fs::path source = test::CorpusDir() / "real" / name;
    ASSERT_TRUE(fs::exists(source)) << source;
    fs::copy_file(source, originals / name);
    XlsDocument document;
    ASSERT_TRUE(document.Load(source.string()));
    ASSERT_TRUE(document.SaveStorageFile((saved / name).string()));
  }

  // -B: the helper's modules are imported from the source tree, which gets no byte code.
  const std::string command =
      std::string(TABULIX_PYTHON) + " -B " +
      test::ShellQuote(std::string(TABULIX_TESTS_DIR) + "/document/other_readers.py") + " " +
      test::ShellQuote(originals.string()) + " " + test::ShellQuote(saved.string()) + " " +
      test::ShellQuote(work.string()) + " 2>&1";
  std::string report;
  const int status = test::RunCommand(command, &report);
  EXPECT_EQ(status, 0) << report;
  // The differences the comparison lets pass, for whoever runs the test verbosely.
  if (status == 0) std::cout << report;
}

}  // namespace
}  // namespace tabulix
