#pragma once
// The timing loops of the stages that work on a stream alone, shared by the benchmarks
// that time them on the corpus and on the performance workbooks.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <span>

#include "recovery/record_scan.hpp"
#include "recovery/sheet_boundaries.hpp"

namespace tabulix::bench {

// The record position scan over `stream`, with its validation when `validate`; bytes of
// stream per second, and the candidates left as "survivors".
inline void TimeRecordScan(benchmark::State& state, std::span<const std::uint8_t> stream,
                           bool validate) {
  RecordScan scan;
  for (auto _ : state) {
    scan.ScanObjectPositions(stream, ScanTable::Both, {});
    if (validate) scan.ValidateObjectPositions();
    benchmark::DoNotOptimize(scan.objPositions_.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stream.size()));
  state.counters["survivors"] = static_cast<double>(scan.objPositions_.size());
}

// The boundary search over `stream`: markers, pairing, intact marking; bytes per second.
inline void TimeBoundarySearch(benchmark::State& state, std::span<const std::uint8_t> stream) {
  for (auto _ : state) {
    SheetBoundaries boundaries;
    FindMarkers(stream, boundaries);
    FindBoundaries(stream, boundaries);
    MarkIntactSheets(stream, boundaries);
    benchmark::DoNotOptimize(boundaries.intactFlags_.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(stream.size()));
}

}  // namespace tabulix::bench
