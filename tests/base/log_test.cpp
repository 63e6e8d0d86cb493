#include "base/log.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/diagnostics.hpp"
#include "base/safe_file.hpp"
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

// Sets the log limits for the life of the object.
class Limits {
 public:
  explicit Limits(LogLimits limits) : previous_(SetLogLimitsForTesting(limits)) {}
  ~Limits() { SetLogLimitsForTesting(previous_); }
  Limits(const Limits&) = delete;
  Limits& operator=(const Limits&) = delete;

 private:
  LogLimits previous_;
};

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
  // Each thread repeats its own text; this test is about whole lines, not about the cap.
  const Limits uncapped({1000, kLogLimits.distinctTexts, kLogLimits.rotateAtBytes});
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

TEST(WriteLog, RepeatsOfOneTextAreCappedAndCountedInOneLine) {
  LogCapture logs;
  const std::string summary =
      "Code:0  Error:0  MSG:... 800 more lines like \"Record failed\" were "
      "passed by";
  // The program's own limit: a reader that fails on every one of a thousand records.
  for (int i = 0; i < 1000; ++i) EXPECT_TRUE(WriteLog(i, 7, "Record failed", true));
  EXPECT_TRUE(WriteLog(0, 0, "once", true));
  auto lines = logs.ErrorLines();
  ASSERT_EQ(lines.size(), kLogLimits.repeatsPerMessage + 1);
  EXPECT_EQ(lines.front(), "Code:0  Error:7  MSG:Record failed");
  EXPECT_EQ(lines[199], "Code:199  Error:7  MSG:Record failed") << "the first lines are kept";
  EXPECT_EQ(lines.back(), "Code:0  Error:0  MSG:once");
  FlushLogRepeats();
  lines = logs.ErrorLines();
  ASSERT_EQ(lines.size(), kLogLimits.repeatsPerMessage + 2);
  EXPECT_EQ(lines.back(), summary);
  EXPECT_TRUE(logs.ExecutionLines().empty()) << "each log counts its own lines";

  // A flush starts the count afresh; a second flush has nothing more to say.
  FlushLogRepeats();
  EXPECT_TRUE(WriteLog(1, 0, "Record failed", true));
  EXPECT_EQ(logs.ErrorLines().back(), "Code:1  Error:0  MSG:Record failed");

  // Texts that differ only in their numbers (offsets, sizes, codes in hex) are one text.
  {
    LogCapture numbered;
    const Limits two({2, kLogLimits.distinctTexts, kLogLimits.rotateAtBytes});
    for (int i = 0; i < 50; ++i) {
      char text[96];
      std::snprintf(text, sizeof text, "Record skipped, ObjOffset = %d, code = %x, size = %d",
                    18 * i, 0x1e5 + i, i % 7);
      WriteLog(0, 0, text, true);
    }
    WriteLog(0, 0, "Record skipped, ObjOffset = 1, code = fc, size = 2", true);
    FlushLogRepeats();
    EXPECT_EQ(
        numbered.ErrorLines(),
        (std::vector<std::string>{
            "Code:0  Error:0  MSG:Record skipped, ObjOffset = 0, code = 1e5, size = 0",
            "Code:0  Error:0  MSG:Record skipped, ObjOffset = 18, code = 1e6, size = 1",
            "Code:0  Error:0  MSG:Record skipped, ObjOffset = 1, code = fc, size = 2",
            "Code:0  Error:0  MSG:... 48 more lines like \"Record skipped, ObjOffset = 0, code "
            "= 1e5, size = 0\" were passed by"}));
  }

  // Beyond the limit on distinct texts, further texts share one count.
  {
    LogCapture many;
    const Limits three({2, 3, kLogLimits.rotateAtBytes});
    for (const char* text : {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta"}) {
      WriteLog(0, 0, text, false);
    }
    WriteLog(0, 0, "alpha", false);
    WriteLog(0, 0, "alpha", false);
    FlushLogRepeats();
    const auto manyLines = many.ExecutionLines();
    ASSERT_EQ(manyLines.size(), 8u);
    EXPECT_EQ(manyLines[3], "Code:0  Error:0  MSG:delta");
    EXPECT_EQ(manyLines[4], "Code:0  Error:0  MSG:epsilon");
    EXPECT_EQ(manyLines[5], "Code:0  Error:0  MSG:alpha");
    EXPECT_EQ(manyLines[6], "Code:0  Error:0  MSG:... 1 more lines like \"alpha\" were passed by");
    EXPECT_EQ(manyLines[7], "Code:0  Error:0  MSG:... 2 more lines of other texts were passed by");
  }

  // Counts left at a change of locations go to the logs they were meant for.
  {
    LogCapture inner;
    const Limits one({1, kLogLimits.distinctTexts, kLogLimits.rotateAtBytes});
    for (int i = 0; i < 3; ++i) WriteLog(i, 0, "passed", false);
    SetLogLocations(logs.locations());
    EXPECT_EQ(inner.ExecutionLines(),
              (std::vector<std::string>{
                  "Code:0  Error:0  MSG:passed",
                  "Code:0  Error:0  MSG:... 2 more lines like \"passed\" were passed by"}));
  }
  EXPECT_TRUE(logs.ExecutionLines().empty());
}

TEST(WriteLog, ALogPastItsSizeIsMovedAsideToOneOldFile) {
  LogCapture logs;
  const Limits small({100000, kLogLimits.distinctTexts, 1000});
  const fs::path log = logs.locations().ErrorLog();
  fs::path old = log;
  old += ".old";
  // 32 bytes a line: 31 lines fit in a file of 1000 bytes.
  auto line = [](int i) {
    char text[16];
    std::snprintf(text, sizeof text, "line %04d", i);
    return std::string(text);
  };
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(WriteLog(0, 0, line(i), true));
  EXPECT_LE(fs::file_size(log), 1000u);
  EXPECT_LE(fs::file_size(old), 1000u);
  // The current file and the old one hold the last lines written, in order, none lost at
  // the last move.
  std::vector<std::string> kept = ReadLines(old);
  for (const std::string& l : logs.ErrorLines()) kept.push_back(l);
  ASSERT_GE(kept.size(), 31u);
  ASSERT_LE(kept.size(), 62u);
  for (std::size_t k = 0; k < kept.size(); ++k) {
    EXPECT_EQ(kept[k], "Code:0  Error:0  MSG:" + line(static_cast<int>(100 - kept.size() + k)));
  }
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(logs.locations().logFolder)) {
    names.insert(entry.path().filename());
  }
  EXPECT_EQ(names, (std::set<std::string>{"TabulixErrorLog.log", "TabulixErrorLog.log.old"}));

  // A link planted as the old file is replaced by the move, never written through.
  test::TempDir elsewhere;
  const fs::path victim = elsewhere / "victim.txt";
  test::WriteFileBytes(victim, {'k', 'e', 'e', 'p'});
  fs::remove(old);
  fs::create_hard_link(victim, old);
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(WriteLog(0, 0, line(i), true));
  EXPECT_EQ(FileText(victim), "keep");
  EXPECT_EQ(fs::hard_link_count(victim), 1u);
  EXPECT_LE(fs::file_size(log), 1000u);

  // When the file cannot be moved aside (a folder stands in the old file's place), lines are
  // dropped rather than let the log grow past its size.
  fs::remove(old);
  fs::create_directory(old);
  for (int i = 0; i < 40; ++i) WriteLog(0, 0, line(i), true);
  EXPECT_FALSE(WriteLog(0, 0, line(99), true));
  EXPECT_LE(fs::file_size(log), 1000u);
}

