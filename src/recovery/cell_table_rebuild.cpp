#include "recovery/cell_table_rebuild.hpp"

#include <algorithm>
#include <exception>
#include <iterator>
#include <map>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/log.hpp"
#include "biff/cell_block.hpp"
#include "biff/row_block.hpp"
#include "biff/row_records.hpp"

namespace tabulix {

namespace {

using cells::Blank;
using cells::CellBlock;
using cells::MulBlank;
using cells::MulRK;
using cells::Row;
using cells::RowBlock;

constexpr std::uint32_t kRowsPerBlock = 32;
// Rows are unsigned 16-bit values; a BIFF8 sheet has 256 columns.
constexpr std::uint32_t kLastRow = 0xFFFF;
constexpr std::uint32_t kLastColumn = 255;
// The formats the filler cells ask for: one for a blank standing in for a lost cell, one
// for the run that stands in for a lost row.
constexpr std::uint16_t kBlankFillerXf = 69;
constexpr std::uint16_t kRowFillerXf = 70;
// The default cell format, the fallback when the workbook has no record for those.
constexpr std::uint16_t kDefaultCellXf = 15;
constexpr std::size_t kMaxMessageLength = 999;
// The option bits of a ROW record made anew: default height and format, and the bit the
// file format wants always set.
constexpr std::uint32_t kNewRowOptions = 0x100;

constexpr std::string_view kNothingToRebuild =
    "Return from XlsDocument::UpdateCellTableofWorkSheet";
constexpr std::string_view kRowOutOfMemory =
    "= RowNo, CMemoryException in XlsDocument::UpdateCellTableofWorkSheet function";
constexpr std::string_view kRowFailed =
    "= RowNo, CException in XlsDocument::UpdateCellTableofWorkSheet function";
constexpr std::string_view kRowFailedUnknown =
    "= RowNo, (...)Exception in XlsDocument::UpdateCellTableofWorkSheet function";

// Brings the gathered bounds into the sheet: a minimum never lowered (only ROW records
// were taken) becomes 0, anything past the last row or column is cut back, and bounds
// crossed by a damaged run (its last column before its first) are put in order.
void ClampBounds(Worksheet& sheet) {
  if (sheet.minRow_ > kLastRow) sheet.minRow_ = 0;
  if (sheet.maxRow_ > kLastRow) sheet.maxRow_ = kLastRow;
  if (sheet.minCol_ > kLastColumn) sheet.minCol_ = 0;
  if (sheet.maxCol_ > kLastColumn) sheet.maxCol_ = kLastColumn;
  if (sheet.minRow_ > sheet.maxRow_) std::swap(sheet.minRow_, sheet.maxRow_);
  if (sheet.minCol_ > sheet.maxCol_) std::swap(sheet.minCol_, sheet.maxCol_);
}

Blank MakeBlank(std::uint16_t row, std::uint32_t column, std::uint16_t xf) {
  Blank blank;
  blank.row_ = row;
  blank.column_ = static_cast<std::uint16_t>(column);
  blank.xf_ = xf;
  return blank;
}

CellBlock FillerBlank(std::uint16_t row, std::uint32_t column, std::uint16_t xf) {
  CellBlock cell;
  cell.Emplace(MakeBlank(row, column, xf));
  return cell;
}

// Makes a gathered MULRK or MULBLANK fit for the table at column `column`, or says it is
// not: a run holding no entry is not. The run's extent is what it holds: one read with a
// span that disagrees with its length is cut to its entries, so that it is written
// consistent and the columns it only claimed get fillers; one reaching past `lastColumn`
// (the last column of the sheet) keeps the cells up to it. A run of one cell becomes the
// single-cell record (a run covers two columns at least). Sets `next` to the column after
// the run.
template <class Run, class Single, class Entry, class MakeSingle>
bool FitRun(CellBlock& cell, Run& run, std::span<const Entry> entries, std::uint32_t column,
            std::uint32_t lastColumn, std::uint32_t& next, MakeSingle makeSingle) {
  if (entries.empty() || column > lastColumn) return false;
  const bool cut = column + entries.size() - 1 > lastColumn;
  if (cut) entries = entries.first(lastColumn - column + 1);
  const std::size_t last = column + entries.size() - 1;
  if (entries.size() == 1) {
    Single single;
    single.row_ = run.row_;
    single.column_ = static_cast<std::uint16_t>(column);
    makeSingle(single, entries.front());
    cell.Emplace(std::move(single));
  } else if (run.AsRead() || cut) {
    std::vector<Entry> held(entries.begin(), entries.end());
    run.column_ = static_cast<std::uint16_t>(column);
    if constexpr (std::is_same_v<Run, MulRK>) {
      run.SetEntries(std::move(held));
    } else {
      run.SetXfs(std::move(held));
    }
  }
  next = static_cast<std::uint32_t>(last + 1);
  return true;
}

// Blanks standing in for lost cells, gathered column by column and written as one blank
// run: a BLANK record per column would let a few cells at the two ends of every row of a
// sheet ask for sixteen million filler records.
class FillerRun {
 public:
  void Add(std::uint32_t column, std::uint16_t xf) {
    if (xfs_.empty()) first_ = column;
    xfs_.push_back(xf);
  }

