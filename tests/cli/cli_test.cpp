#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;
using test::ShellQuote;

std::string Cli() { return ShellQuote(TABULIX_CLI_PATH); }

TEST(Cli, HelpVersionAndUsageErrors) {
  std::string out;
  EXPECT_EQ(RunCommand(Cli() + " --help", &out), 0);
  EXPECT_NE(out.find("Usage: tabulix recover"), std::string::npos);
  EXPECT_EQ(RunCommand(Cli() + " recover --help", &out), 0);
  EXPECT_NE(out.find("--dump-dir"), std::string::npos);
  EXPECT_EQ(RunCommand(Cli() + " --version", &out), 0);
  EXPECT_EQ(out.rfind("tabulix ", 0), 0u);

  EXPECT_EQ(RunCommand(Cli() + " 2>&1", &out), 2);
  EXPECT_NE(out.find("missing command"), std::string::npos);
  EXPECT_EQ(RunCommand(Cli() + " frobnicate 2>&1", &out), 2);
  EXPECT_EQ(RunCommand(Cli() + " recover 2>&1", &out), 2);
  EXPECT_EQ(RunCommand(Cli() + " recover --bogus x.xls 2>&1", &out), 2);
  EXPECT_NE(out.find("unknown option '--bogus'"), std::string::npos);
}

TEST(Cli, RecoverReportsTheRouteAndTheStreamLength) {
  const fs::path sample = fs::path(TABULIX_TESTS_DIR) / ".." / "samples" / "truncated-29942.xls";
  std::string out;
  ASSERT_EQ(RunCommand(Cli() + " recover " + ShellQuote(sample.string()), &out), 0) << out;
  EXPECT_NE(out.find("Route:  raw file bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("Stream: 65433 bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("Worksheets recovered: 2 (2349 cells with values)"), std::string::npos) << out;

  const fs::path intact = test::CorpusDir() / "real" / "29942.xls";
  ASSERT_EQ(RunCommand(Cli() + " recover " + ShellQuote(intact.string()), &out), 0) << out;
  EXPECT_NE(out.find("Route:  structured storage (stream \"Workbook\")"), std::string::npos) << out;
  EXPECT_NE(out.find("Substreams: 4 found (boundaries pair up), 4 intact"), std::string::npos) << out;
  // The file's three worksheets and every cell that holds a value.
  EXPECT_NE(out.find("Worksheets recovered: 3 (5356 cells with values)"), std::string::npos) << out;
}

TEST(Cli, RecoverOfAMissingFileSaysSoAndFails) {
  test::TempDir dir;
  std::string out;
  EXPECT_EQ(RunCommand(Cli() + " recover " + ShellQuote((dir / "nope.xls").string()) + " 2>&1", &out),
            1);
  EXPECT_NE(out.find("tabulix: ERROR: Could not open file.\n"), std::string::npos) << out;
}

TEST(Cli, DumpDirReceivesThePayloadCopy) {
  test::TempDir dir;
  const fs::path sample = fs::path(TABULIX_TESTS_DIR) / ".." / "samples" / "truncated-29942.xls";
  std::string out;
  ASSERT_EQ(RunCommand(Cli() + " recover " + ShellQuote(sample.string()) + " --dump-dir " +
                           ShellQuote(dir.path().string()),
                       &out),
            0);
  EXPECT_EQ(test::ReadFileBytes(dir / "payload.bin"), test::ReadFileBytes(sample));
}

}  // namespace
}  // namespace tabulix
