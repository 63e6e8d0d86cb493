#include "base/interrupt_cleanup.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#endif

namespace tabulix {

namespace fs = std::filesystem;

namespace {

// A handler may touch only what needs no lock and no allocation: fixed slots, each with a
// path written before the slot is marked armed. Enough for a batch's every worker to hold
// one, with room to spare.
constexpr int kSlots = 128;
constexpr std::size_t kPathBytes = 4096;

enum SlotState : int { kFree, kFilling, kArmed };
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the slot states");

struct Slot {
  std::atomic<int> state{kFree};
  bool folder = false;
  char path[kPathBytes];
};

Slot slots[kSlots];

// A stop under way, and the writers inside a step with a temporary.
std::atomic<bool> stopping{false};
std::atomic<int> creating{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the handler reads them");

#if !defined(_WIN32)
// Removes the files of a folder with system calls alone: opendir and readdir may allocate,
// which a signal handler must not.
void EmptyFolder(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  alignas(8) static char entries[8192];
  for (;;) {
    const long got = ::syscall(SYS_getdents64, fd, entries, sizeof entries);
    if (got <= 0) break;
    // Each entry: inode (8 bytes), offset (8), its own length (2), type (1), then the
    // name, ending in a zero byte.
    constexpr long kLengthAt = 16;
    constexpr long kNameAt = 19;
    for (long at = 0; at + kNameAt < got;) {
      unsigned short length = 0;
      std::memcpy(&length, entries + at + kLengthAt, sizeof length);
      const char* name = entries + at + kNameAt;
      if (!(name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))) {
        ::unlinkat(fd, name, 0);
      }
      if (length == 0) break;
      at += length;
    }
  }
  ::close(fd);
}
#endif

extern "C" void RemoveAndReraise(int signal) {
  const int savedErrno = errno;
#if !defined(_WIN32)
  // No writer begins now; those inside get a moment to register what they created (not
  // forever: the signal may have stopped one of them on this very thread).
  stopping.store(true);
  for (int round = 0; round < 200 && creating.load() != 0; ++round) {
    struct timespec pause {
      0, 1000000
    };
    ::nanosleep(&pause, nullptr);
  }
  for (Slot& slot : slots) {
    if (slot.state.load() == kArmed && !slot.folder) ::unlink(slot.path);
  }
  // Folders after files: a file being written into a temporary folder goes first. The
  // other threads run on while the handler does, and one may just have created a file in
  // the folder it empties: a few rounds see to that.
  for (Slot& slot : slots) {
    if (slot.state.load() != kArmed || !slot.folder) continue;
    for (int round = 0; round < 8; ++round) {
      EmptyFolder(slot.path);
      if (::rmdir(slot.path) == 0 || errno != ENOTEMPTY) break;
    }
  }
#endif
  // The signal is blocked while its handler runs: raised again under the default action,
  // it ends the process as soon as the handler returns, with the status a shell expects.
  std::signal(signal, SIG_DFL);
  std::raise(signal);
  errno = savedErrno;
}

}  // namespace

void RemoveTemporariesOnSignals() {
#if !defined(_WIN32)
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous {};
    if (::sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = RemoveAndReraise;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
  }
#endif
}

TemporaryStep::TemporaryStep() {
  creating.fetch_add(1);
  if (!stopping.load()) return;
  // The handler may have looked at the slots already: what this thread would create or
  // rename could be left behind, or arrive emptied. The process is ending; nothing more is
  // begun.
  creating.fetch_sub(1);
  inside_ = false;
  for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
}

void TemporaryStep::Done() {
  if (!inside_) return;
  inside_ = false;
  creating.fetch_sub(1);
}

RemoveOnSignal::RemoveOnSignal(const fs::path& path, Kind kind) {
  std::error_code ec;
  const std::string absolute = fs::absolute(path, ec).string();
  if (ec || absolute.size() >= kPathBytes) return;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!slots[i].state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(slots[i].path, absolute.c_str(), absolute.size() + 1);
    slots[i].folder = kind == Kind::FolderOfFiles;
    slots[i].state.store(kArmed);
    slot_ = i;
    return;
  }
}

RemoveOnSignal::~RemoveOnSignal() {
  if (slot_ >= 0) slots[slot_].state.store(kFree);
}

}  // namespace tabulix