  void FlushInto(RowBlock& block, std::uint16_t row) {
    if (xfs_.empty()) return;
    if (xfs_.size() == 1) {
      block.cellBlocks_.push_back(FillerBlank(row, first_, xfs_.front()));
    } else {
      MulBlank run;
      run.row_ = row;
      run.column_ = static_cast<std::uint16_t>(first_);
      run.SetXfs(std::move(xfs_));
      CellBlock cell;
      cell.Emplace(std::move(run));
      block.cellBlocks_.push_back(std::move(cell));
    }
    xfs_.clear();
  }

 private:
  std::uint32_t first_ = 0;
  std::vector<std::uint16_t> xfs_;
};

class Rebuild {
 public:
  Rebuild(Worksheet& sheet, std::size_t xfCount)
      : sheet_(sheet),
        blankXf_(FillerXf(kBlankFillerXf, xfCount)),
        rowXf_(FillerXf(kRowFillerXf, xfCount)) {}

  // Appends row `row` (its ROW record and its cells) to `block`. A row of which neither a
  // ROW record nor a cell was gathered is not made up: filling every such row of a sheet
  // whose few cells lie far apart would turn a few hundred bytes into a full grid.
  void AddRow(RowBlock& block, std::uint16_t row) {
    const auto indexed = sheet_.cellIndex_.find(row);
    if (indexed == sheet_.cellIndex_.end() && !sheet_.rowIndex_.contains(row)) return;
    Row& record = block.rows_.emplace_back(TakeRow(row));
    if (indexed == sheet_.cellIndex_.end()) {
      AddLostRow(block, record);
      return;
    }
    // The entry is released as soon as the row is handled: its cells are in the table.
    const std::map<std::uint16_t, std::uint32_t> columns = std::move(indexed->second);
    sheet_.cellIndex_.erase(indexed);
    CoverCells(record, columns);
    // The formats of the columns a blank run gave up to the cells gathered inside it.
    std::map<std::uint16_t, std::uint16_t> yielded;
    std::uint32_t column = record.firstColumn_;
    FillerRun fillers;
    while (column < record.lastColumn_) {
      std::uint32_t next = column + 1;
      const auto found = columns.find(static_cast<std::uint16_t>(column));
      CellBlock* cell =
          found != columns.end() ? &sheet_.scratch_.cellBlocks_.at(found->second) : nullptr;
      if (cell != nullptr && Fits(*cell, column, next)) {
        if (MulBlank* run = cell->As<MulBlank>()) {
          YieldToCellsInside(*cell, *run, column, next, columns, yielded);
        }
        fillers.FlushInto(block, row);
        // Moved, not copied: a sheet may hold a million cells. The emptied place in the
        // scratch list can no longer be taken twice.
        block.cellBlocks_.push_back(std::exchange(*cell, CellBlock()));
      } else {
        const auto format = yielded.find(static_cast<std::uint16_t>(column));
        fillers.Add(column, format != yielded.end() ? format->second : blankXf_);
      }
      // A run going on past the ROW's own range widens it, so the ROW still covers its
      // cells.
      if (next > record.lastColumn_) record.lastColumn_ = static_cast<std::uint16_t>(next);
      column = next;
    }
    fillers.FlushInto(block, row);
  }

 private:
  // The first ROW record gathered for `row`, narrowed to the sheet's columns, or a new one
  // that covers no column yet: it is widened to the row's own cells, so that only the gaps
  // between them are filled.
  Row TakeRow(std::uint16_t row) {
    const auto indexed = sheet_.rowIndex_.find(row);
    if (indexed == sheet_.rowIndex_.end()) {
      Row made;
      made.row_ = row;
      made.options_ = kNewRowOptions;
      return made;
    }
    Row taken = sheet_.scratch_.rows_.at(indexed->second);
    sheet_.rowIndex_.erase(indexed);
    taken.firstColumn_ =
        static_cast<std::uint16_t>(std::max<std::uint32_t>(taken.firstColumn_, sheet_.minCol_));
    taken.lastColumn_ =
        static_cast<std::uint16_t>(std::min<std::uint32_t>(taken.lastColumn_, sheet_.maxCol_ + 1));
    // A ROW whose columns all lie outside the sheet's (an empty row kept for its height,
    // say) says so the way an empty row is written.
    if (taken.firstColumn_ >= taken.lastColumn_) taken.firstColumn_ = taken.lastColumn_ = 0;
    return taken;
  }

