// A run stopped by a signal while another thread makes and renames its temporaries: nothing
// of them may stay behind, and no emptied folder may take a target's place.

#include "base/interrupt_cleanup.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;

// Outside a step the handler may remove a writer's temporary under it: a failure then is
// the stop, and the writer waits for the signal to end the process. A failure of its own
// shows as the main thread's exit status: 3 if it came before three outputs, else 2,
// thirty seconds on.
[[noreturn]] void WaitForTheStop() {
  for (;;) ::pause();
}

// In a child process: a thread (which never takes the signal itself) makes temporary
// files and folders as fast as it can, each registered and renamed into place as a writer
// does, while the main thread stops the process with SIGTERM. The stop waits for the
// writer's first outputs rather than for a fixed time, which a loaded machine may spend
// before the thread is even scheduled.
[[noreturn]] void RunWriterAndStop(const fs::path& folder) {
  RemoveTemporariesOnSignals();
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  std::atomic<int> renamed{0};
  std::thread writer([&folder, &renamed] {
    for (int i = 0;; ++i) {
      const fs::path temp = folder / (".temp" + std::to_string(i));
      const fs::path done = folder / ("out" + std::to_string(i));
      TemporaryStep creating;
      if (::mkdir(temp.c_str(), 0700) != 0) WaitForTheStop();
      const RemoveOnSignal guard(temp, RemoveOnSignal::Kind::FolderOfFiles);
      creating.Done();
      const int fd = ::open((temp / "a.csv").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
      if (fd < 0 || ::write(fd, "1\n", 2) != 2) WaitForTheStop();
      ::close(fd);
      const TemporaryStep renaming;
      if (::rename(temp.c_str(), done.c_str()) != 0) WaitForTheStop();
      renamed.fetch_add(1, std::memory_order_relaxed);
    }
  });
  pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
  for (int waited = 0; renamed.load(std::memory_order_relaxed) < 3; ++waited) {
    if (waited == 30'000) _exit(3);  // thirty seconds without three outputs
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::kill(::getpid(), SIGTERM);
  std::this_thread::sleep_for(std::chrono::seconds(30));
  _exit(2);
}

TEST(InterruptCleanup, AStopLeavesNoTemporaryAndNoEmptiedOutput) {
  for (int round = 0; round < 10; ++round) {
    test::TempDir dir;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) RunWriterAndStop(dir.path());
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status)
                                     << " (3: under three outputs, 2: the writer failed later)";
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    std::size_t outputs = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir.path())) {
      const std::string name = entry.path().filename().string();
      EXPECT_NE(name.rfind(".temp", 0), 0u) << "left behind: " << name;
      if (name.rfind("out", 0) == 0) {
        ++outputs;
        EXPECT_TRUE(fs::exists(entry.path() / "a.csv")) << "emptied: " << name;
      }
    }
    EXPECT_GT(outputs, 0u) << "the writer never ran";
  }
}

}  // namespace
}  // namespace tabulix
