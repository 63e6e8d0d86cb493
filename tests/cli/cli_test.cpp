#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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
  EXPECT_NE(out.find("Usage: tabulix [OPTIONS] SUBCOMMAND"), std::string::npos) << out;
  EXPECT_NE(out.find("Exit status:"), std::string::npos) << out;
  EXPECT_EQ(RunCommand(Cli() + " recover --help", &out), 0);
  EXPECT_NE(out.find("--dump-dir"), std::string::npos);
  EXPECT_EQ(RunCommand(Cli() + " --version", &out), 0);
  EXPECT_EQ(out.rfind("tabulix ", 0), 0u);

  EXPECT_EQ(RunCommand(Cli() + " 2>&1", &out), 2);
  EXPECT_NE(out.find("A subcommand is required"), std::string::npos) << out;
  EXPECT_EQ(RunCommand(Cli() + " frobnicate 2>&1", &out), 2);
  EXPECT_EQ(RunCommand(Cli() + " recover 2>&1", &out), 2);
  EXPECT_EQ(RunCommand(Cli() + " recover --bogus x.xls 2>&1", &out), 2);
  EXPECT_NE(out.find("--bogus"), std::string::npos) << out;
}

fs::path Sample() { return fs::path(TABULIX_TESTS_DIR) / ".." / "samples" / "truncated-29942.xls"; }

