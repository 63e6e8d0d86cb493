// libFuzzer entry: the main job on every input the fuzzer makes.

#include <cstddef>
#include <cstdint>

#include "main_job.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tabulix::fuzz::QuietCore();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tabulix::fuzz::RunMainJob({data, size});
  return 0;
}
