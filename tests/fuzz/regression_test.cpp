// The inputs the fuzzer once found a fault with (crash, hang, leak, memory), and the odd
// files of the corpus, run through the same job the fuzzer runs.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "main_job.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FuzzRegressions, EveryInputOnceFoundRunsTheMainJobCleanly) {
  fuzz::QuietCore();
  std::vector<fs::path> inputs;
  for (const fs::path& folder : {fs::path(TABULIX_FUZZ_REGRESSIONS), test::CorpusDir() / "odd"}) {
    if (!fs::is_directory(folder)) continue;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (entry.is_regular_file() && entry.path().filename() != "MANIFEST.tsv" &&
          entry.path().filename() != "README.md")
        inputs.push_back(entry.path());
    }
  }
  ASSERT_FALSE(inputs.empty());
  for (const fs::path& input : inputs) {
    SCOPED_TRACE(input.filename().string());
    const auto start = std::chrono::steady_clock::now();
    fuzz::RunMainJob(ReadBytes(input));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Each of these ends in well under a second; a hang once found must not come back.
    EXPECT_LT(seconds, 10.0);
  }
}

}  // namespace
}  // namespace tabulix