TEST(WriteLog, PlantedHardLinksAreNeverWrittenThrough) {
  LogCapture logs;
  test::TempDir elsewhere;
  const fs::path victim = elsewhere / "victim.txt";
  test::WriteFileBytes(victim, {'k', 'e', 'e', 'p'});

  // A second name of someone's file where the error log, a dump or the settings file goes.
  fs::create_hard_link(victim, logs.locations().ErrorLog());
  EXPECT_FALSE(WriteLog(0, 0, "through the link", true));
  test::TempDir dumps;
  fs::create_hard_link(victim, dumps / "payload.bin");
  SetDiagnosticsDirectory(dumps.path());
  const bool dumped = WriteDiagnosticDump("payload.bin", std::string_view("dump"));
  SetDiagnosticsDirectory({});
  EXPECT_FALSE(dumped);
  fs::create_hard_link(victim, logs.locations().configFile);
  LogSwitch logSwitch;
  ToggleLogSwitch(logSwitch);
  for (const WriteMode mode : {WriteMode::Append, WriteMode::Replace}) {
    EXPECT_FALSE(WriteFileNoFollow(elsewhere / "victim.txt", std::string_view("x"), mode));
  }
  EXPECT_EQ(FileText(victim), "keep");
  EXPECT_EQ(fs::hard_link_count(victim), 4u);

  // Once the file has a single name again it is written as any other.
  fs::remove(dumps / "payload.bin");
  fs::remove(logs.locations().configFile);
  fs::remove(logs.locations().ErrorLog());
  EXPECT_TRUE(WriteFileNoFollow(victim, std::string_view("mine"), WriteMode::Replace));
  EXPECT_EQ(FileText(victim), "mine");
  EXPECT_TRUE(WriteLog(0, 0, "written", true));
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
