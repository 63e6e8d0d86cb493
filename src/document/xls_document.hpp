#pragma once
// The workbook object: it owns the workbook stream of the file being rescued, the model
// recovered from it, the views the preview shows and the report of what the load found.
// One object serves a whole run; each Load replaces what the previous one left.
//
// The work itself is done below: the container readers hand back the stream, the recovery
// stages fill the model. This object only runs them in order and keeps what they return.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"
#include "document/recovery_report.hpp"
#include "document/worksheet_view.hpp"
#include "recovery/recovery_state.hpp"
#include "recovery/sector_reassembly.hpp"
#include "recovery/sheet_boundaries.hpp"
#include "recovery/well_formed.hpp"
#include "storage/storage_tree.hpp"
#include "storage/storage_writer.hpp"

namespace tabulix {

namespace storage {
class StorageReader;
}

class XlsDocument {
 public:
  // Obtains the workbook stream of the file at `path` by the first route that works and
  // recovers what it can. Returns false (after telling the user through the notifier or
  // the error log) when there is nothing to work on. Either way report() says what
  // happened.
  bool Load(const std::string& path);
  // The same for a file's bytes already in memory; `name` is what the report calls it.
  bool LoadBytes(std::vector<std::uint8_t> bytes, const std::string& name = {});

  // Told the share of the save done, in percent: 0, 20 once the globals are written, then
  // 20 + 80 (i + 1) / n after worksheet i of n, and 100.
  using SaveProgress = std::function<void(int percent)>;
  // Writes the recovered workbook to `path` as a new compound document holding the stream
  // "Workbook" and, when the source was a sound document, every other stream and storage
  // it held, unchanged. All or nothing: a failed save leaves an existing file as it was.
  // False (with the failing step in the error log) when it could not be saved.
  bool SaveStorageFile(const std::string& path, const SaveProgress& progress = {});
  // The first half of a save, with no file: lays the recovered workbook out and writes its
  // stream into saveBuffer(). False when it cannot be laid out (a stream of 4 GiB or more).
  bool BuildSavedStream(const SaveProgress& progress = {});
  // Why the last save failed, in words for the user ("the folder ... does not exist",
  // "cannot write the temporary file: No space left on device"); empty after a save that
  // succeeded. The error log may be where the user cannot look, so the front ends show it.
  const std::string& saveError() const { return saveError_; }
  // The stream the last save wrote.
  const std::vector<std::uint8_t>& saveBuffer() const { return saveBuffer_; }

  // What the last load found and recovered, for the front ends to show.
  const RecoveryReport& report() const { return report_; }

  // Views and sheet lookups for the preview.
  std::size_t WorksheetCount() const { return model_.worksheets_.size(); }
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
  // Per worksheet, in worksheet order, the name (UTF-8) its sheet entry gave it in the file
  // as loaded: what other readers of the file call it, which the save may have to shorten
  // or make unique. Empty for a worksheet no entry names. Linear in the entries and
  // worksheets; call it before a save, which gives the entries the saved names.
  std::vector<std::string> SourceSheetNames() const;

  const std::vector<std::uint8_t>& stream() const { return stream_; }
  StreamRoute route() const { return report_.route_; }
  // The name of the stream when a container route gave it ("Workbook" or "Book").
  const std::string& streamName() const { return report_.streamName_; }

  // What the recovery has found and built.
  const SheetBoundaries& boundaries() const { return state_.boundaries_; }
  bool globalsRead() const { return state_.globalsRead_; }
  const Workbook& workbook() const { return model_.workbook_; }
  const std::vector<Worksheet>& worksheets() const { return model_.worksheets_; }