  // Widens the ROW to take in every gathered cell of its row within the sheet's columns,
  // a run with every column it holds. Its own range cannot be trusted to: some writers give
  // every ROW the columns 0 to 0, or stop it one column short, and the cells are what the
  // rescue is for.
  void CoverCells(Row& record, const std::map<std::uint16_t, std::uint32_t>& columns) const {
    const auto first = columns.lower_bound(static_cast<std::uint16_t>(sheet_.minCol_));
    const auto end = columns.upper_bound(static_cast<std::uint16_t>(sheet_.maxCol_));
    if (first == end) return;
    const std::uint16_t low = first->first;
    std::uint32_t high = 0;
    for (auto it = first; it != end; ++it) {
      std::size_t held = 1;
      if (const CellBlock* cell = TryCell(it->second)) {
        if (const MulRK* run = cell->As<MulRK>())
          held = std::max<std::size_t>(held, run->entries().size());
        if (const MulBlank* run = cell->As<MulBlank>())
          held = std::max<std::size_t>(held, run->xfs().size());
      }
      high = std::max<std::uint32_t>(high, static_cast<std::uint32_t>(std::min<std::size_t>(
                                               it->first + held, sheet_.maxCol_ + 1)));
    }
    if (record.firstColumn_ >= record.lastColumn_) {
      record.firstColumn_ = low;
      record.lastColumn_ = static_cast<std::uint16_t>(high);
      return;
    }
    record.firstColumn_ = std::min(record.firstColumn_, low);
    record.lastColumn_ = std::max(record.lastColumn_, static_cast<std::uint16_t>(high));
  }

  const CellBlock* TryCell(std::uint32_t position) const {
    return position < sheet_.scratch_.cellBlocks_.size() ? &sheet_.scratch_.cellBlocks_[position]
                                                         : nullptr;
  }

  // Some writers lay a blank run over a row and then write its values into it: a blank
  // run ends before the first cell gathered inside it, and the formats of the columns it
  // gives up stay in `yielded` for the columns no cell takes.
  static void YieldToCellsInside(CellBlock& cell, MulBlank& run, std::uint32_t column,
                                 std::uint32_t& next,
                                 const std::map<std::uint16_t, std::uint32_t>& columns,
                                 std::map<std::uint16_t, std::uint16_t>& yielded) {
    const auto inside = columns.upper_bound(static_cast<std::uint16_t>(column));
    if (inside == columns.end() || inside->first >= next) return;
    const std::span<const std::uint16_t> xfs = run.xfs();
    const std::size_t kept = inside->first - column;
    for (std::size_t i = kept; i < xfs.size(); ++i) {
      yielded.emplace(static_cast<std::uint16_t>(column + i), xfs[i]);
    }
    if (kept == 1) {
      cell.Emplace(MakeBlank(run.row_, column, xfs.front()));
    } else {
      run.SetXfs(
          std::vector<std::uint16_t>(xfs.begin(), xfs.begin() + static_cast<std::ptrdiff_t>(kept)));
    }
    next = inside->first;
  }

  // A row of which no cell was gathered: one blank run over the columns of its ROW.
  void AddLostRow(RowBlock& block, const Row& record) {
    if (record.firstColumn_ >= record.lastColumn_) return;
    const std::size_t count = std::size_t{record.lastColumn_} - record.firstColumn_;
    if (count == 1) {
      block.cellBlocks_.push_back(FillerBlank(record.row_, record.firstColumn_, rowXf_));
      return;
    }
    MulBlank run;
    run.row_ = record.row_;
    run.column_ = record.firstColumn_;
    run.SetXfs(std::vector<std::uint16_t>(count, rowXf_));
    CellBlock cell;
    cell.Emplace(std::move(run));
    block.cellBlocks_.push_back(std::move(cell));
  }

  // Whether the gathered `cell` can stand at `column`: it holds a record, and a run
  // ends within the sheet's columns. Sets `next` past a run.
  bool Fits(CellBlock& cell, std::uint32_t column, std::uint32_t& next) {
    if (cell.type_ == 0) return false;
    if (MulRK* run = cell.As<MulRK>()) {
      return FitRun<MulRK, cells::RK>(cell, *run, run->entries(), column, sheet_.maxCol_, next,
                                      [](cells::RK& rk, const MulRK::XFRK& entry) {
                                        rk.xf_ = entry.xf_;
                                        rk.rk_ = entry.rk_;
                                      });
    }
    if (MulBlank* run = cell.As<MulBlank>()) {
      return FitRun<MulBlank, Blank>(cell, *run, run->xfs(), column, sheet_.maxCol_, next,
                                     [](Blank& blank, std::uint16_t xf) { blank.xf_ = xf; });
    }
    return true;
  }

