#include "base/log.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using test::LogCapture;
using test::ReadFileBytes;
using test::ReadLines;

std::string FileText(const fs::path& path) {
  const auto bytes = ReadFileBytes(path);
  return {bytes.begin(), bytes.end()};
}

TEST(WriteLog, WritesOneWholeLineInTheFixedFormatToTheChosenLog) {
  LogCapture logs;
  EXPECT_TRUE(WriteLog(10012, 0, "ERROR: Block Index out of range", true));
  EXPECT_TRUE(WriteLog(-7, 2082, "100% done, %s %d %n", false));  // never used as a format

  EXPECT_EQ(FileText(logs.locations().ErrorLog()),
            "Code:10012  Error:0  MSG:ERROR: Block Index out of range\r\n");
  EXPECT_EQ(FileText(logs.locations().ExecutionLog()),
            "Code:-7  Error:2082  MSG:100% done, %s %d %n\r\n");
}

TEST(WriteLog, AMissingFolderOrAPlantedLinkFailsQuietly) {
  LogCapture logs;
  fs::remove_all(logs.locations().logFolder);
  EXPECT_FALSE(WriteLog(0, 0, "lost", true));
  EXPECT_FALSE(fs::exists(logs.locations().logFolder)) << "WriteLog must not create the folder";

  // Someone plants a link where the error log goes: the target must stay untouched.
  fs::create_directories(logs.locations().logFolder);
  test::TempDir elsewhere;
  const fs::path victim = elsewhere / "victim.txt";
  test::WriteFileBytes(victim, {'k', 'e', 'e', 'p'});
  fs::create_symlink(victim, logs.locations().ErrorLog());
  EXPECT_FALSE(WriteLog(0, 0, "through the link", true));
  EXPECT_EQ(FileText(victim), "keep");
}

TEST(WriteLog, ConcurrentCallsNeverMixInsideALine) {
  LogCapture logs;
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string payload(200, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) WriteLog(t, i, payload, true);
    });
  }
  for (auto& thread : threads) thread.join();

  const auto lines = logs.ErrorLines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  const std::regex whole(R"(Code:(\d)  Error:\d+  MSG:([a-h])\2{199})");
  std::set<std::string> seen;
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
    EXPECT_EQ(m[2].str()[0], 'a' + std::stoi(m[1].str()));
    seen.insert(line.substr(0, line.find("  MSG:")));
  }
  EXPECT_EQ(seen.size(), lines.size()) << "every (thread, index) pair exactly once";
}

TEST(ExecutionLog, RunStartCreatesTheFolderAndWritesTheHeaderToBothLogs) {
  LogCapture logs;
  fs::remove_all(logs.locations().logFolder);
  ExecutionLog runStart;
  WriteLog(0, 0, "after", false);

  const std::string rule(79, '=');
  for (const auto& file : {logs.locations().ErrorLog(), logs.locations().ExecutionLog()}) {
    const std::string text = FileText(file);
    const auto lines = ReadLines(file);
    ASSERT_GE(lines.size(), 5u) << file;
    EXPECT_EQ(lines[0], rule);
    EXPECT_EQ(lines[1], "Last Log On");
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(Date : [1-9]\d?/[1-9]\d?/\d{4})")))
        << lines[2];
    EXPECT_TRUE(
        std::regex_match(lines[3], std::regex(R"(Time : (0|[1-9]\d?):(0|[1-9]\d?):(0|[1-9]\d?))")))
        << lines[3];
    EXPECT_EQ(lines[4], rule);
    EXPECT_EQ(text.substr(0, 81), rule + "\r\n") << "lines end in CR LF";
  }
  EXPECT_EQ(ReadLines(logs.locations().ExecutionLog()).back(), "Code:0  Error:0  MSG:after");
}