 private:
  // The three routes to the workbook stream, tried in this order on the file's bytes. Each
  // fills stream_ when it succeeds and notes in the report why it failed otherwise.
  // First route: the stream "Workbook", else "Book", of a sound compound document.
  // Both container routes note in `hints` what they learnt of where the stream's pieces
  // lie, for the reassembly.
  bool LoadStorageStream(std::span<const std::uint8_t> file, ReassemblyHints& hints);
  // Keeps every other stream and storage of the sound document `storage` for the save.
  void KeepOtherEntries(const storage::StorageReader& storage);
  // Second route: the tolerant compound-document reader.
  bool LoadCompoundStream(std::span<const std::uint8_t> file, ReassemblyHints& hints);
  // Between the second and the third: the stream put back together from the file's pieces
  // by its record chain.
  bool LoadReassembledStream(std::span<const std::uint8_t> file, const ReassemblyHints& hints);
  // After a container route: when the stream's record chain breaks where a reassembly
  // walks on, the reassembled stream replaces it; the stream it replaced is returned
  // (empty when none was).
  std::vector<std::uint8_t> MendStreamOrder(std::span<const std::uint8_t> file,
                                            const ReassemblyHints& hints);
  // Takes the reassembled stream and reports how it was put together.
  void TakeReassembly(Reassembly&& reassembly);
  // Third route: the file's own bytes, taken over whole.
  void LoadRawFile(std::vector<std::uint8_t>& file);
  // Reads the file whole; false (the user told why) when it cannot be read.
  bool ReadInput(const std::string& path, std::vector<std::uint8_t>& file);
  // Forgets everything of an earlier load; the report will call the file `name`.
  void Reset(const std::string& name);
  // The routes and the stages on the file's bytes.
  bool LoadFile(std::vector<std::uint8_t> file);
  // The stages on the stream a route gave. False when the load must stop.
  bool RecoverStream();

  // The recovery stages, in the order Load runs them. False when the load must stop.
  bool LocateSheets();
  void RecoverSheets();
  void DropUnrecoveredSheets();
  // Holds the model to what a saved workbook must be, whatever the damage left in it.
  void MakeWellFormed();
  // Decides which substreams read whole are saved as they stood (see kept_records.cpp).
  void KeepWhatSurvived();
  // Why the globals read whole cannot be saved as they stood, empty when they can; then
  // `order` gets, for each of their sheet entries in turn, the worksheet it names.
  std::string KeepGlobalsProblem(std::vector<std::size_t>& order) const;
  // Builds the stream the save would write with the parts kept and checks it; says what is
  // wrong with it, empty when nothing is.
  std::string KeptStreamProblem();
  // Goes back to saving what the model holds: the parts read whole lose their own records.
  void DropKeptParts();
  // Fills the report's account of the records kept and dropped, per kind.
  void ReportKeptRecords();
  // One view per worksheet, in worksheet order.
  void UpdateSheetViews();
  // Fills the report's account of the stream, the substreams and the sheets.
  void ReportRecovery();
  // No substream was read whole and no value cell came out of the rebuild.
  bool NothingRecovered() const;
  // Tells the user `text` through the notifier and keeps it in the report.
  void Tell(std::string_view text);

  // The save: one sheet entry per worksheet, in order, each with its worksheet's stream
  // position in the stream the save writes.
  void FixSheetPositions();
  // Gives each sheet entry its worksheet's position in the stream the save writes.
  void PlaceSheetEntries();
  // The INDEX and DBCELL positions of every worksheet in the stream the save writes.
  void FixCellIndexPositions();
  // Saves saveBuffer_ as the stream "Workbook" of a new document at `path`, beside the
  // source's other entries when there are any.
  storage::WriteStatus WriteDocument(const std::string& path, std::string& reason);
  // Writes the globals and the worksheets one after the other into `out`, telling
  // `progress` as it goes; with an empty `out` (the stream already built) it only tells.
  void WriteStreamBuffer(std::span<std::uint8_t> out, const SaveProgress& progress);

  std::vector<std::uint8_t> stream_;
  WorkbookModel model_;
  RecoveryState state_;
  // What MakeWellFormed changed, for the report.
  WellFormedCounts wellFormed_;
  // Why the records read whole were not kept (empty when they were, or there were none).
  std::string keptProblem_;
  // The streams and storages of a sound source document other than the workbook stream,
  // saved beside the new one unchanged; nothing when the source's directory could not be
  // read whole (or there was no sound document).
  std::optional<storage::StorageTree> otherEntries_;
  // Streams of the source document left out because their bytes could not be read.
  std::size_t otherStreamsDropped_ = 0;
  std::vector<WorksheetView> sheetViews_;
  RecoveryReport report_;
  std::vector<std::uint8_t> saveBuffer_;
  // The load built and checked the stream the save writes: saveBuffer_ holds it and these
  // are the sheet positions it was laid out with. The model does not change after a load,
  // so the save writes that stream instead of building the same bytes again.
  bool savedStreamReady_ = false;
  std::vector<std::uint32_t> savedPositions_;
  std::string saveError_;
  // The sheet entries stand one per worksheet, in worksheet order, since the last save
  // fixed them.
  bool entriesFixed_ = false;
  // Messages are kept in the report but not shown (while two streams are compared).
  bool quiet_ = false;
};

}  // namespace tabulix
