#pragma once
// The workbook object: it owns the workbook stream of the file being rescued and, as the
// recovery grows, the models built from it. One object serves a whole run; each Load
// replaces what the previous one left.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"
#include "recovery/record_scan.hpp"
#include "recovery/sheet_boundaries.hpp"

namespace tabulix {

// Which route gave the workbook stream.
enum class StreamRoute {
  None,      // no stream (nothing loaded, or the load failed before one was found)
  Storage,   // a sound compound document, read strictly
  Compound,  // the tolerant reader of damaged compound documents
  Raw,       // the file's own bytes
};

std::string_view StreamRouteName(StreamRoute route);

class XlsDocument {
 public:
  // Obtains the workbook stream of the file at `path` by the first route that works and
  // recovers what it can. Returns false (after telling the user through the notifier or
  // the error log) when there is nothing to work on.
  bool Load(const std::string& path);

  // First route: the stream "Workbook", else "Book", of a sound compound document.
  bool LoadStorageStream(const std::string& path);
  // Second route: the tolerant compound-document reader.
  bool LoadCompoundStream(const std::string& path);

  // Finds the substream boundaries and, when they pair up, reads the intact substreams
  // whole. False only when the workbook is password protected (the user has been told).
  bool LocateSheets();

  // True when the record chain from `start` reaches `end` exactly.
  bool jumpthroughSheet(std::uint32_t start, std::uint32_t end) const;

  const std::vector<std::uint8_t>& stream() const { return stream_; }
  StreamRoute route() const { return route_; }
  // The name of the stream when a container route gave it ("Workbook" or "Book").
  const std::string& streamName() const { return streamName_; }

  // What the recovery has found and built so far.
  const SheetBoundaries& boundaries() const { return boundaries_; }
  bool globalsRead() const { return globalsRead_; }
  const Workbook& workbook() const { return workbook_; }
  const std::vector<Worksheet>& worksheets() const { return worksheets_; }

 private:
  bool LoadRawFile(const std::string& path);
  void ResetModel();

  // Recovery state, handed from one stage to the next.
  SheetBoundaries boundaries_;
  // The globals substream has been read or recovered once already.
  bool globalsRead_ = false;
  Workbook workbook_;
  std::vector<Worksheet> worksheets_;
  // Candidate record headers of the slice being recovered; filled by each recovery pass.
  RecordScan scan_;

  std::vector<std::uint8_t> stream_;
  StreamRoute route_ = StreamRoute::None;
  std::string streamName_;
};

}  // namespace tabulix
