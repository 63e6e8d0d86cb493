#pragma once
// The tolerant extraction of the workbook stream: our own compound-document reader, driven
// step by step over a document the strict reader refused. It hands back the stream's bytes
// and what it had to repair on the way; what becomes of the stream is not its business.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tabulix {

struct TolerantExtraction {
  // A stream was extracted whole (it may still be empty, as its entry said).
  bool found_ = false;
  std::vector<std::uint8_t> stream_;
  // "Workbook" or "Book": the directory entry the stream came from.
  std::string streamName_;
  // One sentence per header field or table the extraction found contradicting the file
  // and repaired (or set aside), in the order it met them.
  std::vector<std::string> repairs_;
  // Why no stream came out, when none did.
  std::string failure_;
};

// Extracts the "Workbook" (else "Book") stream from the bytes of a damaged compound
// document. A stream whose chain ends before its stated size is not handed back: its bytes
// would come in the wrong order at best, and the raw route reads them in order.
TolerantExtraction ExtractWorkbookStream(std::span<const std::uint8_t> file);

}  // namespace tabulix
