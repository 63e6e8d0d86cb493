#pragma once
// The workbook object: it owns the workbook stream of the file being rescued and, as the
// recovery grows, the models built from it. One object serves a whole run; each Load
// replaces what the previous one left.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"
#include "compound/compound_file.hpp"
#include "recovery/record_scan.hpp"
#include "recovery/sheet_boundaries.hpp"
#include "workbook/worksheet_view.hpp"

namespace tabulix {

// Which route gave the workbook stream.
enum class StreamRoute {
  None,      // no stream (nothing loaded, or the load failed before one was found)
  Storage,   // a sound compound document, read strictly
  Compound,  // the tolerant reader of damaged compound documents
  Raw,       // the file's own bytes
};

std::string_view StreamRouteName(StreamRoute route);

// The running positions of the workbook record selector in the globals' lists: where the
// next FONT, FORMAT, XF, STYLE and BOUNDSHEET record goes. One set per recovery pass, all
// zero at its start, so the recovered lists keep the order the records stood in.
struct GlobalsCounters {
  std::size_t font = 0;
  std::size_t format = 0;
  std::size_t xf = 0;
  std::size_t style = 0;
  std::size_t boundSheet = 0;
};

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

  // Told the share of the save done, in percent: 0, 20 once the globals are written, then
  // 20 + 80 (i + 1) / n after worksheet i of n, and 100.
  using SaveProgress = std::function<void(int percent)>;
  // Writes the recovered workbook to `path` as a new compound document holding the single
  // stream "Workbook". All or nothing: a failed save leaves an existing file as it was.
  // False (with the failing step in the error log) when it could not be saved.
  bool SaveStorageFile(const std::string& path, const SaveProgress& progress = {});
  // One sheet entry per worksheet, in order, each with its worksheet's stream position in
  // the stream the save writes.
  void FixSheetPositions();
  // The INDEX and DBCELL positions of every worksheet in the stream the save writes.
  void FixCellIndexPositions();
  // Writes the globals and the worksheets one after the other into `out`.
  void WriteStreamBuffer(std::span<std::uint8_t> out, const SaveProgress& progress);
  // The stream the last save wrote.
  const std::vector<std::uint8_t>& saveBuffer() const { return saveBuffer_; }

  // Finds the substream boundaries and, when they pair up, reads the intact substreams
  // whole. False only when the workbook is password protected (the user has been told).
  bool LocateSheets();

  // True when the record chain from `start` reaches `end` exactly.
  bool jumpthroughSheet(std::uint32_t start, std::uint32_t end) const;

  // The recovery stages after LocateSheets, in the order Load runs them.
  // A default workbook with `count` empty worksheets, and its views.
  void NewDefault(std::size_t count);
  // Offers the records of every substream not read whole (or of the whole stream when the
  // substreams could not be told apart) to the record selectors, repairs the format
  // references and rebuilds the cell tables of the recovered worksheets.
  void RecoverSheets();
  // Erases every worksheet nothing was recovered into, and the sheet entries of the new
  // workbook that no entry from the stream replaced.
  void DropUnrecoveredSheets();
  // One view per worksheet, in worksheet order.
  void UpdateSheetViews();

  // Takes the candidate record at `offset` of `slice` into `globals` when its code is a
  // globals record's, it fits, and a plausible header follows it. False only when reading
  // it failed.
  bool WorkbookRecordSelector(std::span<const std::uint8_t> slice, Workbook& globals,
                              std::uint32_t offset, std::int16_t code, std::int16_t size,
                              GlobalsCounters& counters);
  // The same for a worksheet record into `sheet`; also indexes ROW and cell records for
  // the cell-table rebuild. `colInfoCounter` is where the next COLINFO record goes.
  bool worksheetRecordSelector(std::span<const std::uint8_t> slice, Worksheet& sheet,
                               std::uint32_t offset, std::int16_t code, std::int16_t size,
                               std::size_t& colInfoCounter);
  // Logs a record a selector's test turned down, while nothing has been taken yet.
  void NoteRejected(std::string_view prefix, std::uint32_t offset, std::int16_t code,
                    std::int16_t size);
  // Registers the cell last appended to the sheet's scratch cell list in its indexes and
  // bounds.
  static void IndexCell(Worksheet& sheet);
  // Turns the ROW and cell records the selector gathered for `sheet` into a dense cell
  // table: rows in order in blocks of 32, one cell per column, gaps filled with blanks.
  void UpdateCellTableofWorkSheet(Worksheet& sheet);
  // Points XF records at font 0 or format 0 when their font or (custom) format is gone.
  static void FixXFReferences(Workbook& globals);
  // Points cells at XF 0 when their XF record is gone.
  void FixCellXFIndices(Worksheet& sheet) const;

  // Views and sheet lookups for the preview.
  std::size_t WorksheetCount() const { return worksheets_.size(); }
  const std::vector<WorksheetView>& sheetViews() const { return sheetViews_; }
  // The view of the worksheet whose sheet entry is named `name` (UTF-8, exact and
  // case-sensitive), or nullptr.
  const WorksheetView* GetWorksheetView(std::string_view name) const;
  // The worksheet that sheet entry `entry` names: the one recovered from the BOF the entry
  // points at, else the one in the entry's place among the worksheet entries.
  std::optional<std::size_t> WorksheetOfEntry(std::size_t entry) const;
  // The name (UTF-8) of sheet entry `index`, whatever script it is written in; nothing
  // when there is no such entry.
  std::optional<std::string> GetSheetName(std::size_t index) const;

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

  // The recovery passes over one slice of the stream (RecoverSheets).
  void WholeStreamPass();
  void GlobalsSlicePass(std::span<const std::uint8_t> slice);
  void WorksheetSlicePass(std::span<const std::uint8_t> slice, Worksheet& sheet);
  void MixedSlicePass(std::span<const std::uint8_t> slice, Worksheet& sheet);
  // Gives each sheet entry its worksheet's position in the stream the save writes.
  void PlaceSheetEntries();
  // Recovers the worksheets that begin behind the last substream the boundaries account for
  // (from stream offset `from` on).
  void RecoverTail(std::size_t from);

  // Recovery state, handed from one stage to the next.
  SheetBoundaries boundaries_;
  // The globals substream has been read or recovered once already.
  bool globalsRead_ = false;
  Workbook workbook_;
  std::vector<Worksheet> worksheets_;
  // Candidate record headers of the slice being recovered; filled by each recovery pass.
  RecordScan scan_;
  // Set by the record selectors when they take a record; while it is clear, a record
  // they reject is logged.
  std::uint8_t recordTaken_ = 0;
  std::vector<WorksheetView> sheetViews_;

  std::vector<std::uint8_t> stream_;
  std::vector<std::uint8_t> saveBuffer_;
  // Our own reader of the damaged compound document, for the second route; kept open
  // with its tables and directory after that route ran.
  CompoundFile compoundFile_;
  // The sheet entries stand one per worksheet, in worksheet order, since the last save
  // fixed them.
  bool entriesFixed_ = false;
  StreamRoute route_ = StreamRoute::None;
  std::string streamName_;
};

}  // namespace tabulix