  Worksheet& sheet_;
  const std::uint16_t blankXf_;
  const std::uint16_t rowXf_;
};

void LogRowFailure(std::uint32_t k, std::string_view first, const char* detail) {
  const auto code = static_cast<std::int32_t>(k);
  WriteLog(code, 0, first, true);
  if (detail != nullptr) {
    const std::string_view text(detail);
    WriteLog(code, 0, text.substr(0, std::min(text.size(), kMaxMessageLength)), true);
  }
}

}  // namespace

std::uint16_t FillerXf(std::uint16_t preferred, std::size_t xfCount) {
  if (preferred < xfCount) return preferred;
  if (kDefaultCellXf < xfCount) return kDefaultCellXf;
  return 0;
}

void RebuildCellTable(Worksheet& sheet, std::size_t xfCount) {
  if (sheet.scratch_.rows_.empty() && sheet.scratch_.cellBlocks_.empty()) {
    WriteLog(0, 0, kNothingToRebuild, true);
    sheet.rowIndex_.clear();
    sheet.cellIndex_.clear();
    return;
  }
  ClampBounds(sheet);
  const std::uint32_t firstRow = sheet.minRow_;
  const std::uint32_t rowCount = sheet.maxRow_ - firstRow + 1;  // 65536 at most

  // The table is built apart and put in place whole, so that a sheet whose blocks cannot
  // even be allocated keeps the table it had.
  std::vector<RowBlock> blocks((rowCount + kRowsPerBlock - 1) / kRowsPerBlock);
  Rebuild rebuild(sheet, xfCount);
  for (std::uint32_t k = 0; k < rowCount; ++k) {
    RowBlock& block = blocks[k / kRowsPerBlock];
    const std::size_t rowsBefore = block.rows_.size();
    const std::size_t cellsBefore = block.cellBlocks_.size();
    const auto rollBack = [&] {
      // A row that failed halfway is left out whole rather than written half-filled.
      block.rows_.erase(block.rows_.begin() + static_cast<std::ptrdiff_t>(rowsBefore),
                        block.rows_.end());
      block.cellBlocks_.erase(block.cellBlocks_.begin() + static_cast<std::ptrdiff_t>(cellsBefore),
                              block.cellBlocks_.end());
    };
    try {
      if (k % kRowsPerBlock == 0) {
        block.rows_.reserve(std::min(kRowsPerBlock, rowCount - k));
        // Room for the block's gathered cells at once: grown by doubling, a block of a
        // million-cell sheet was moved several times over. Blank fillers may add more.
        std::size_t cells = 0;
        const std::uint32_t last = firstRow + k + std::min(kRowsPerBlock, rowCount - k) - 1;
        for (auto it = sheet.cellIndex_.lower_bound(static_cast<std::uint16_t>(firstRow + k));
             it != sheet.cellIndex_.end() && it->first <= last; ++it)
          cells += it->second.size();
        block.cellBlocks_.reserve(cells);
      }
      rebuild.AddRow(block, static_cast<std::uint16_t>(firstRow + k));
    } catch (const std::bad_alloc& e) {
      rollBack();
      LogRowFailure(k, kRowOutOfMemory, e.what());
    } catch (const std::exception& e) {
      rollBack();
      LogRowFailure(k, kRowFailed, e.what());
    } catch (...) {
      rollBack();
      LogRowFailure(k, kRowFailedUnknown, nullptr);
    }
    // Blocks are kept by the thousand; growth slack would cost more than the cells.
    if (k % kRowsPerBlock == kRowsPerBlock - 1 || k + 1 == rowCount) {
      block.cellBlocks_.shrink_to_fit();
    }
  }
  // Blocks whose rows were all left out: an empty block would still be written as a
  // DBCELL of its own.
  std::erase_if(blocks, [](const RowBlock& block) {
    return block.rows_.empty() && block.cellBlocks_.empty();
  });
  sheet.cellTable_.rowBlocks_ = std::move(blocks);

  // A fresh record: one read short or long from a damaged stream would keep its length.
  Worksheet::Dimensions dimensions;
  dimensions.firstRow_ = sheet.minRow_;
  dimensions.lastRowPlus1_ = sheet.maxRow_ + 1;
  dimensions.firstColumn_ = static_cast<std::uint16_t>(sheet.minCol_);
  dimensions.lastColumnPlus1_ = static_cast<std::uint16_t>(sheet.maxCol_ + 1);
  sheet.dimensions_ = dimensions;

  // The gathered records now live in the table (or were duplicates); holding the lists
  // and indexes on would keep a big sheet's cells twice.
  sheet.scratch_ = RowBlock();
  sheet.rowIndex_.clear();
  sheet.cellIndex_.clear();
}

}  // namespace tabulix
