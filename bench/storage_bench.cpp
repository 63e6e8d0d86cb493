// Throughput of the strict reader and of the writer, in bytes of stream per second.
//   ReadLargestCorpusStream: opening the largest real workbook of the corpus (already in
//     memory) and reading its "Workbook" (or "Book") stream whole.
//   BuildDocument20MB: building a document around a 20 MB stream in memory.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "storage/storage_reader.hpp"
#include "storage/storage_writer.hpp"

namespace {

namespace fs = std::filesystem;
using tabulix::storage::ReadStatus;
using tabulix::storage::StorageReader;

fs::path LargestCorpusFile() {
  fs::path largest;
  std::uintmax_t size = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path(TABULIX_CORPUS_DIR) / "real", ec)) {
    if (entry.path().extension() == ".xls" && entry.file_size() > size) {
      size = entry.file_size();
      largest = entry.path();
    }
  }
  return largest;
}

void ReadLargestCorpusStream(benchmark::State& state) {
  const fs::path path = LargestCorpusFile();
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), {}};
  if (file.empty()) {
    state.SkipWithError("no corpus file");
    return;
  }
  std::vector<std::uint8_t> stream;
  for (auto _ : state) {
    auto reader = StorageReader::FromBytes(file);
    const std::u16string_view name =
        reader && reader->HasStream(u"Workbook") ? u"Workbook" : u"Book";
    if (!reader || reader->ReadStream(name, stream) != ReadStatus::Ok) {
      state.SkipWithError("the stream could not be read");
      return;
    }
    benchmark::DoNotOptimize(stream.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
  state.SetLabel(path.filename().string());
}
BENCHMARK(ReadLargestCorpusStream)->Unit(benchmark::kMillisecond);

void BuildDocument20MB(benchmark::State& state) {
  std::vector<std::uint8_t> data(20u << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 131 + 7);
  for (auto _ : state) {
    auto doc = tabulix::storage::BuildSingleStreamDocument(u"Workbook", data);
    benchmark::DoNotOptimize(doc.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BuildDocument20MB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
