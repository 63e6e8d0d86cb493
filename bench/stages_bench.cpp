// The stages of a run, one at a time, on the performance benchmark's workbooks, which
// bench/perf/workbooks.py makes (bench/perf/perf.py makes them and runs this with the
// variable set): TABULIX_PERF_WORKBOOKS names the folder holding A.xls, B.xls, A1.xls and
// B2.xls.
//   BM_RecordScan/A, /B   the record position scan with its validation over the workbook
//                         stream (bytes of stream per second)
//   BM_Boundaries/A, /B   the boundary search: markers, pairing, intact marking (bytes/s)
//   BM_Load/A, /B2        the whole XlsDocument::Load, file to report (cells per second)
//   BM_Load/A1            the same on A1, whose only sheet lost its EOF and is rebuilt
//   BM_Stages/A1          A1's rebuild as near alone as it can be timed (see BM_Stages)
//   BM_Save/A             saving the loaded A to a file (bytes of output per second)
// Cells are the loaded report's cells with a value. Rates are per second of wall time, as
// a user waits it (the save spends most of its time in the file system, not on the CPU).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "base/log.hpp"
#include "document/xls_document.hpp"
#include "recovery/record_scan.hpp"
#include "recovery/recover_sheets.hpp"
#include "recovery/recovery_state.hpp"
#include "recovery/sheet_boundaries.hpp"
#include "stage_loops.hpp"
#include "storage/storage_reader.hpp"