TEST(LogLocations, BesideAWritableExecutableElseInTheXdgFolders) {
  test::TempDir exeDir;
  const LogLocations portable = ChooseLogLocations(exeDir.path());
  EXPECT_EQ(portable.logFolder, exeDir.path() / "RecoveryLog");
  EXPECT_EQ(portable.configFile, exeDir.path() / "config.ini");
  EXPECT_EQ(portable.ErrorLog(), exeDir.path() / "RecoveryLog" / "TabulixErrorLog.log");
  EXPECT_EQ(portable.ExecutionLog(), exeDir.path() / "RecoveryLog" / "TabulixExecLog.log");

  const char* home = std::getenv("HOME");
  const std::string savedHome = home != nullptr ? home : "";
  ::setenv("XDG_STATE_HOME", "/xdg/state", 1);
  ::setenv("XDG_CONFIG_HOME", "/xdg/config", 1);
  const LogLocations installed = ChooseLogLocations(exeDir / "no-such-folder");
  EXPECT_EQ(installed.logFolder, fs::path("/xdg/state/tabulix/RecoveryLog"));
  EXPECT_EQ(installed.configFile, fs::path("/xdg/config/tabulix/config.ini"));

  // Relative XDG values are invalid and fall back to the defaults under HOME.
  ::setenv("XDG_STATE_HOME", "relative", 1);
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("HOME", "/home/someone", 1);
  const LogLocations fallback = ChooseLogLocations(exeDir / "no-such-folder");
  EXPECT_EQ(fallback.logFolder, fs::path("/home/someone/.local/state/tabulix/RecoveryLog"));
  EXPECT_EQ(fallback.configFile, fs::path("/home/someone/.config/tabulix/config.ini"));
  ::unsetenv("XDG_STATE_HOME");
  ::setenv("HOME", savedHome.c_str(), 1);
}

TEST(LogSwitch, ReadsOnlyTheDigitAtOffsetSix) {
  LogCapture logs;
  const fs::path config = logs.locations().configFile;
  struct Case {
    std::string content;
    bool expected;
  };
  for (const Case& c :
       {Case{"Log = 1", true}, Case{"Log = 0", false}, Case{"Log = x", false},
        Case{"Log = 12", true}, Case{"Log =", false}, Case{"", false}, Case{"XXXXXX1", true}}) {
    test::WriteFileBytes(config, {c.content.begin(), c.content.end()});
    LogSwitch logSwitch{!c.expected};
    EXPECT_TRUE(ReadLogSwitch(logSwitch));
    EXPECT_EQ(logSwitch.detailed, c.expected) << '"' << c.content << '"';
  }
}

TEST(LogSwitch, AMissingFileKeepsTheFlagAndIsReportedOnlyWhenDetailed) {
  LogCapture logs;
  LogSwitch off{false};
  EXPECT_FALSE(ReadLogSwitch(off));
  EXPECT_FALSE(off.detailed);
  EXPECT_TRUE(logs.ErrorLines().empty());

  LogSwitch on{true};
  EXPECT_FALSE(ReadLogSwitch(on));
  EXPECT_TRUE(on.detailed);
  EXPECT_EQ(
      logs.CountError("Error opening config file from " + logs.locations().configFile.string()), 1);
}

TEST(LogSwitch, ToggleOnThenOffRewritesTheFileAndNotesBothChanges) {
  LogCapture logs;
  LogSwitch logSwitch;
  ToggleLogSwitch(logSwitch);
  EXPECT_TRUE(logSwitch.detailed);
  EXPECT_EQ(FileText(logs.locations().configFile), "Log = 1");
  ToggleLogSwitch(logSwitch);
  EXPECT_FALSE(logSwitch.detailed);
  EXPECT_EQ(FileText(logs.locations().configFile), "Log = 0");

  const auto lines = logs.ExecutionLines();
  ASSERT_EQ(lines.size(), 2u);
  const std::string stamp = R"( on DATE=\d{1,2}-\d{1,2}-\d{4} TIME=\d{1,2}hr:\d{1,2}m:\d{1,2}s)";
  EXPECT_TRUE(
      std::regex_match(lines[0], std::regex("Code:0  Error:0  MSG:File Logging Enabled" + stamp)))
      << lines[0];
  EXPECT_TRUE(
      std::regex_match(lines[1], std::regex("Code:0  Error:0  MSG:File Logging Disabled" + stamp)))
      << lines[1];

  // An unwritable settings file still flips the flag for this run.
  fs::remove(logs.locations().configFile);
  fs::create_directory(logs.locations().configFile);
  ToggleLogSwitch(logSwitch);
  EXPECT_TRUE(logSwitch.detailed);
}

}  // namespace
}  // namespace tabulix
