// The recovery stages: the boundary search and the intact read, the recovery passes over
// what was not read whole, the repairs of dangling format references, the cell-table
// rebuild and the housekeeping of the worksheet list.

#include "recovery/recover_sheets.hpp"

#include <algorithm>
#include <utility>

#include "recovery/cell_table_rebuild.hpp"
#include "recovery/intact_read.hpp"
#include "recovery/recovery_passes.hpp"
#include "recovery/selector_support.hpp"

namespace tabulix {

namespace {

// The built-in number formats go up to this index, the East Asian dates of 50 to 58
// included (those above it up to 163 are reserved; custom ones start at 164): no FORMAT
// record needs to define them.
constexpr std::uint16_t kLastBuiltInFormat = 58;
// Font index 4 is never written: the font list skips it, so index n >= 5 names list
// position n - 1.
constexpr std::uint16_t kSkippedFont = 4;

bool FontIndexValid(std::uint16_t index, std::size_t fontCount) {
  if (index & 0x8000) return false;
  if (index < kSkippedFont) return index < fontCount;
  return index != kSkippedFont && std::size_t{index} - 1 < fontCount;
}

// Sets every XF index of `cell` that names no XF record to 0.
void FixCellXf(cells::CellBlock& cell, std::size_t xfCount) {
  auto valid = [xfCount](std::uint16_t xf) { return (xf & 0x8000) == 0 && xf < xfCount; };
  if (auto* mulRk = cell.As<cells::MulRK>()) {
    std::vector<cells::MulRK::XFRK> entries(mulRk->entries().begin(), mulRk->entries().end());
    bool changed = false;
    for (auto& entry : entries) {
      if (!valid(entry.xf_)) {
        entry.xf_ = 0;
        changed = true;
      }
    }
    // A record kept as read writes its bytes back: only a repaired one is re-encoded.
    if (changed) mulRk->SetEntries(std::move(entries));
    return;
  }
  if (auto* mulBlank = cell.As<cells::MulBlank>()) {
    std::vector<std::uint16_t> xfs(mulBlank->xfs().begin(), mulBlank->xfs().end());
    bool changed = false;
    for (auto& xf : xfs) {
      if (!valid(xf)) {
        xf = 0;
        changed = true;
      }
    }
    if (changed) mulBlank->SetXfs(std::move(xfs));
    return;
  }
  if (std::uint16_t* xf = cell.XfField(); xf != nullptr && !valid(*xf)) *xf = 0;
}

// Recovers the worksheets that begin behind the last substream the boundaries account for
// (from stream offset `from` on).
void RecoverTail(std::span<const std::uint8_t> stream, std::size_t from, WorkbookModel& model,
                 RecoveryState& state) {
  // A stream cut inside a sheet leaves that sheet without its EOF, and so outside every
  // pair of boundaries. Each worksheet BOF behind the last sound substream opens a piece
  // of its own, up to the next worksheet BOF; a chart's BOF stays inside its piece, where
  // the pass steps over the chart.
  std::vector<std::size_t> starts;
  for (const std::uint32_t marker : state.boundaries_.BOFMarker_) {
    if (marker >= from && selector::BofType(stream, marker) == BOF::kWorksheet)
      starts.push_back(marker);
  }
  for (std::size_t k = 0; k < starts.size() && model.worksheets_.size() < kMaxSubstreams; ++k) {
    const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
    Worksheet& sheet = model.worksheets_.emplace_back();
    sheet.sourcePosition_ = static_cast<std::uint32_t>(starts[k]);
    WorksheetSlicePass(stream.subspan(starts[k], end - starts[k]), sheet, state);
  }
}

// Where a damaged slice holds the start of a sheet whose BOF (and the EOF before it) the
// damage destroyed: positions the sheet list names inside the slice, away from every
// boundary that was found. Each is where a worksheet of its own begins.
std::vector<std::uint32_t> LostStartsInside(const std::vector<std::uint32_t>& named,
                                            const SheetBoundaries& boundaries, std::size_t start,
                                            std::size_t end) {
  std::vector<std::uint32_t> cuts;
  for (auto it = std::upper_bound(named.begin(), named.end(), start);
       it != named.end() && *it < end; ++it) {
    if (*it - start < kNamedStartSlack || end - *it < kNamedStartSlack) continue;
    if (NearAny(boundaries.startPos_, *it, kNamedStartSlack)) continue;
    if (NearAny(boundaries.BOFMarker_, *it, kNamedStartSlack)) continue;
    cuts.push_back(*it);
  }
  return cuts;
}

}  // namespace

void NewDefault(WorkbookModel& model, std::size_t count) {
  // A fresh workbook before the reset, so that nothing Reset leaves alone survives from an
  // earlier load.
  model.workbook_ = Workbook();
  model.workbook_.Reset();
  model.worksheets_.clear();
  model.worksheets_.resize(count);
}

bool LocateSheets(std::span<const std::uint8_t> stream, WorkbookModel& model,
                  RecoveryState& state) {
  SheetBoundaries& boundaries = state.boundaries_;
  FindMarkers(stream, boundaries);
  FindBoundaries(stream, boundaries);
  boundaries.intactFlags_.clear();
  state.globalsRead_ = false;
  if (!boundaries.boundariesConsistent_) return true;
  MarkIntactSheets(stream, boundaries);
  // A substream whose chain of lengths runs through the place where the sheet list says
  // another sheet began (its EOF and that sheet's BOF lost, zeroed bytes chaining as empty
  // records) is two sheets, not one intact one.
  auto& flags = boundaries.intactFlags_;
  for (std::size_t i = 0; i < flags.size() && i < boundaries.startPos_.size(); ++i) {
    if (flags[i] == 1 && !LostStartsInside(boundaries.namedStarts_, boundaries,
                                           boundaries.startPos_[i], boundaries.endPos_[i])
                              .empty())
      flags[i] = 0;
  }
  return ReadIntactSheets(stream, boundaries, model.workbook_, model.worksheets_,
                          state.globalsRead_) == IntactReadResult::Done;
}

void RecoverSheets(std::span<const std::uint8_t> stream, WorkbookModel& model,
                   RecoveryState& state) {
  const SheetBoundaries& boundaries = state.boundaries_;
  std::vector<Worksheet>& worksheets = model.worksheets_;
  const auto& flags = boundaries.intactFlags_;
  const bool anyIntact = std::find(flags.begin(), flags.end(), 1) != flags.end();
  if (!boundaries.boundariesConsistent_ || flags.empty() || !anyIntact) {
    WholeStreamPass(stream, model, state);
  } else {
    const std::vector<std::uint32_t>& named = boundaries.namedStarts_;
    for (std::size_t j = 0; j < flags.size() && j < kMaxSubstreams; ++j) {
      if (flags[j] != 0) continue;
      const std::uint32_t start = boundaries.startPos_[j];
      const std::uint32_t end = boundaries.endPos_[j];
      if (end <= start || start >= stream.size()) continue;
      // The slice ends after its EOF header, so that the record before the EOF has a
      // header behind it to vouch for it. The last substream's EOF needs no witness, so
      // in a cut stream it may be a stray pair of bytes: a damaged last substream runs to
      // the end of the stream.
      const bool last = j + 1 == flags.size();
      const std::size_t length =
          last ? stream.size() - start
               : std::min<std::size_t>(std::size_t{end} - start + 4, stream.size() - start);
      // A sheet whose BOF the damage destroyed lies inside this slice: it is recovered on
      // its own, not merged into the substream before it.
      const std::vector<std::uint32_t> lost =
          LostStartsInside(named, boundaries, start, start + length);
      const std::size_t own = lost.empty() ? length : lost.front() - start;
      const auto slice = stream.subspan(start, own);
      const std::uint16_t type = selector::BofType(slice, 0);
      if (j >= worksheets.size()) worksheets.resize(j + 1);
      worksheets[j].sourcePosition_ = start;
      for (std::size_t k = 0; k < lost.size() && worksheets.size() < kMaxSubstreams; ++k) {
        const std::size_t to = k + 1 < lost.size() ? lost[k + 1] : start + length;
        Worksheet& sheet = worksheets.emplace_back();
        sheet.sourcePosition_ = lost[k];
        WorksheetSlicePass(stream.subspan(lost[k], to - lost[k]), sheet, state);
      }
      if (j == 0 && !state.globalsRead_ && type == BOF::kWorkbookGlobals) {
        state.globalsRead_ = true;
        GlobalsSlicePass(slice, model.workbook_, state);
      } else if (j > 0 && type == BOF::kWorksheet) {
        WorksheetSlicePass(slice, worksheets[j], state);
      } else {
        MixedSlicePass(slice, model.workbook_, worksheets[j], state);
      }
    }
    if (flags.back() != 0)
      RecoverTail(stream, std::size_t{boundaries.endPos_.back()} + 4, model, state);
  }

  FixXFReferences(model.workbook_);
  const std::size_t xfCount = model.workbook_.xfs_.size();
  for (Worksheet& sheet : worksheets) {
    FixCellXFIndices(sheet, xfCount);
    RebuildCellTable(sheet, xfCount);
  }
}

void FixXFReferences(Workbook& globals) {
  // Globals read whole name their formats only by the list: let the list fill the gaps.
  for (std::size_t i = 0; i < globals.formats_.size(); ++i)
    globals.formatPositions_.try_emplace(globals.formats_[i].index_, static_cast<std::uint32_t>(i));
  const std::size_t fontCount = globals.fonts_.size();
  for (Workbook::XF& xf : globals.xfs_) {
    if (!FontIndexValid(xf.fontIndex_, fontCount)) xf.fontIndex_ = 0;
    // A built-in format (a date, a percentage) needs no record; only a custom one whose
    // FORMAT record was lost would leave the cell pointing at nothing. Between the last
    // built-in format and the first custom one no reader knows a format without its record.
    if (xf.formatIndex_ > kLastBuiltInFormat && !globals.formatPositions_.contains(xf.formatIndex_))
      xf.formatIndex_ = 0;
  }
}

void FixCellXFIndices(Worksheet& sheet, std::size_t xfCount) {
  for (cells::CellBlock& cell : sheet.scratch_.cellBlocks_) FixCellXf(cell, xfCount);
  for (cells::RowBlock& block : sheet.cellTable_.rowBlocks_) {
    for (cells::CellBlock& cell : block.cellBlocks_) FixCellXf(cell, xfCount);
  }
}

void DropUnrecoveredSheets(WorkbookModel& model) {
  Workbook& workbook = model.workbook_;
  std::erase_if(model.worksheets_, [](const Worksheet& sheet) { return sheet.recovered_ == 0; });
  // Sheets recovered apart from their substream (one whose BOF was lost inside another)
  // were added last; the saved workbook keeps the order of the stream. Cells met before
  // any worksheet BOF keep the first place they were given.
  auto place = [](const Worksheet& sheet) {
    return sheet.sourcePosition_ == Worksheet::kNoSource ? 0 : sheet.sourcePosition_;
  };
  std::stable_sort(model.worksheets_.begin(), model.worksheets_.end(),
                   [&](const Worksheet& a, const Worksheet& b) { return place(a) < place(b); });
  // The new workbook recovery starts from names three sheets. The sheet entries read from
  // the stream replace them in order; those left over would name sheets the file never had.
  auto& entries = workbook.sheets_;
  if (workbook.sheetEntriesRead_ > 0 && workbook.sheetEntriesRead_ < entries.size())
    entries.resize(workbook.sheetEntriesRead_);
}

}  // namespace tabulix
