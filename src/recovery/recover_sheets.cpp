// The recovery stages that follow the boundary search: the recovery passes over what was
// not read whole, the repairs of dangling format references, the cell-table rebuild and
// the housekeeping of the worksheet list.

#include <algorithm>
#include <utility>

#include "recovery/selector_support.hpp"
#include "recovery/xls_document.hpp"

namespace tabulix {

namespace {

// Number formats below this index are built in: no FORMAT record ever defines them.
constexpr std::uint16_t kFirstCustomFormat = 164;
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

}  // namespace

void XlsDocument::NewDefault(std::size_t count) {
  worksheets_.clear();
  workbook_.Reset();
  worksheets_.resize(count);
  UpdateSheetViews();
}

void XlsDocument::RecoverSheets() {
  const auto& flags = boundaries_.intactFlags_;
  const bool anyIntact = std::find(flags.begin(), flags.end(), 1) != flags.end();
  if (!boundaries_.boundariesConsistent_ || flags.empty() || !anyIntact) {
    WholeStreamPass();
  } else {
    const std::span<const std::uint8_t> stream(stream_);
    for (std::size_t j = 0; j < flags.size() && j < kMaxSubstreams; ++j) {
      if (flags[j] != 0) continue;
      const std::uint32_t start = boundaries_.startPos_[j];
      const std::uint32_t end = boundaries_.endPos_[j];
      if (end <= start || start >= stream.size()) continue;
      // The slice ends after its EOF header, so that the record before the EOF has a
      // header behind it to vouch for it. The last substream's EOF needs no witness, so
      // in a cut stream it may be a stray pair of bytes: a damaged last substream runs to
      // the end of the stream.
      const bool last = j + 1 == flags.size();
      const std::size_t length =
          last ? stream.size() - start
               : std::min<std::size_t>(std::size_t{end} - start + 4, stream.size() - start);
      const auto slice = stream.subspan(start, length);
      const std::uint16_t type = selector::BofType(slice, 0);
      if (j >= worksheets_.size()) worksheets_.resize(j + 1);
      worksheets_[j].sourcePosition_ = start;
      if (j == 0 && !globalsRead_ && type == BOF::kWorkbookGlobals) {
        globalsRead_ = true;
        GlobalsSlicePass(slice);
      } else if (j > 0 && type == BOF::kWorksheet) {
        WorksheetSlicePass(slice, worksheets_[j]);
      } else {
        MixedSlicePass(slice, worksheets_[j]);
      }
    }
    if (flags.back() != 0) RecoverTail(std::size_t{boundaries_.endPos_.back()} + 4);
  }

  FixXFReferences(workbook_);
  for (Worksheet& sheet : worksheets_) {
    FixCellXFIndices(sheet);
    UpdateCellTableofWorkSheet(sheet);
  }
}

void XlsDocument::RecoverTail(std::size_t from) {
  // A stream cut inside a sheet leaves that sheet without its EOF, and so outside every
  // pair of boundaries. Each worksheet BOF behind the last sound substream opens a piece
  // of its own, up to the next worksheet BOF; a chart's BOF stays inside its piece, where
  // the pass steps over the chart.
  const std::span<const std::uint8_t> stream(stream_);
  std::vector<std::size_t> starts;
  for (const std::uint32_t marker : boundaries_.BOFMarker_) {
    if (marker >= from && selector::BofType(stream, marker) == BOF::kWorksheet)
      starts.push_back(marker);
  }
  for (std::size_t k = 0; k < starts.size() && worksheets_.size() < kMaxSubstreams; ++k) {
    const std::size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
    Worksheet& sheet = worksheets_.emplace_back();
    sheet.sourcePosition_ = static_cast<std::uint32_t>(starts[k]);
    WorksheetSlicePass(stream.subspan(starts[k], end - starts[k]), sheet);
  }
}

void XlsDocument::FixXFReferences(Workbook& globals) {
  // Globals read whole name their formats only by the list: let the list fill the gaps.
  for (std::size_t i = 0; i < globals.formats_.size(); ++i)
    globals.formatPositions_.try_emplace(globals.formats_[i].index_, static_cast<std::uint32_t>(i));
  const std::size_t fontCount = globals.fonts_.size();
  for (Workbook::XF& xf : globals.xfs_) {
    if (!FontIndexValid(xf.fontIndex_, fontCount)) xf.fontIndex_ = 0;
    // A built-in format (a date, a percentage) needs no record; only a custom one whose
    // FORMAT record was lost would leave the cell pointing at nothing.
    if (xf.formatIndex_ >= kFirstCustomFormat &&
        !globals.formatPositions_.contains(xf.formatIndex_))
      xf.formatIndex_ = 0;
  }
}

void XlsDocument::FixCellXFIndices(Worksheet& sheet) const {
  const std::size_t xfCount = workbook_.xfs_.size();
  for (cells::CellBlock& cell : sheet.scratch_.cellBlocks_) FixCellXf(cell, xfCount);
  for (cells::RowBlock& block : sheet.cellTable_.rowBlocks_) {
    for (cells::CellBlock& cell : block.cellBlocks_) FixCellXf(cell, xfCount);
  }
}

void XlsDocument::DropUnrecoveredSheets() {
  std::erase_if(worksheets_, [](const Worksheet& sheet) { return sheet.recovered_ == 0; });
  // The new workbook recovery starts from names three sheets. The sheet entries read from
  // the stream replace them in order; those left over would name sheets the file never had.
  auto& entries = workbook_.sheets_;
  if (workbook_.sheetEntriesRead_ > 0 && workbook_.sheetEntriesRead_ < entries.size())
    entries.resize(workbook_.sheetEntriesRead_);
}

}  // namespace tabulix
