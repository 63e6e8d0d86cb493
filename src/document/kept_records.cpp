// What survived whole is saved whole. Globals read whole are written back as they stood,
// with every record the model leaves out (defined names, external references, the drawing
// group...), and so is every sheet read whole: worksheets with their comments, hyperlinks,
// drawings and embedded charts, chart sheets and macro sheets. The records tie the parts
// together by index: a formula names the n-th NAME, an EXTERNSHEET entry the n-th sheet
// entry, a sheet's drawings the globals' drawing group. So the globals are kept only when
// every sheet entry they hold still has its sheet in the saved workbook, and sheets keep
// their own records only beside kept globals. Otherwise the save writes what the model
// holds, as before, and the report says what was dropped.

#include <algorithm>
#include <cstdlib>
#include <string>

#include "base/log.hpp"
#include "biff/kept_substream.hpp"
#include "biff/stream_verifier.hpp"
#include "document/sheet_entries.hpp"
#include "document/xls_document.hpp"

namespace tabulix {

namespace {

constexpr std::uint8_t kWorksheetEntry = 0;
constexpr std::uint8_t kMacroSheetEntry = 1;
constexpr std::uint8_t kChartEntry = 2;

// The sheet-entry type of a sheet whose BOF is of `type`.
std::uint8_t EntryType(std::uint16_t type) {
  if (type == BOF::kChart) return kChartEntry;
  if (type == BOF::kMacroSheet) return kMacroSheetEntry;
  return kWorksheetEntry;
}

bool IsWorksheet(const Worksheet& sheet) { return sheet.bof_.type_ == BOF::kWorksheet; }

bool ChangedByWellFormed(const WellFormedSheetCounts& counts) {
  return counts.lostText + counts.formulasAsValues + counts.droppedOutOfRange +
             counts.droppedUnreadable + counts.stringsRepaired >
         0;
}

}  // namespace

std::string XlsDocument::KeepGlobalsProblem(std::vector<std::size_t>& order) const {
  const Workbook& workbook = model_.workbook_;
  const auto& worksheets = model_.worksheets_;
  if (workbook.source_.empty()) return "the globals were not read whole";
  // Shared strings read again after the globals were: the table is no longer the bytes.
  if (workbook.sst_.Salvaged()) return "the shared strings had to be read again";
  if (wellFormed_.sharedStringsLost > 0 || wellFormed_.stringsRepaired > 0)
    return "texts of the globals had to be mended";
  const std::vector<kept::SheetEntry> entries = kept::SheetEntries(workbook.source_);
  if (entries.size() != workbook.sheetEntriesRead_ || entries.size() > workbook.sheets_.size())
    return "a sheet entry could not be read";
  if (entries.size() != worksheets.size())
    return "the globals name " + std::to_string(entries.size()) + " sheets and " +
           std::to_string(worksheets.size()) + " were recovered";
  // Entry i's sheet: the one recovered from the BOF the entry names, of the entry's type.
  order.assign(entries.size(), 0);
  std::vector<bool> taken(worksheets.size(), false);
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const auto it = std::find_if(worksheets.begin(), worksheets.end(), [&](const Worksheet& w) {
      return w.sourcePosition_ == entries[e].position;
    });
    const auto w = static_cast<std::size_t>(it - worksheets.begin());
    if (it == worksheets.end() || taken[w]) return "a sheet the globals name was lost";
    if (EntryType(it->bof_.type_) != entries[e].type) return "a sheet entry names another type";
    taken[w] = true;
    order[e] = w;
  }
  // The names the save would give the sheets must be the ones they have.
  const std::vector<Workbook::BoundSheet> saved =
      SavedSheetEntries(workbook, worksheets, stream_, state_.boundaries_.namedShift_);
  bool anyVisible = false;
  for (std::size_t e = 0; e < entries.size(); ++e) {
    const Workbook::BoundSheet& entry = workbook.sheets_[e];
    if (saved[order[e]].name_.ToUtf8() != entry.name_.ToUtf8()) return "a sheet name had to change";
    anyVisible = anyVisible || entry.visibility_ == 0;
  }
  if (!anyVisible) return "no sheet is visible";
  if (!wellFormed_.sheets.empty() && !wellFormed_.referencesKept)
    return "the sheets were made well-formed without the globals' references";
  return {};
}

