#include "base/diagnostics.hpp"

#include <cstdlib>
#include <mutex>
#include <system_error>

#include "base/safe_file.hpp"

namespace tabulix {

namespace fs = std::filesystem;

namespace {

std::mutex overrideMutex;
fs::path overrideDir;

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

bool WriteDiagnosticDump(std::string_view fileName, std::span<const std::uint8_t> bytes) {
  const auto dir = DiagnosticsDirectory();
  if (!dir) return false;
  return WriteFileNoFollow(*dir / fs::path(fileName), bytes, WriteMode::Replace);
}

bool WriteDiagnosticDump(std::string_view fileName, std::string_view text) {
  return WriteDiagnosticDump(
      fileName, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace tabulix
