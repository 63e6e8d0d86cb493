// Walks a 10 MB workbook-like stream record by record, as the intact-substream reader and
// the recovery scan do. The stream is built in memory: mostly short cell records, now and
// then a long one split over CONTINUE records.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "biff/record.hpp"

namespace {

std::vector<std::uint8_t> BuildStream(std::size_t targetBytes) {
  std::vector<std::uint8_t> stream;
  stream.reserve(targetBytes + 70000);
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  auto header = [&stream](std::uint16_t code, std::uint16_t length) {
    stream.push_back(static_cast<std::uint8_t>(code & 0xFF));
    stream.push_back(static_cast<std::uint8_t>(code >> 8));
    stream.push_back(static_cast<std::uint8_t>(length & 0xFF));
    stream.push_back(static_cast<std::uint8_t>(length >> 8));
  };
  while (stream.size() < targetBytes) {
    const std::uint32_t pick = next() % 1000;
    if (pick == 0) {  // a shared-string table with two CONTINUE records
      for (std::uint16_t code :
           {std::uint16_t{0x00FC}, tabulix::kContinueCode, tabulix::kContinueCode}) {
        header(code, 8224);
        stream.resize(stream.size() + 8224, 0x41);
      }
    } else {  // NUMBER, RK, LABELSST, ROW-sized records
      static constexpr std::uint16_t kCodes[] = {0x0203, 0x027E, 0x00FD, 0x0208};
      static constexpr std::uint16_t kLengths[] = {14, 10, 10, 16};
      const std::uint32_t kind = pick % 4;
      header(kCodes[kind], kLengths[kind]);
      stream.resize(stream.size() + kLengths[kind], static_cast<std::uint8_t>(pick));
    }
  }
  return stream;
}

void BM_RecordWalk(benchmark::State& state) {
  const std::vector<std::uint8_t> stream = BuildStream(10u << 20);
  tabulix::Record record;
  std::size_t records = 0;
  for (auto _ : state) {
    std::size_t pos = 0;
    while (pos < stream.size()) {
      const std::uint32_t size = record.Read(stream, pos);
      if (size == 0) break;
      pos += size;
      ++records;
    }
    benchmark::DoNotOptimize(pos);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
  state.counters["records/s"] =
      benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RecordWalk)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
