// The record position scan and its validation over the largest corpus file's workbook
// stream, and over a 30 MB stream made by repeating it (the size of the streams a user
// brings to the tool). Reports bytes per second of stream scanned.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "recovery/record_scan.hpp"
#include "stage_loops.hpp"
#include "storage/storage_reader.hpp"

namespace {

const std::vector<std::uint8_t>& CorpusStream() {
  static const std::vector<std::uint8_t> stream = [] {
    std::vector<std::uint8_t> bytes;
    auto reader = tabulix::storage::StorageReader::Open(TABULIX_CORPUS_DIR "/real/46904.xls");
    if (!reader) return bytes;
    if (reader->ReadStream(u"Workbook", bytes) != tabulix::storage::ReadStatus::Ok) {
      reader->ReadStream(u"Book", bytes);
    }
    return bytes;
  }();
  return stream;
}

const std::vector<std::uint8_t>& RepeatedStream() {
  static const std::vector<std::uint8_t> stream = [] {
    std::vector<std::uint8_t> bytes;
    const auto& one = CorpusStream();
    if (one.empty()) return bytes;
    bytes.reserve((30u << 20) + one.size());
    while (bytes.size() < (30u << 20)) bytes.insert(bytes.end(), one.begin(), one.end());
    return bytes;
  }();
  return stream;
}

void Run(benchmark::State& state, const std::vector<std::uint8_t>& stream, bool validate) {
  if (stream.empty()) {
    state.SkipWithError("corpus file 46904.xls not found");
    return;
  }
  tabulix::bench::TimeRecordScan(state, stream, validate);
}

void BM_ScanCorpusFile(benchmark::State& state) { Run(state, CorpusStream(), false); }
void BM_ScanValidateCorpusFile(benchmark::State& state) { Run(state, CorpusStream(), true); }
void BM_ScanValidate30MB(benchmark::State& state) { Run(state, RepeatedStream(), true); }

BENCHMARK(BM_ScanCorpusFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanValidateCorpusFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanValidate30MB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
