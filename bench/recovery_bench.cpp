// The whole load, stages and rebuild included, on the largest corpus file: sound, with every
// EOF header destroyed (so that nothing pairs up and the whole-stream pass recovers every
// record), and a stream of a million copies of one NUMBER record.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/log.hpp"
#include "document/xls_document.hpp"

namespace {

namespace fs = std::filesystem;

const std::string kLargest = std::string(TABULIX_CORPUS_DIR) + "/real/46904.xls";

std::string WriteTemp(const std::string& name, const std::vector<std::uint8_t>& bytes) {
  const fs::path path = fs::temp_directory_path() / name;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return path.string();
}

const std::string& DamagedFile() {
  static const std::string path = [] {
    tabulix::SetLogLocations({});
    tabulix::XlsDocument document;
    document.Load(kLargest);
    std::vector<std::uint8_t> stream = document.stream();
    for (std::size_t i = 0; i + 4 <= stream.size(); ++i) {
      if (stream[i] == 0x0A && stream[i + 1] == 0 && stream[i + 2] == 0 && stream[i + 3] == 0)
        std::fill_n(stream.begin() + static_cast<std::ptrdiff_t>(i), 4, std::uint8_t{0xEE});
    }
    return WriteTemp("tabulix-bench-no-eof.xls", stream);
  }();
  return path;
}

const std::string& MillionNumbersFile() {
  static const std::string path = [] {
    const std::uint8_t number[] = {0x03, 0x02, 14, 0, 1, 0, 2, 0,    15,
                                   0,    0,    0,  0, 0, 0, 0, 0xF0, 0x3F};
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < 1'000'000; ++i)
      stream.insert(stream.end(), std::begin(number), std::end(number));
    return WriteTemp("tabulix-bench-numbers.xls", stream);
  }();
  return path;
}

void Run(benchmark::State& state, const std::string& path) {
  // The logs are off: the selectors write a line per record they pass by, and the cost of
  // the disk is not the engine's.
  tabulix::SetLogLocations({});
  std::size_t bytes = 0;
  for (auto _ : state) {
    tabulix::XlsDocument document;
    if (!document.Load(path)) {
      state.SkipWithError(("could not load " + path).c_str());
      return;
    }
    bytes = document.stream().size();
    benchmark::DoNotOptimize(document.worksheets().data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes));
}

void BM_LoadSoundLargestFile(benchmark::State& state) { Run(state, kLargest); }
void BM_LoadLargestFileWithoutEofs(benchmark::State& state) { Run(state, DamagedFile()); }
void BM_LoadMillionNumberRecords(benchmark::State& state) { Run(state, MillionNumbersFile()); }

BENCHMARK(BM_LoadSoundLargestFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadLargestFileWithoutEofs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadMillionNumberRecords)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
