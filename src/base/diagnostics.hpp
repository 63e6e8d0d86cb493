#pragma once
// The diagnostics folder: when it exists, the core writes dump files of its intermediate
// tables there; when it is missing, every dump is skipped silently. By default it is
// "~/Morvendal", which the user creates to turn the dumps on.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tabulix {

// Overrides the folder (the command line's --dump-dir, tests). An empty path restores
// the default.
void SetDiagnosticsDirectory(const std::filesystem::path& dir);

// The folder when it exists, else nothing.
std::optional<std::filesystem::path> DiagnosticsDirectory();

// Why `dir` cannot take dump files, in words for the user ("does not exist", "is not a
// folder", "is not writable"); empty when it can.
std::string DiagnosticsDirectoryProblem(const std::filesystem::path& dir);

// Writes (replacing) one dump file in the diagnostics folder; a missing folder, a link in
// the file's place or a failed write is ignored. Returns whether it was written.
bool WriteDiagnosticDump(std::string_view fileName, std::span<const std::uint8_t> bytes);
bool WriteDiagnosticDump(std::string_view fileName, std::string_view text);

// While one lives, this thread writes no dump files (work whose outcome may be thrown
// away, such as the second of two readings of a file). Nested ones add up.
class SuppressDiagnosticDumps {
 public:
  SuppressDiagnosticDumps();
  ~SuppressDiagnosticDumps();
  SuppressDiagnosticDumps(const SuppressDiagnosticDumps&) = delete;
  SuppressDiagnosticDumps& operator=(const SuppressDiagnosticDumps&) = delete;
};

// While one lives, this thread's dump files go into the folder `name` inside the
// diagnostics folder, made when first needed, so that the files of a batch recovered side
// by side do not overwrite each other's dumps. `name` is one path component.
class DiagnosticsSubfolder {
 public:
  explicit DiagnosticsSubfolder(std::string name);
  ~DiagnosticsSubfolder();
  DiagnosticsSubfolder(const DiagnosticsSubfolder&) = delete;
  DiagnosticsSubfolder& operator=(const DiagnosticsSubfolder&) = delete;

 private:
  std::string outer_;
};

// How many dump files could not be written although the folder was there (a link in the
// file's place, a folder that may not be written, a full disk), since the program started.
std::uint64_t FailedDiagnosticDumps();

}  // namespace tabulix
