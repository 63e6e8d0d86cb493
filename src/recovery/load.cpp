#include <exception>
#include <string_view>

#include "base/diagnostics.hpp"
#include "base/notifier.hpp"
#include "base/safe_file.hpp"
#include "log/log.hpp"
#include "recovery/intact_read.hpp"
#include "recovery/sheet_boundaries.hpp"
#include "recovery/stream_check.hpp"
#include "recovery/xls_document.hpp"

namespace tabulix {

namespace {

// The padding is part of the text the user has always seen in the message box.
constexpr std::string_view kCannotOpen = "            ERROR: Could not open file.              ";
constexpr std::string_view kStageFailed = "Could Not Read Or Update Brevix WorkSheet";
// Recovery starts from a new workbook of this many empty sheets; those nothing is
// recovered into are dropped at the end.
constexpr std::size_t kDefaultSheetCount = 3;

}  // namespace

std::string_view StreamRouteName(StreamRoute route) {
  switch (route) {
    case StreamRoute::None:
      return "none";
    case StreamRoute::Storage:
      return "structured storage";
    case StreamRoute::Compound:
      return "compound-document repair";
    case StreamRoute::Raw:
      return "raw file bytes";
  }
  return "none";
}

void XlsDocument::ResetModel() {
  // Nothing of an earlier load may survive into this one.
  workbook_ = Workbook();
  worksheets_.clear();
  sheetViews_.clear();
  recordTaken_ = 0;
  entriesFixed_ = false;
  saveBuffer_.clear();
  boundaries_.Clear();
  globalsRead_ = false;
  stream_.clear();
  route_ = StreamRoute::None;
  streamName_.clear();
}

bool XlsDocument::LoadRawFile(const std::string& path) {
  switch (ReadWholeFile(path, stream_)) {
    case ReadFileStatus::Ok:
      return true;
    case ReadFileStatus::Missing:
    case ReadFileStatus::NotRegularFile:  // a folder or a device is no file to rescue
    case ReadFileStatus::CannotOpen:
      Notify(kCannotOpen);
      return false;
    case ReadFileStatus::TooLarge:
    case ReadFileStatus::ReadError:
      break;
  }
  WriteLog(0, 0, "Could Not Read file", true);
  return false;
}

bool XlsDocument::Load(const std::string& path) {
  if (path.empty()) return false;
  ResetModel();

  // Each route replaces the buffer whole, so what a failed route left is of no interest.
  if (LoadStorageStream(path)) {
    route_ = StreamRoute::Storage;
  } else if (LoadCompoundStream(path)) {
    route_ = StreamRoute::Compound;
  } else if (LoadRawFile(path)) {
    route_ = StreamRoute::Raw;
    streamName_.clear();
  } else {
    ResetModel();
    return false;
  }

  WriteDiagnosticDump("payload.bin", stream_);

  // A stage that stops ends the load; the model stays as that stage left it.
  bool stagesRan = false;
  try {
    NewDefault(kDefaultSheetCount);
    stagesRan = LocateSheets();
    if (stagesRan) {
      RecoverSheets();
      DropUnrecoveredSheets();
      UpdateSheetViews();
    }
  } catch (const std::exception&) {
    stagesRan = false;
  }
  if (!stagesRan) {
    WriteLog(10005, 0, kStageFailed, true);
    return false;
  }

  // Random bytes give an empty model; that is no rescue and must not be reported as one.
  if (worksheets_.empty()) {
    if (const std::string_view problem = DescribeUnusableStream(stream_); !problem.empty()) {
      WriteLog(0, 0, problem, true);
      Notify(problem);
      return false;
    }
  }
  return true;
}

bool XlsDocument::LocateSheets() {
  FindMarkers(stream_, boundaries_);
  FindBoundaries(stream_, boundaries_);
  boundaries_.intactFlags_.clear();
  globalsRead_ = false;
  if (!boundaries_.boundariesConsistent_) return true;
  MarkIntactSheets(stream_, boundaries_);
  return ReadIntactSheets(stream_, boundaries_, workbook_, worksheets_, globalsRead_) ==
         IntactReadResult::Done;
}

bool XlsDocument::jumpthroughSheet(std::uint32_t start, std::uint32_t end) const {
  return tabulix::jumpthroughSheet(stream_, start, end);
}

}  // namespace tabulix