TEST(Cli, RecoverSavesTheWorkbookAndReportsEachSheet) {
  test::TempDir dir;
  std::string out;
  const fs::path saved = dir / "out.xls";
  ASSERT_EQ(RunCommand(Cli() + " recover " + ShellQuote(Sample().string()) + " -o " +
                           ShellQuote(saved.string()) + " 2>/dev/null",
                       &out),
            0)
      << out;
  // The cut file's workbook stream is put back together from its sectors (passing over
  // the allocation table's sector among them), and the scan gets what lies behind the cut.
  EXPECT_NE(out.find("Route:  sector reassembly"), std::string::npos) << out;
  EXPECT_NE(out.find("Stream: 65433 bytes"), std::string::npos) << out;
  EXPECT_NE(out.find("Reassembled: 512-byte pieces, record chain of 62360 bytes from file "
                     "offset 2560, broken before the last sheet; 0 pieces reordered, 0 shifts "
                     "corrected; 3073 bytes of other pieces scanned\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Substreams: 2 found (boundaries pair up), 1 intact"), std::string::npos)
      << out;
  // Every cell whose record survived the cut but one (2,350 of them lie in the bytes left).
  EXPECT_NE(out.find("Worksheets recovered: 1 (2349 cells with values)"), std::string::npos) << out;
  EXPECT_NE(out.find("  1. Sheet1: 2349 cells, rebuilt\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Saved:  " + saved.string()), std::string::npos) << out;
  // The saved file is a sound workbook: read through the first route, every substream whole.
  ASSERT_EQ(RunCommand(Cli() + " recover " + ShellQuote(saved.string()) + " -o " +
                           ShellQuote((dir / "again.xls").string()) + " 2>/dev/null",
                       &out),
            0);
  EXPECT_NE(out.find("Route:  structured storage (stream \"Workbook\")"), std::string::npos) << out;
  EXPECT_NE(out.find("Substreams: 2 found (boundaries pair up), 2 intact"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Worksheets recovered: 1 (2349 cells with values)"), std::string::npos) << out;
  EXPECT_NE(out.find("  1. Sheet1: 2349 cells, intact\n"), std::string::npos) << out;

  // A sound file keeps its three worksheets and every cell that holds a value.
  const fs::path intact = test::CorpusDir() / "real" / "29942.xls";
  ASSERT_EQ(RunCommand(Cli() + " recover " + ShellQuote(intact.string()) + " -o " +
                           ShellQuote((dir / "sound.xls").string()) + " 2>/dev/null",
                       &out),
            0);
  EXPECT_NE(out.find("Route:  structured storage (stream \"Workbook\")"), std::string::npos) << out;
  EXPECT_NE(out.find("Substreams: 4 found (boundaries pair up), 4 intact"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Worksheets recovered: 3 (5356 cells with values)"), std::string::npos) << out;
}

TEST(Cli, TheOutputGoesBesideTheInputAndNeverOverIt) {
  test::TempDir dir;
  const fs::path input = dir / "damaged.xls";
  const std::vector<std::uint8_t> original = test::ReadFileBytes(Sample());
  test::WriteFileBytes(input, original);
  std::string out;
  ASSERT_EQ(RunCommand(Cli() + " recover " + ShellQuote(input.string()) + " 2>&1", &out), 0) << out;
  EXPECT_TRUE(fs::exists(dir / "damaged_recovered.xls")) << out;
  // Standard error is not a terminal here: no progress is drawn on it.
  EXPECT_EQ(out.find("Saving"), std::string::npos) << out;

  // Naming the input as the output, by its own name or another, is refused before anything
  // is read or written.
  for (const fs::path& same : {input, dir / "." / "damaged.xls"}) {
    EXPECT_EQ(RunCommand(Cli() + " recover " + ShellQuote(input.string()) + " -o " +
                             ShellQuote(same.string()) + " 2>&1",
                         &out),
              2);
    EXPECT_NE(out.find("is the damaged file itself"), std::string::npos) << out;
  }
  EXPECT_EQ(test::ReadFileBytes(input), original);

  // A folder that does not exist: the save fails and says so.
  EXPECT_EQ(RunCommand(Cli() + " recover " + ShellQuote(input.string()) + " -o " +
                           ShellQuote((dir / "missing" / "out.xls").string()) + " 2>&1",
                       &out),
            1);
  EXPECT_NE(out.find("could not save"), std::string::npos) << out;
  EXPECT_EQ(RunCommand(Cli() + " recover x.xls -o 2>&1", &out), 2);
}

TEST(Cli, RecoverOfAMissingFileSaysSoAndFails) {
  test::TempDir dir;
  std::string out;
  EXPECT_EQ(
      RunCommand(Cli() + " recover " + ShellQuote((dir / "nope.xls").string()) + " 2>&1", &out), 1);
  EXPECT_NE(out.find("tabulix: '" + (dir / "nope.xls").string() + "': no such file or folder\n"),
            std::string::npos)
      << out;
}

TEST(Cli, DumpDirReceivesThePayloadCopy) {
  test::TempDir dir;
  std::string out;
  ASSERT_EQ(RunCommand(Cli() + " recover " + ShellQuote(Sample().string()) + " --dump-dir " +
                           ShellQuote(dir.path().string()) + " -o " +
                           ShellQuote((dir / "out.xls").string()) + " 2>/dev/null",
                       &out),
            0);
  // The stream the stages read: the reassembled one, from the globals BOF on, as long as
  // the file.
  const auto payload = test::ReadFileBytes(dir / "payload.bin");
  EXPECT_EQ(payload.size(), test::ReadFileBytes(Sample()).size());
  ASSERT_GE(payload.size(), 2u);
  EXPECT_EQ(payload[0], 0x09);
  EXPECT_EQ(payload[1], 0x08);
  // The stream the save wrote, as it went into the new file.
  EXPECT_FALSE(test::ReadFileBytes(dir / "Out_payload.bin").empty());
}

TEST(Cli, ADumpFolderThatCannotTakeTheDumpsIsNamed) {
  test::TempDir dir;
  std::string out;
  const std::string base = Cli() + " recover " + ShellQuote(Sample().string());

  // A folder that does not exist: a usage error, said before any work is done.
  const fs::path missing = dir / "missing";
  EXPECT_EQ(RunCommand(base + " --dump-dir " + ShellQuote(missing.string()) + " -o " +
                           ShellQuote((dir / "a.xls").string()) + " 2>&1",
                       &out),
            2)
      << out;
  EXPECT_NE(out.find("tabulix: the dump folder '" + missing.string() + "' does not exist\n"),
            std::string::npos)
      << out;
  EXPECT_FALSE(fs::exists(dir / "a.xls"));
  EXPECT_FALSE(fs::exists(missing)) << "the folder is not made behind the user's back";

  // A folder that is there, but a dump file cannot be written (a planted link stands in its
  // place): the file is left alone, and the run says how many dumps it lost.
  const fs::path dumps = dir / "dumps";
  fs::create_directory(dumps);
  test::WriteFileBytes(dir / "victim.txt", {'k', 'e', 'e', 'p'});
  fs::create_hard_link(dir / "victim.txt", dumps / "payload.bin");
  EXPECT_EQ(RunCommand(base + " --dump-dir " + ShellQuote(dumps.string()) + " -o " +
                           ShellQuote((dir / "c.xls").string()) + " 2>&1",
                       &out),
            1)
      << out;
  EXPECT_NE(out.find("tabulix: 1 dump file could not be written into '" + dumps.string() + "'"),
            std::string::npos)
      << out;
  EXPECT_EQ(test::ReadFileBytes(dir / "victim.txt"),
            (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_FALSE(test::ReadFileBytes(dumps / "Out_payload.bin").empty());
}

TEST(Cli, AFailedSaveSaysWhyOnTheTerminalAndNeverShowsItDone) {
  test::TempDir dir;
  std::string out;
  const std::string base = Cli() + " recover " + ShellQuote(Sample().string()) + " -o ";

  const fs::path missing = dir / "missing";
  EXPECT_EQ(RunCommand(base + ShellQuote((missing / "out.xls").string()) + " 2>&1", &out), 1);
  EXPECT_NE(out.find("tabulix: could not save '" + (missing / "out.xls").string() +
                     "' (see the error log for the step that failed): the folder " +
                     missing.string() + " does not exist\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Saving: 100%"), std::string::npos) << out;

  const fs::path locked = dir / "locked";
  fs::create_directory(locked);
  fs::permissions(locked, fs::perms(0555));
  const int status = RunCommand(base + ShellQuote((locked / "out.xls").string()) + " 2>&1", &out);
  fs::permissions(locked, fs::perms(0755));
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("could not save '" + (locked / "out.xls").string() +
                     "' (see the error log for the step that failed): the folder " +
                     locked.string() + " is not writable (permission denied)\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Saving: 100%"), std::string::npos) << out;
  EXPECT_TRUE(fs::is_empty(locked));
}

// Starts the command-line program with `args`, its output thrown away and `pauseMs` set as
// the writer's test pause before the rename. Returns the child's process id.
pid_t StartCli(const std::vector<std::string>& args, int pauseMs) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  env.push_back("TABULIX_TEST_PAUSE_BEFORE_RENAME_MS=" + std::to_string(pauseMs));
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStrings{TABULIX_CLI_PATH};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  // The child starts with the signals at their defaults, whatever the test runner set.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return pid;
}

// The writer's temporaries for a target named `name` in `dir`.
std::vector<std::string> Temporaries(const fs::path& dir, const std::string& name) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string file = entry.path().filename();
    if (file.rfind("." + name + ".tabulix-", 0) == 0) found.push_back(file);
  }
  return found;
}

// Waits up to a minute for the save to be writing its temporary. The file is registered
// for removal between its creation and its first bytes: a signal sent at its creation
// would find it not yet covered.
bool WaitForTemporary(const fs::path& dir, const std::string& name) {
  for (int i = 0; i < 6000; ++i) {
    for (const std::string& file : Temporaries(dir, name)) {
      std::error_code ec;
      if (fs::file_size(dir / file, ec) > 0 && !ec) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(Cli, ASaveStoppedBySignalLeavesNoTemporaryAndAKilledOneIsCleanedLater) {
  test::TempDir dir;
  const fs::path output = dir / "out.xls";
  const std::vector<std::string> args{"recover", Sample().string(), "-o", output.string()};
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    const pid_t pid = StartCli(args, 60000);
    ASSERT_GT(pid, 0);
    const bool seen = WaitForTemporary(dir.path(), "out.xls");
    ::kill(pid, signal);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(seen) << "the save never wrote its temporary";
    // The signal still ends the run, as it would have without the clean-up.
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_TRUE(Temporaries(dir.path(), "out.xls").empty());
    EXPECT_FALSE(fs::exists(output));
  }

  // Nothing can catch SIGKILL: its temporary stays until a later save to the same target
  // finds it no longer held by anyone and old enough.
  const pid_t pid = StartCli(args, 60000);
  ASSERT_GT(pid, 0);
  const bool seen = WaitForTemporary(dir.path(), "out.xls");
  ::kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(seen);
  const std::vector<std::string> left = Temporaries(dir.path(), "out.xls");
  ASSERT_EQ(left.size(), 1u);
  fs::last_write_time(dir / left[0], fs::file_time_type::clock::now() - std::chrono::minutes(5));
  std::string out;
  EXPECT_EQ(RunCommand(Cli() + " recover " + ShellQuote(Sample().string()) + " -o " +
                           ShellQuote(output.string()) + " 2>/dev/null",
                       &out),
            0);
  EXPECT_TRUE(Temporaries(dir.path(), "out.xls").empty());
  EXPECT_TRUE(fs::exists(output));
}

}  // namespace
}  // namespace tabulix
