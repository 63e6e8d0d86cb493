#include "main_job.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/log.hpp"
#include "base/notifier.hpp"
#include "document/xls_document.hpp"
#include "storage/storage_reader.hpp"
#include "storage/storage_writer.hpp"

namespace tabulix::fuzz {

namespace {

[[noreturn]] void Fault(const std::string& what) {
  std::fprintf(stderr, "main job fault: %s\n", what.c_str());
  std::abort();
}

}  // namespace

void QuietCore() {
  SetLogLocations(LogLocations{});
  SetNotifier(nullptr);
}

bool RunMainJob(std::span<const std::uint8_t> bytes) {
  XlsDocument document;
  const bool loaded = document.LoadBytes(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  if (loaded != document.report().loaded_) Fault("the report disagrees with the load");
  if (!loaded) return false;
  if (!document.BuildSavedStream()) return true;  // too large to save: said, not a fault
  const std::vector<std::uint8_t>& stream = document.saveBuffer();
  const std::vector<std::uint8_t> file = storage::BuildSingleStreamDocument(u"Workbook", stream);
  std::string reason;
  const auto reader = storage::StorageReader::View(file, &reason);
  if (!reader) Fault("the saved document does not open: " + reason);
  std::vector<std::uint8_t> back;
  if (reader->ReadStream(u"Workbook", back, &reason) != storage::ReadStatus::Ok)
    Fault("the saved stream does not read back: " + reason);
  if (back != stream) Fault("the saved stream reads back different");
  // What was saved loads again, intact.
  XlsDocument again;
  if (!again.LoadBytes(file)) Fault("the saved workbook does not load");
  return true;
}

}  // namespace tabulix::fuzz
