#include "base/diagnostics.hpp"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "base/safe_file.hpp"

namespace tabulix {

namespace fs = std::filesystem;

namespace {

std::mutex overrideMutex;
fs::path overrideDir;
std::atomic<std::uint64_t> failedDumps{0};

fs::path DefaultDirectory() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  return fs::path(home) / "Morvendal";
}

}  // namespace

void SetDiagnosticsDirectory(const fs::path& dir) {
  std::lock_guard lock(overrideMutex);
  overrideDir = dir;
}

std::optional<fs::path> DiagnosticsDirectory() {
  fs::path dir;
  {
    std::lock_guard lock(overrideMutex);
    dir = overrideDir;
  }
  if (dir.empty()) dir = DefaultDirectory();
  std::error_code ec;
  if (dir.empty() || !fs::is_directory(dir, ec)) return std::nullopt;
  return dir;
}

std::string DiagnosticsDirectoryProblem(const fs::path& dir) {
  std::error_code ec;
  const fs::file_status status = fs::status(dir, ec);
  if (status.type() == fs::file_type::not_found) return "does not exist";
  if (status.type() == fs::file_type::none) return "cannot be examined (" + ec.message() + ")";
  if (!fs::is_directory(status)) return "is not a folder";
  if (!IsWritableDirectory(dir)) return "is not writable";
  return {};
}

namespace {
thread_local int t_dumpsSuppressed = 0;
thread_local std::string t_subfolder;
}  // namespace

DiagnosticsSubfolder::DiagnosticsSubfolder(std::string name) : outer_(std::move(t_subfolder)) {
  t_subfolder = std::move(name);
}
DiagnosticsSubfolder::~DiagnosticsSubfolder() { t_subfolder = std::move(outer_); }

SuppressDiagnosticDumps::SuppressDiagnosticDumps() { ++t_dumpsSuppressed; }
SuppressDiagnosticDumps::~SuppressDiagnosticDumps() { --t_dumpsSuppressed; }

bool WriteDiagnosticDump(std::string_view fileName, std::span<const std::uint8_t> bytes) {
  if (t_dumpsSuppressed > 0) return false;
  auto dir = DiagnosticsDirectory();
  if (!dir) return false;
  if (!t_subfolder.empty()) {
    *dir /= fs::path(t_subfolder);
    std::error_code ec;
    fs::create_directory(*dir, ec);
  }
  const bool written = WriteFileNoFollow(*dir / fs::path(fileName), bytes, WriteMode::Replace);
  if (!written) ++failedDumps;
  return written;
}

bool WriteDiagnosticDump(std::string_view fileName, std::string_view text) {
  return WriteDiagnosticDump(
      fileName, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::uint64_t FailedDiagnosticDumps() { return failedDumps.load(); }

}  // namespace tabulix