void XlsDocument::KeepWhatSurvived() {
  Workbook& workbook = model_.workbook_;
  auto& worksheets = model_.worksheets_;
  wellFormed_.sheets.resize(worksheets.size());
  std::vector<std::size_t> order;
  keptProblem_ = KeepGlobalsProblem(order);
  if (keptProblem_.empty()) {
    // The save writes sheet i under entry i: the sheets go in the entries' order.
    std::vector<Worksheet> ordered;
    std::vector<WellFormedSheetCounts> counts;
    ordered.reserve(order.size());
    counts.reserve(order.size());
    for (const std::size_t w : order) {
      ordered.push_back(std::move(worksheets[w]));
      counts.push_back(wellFormed_.sheets[w]);
    }
    worksheets = std::move(ordered);
    wellFormed_.sheets = std::move(counts);
    workbook.sheets_.resize(worksheets.size());
    // A worksheet the well-formed pass had to change is saved from the model, which holds
    // the change; its bytes hold the fault.
    for (std::size_t w = 0; w < worksheets.size(); ++w) {
      if (IsWorksheet(worksheets[w]) && ChangedByWellFormed(wellFormed_.sheets[w]))
        worksheets[w].source_.clear();
    }
    entriesFixed_ = true;
    keptProblem_ = KeptStreamProblem();
    if (keptProblem_.empty()) return;
  }
  DropKeptParts();
  if (workbook.sheetEntriesRead_ > 0)
    WriteLog(0, 0, "Records read whole not kept: " + keptProblem_, false);
}

std::string XlsDocument::KeptStreamProblem() {
  // A part kept as it stood brings its own faults along (an OBJ of an older layout, a
  // reference table that miscounts the sheets, a DIMENSIONS short of the cells): the stream
  // it makes must pass the same check as every saved stream. A worksheet at fault is saved
  // from the model instead, which the well-formed pass has mended, and the check runs
  // again; a fault in the globals or in a chart or macro sheet, which have no model to fall
  // back on, keeps nothing.
  auto& entries = model_.workbook_.sheets_;
  auto& worksheets = model_.worksheets_;
  savedStreamReady_ = false;
  std::vector<std::uint32_t> positions;
  positions.reserve(entries.size());
  for (const Workbook::BoundSheet& entry : entries) positions.push_back(entry.position_);
  std::string problem;
  // Each round saves at least one more sheet from the model, or ends. The findings come
  // capped (ten of a kind), so a stream of thousands of faulty sheets would take thousands
  // of rounds over the whole stream: past a few, nothing is kept.
  constexpr int kMaxRounds = 4;
  int rounds = 0;
  for (bool again = true; again;) {
    again = false;
    if (++rounds > kMaxRounds) {
      problem = "too many sheets read whole break a rule of the saved format";
      break;
    }
    if (!BuildSavedStream()) {
      problem = "the saved stream would be 4 GiB or more";
      break;
    }
    const std::vector<std::string> findings = VerifyWorkbookStream(saveBuffer_);
    // Where each sheet ends in the stream just built (the entries hold where they begin).
    std::vector<std::uint64_t> ends;
    std::vector<bool> keptSheet;
    for (std::size_t w = 0; w < worksheets.size() && w < entries.size(); ++w) {
      ends.push_back(std::uint64_t{entries[w].position_} + worksheets[w].RecordSize());
      keptSheet.push_back(IsWorksheet(worksheets[w]) && !worksheets[w].source_.empty());
    }
    for (const std::string& finding : findings) {
      const std::size_t at = finding.find(" at ");
      if (at == std::string::npos) continue;  // the closing count of findings left out
      const std::uint64_t offset = std::strtoull(finding.c_str() + at + 4, nullptr, 10);
      std::size_t w = 0;
      while (w < ends.size() && (offset < entries[w].position_ || offset >= ends[w])) ++w;
      if (w < keptSheet.size() && keptSheet[w]) {
        worksheets[w].source_.clear();
        again = true;
        continue;
      }
      // In the globals, a chart or macro sheet, or a sheet written from the model: the
      // model's own parts pass the check beside the model's own globals, so the kept
      // globals are what the sheet does not agree with.
      problem = "the parts read whole break a rule of the saved format (" + finding + ")";
      again = false;
      break;
    }
  }
  if (problem.empty()) {
    savedStreamReady_ = true;
    savedPositions_.clear();
    for (const Workbook::BoundSheet& entry : entries) savedPositions_.push_back(entry.position_);
  } else {
    saveBuffer_.clear();
    saveBuffer_.shrink_to_fit();
  }
  // Until a save, the entries name where the sheets stood in the source (the report pairs
  // them by it).
  for (std::size_t e = 0; e < entries.size(); ++e) entries[e].position_ = positions[e];
  return problem;
}

