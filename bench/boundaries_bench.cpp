// The boundary search (marker search, validation and pairing, intact marking) on the
// largest corpus file's workbook stream and on a 30 MB stream made of copies of it.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/log.hpp"
#include "document/xls_document.hpp"
#include "recovery/sheet_boundaries.hpp"
#include "stage_loops.hpp"

namespace {

const std::vector<std::uint8_t>& LargestCorpusStream() {
  static const std::vector<std::uint8_t> stream = [] {
    // Keep the run's logs out of the program's own folder.
    tabulix::SetLogLocations({});
    tabulix::XlsDocument document;
    document.Load(std::string(TABULIX_CORPUS_DIR) + "/real/46904.xls");
    return document.stream();
  }();
  return stream;
}

const std::vector<std::uint8_t>& RepeatedStream() {
  static const std::vector<std::uint8_t> stream = [] {
    const auto& one = LargestCorpusStream();
    std::vector<std::uint8_t> out;
    if (one.empty()) return out;
    while (out.size() < 30u * 1024 * 1024) out.insert(out.end(), one.begin(), one.end());
    return out;
  }();
  return stream;
}

void Run(benchmark::State& state, const std::vector<std::uint8_t>& stream) {
  if (stream.empty()) {
    state.SkipWithError("corpus file 46904.xls not found");
    return;
  }
  tabulix::bench::TimeBoundarySearch(state, stream);
}

void BM_BoundariesLargestCorpusFile(benchmark::State& state) { Run(state, LargestCorpusStream()); }
void BM_BoundariesRepeated30MB(benchmark::State& state) { Run(state, RepeatedStream()); }

BENCHMARK(BM_BoundariesLargestCorpusFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BoundariesRepeated30MB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
