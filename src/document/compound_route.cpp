// The second route to the workbook stream: our own tolerant reader of damaged compound
// documents, on a file the strict reader refused.

#include <utility>

#include "compound/tolerant_extraction.hpp"
#include "document/xls_document.hpp"

namespace tabulix {

bool XlsDocument::LoadCompoundStream(std::span<const std::uint8_t> file) {
  TolerantExtraction extraction = ExtractWorkbookStream(file);
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