void XlsDocument::DropKeptParts() {
  Workbook& workbook = model_.workbook_;
  auto& worksheets = model_.worksheets_;
  entriesFixed_ = false;
  savedStreamReady_ = false;
  saveBuffer_.clear();
  saveBuffer_.shrink_to_fit();
  workbook.source_.clear();
  for (Worksheet& sheet : worksheets) sheet.source_.clear();
  // A chart or macro sheet is nothing without its sheet entry and its own bytes.
  for (std::size_t w = worksheets.size(); w-- > 0;) {
    if (IsWorksheet(worksheets[w])) continue;
    worksheets.erase(worksheets.begin() + static_cast<std::ptrdiff_t>(w));
    wellFormed_.sheets.erase(wellFormed_.sheets.begin() + static_cast<std::ptrdiff_t>(w));
  }
  if (!wellFormed_.referencesKept) return;
  // The formulas were kept for names and references the saved workbook now lacks: the pass
  // runs again without them and adds what it changed.
  WellFormedCounts again = tabulix::MakeWellFormed(model_, false);
  wellFormed_.referencesKept = false;
  wellFormed_.sharedStringsLost += again.sharedStringsLost;
  wellFormed_.stringsRepaired += again.stringsRepaired;
  for (std::size_t w = 0; w < again.sheets.size() && w < wellFormed_.sheets.size(); ++w) {
    WellFormedSheetCounts& to = wellFormed_.sheets[w];
    const WellFormedSheetCounts& more = again.sheets[w];
    to.lostText += more.lostText;
    to.formulasAsValues += more.formulasAsValues;
    to.droppedOutOfRange += more.droppedOutOfRange;
    to.droppedUnreadable += more.droppedUnreadable;
    to.stringsRepaired += more.stringsRepaired;
  }
}

void XlsDocument::ReportKeptRecords() {
  kept::KindCounts found{};
  kept::KindCounts kept{};
  std::size_t chartsFound = 0;
  std::size_t macrosFound = 0;
  const auto& starts = state_.boundaries_.startPos_;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::size_t start = starts[i];
    if (start >= stream_.size()) continue;
    std::span<const std::uint8_t> bytes = kept::SubstreamBytes(stream_, start);
    if (bytes.empty()) {
      // A substream cut short: what its lengths still reach, up to the next substream.
      const std::size_t end =
          i + 1 < starts.size() && starts[i + 1] > start ? starts[i + 1] : stream_.size();
      bytes = std::span<const std::uint8_t>(stream_).subspan(start,
                                                             std::min(end, stream_.size()) - start);
    }
    kept::CountKinds(bytes, found);
    if (bytes.size() >= 8) {
      const std::uint16_t type = LittleEndian::U16(bytes, 6);
      chartsFound += type == BOF::kChart ? 1 : 0;
      macrosFound += type == BOF::kMacroSheet ? 1 : 0;
    }
  }
  std::size_t chartsKept = 0;
  std::size_t macrosKept = 0;
  if (!model_.workbook_.source_.empty()) kept::CountKinds(model_.workbook_.source_, kept);
  for (const Worksheet& sheet : model_.worksheets_) {
    if (!sheet.source_.empty()) kept::CountKinds(sheet.source_, kept);
    chartsKept += sheet.bof_.type_ == BOF::kChart ? 1 : 0;
    macrosKept += sheet.bof_.type_ == BOF::kMacroSheet ? 1 : 0;
  }
  report_.keptRecords_.clear();
  auto add = [this](std::string_view kind, std::size_t foundCount, std::size_t keptCount) {
    if (foundCount == 0 && keptCount == 0) return;
    report_.keptRecords_.push_back(
        {std::string(kind), keptCount, foundCount > keptCount ? foundCount - keptCount : 0});
  };
  for (std::size_t k = 0; k < kept::kKinds; ++k)
    add(kept::KindName(static_cast<kept::Kind>(k)), found[k], kept[k]);
  add("chart sheets", chartsFound, chartsKept);
  add("macro sheets", macrosFound, macrosKept);
  if (otherEntries_) {
    std::size_t streams = 0;
    std::vector<const storage::TreeEntry*> pending;
    for (const storage::TreeEntry& entry : otherEntries_->entries) pending.push_back(&entry);
    while (!pending.empty()) {
      const storage::TreeEntry* entry = pending.back();
      pending.pop_back();
      streams += entry->storage ? 0 : 1;
      for (const storage::TreeEntry& child : entry->children) pending.push_back(&child);
    }
    add("other streams", streams + otherStreamsDropped_, streams);
  }
  report_.keptRecordsNote_ = keptProblem_;
  const bool dropped = std::any_of(report_.keptRecords_.begin(), report_.keptRecords_.end(),
                                   [](const RecoveryReport::KeptKind& kind) {
                                     return kind.dropped_ > 0 && kind.kind_ != "other streams";
                                   });
  if (keptProblem_.empty() && dropped)
    report_.keptRecordsNote_ =
        "they stood in sheets rebuilt from damage or mended to be well-formed, which are "
        "saved from what could be read of them";
}

}  // namespace tabulix
