#include "base/interrupt_cleanup.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <system_error>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace tabulix {

namespace fs = std::filesystem;

namespace {

// A handler may touch only what needs no lock and no allocation: fixed slots, each with a
// path written before the slot is marked armed.
constexpr int kSlots = 16;
constexpr std::size_t kPathBytes = 4096;

enum SlotState : int { kFree, kFilling, kArmed };
static_assert(std::atomic<int>::is_always_lock_free, "the handler reads the slot states");

struct Slot {
  std::atomic<int> state{kFree};
  char path[kPathBytes];
};

Slot slots[kSlots];

extern "C" void RemoveAndReraise(int signal) {
  const int savedErrno = errno;
#if !defined(_WIN32)
  for (Slot& slot : slots) {
    if (slot.state.load() == kArmed) ::unlink(slot.path);
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

RemoveOnSignal::RemoveOnSignal(const fs::path& path) {
  std::error_code ec;
  const std::string absolute = fs::absolute(path, ec).string();
  if (ec || absolute.size() >= kPathBytes) return;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (!slots[i].state.compare_exchange_strong(expected, kFilling)) continue;
    std::memcpy(slots[i].path, absolute.c_str(), absolute.size() + 1);
    slots[i].state.store(kArmed);
    slot_ = i;
    return;
  }
}

RemoveOnSignal::~RemoveOnSignal() {
  if (slot_ >= 0) slots[slot_].state.store(kFree);
}

}  // namespace tabulix
