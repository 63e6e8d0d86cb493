#pragma once
// The diagnostics folder: when it exists, the core writes dump files of its intermediate
// tables there; when it is missing, every dump is skipped silently. By default it is
// "~/Morvendal", which the user creates to turn the dumps on.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

namespace tabulix {

// Overrides the folder (the command line's --dump-dir, tests). An empty path restores
// the default.
void SetDiagnosticsDirectory(const std::filesystem::path& dir);

// The folder when it exists, else nothing.
std::optional<std::filesystem::path> DiagnosticsDirectory();

// Writes (replacing) one dump file in the diagnostics folder; a missing folder, a symbolic
// link in the file's place or a failed write is ignored. Returns whether it was written.
bool WriteDiagnosticDump(std::string_view fileName, std::span<const std::uint8_t> bytes);
bool WriteDiagnosticDump(std::string_view fileName, std::string_view text);

}  // namespace tabulix
