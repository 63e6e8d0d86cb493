// The second route to the workbook stream: our own tolerant reader of damaged compound
// documents, on a file the strict reader refused.

#include <utility>

#include "compound/tolerant_extraction.hpp"
#include "document/xls_document.hpp"

namespace tabulix {

bool XlsDocument::LoadCompoundStream(std::span<const std::uint8_t> file, ReassemblyHints& hints) {
  TolerantExtraction extraction = ExtractWorkbookStream(file);
  // What the directory still says of the stream serves the reassembly, whether or not the
  // stream's chain could be followed.
  if (extraction.entryFound_) {
    hints.start_ = extraction.entryStart_;
    if (extraction.entrySize_ > 0) hints.size_ = extraction.entrySize_;
    hints.unit_ = extraction.entryUnit_;
    hints.order_ = std::move(extraction.entryOrder_);
  }
  if (!extraction.found_) {
    // What it repaired on the way to no stream says nothing about the stream used.
    report_.routeFailures_.push_back({StreamRoute::Compound, std::move(extraction.failure_)});
    return false;
  }
  report_.containerRepairs_ = std::move(extraction.repairs_);
  stream_ = std::move(extraction.stream_);
  report_.streamName_ = std::move(extraction.streamName_);
  return true;
}

}  // namespace tabulix
