// The load entry: the file is read once, the three routes to the workbook stream are tried
// on its bytes, and the recovery stages run on the stream the first successful route gave.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "base/diagnostics.hpp"
#include "base/little_endian.hpp"
#include "base/log.hpp"
#include "base/notifier.hpp"
#include "base/safe_file.hpp"
#include "biff/bof.hpp"
#include "biff/cell_multi.hpp"
#include "biff/cell_records.hpp"
#include "document/file_kind.hpp"
#include "document/sheet_entries.hpp"
#include "document/xls_document.hpp"
#include "recovery/recover_sheets.hpp"
#include "recovery/selector_support.hpp"
#include "recovery/stream_check.hpp"

namespace tabulix {

namespace {

// The padding is part of the text the user has always seen in the message box.
constexpr std::string_view kCannotOpen = "            ERROR: Could not open file.              ";
constexpr std::string_view kPasswordProtected = "File is password protected.";
constexpr std::string_view kStageFailed = "Could Not Read Or Update Brevix WorkSheet";
constexpr std::string_view kNothingRecovered =
    "Nothing could be recovered: no part of the workbook was intact and no cell with a value "
    "was found.";
// Recovery starts from a new workbook of this many empty sheets; those nothing is
// recovered into are dropped at the end.
constexpr std::size_t kDefaultSheetCount = 3;

// What the report says of a worksheet's cells: the value cells (blanks, whether the
// source's or the rebuild's fillers, do not count; a MULRK counts once per number it
// holds) and the rows and columns the cells span.
void DescribeCells(const Worksheet& sheet, RecoveryReport::Sheet& out) {
  std::uint32_t firstRow = 0xFFFFFFFF;
  std::uint32_t lastRow = 0;
  std::uint32_t firstColumn = 0xFFFFFFFF;
  std::uint32_t lastColumn = 0;
  std::size_t values = 0;
  for (const auto& block : sheet.cellTable_.rowBlocks_) {
    for (const auto& cell : block.cellBlocks_) {
      std::uint32_t last = cell.Column();
      if (const auto* run = cell.As<cells::MulRK>()) {
        values += run->entries().size();
        last = run->lastColumn_;
      } else if (const auto* blanks = cell.As<cells::MulBlank>()) {
        last = blanks->lastColumn_;
      } else if (cell.As<cells::Blank>() == nullptr) {
        ++values;
      }
      firstRow = std::min<std::uint32_t>(firstRow, cell.Row());
      lastRow = std::max<std::uint32_t>(lastRow, cell.Row());
      firstColumn = std::min<std::uint32_t>(firstColumn, cell.Column());
      lastColumn = std::max({lastColumn, last, std::uint32_t{cell.Column()}});
    }
  }
  out.valueCells_ = values;
  out.rows_ = firstRow <= lastRow ? lastRow - firstRow + 1 : 0;
  out.columns_ = firstColumn <= lastColumn ? lastColumn - firstColumn + 1 : 0;
}

}  // namespace

void XlsDocument::Tell(std::string_view text) {
  report_.messages_.emplace_back(text);
  if (!quiet_) Notify(text);
}

bool XlsDocument::ReadInput(const std::string& path, std::vector<std::uint8_t>& file) {
  errno = 0;
  const ReadFileStatus status = ReadWholeFile(path, file);
  if (status == ReadFileStatus::Ok) return true;
  const int error = errno;
  // Every route fails on a file that cannot be read; the first says so in its own words,
  // and the user hears why.
  WriteLog(0, 0, "Failed StgOpenStorageEx", true);
  const std::string cause = error != 0 ? std::strerror(error) : "it could not be opened";
  switch (status) {
    case ReadFileStatus::Missing:
      Tell(kCannotOpen);
      Tell("There is no file at " + path + ".");
      break;
    case ReadFileStatus::NotRegularFile: {
      // A folder or a device is no file to rescue.
      std::error_code ec;
      Tell(kCannotOpen);
      Tell(std::filesystem::is_directory(path, ec)
               ? path + " is a folder, not a file."
               : path + " is not a regular file (a device, a pipe or a socket).");
      break;
    }
    case ReadFileStatus::CannotOpen:
      Tell(kCannotOpen);
      Tell("Cannot open " + path + ": " + cause + ".");
      break;
    case ReadFileStatus::Ok:
    case ReadFileStatus::TooLarge:
      WriteLog(0, 0, "Could Not Read file", true);
      Tell(path + " is larger than the 4 GB this version of Tabulix reads.");
      break;
    case ReadFileStatus::ReadError:
      WriteLog(0, 0, "Could Not Read file", true);
      Tell("Cannot read " + path + " to its end: " + cause + ".");
      break;
  }
  return false;
}

void XlsDocument::LoadRawFile(std::vector<std::uint8_t>& file) {
  // The last route: the bytes are the stream, and the file's copy is needed no longer.
  stream_ = std::move(file);
}

bool XlsDocument::Load(const std::string& path) {
  if (path.empty()) return false;
  // A damaged stream can have the readers repeat a line for every record; what they passed
  // by is counted in one line per text when the load ends.
  const FlushLogRepeatsAtEnd flushLogs;
  Reset(path);
  std::vector<std::uint8_t> file;
  if (!ReadInput(path, file)) return false;
  return LoadFile(std::move(file));
}

bool XlsDocument::LoadBytes(std::vector<std::uint8_t> bytes, const std::string& name) {
  const FlushLogRepeatsAtEnd flushLogs;
  Reset(name);
  return LoadFile(std::move(bytes));
}

void XlsDocument::Reset(const std::string& name) {
  // Nothing of an earlier load may survive into this one: the model is reset once, to the
  // new workbook recovery starts from.
  stream_.clear();
  NewDefault(model_, kDefaultSheetCount);
  state_ = RecoveryState();
  wellFormed_ = WellFormedCounts();
  keptProblem_.clear();
  otherEntries_.reset();
  otherStreamsDropped_ = 0;
  sheetViews_.clear();
  saveBuffer_.clear();
  savedStreamReady_ = false;
  saveError_.clear();
  entriesFixed_ = false;
  report_ = RecoveryReport();
  report_.file_ = name;
}

bool XlsDocument::LoadFile(std::vector<std::uint8_t> file) {
  report_.fileBytes_ = file.size();
  // A zip archive, a web page or nothing but zeros is no workbook, however damaged: the
  // user hears what the file is, not that the routes found nothing. An empty file goes
  // the routes' way, which costs nothing, and the raw route tells it as it always has.
  if (const FileKind kind = IdentifyBeyondDoubt(file);
      kind != FileKind::Workbook && kind != FileKind::Empty) {
    report_.fileKind_ = kind;
    const std::string refusal = FileKindRefusal(kind);
    WriteLog(0, 0, refusal, true);
    Tell(refusal);
    return false;
  }

  // Each route fills the stream whole, so what a failed route left is of no interest. The
  // hints are what the container routes learnt of where the stream's pieces lie. When the
  // reassembly put the stream together anew, `plain` keeps the stream as it came before:
  // the container's, or the file's own bytes.
  ReassemblyHints hints;
  std::vector<std::uint8_t> plain;
  StreamRoute plainRoute = StreamRoute::None;
  if (LoadStorageStream(file, hints)) {
    report_.route_ = plainRoute = StreamRoute::Storage;
    plain = MendStreamOrder(file, hints);
  } else if (ReassemblyHints found; LoadCompoundStream(file, found)) {
    report_.route_ = plainRoute = StreamRoute::Compound;
    plain = MendStreamOrder(file, found);
  } else if (LoadReassembledStream(file, found)) {
    report_.route_ = StreamRoute::Reassembled;
    report_.streamName_.clear();
    plainRoute = StreamRoute::Raw;
    plain = std::move(file);
  } else {
    LoadRawFile(file);
    report_.route_ = StreamRoute::Raw;
    report_.streamName_.clear();
  }
  report_.streamBytes_ = stream_.size();
  // The routes are done with the file: its bytes must not sit beside the model while the
  // stages build it.
  std::vector<std::uint8_t>().swap(file);
  if (plain.empty()) return RecoverStream();

  // A reassembly can be wrong where the records deceive it. Both streams are recovered,
  // and the better is kept; the user hears only the kept one's messages.
  XlsDocument other;
  other.Reset(report_.file_);
  other.report_.fileBytes_ = report_.fileBytes_;
  other.report_.route_ = plainRoute;
  other.report_.routeFailures_ = report_.routeFailures_;
  if (plainRoute == StreamRoute::Raw && !other.report_.routeFailures_.empty() &&
      other.report_.routeFailures_.back().route_ == StreamRoute::Reassembled)
    other.report_.routeFailures_.pop_back();
  other.report_.containerRepairs_ = report_.containerRepairs_;
  if (plainRoute != StreamRoute::Raw) other.report_.streamName_ = report_.streamName_;
  other.report_.streamBytes_ = plain.size();
  other.stream_ = std::move(plain);
  other.quiet_ = true;
  quiet_ = true;
  LogCapture otherLog;
  bool otherLoaded = false;
  {
    // The dump files show the reassembled stream's recovery, which is nearly always kept.
    const SuppressDiagnosticDumps noDumps;
    otherLoaded = other.RecoverStream();
  }
  otherLog.Stop();
  LogCapture ownLog;
  const bool loaded = RecoverStream();
  ownLog.Stop();
  quiet_ = false;
  other.quiet_ = false;
  // The reassembled stream must do better: more cells, or as many with more substreams
  // read whole. Else the stream as it came stays, as before there was a reassembly. A
  // chain that walked from the globals to the last sheet's EOF and left nothing behind is
  // the stream itself; the file's raw bytes hold other streams too (macros, pictures),
  // whose bytes can pass for a stray cell or two, and must beat it by more than that.
  // A cell whose text was lost shows a placeholder: it counts only where the cells that
  // kept their values tie, and before the substreams read whole (a placeholder still
  // shows the user where a cell was).
  const auto recovered = [](const RecoveryReport& report) {
    return report.ValueCells() - std::min(report.LostTextCells(), report.ValueCells());
  };
  const std::size_t otherCells = otherLoaded ? recovered(other.report_) : 0;
  const std::size_t ownCells = loaded ? recovered(report_) : 0;
  const std::size_t otherPlaced = otherLoaded ? other.report_.ValueCells() : 0;
  const std::size_t ownPlaced = loaded ? report_.ValueCells() : 0;
  const std::size_t otherIntact = otherLoaded ? other.report_.IntactSubstreams() : 0;
  const std::size_t ownIntact = loaded ? report_.IntactSubstreams() : 0;
  const RecoveryReport::Reassembly& pieces = report_.reassembly_;
  const bool whole = plainRoute == StreamRoute::Raw && pieces.done_ && pieces.complete_ &&
                     pieces.leftoverBytes_ == 0 && ownCells > 0;
  // A whole chain that also reads more substreams whole than the raw bytes do, and took
  // one shift at most to walk, is the stream beyond doubt: the raw bytes' extra cells are
  // then the same cells found twice (in a stale copy, or read under a sheet whose name was
  // lost), and must beat it by a tenth.
  const bool sure = ownIntact > otherIntact && pieces.shifts_.size() <= 1;
  const std::size_t slack = whole ? (sure ? otherCells / 10 : otherCells / 100) + 1 : 0;
  bool kept = loaded;
  if (otherLoaded && (!loaded || std::tuple(ownCells + slack, ownPlaced, ownIntact) <=
                                     std::tuple(otherCells, otherPlaced, otherIntact))) {
    otherLog.Replay();
    *this = std::move(other);
    kept = true;
  } else {
    ownLog.Replay();
  }
  WriteLog(0, 0,
           "The reassembled stream recovers " + std::to_string(ownCells) +
               " cells, the stream as " + std::string(StreamRouteName(plainRoute)) + " gave it " +
               std::to_string(otherCells) + "; the " +
               (report_.reassembly_.done_ ? "reassembled" : "other") + " one is kept",
           false);
  for (const std::string& message : report_.messages_) Notify(message);
  return kept;
}

bool XlsDocument::RecoverStream() {
  WriteDiagnosticDump("payload.bin", stream_);

  // An older version's records read as Excel 97-2003 ones give garbled names and text. A
  // container's directory gives the stream as its writer began it, so there its globals'
  // BOF may say so; bytes taken without one must hold no BIFF8 BOF at all.
  const bool fromContainer =
      report_.route_ == StreamRoute::Storage || report_.route_ == StreamRoute::Compound;
  FileKind kind = IdentifyStream(stream_, fromContainer);
  // The file's own bytes, no container and no BIFF8 BOF anywhere: nothing of a workbook
  // is in them, so what they look like (text, say) is what the file is.
  if (kind == FileKind::Workbook && report_.route_ == StreamRoute::Raw &&
      !DescribeUnusableStream(stream_).empty()) {
    kind = IdentifyFile(stream_);
    if (kind != FileKind::Text && kind != FileKind::Empty) kind = FileKind::Workbook;
  }
  if (kind != FileKind::Workbook) {
    report_.fileKind_ = kind;
    const std::string refusal = FileKindRefusal(kind);
    WriteLog(0, 0, refusal, true);
    Tell(refusal);
    return false;
  }

  // A stage that stops ends the load; the model stays as that stage left it.
  bool stagesRan = false;
  try {
    stagesRan = LocateSheets();
    // Encrypted records are no cells. The intact read stops at a FILEPASS it meets; one in
    // globals it could not read whole (or read with no substream behind them) stops the
    // load all the same.
    if (stagesRan && !model_.workbook_.passwordProtected_ && HasFilePass(stream_)) {
      report_.passwordProtected_ = true;
      Tell(kPasswordProtected);
      stagesRan = false;
    }
    if (model_.workbook_.passwordProtected_) stagesRan = false;
    if (stagesRan) {
      RecoverSheets();
      DropUnrecoveredSheets();
      MakeWellFormed();
      KeepWhatSurvived();
      UpdateSheetViews();
    }
  } catch (const std::exception&) {
    stagesRan = false;
  }
  try {
    ReportRecovery();
  } catch (const std::exception&) {
    // Only memory can run out here; the model stands whatever the report holds.
    WriteLog(0, 0, "Could not complete the recovery report", true);
  }
  if (!stagesRan) {
    WriteLog(10005, 0, kStageFailed, true);
    return false;
  }

  // Random bytes give an empty model; that is no rescue and must not be reported as one.
  if (model_.worksheets_.empty()) {
    if (const std::string_view problem = DescribeUnusableStream(stream_); !problem.empty()) {
      WriteLog(0, 0, problem, true);
      Tell(problem);
      return false;
    }
  }
  // Nothing read whole and no value found: the saved workbook would hold nothing of the
  // file. A sound workbook that is simply empty has its globals read whole and succeeds.
  if (NothingRecovered()) {
    WriteLog(0, 0, kNothingRecovered, true);
    Tell(kNothingRecovered);
    return false;
  }
  report_.loaded_ = true;
  return true;
}

bool XlsDocument::NothingRecovered() const {
  for (const RecoveryReport::Substream& substream : report_.substreams_) {
    if (substream.intact_) return false;
  }
  for (const RecoveryReport::Sheet& sheet : report_.sheets_) {
    if (sheet.valueCells_ > 0) return false;
  }
  return true;
}

bool XlsDocument::LocateSheets() {
  const bool located = tabulix::LocateSheets(stream_, model_, state_);
  // The globals read stops at a FILEPASS record; the user hears of it here, once, whether
  // the load stops on it or (globals with no substream behind them) goes on.
  if (model_.workbook_.passwordProtected_) {
    report_.passwordProtected_ = true;
    Tell(kPasswordProtected);
  }
  return located;
}

void XlsDocument::RecoverSheets() { tabulix::RecoverSheets(stream_, model_, state_); }

void XlsDocument::DropUnrecoveredSheets() { tabulix::DropUnrecoveredSheets(model_); }

void XlsDocument::MakeWellFormed() {
  // Whether the globals can be saved as they stood, as far as is known before the pass.
  std::vector<std::size_t> order;
  const bool keepReferences = KeepGlobalsProblem(order).empty();
  wellFormed_ = tabulix::MakeWellFormed(model_, keepReferences);
}

void XlsDocument::ReportRecovery() {
  const SheetBoundaries& bounds = state_.boundaries_;
  report_.boundariesConsistent_ = bounds.boundariesConsistent_;
  report_.substreams_.clear();
  report_.substreams_.reserve(bounds.startPos_.size());
  for (std::size_t i = 0; i < bounds.startPos_.size(); ++i) {
    RecoveryReport::Substream& substream = report_.substreams_.emplace_back();
    substream.start_ = bounds.startPos_[i];
    if (i < bounds.endPos_.size()) substream.end_ = bounds.endPos_[i];
    if (LittleEndian::U16(stream_, substream.start_) == BOF::kCode)
      substream.type_ = selector::BofType(stream_, substream.start_);
    substream.intact_ = i < bounds.intactFlags_.size() && bounds.intactFlags_[i] == 1;
  }

  // The names the save will give the sheets, worked out now without touching the model.
  const auto& worksheets = model_.worksheets_;
  const std::vector<Workbook::BoundSheet> entries =
      SavedSheetEntries(model_.workbook_, worksheets, stream_, state_.boundaries_.namedShift_);
  report_.sheets_.clear();
  report_.sheets_.reserve(worksheets.size());
  report_.sharedStringsLost_ = wellFormed_.sharedStringsLost;
  report_.globalStringsRepaired_ = wellFormed_.stringsRepaired;
  for (std::size_t w = 0; w < worksheets.size(); ++w) {
    const Worksheet& worksheet = worksheets[w];
    RecoveryReport::Sheet& sheet = report_.sheets_.emplace_back();
    if (w < entries.size()) sheet.name_ = entries[w].name_.ToUtf8();
    DescribeCells(worksheet, sheet);
    // Read whole when the substream it was read from is intact. The starts ascend, so the
    // lookup stays logarithmic for a stream of tens of thousands of substreams.
    const auto& substreams = report_.substreams_;
    const auto from = std::lower_bound(
        substreams.begin(), substreams.end(), worksheet.sourcePosition_,
        [](const RecoveryReport::Substream& s, std::uint32_t start) { return s.start_ < start; });
    sheet.intact_ =
        from != substreams.end() && from->start_ == worksheet.sourcePosition_ && from->intact_;
    sheet.type_ = worksheet.bof_.type_;
    sheet.keptWhole_ = !worksheet.source_.empty();
    if (w < wellFormed_.sheets.size()) {
      const WellFormedSheetCounts& made = wellFormed_.sheets[w];
      sheet.lostText_ = made.lostText;
      sheet.formulasAsValues_ = made.formulasAsValues;
      sheet.droppedOutOfRange_ = made.droppedOutOfRange;
      sheet.droppedUnreadable_ = made.droppedUnreadable;
      sheet.stringsRepaired_ = made.stringsRepaired;
    }
  }
  ReportKeptRecords();
}

}  // namespace tabulix