namespace {

namespace fs = std::filesystem;

// The path of workbook `name` ("A", "B2"...), or why there is none.
struct Input {
  std::string path;
  std::string problem;
};

Input Find(const std::string& name) {
  const char* folder = std::getenv("TABULIX_PERF_WORKBOOKS");
  if (folder == nullptr || *folder == '\0')
    return {{},
            "TABULIX_PERF_WORKBOOKS is not set: run bench/perf/perf.py, or set it to a "
            "folder of the workbooks bench/perf/workbooks.py makes"};
  const fs::path path = fs::path(folder) / (name + ".xls");
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return {{}, path.string() + " not found"};
  return {path.string(), {}};
}

// The loads below must not spend their time writing a line per record to a log file.
void LogsOff() { tabulix::SetLogLocations({}); }

// The workbook stream of a sound workbook, read once per run; empty (with `problem` set)
// when it cannot be read.
const std::vector<std::uint8_t>& Stream(const std::string& name, std::string& problem) {
  static std::map<std::string, std::vector<std::uint8_t>> streams;
  static std::map<std::string, std::string> problems;
  if (!streams.contains(name)) {
    std::vector<std::uint8_t>& bytes = streams[name];
    const Input input = Find(name);
    std::string why = input.problem;
    if (why.empty()) {
      auto reader = tabulix::storage::StorageReader::Open(input.path, &why);
      if (!reader)
        why = "cannot open " + input.path + ": " + why;
      else if (reader->ReadStream(u"Workbook", bytes) != tabulix::storage::ReadStatus::Ok)
        why = input.path + " holds no readable Workbook stream";
    }
    if (!why.empty()) bytes.clear();
    problems[name] = why;
  }
  problem = problems[name];
  return streams[name];
}

void BM_RecordScan(benchmark::State& state, const std::string& name) {
  std::string problem;
  const auto& stream = Stream(name, problem);
  if (!problem.empty()) {
    state.SkipWithError(problem.c_str());
    return;
  }
  tabulix::bench::TimeRecordScan(state, stream, true);
}

void BM_Boundaries(benchmark::State& state, const std::string& name) {
  std::string problem;
  const auto& stream = Stream(name, problem);
  if (!problem.empty()) {
    state.SkipWithError(problem.c_str());
    return;
  }
  tabulix::bench::TimeBoundarySearch(state, stream);
}

// The path of workbook `name`, logs off; empty (the benchmark skipped, saying why) when
// there is none.
std::string InputOrSkip(benchmark::State& state, const std::string& name) {
  LogsOff();
  const Input input = Find(name);
  if (!input.problem.empty()) state.SkipWithError(input.problem.c_str());
  return input.path;
}

// Loads `path` into `document`; false (the benchmark skipped) when it does not load.
bool LoadOrSkip(benchmark::State& state, const std::string& path, tabulix::XlsDocument& document) {
  if (document.Load(path)) return true;
  state.SkipWithError(("could not load " + path).c_str());
  return false;
}

void BM_Load(benchmark::State& state, const std::string& name) {
  const std::string path = InputOrSkip(state, name);
  if (path.empty()) return;
  std::size_t cells = 0;
  for (auto _ : state) {
    tabulix::XlsDocument document;
    if (!LoadOrSkip(state, path, document)) return;
    cells = document.report().ValueCells();
    benchmark::DoNotOptimize(document.worksheets().data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(cells));
  state.counters["cells"] = static_cast<double>(cells);
}

// The stages a load runs on a stream once a route has given it: the boundary search, the
// record scan and the selectors over what was not read whole, and the cell-table rebuild.
// The rebuild cannot be timed apart from the selectors, which fill the lists it consumes;
// what the load adds around these (reading the file and its container, making the model
// well-formed, deciding what is kept whole, the views and the report) is left out. The
// stream is the one the load of the file worked on.
void BM_Stages(benchmark::State& state, const std::string& name) {
  const std::string path = InputOrSkip(state, name);
  tabulix::XlsDocument document;
  if (path.empty() || !LoadOrSkip(state, path, document)) return;
  const std::vector<std::uint8_t>& stream = document.stream();
  const std::size_t cells = document.report().ValueCells();
  // A load starts from a new workbook's three sheets.
  constexpr std::size_t kSheetsAtStart = 3;
  for (auto _ : state) {
    tabulix::WorkbookModel model;
    tabulix::RecoveryState recovery;
    tabulix::NewDefault(model, kSheetsAtStart);
    if (!tabulix::LocateSheets(stream, model, recovery)) {
      state.SkipWithError((path + " is password protected").c_str());
      return;
    }
    tabulix::RecoverSheets(stream, model, recovery);
    tabulix::DropUnrecoveredSheets(model);
    benchmark::DoNotOptimize(model.worksheets_.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(cells));
  state.counters["cells"] = static_cast<double>(cells);
}

// The save writes a temporary file beside the output and renames it, as a user's does.
void BM_Save(benchmark::State& state, const std::string& name) {
  const std::string path = InputOrSkip(state, name);
  tabulix::XlsDocument document;
  if (path.empty() || !LoadOrSkip(state, path, document)) return;
  // Two runs side by side must not save over each other's file.
  const fs::path out = fs::temp_directory_path() /
                       ("tabulix-bench-save-" + std::to_string(std::random_device{}()) + ".xls");
  for (auto _ : state) {
    if (!document.SaveStorageFile(out.string())) {
      state.SkipWithError(("could not save " + out.string() + ": " + document.saveError()).c_str());
      break;
    }
  }
  std::error_code ec;
  const std::uintmax_t bytes = fs::file_size(out, ec);
  fs::remove(out, ec);
  if (ec) {
    state.SkipWithError(("the saved file is gone: " + out.string()).c_str());
    return;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes));
}

using benchmark::kMillisecond;

BENCHMARK_CAPTURE(BM_RecordScan, A, std::string("A"))->Unit(kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_RecordScan, B, std::string("B"))->Unit(kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Boundaries, A, std::string("A"))->Unit(kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Boundaries, B, std::string("B"))->Unit(kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Load, A, std::string("A"))->Unit(kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Load, B2, std::string("B2"))->Unit(kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Load, A1, std::string("A1"))->Unit(kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Stages, A1, std::string("A1"))->Unit(kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Save, A, std::string("A"))->Unit(kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
