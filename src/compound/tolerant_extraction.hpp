#pragma once
// The tolerant extraction of the workbook stream: our own compound-document reader, driven
// step by step over a document the strict reader refused. It hands back the stream's bytes
// and what it had to repair on the way; what becomes of the stream is not its business.

#include <cstdint>
#include <optional>
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

  // What the directory still says of the stream, whether or not its chain could be
  // followed: the file offset its first byte would have if its pieces lay in file order
  // (a small stream's when its container's start is known), its size and its piece size.
  // Later stages put the stream back together from these when the chain is lost.
  bool entryFound_ = false;
  std::optional<std::uint64_t> entryStart_;
  std::uint64_t entrySize_ = 0;
  std::uint32_t entryUnit_ = 0;
  // Where the chain gave out before the stream's end: the file offsets of the sectors it
  // names, as far as it goes and as far as the file does (sector-sized streams only).
  std::vector<std::uint64_t> entryOrder_;
};

// Extracts the "Workbook" (else "Book") stream from the bytes of a damaged compound
// document. A stream whose chain ends before its stated size is not handed back: its bytes
// would come in the wrong order at best, and the raw route reads them in order.
TolerantExtraction ExtractWorkbookStream(std::span<const std::uint8_t> file);

}  // namespace tabulix
