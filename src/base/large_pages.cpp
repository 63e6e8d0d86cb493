#include "base/large_pages.hpp"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#if defined(__linux__) && defined(__GLIBC__)
#include <unistd.h>
#endif

namespace tabulix {

namespace {

constexpr const char* kTunable = "glibc.malloc.hugetlb";
// Set before the restart: should the C library ignore the tunable, the new process must
// not start itself again, and again.
constexpr const char* kRestarted = "TABULIX_LARGE_PAGES_RESTART";

}  // namespace

std::optional<std::string> TunablesWithLargePages(const char* current) {
  const std::string existing = current != nullptr ? current : "";
  if (existing.find(kTunable) != std::string::npos) return std::nullopt;
  const std::string wanted = std::string(kTunable) + "=1";
  return existing.empty() ? wanted : existing + ":" + wanted;
}

bool LargeInputs(const std::vector<std::string>& paths, std::uint64_t threshold) {
  std::uint64_t total = 0;
  for (const std::string& path : paths) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec) continue;
    if (std::filesystem::is_directory(status)) return true;
    if (!std::filesystem::is_regular_file(status)) continue;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (!ec) total += size;
    if (total >= threshold) return true;
  }
  return false;
}

void RestartWithLargePages(char** argv) {
#if defined(__linux__) && defined(__GLIBC__)
  if (argv == nullptr || argv[0] == nullptr || std::getenv(kRestarted) != nullptr) return;
  const char* before = std::getenv("GLIBC_TUNABLES");
  const std::optional<std::string> tunables = TunablesWithLargePages(before);
  if (!tunables) return;
  // Kept: setenv may free the string `before` points at.
  const std::optional<std::string> saved =
      before ? std::optional<std::string>(before) : std::nullopt;
  if (::setenv("GLIBC_TUNABLES", tunables->c_str(), 1) != 0 || ::setenv(kRestarted, "1", 1) != 0)
    return;
  ::execv("/proc/self/exe", argv);
  // Still here: the restart failed, and the program goes on as it was started.
  if (saved)
    ::setenv("GLIBC_TUNABLES", saved->c_str(), 1);
  else
    ::unsetenv("GLIBC_TUNABLES");
  ::unsetenv(kRestarted);
#else
  static_cast<void>(argv);
#endif
}

}  // namespace tabulix
