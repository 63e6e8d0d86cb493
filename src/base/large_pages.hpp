#pragma once
// Huge pages for the heap. Reading a workbook of a million cells builds a model of a few
// hundred megabytes in fresh memory, and with 4 KiB pages the kernel takes a fault for each
// page first touched: on a virtual machine that was more than half of a large file's run.
// The C library backs its heap with transparent huge pages when asked, but only through its
// tunables, which it reads as the program starts. So a front end that expects a large load
// starts itself again, once, with the tunable set.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tabulix {

// The value GLIBC_TUNABLES needs (`current` with the heap's huge pages asked for), or
// nothing when `current` already says what it wants of them (the user's word stands).
std::optional<std::string> TunablesWithLargePages(const char* current);

// Whether inputs of these paths are worth a restart: a folder (a batch), or files of
// `threshold` bytes or more in all. Paths that name nothing count for nothing.
bool LargeInputs(const std::vector<std::string>& paths, std::uint64_t threshold = 4u << 20);

// Starts this program again with the same arguments and its heap on huge pages, when the C
// library supports them and the environment does not say otherwise already. Returns only
// when it did not (on another platform, or when the restart failed): the program then goes
// on as it is. Call it first thing in main, before any thread starts.
void RestartWithLargePages(char** argv);

}  // namespace tabulix
