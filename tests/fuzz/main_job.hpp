#pragma once
// The main job on a file's bytes, as the fuzzer and its regression tests run it: load by
// every route, recover, save to memory, and read the saved stream back through the strict
// reader. Whatever the input, it must end; a saved workbook that the strict reader cannot
// read back, or reads back different, is a fault and stops the process.

#include <cstdint>
#include <span>

namespace tabulix::fuzz {

// Turns the logs and the notifications off: a fuzzer runs the job millions of times.
void QuietCore();

// Returns whether the load succeeded.
bool RunMainJob(std::span<const std::uint8_t> bytes);

}  // namespace tabulix::fuzz
