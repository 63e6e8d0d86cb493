#include "recovery/intact_read.hpp"

#include <algorithm>
#include <exception>

#include "biff/bof.hpp"
#include "biff/cell_block.hpp"
#include "biff/formula_records.hpp"
#include "biff/kept_substream.hpp"

namespace tabulix {

namespace {

constexpr std::uint32_t kLastColumn = 255;

// A record long enough for its value and no longer than a writer's quirk makes it (some
// give a BOOLERR nine bytes). A length that would take in a whole record behind it is a
// damaged one: it swallows the cells that follow, while the chain of lengths may still
// happen to reach the EOF.
template <class T>
bool WholeRecord(const cells::CellBlock& cell) {
  constexpr std::uint32_t kRecordHeader = 4;
  const T* record = cell.As<T>();
  return record == nullptr ||
         (record->dataSize_ >= T::kDataSize && record->dataSize_ < T::kDataSize + kRecordHeader);
}

// Whether one cell read soundly: a record long enough for its value, within the grid, naming a
// string the table holds, a formula whole with its text result behind it.
bool CellSound(const cells::CellBlock& cell, std::size_t strings) {
  if (cell.type_ == 0 || cell.Column() > kLastColumn) return false;
  if (!WholeRecord<cells::Blank>(cell) || !WholeRecord<cells::Number>(cell) ||
      !WholeRecord<cells::RK>(cell) || !WholeRecord<cells::BoolErr>(cell) ||
      !WholeRecord<cells::LabelSST>(cell))
    return false;
  if (const auto* text = cell.As<cells::LabelSST>()) return text->sstIndex_ < strings;
  if (const auto* run = cell.As<cells::MulRK>()) {
    return !run->AsRead() && run->column_ + run->entries().size() <= kLastColumn + 1;
  }
  if (const auto* run = cell.As<cells::MulBlank>()) {
    return !run->AsRead() && run->column_ + run->xfs().size() <= kLastColumn + 1;
  }
  if (const auto* formula = cell.As<cells::Formula>()) {
    if (formula->asRead_) return false;
    const bool text = formula->resultKind() == cells::Formula::ResultKind::String;
    if (text != formula->hasString_) return false;
    return !text || formula->string_.IsSound();
  }
  return true;
}

// A substream whose record lengths chain from BOF to EOF can still hold damaged contents:
// random bytes inside records leave the chain whole. Such a sheet is rebuilt instead of
// being passed off as intact. `strings` is the size of the shared string table, or
// SIZE_MAX when the globals were not read (the indexes cannot be judged then).
// (Cells out of order are no sign of damage: some writers put a row's cells after the
// next row's.)
bool ContentSound(const Worksheet& sheet, std::size_t strings) {
  for (const cells::RowBlock& block : sheet.cellTable_.rowBlocks_) {
    for (const cells::CellBlock& cell : block.cellBlocks_) {
      if (!CellSound(cell, strings)) return false;
    }
  }
  return true;
}

}  // namespace

IntactReadResult ReadIntactSheets(std::span<const std::uint8_t> stream, SheetBoundaries& boundaries,
                                  Workbook& workbook, std::vector<Worksheet>& worksheets,
                                  bool& globalsRead) {
  globalsRead = false;
  auto& flags = boundaries.intactFlags_;
  const auto& startPos = boundaries.startPos_;
  if (flags.size() > kMaxSubstreams) {
    std::fill(flags.begin() + kMaxSubstreams, flags.end(), std::uint8_t{0});
  }
  for (std::size_t i = 0; i < flags.size() && i < kMaxSubstreams; ++i) {
    // Tested before each substream, so the stop comes with the substream after the
    // globals. Telling the user is left to the caller, which sees passwordProtected_.
    if (workbook.passwordProtected_) return IntactReadResult::PasswordProtected;
    try {
      if (worksheets.size() <= i) {
        // Every substream index gets its worksheet, which the per-substream recovery
        // relies on.
        worksheets.resize(i + 1);
        worksheets.back().Reset();
      }
      Worksheet& sheet = worksheets[i];
      sheet.recovered_ = 0;
      if (flags[i] != 1) continue;
      // The flags were set where a BOF header stands, but i may lie beyond the starts when
      // the lists were tampered with: such a substream is simply not intact.
      if (i >= startPos.size()) {
        flags[i] = 0;
        continue;
      }
      BOF bof;
      bof.Read(stream, startPos[i]);  // a failed read leaves type 0: demoted below
      const std::span<const std::uint8_t> whole = kept::SubstreamBytes(stream, startPos[i]);
      if (bof.type_ == BOF::kWorksheet && i > 0) {
        // What the read gets stays, even when it stops early.
        const std::size_t read = sheet.Read(stream, startPos[i]);
        sheet.recovered_ = 1;
        sheet.sourcePosition_ = startPos[i];
        const std::size_t strings =
            globalsRead ? workbook.sst_.strings_.size() : static_cast<std::size_t>(-1);
        if (!ContentSound(sheet, strings)) {
          sheet = Worksheet();
          sheet.Reset();
          flags[i] = 0;
        } else if (read == whole.size()) {
          sheet.source_.assign(whole.begin(), whole.end());
        }
      } else if (bof.type_ == BOF::kWorkbookGlobals && i == 0) {
        globalsRead = true;
        const std::size_t read = workbook.Read(stream, startPos[i]);
        // Shared strings read again from their index are no longer the bytes that stood.
        if (read == whole.size() && !workbook.passwordProtected_ && !workbook.sst_.Salvaged()) {
          workbook.source_.assign(whole.begin(), whole.end());
          workbook.sourceStart_ = static_cast<std::uint32_t>(startPos[i]);
        }
      } else if ((bof.type_ == BOF::kChart || bof.type_ == BOF::kMacroSheet) && i > 0 &&
                 !whole.empty()) {
        // Nothing of a chart or macro sheet is shown; it is saved as it stood, under the
        // sheet entry that names it.
        sheet.Reset();
        sheet.bof_ = bof;
        sheet.source_.assign(whole.begin(), whole.end());
        sheet.recovered_ = 1;
        sheet.sourcePosition_ = startPos[i];
      } else {
        // A worksheet in the globals' place, globals in a sheet's place, a chart or macro
        // sheet cut short, a Visual Basic module, a workspace: left to the recovery passes.
        flags[i] = 0;
      }
    } catch (const std::exception&) {
      // The readers log their own failures; what they read before stays.
      flags[i] = 0;
    }
  }
  return IntactReadResult::Done;
}

}  // namespace tabulix
