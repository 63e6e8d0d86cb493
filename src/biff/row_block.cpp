#include "biff/row_block.hpp"

#include <algorithm>
#include <iterator>
#include <limits>

#include "base/little_endian.hpp"
#include "base/log.hpp"

namespace tabulix::cells {

namespace {

// Room a scratch list keeps between blocks: a block of a sound sheet holds 32 rows, but a
// damaged one may run on over a whole sheet, and its room must not stay with the thread.
constexpr std::size_t kScratchKept = 4096;

// Moves `scratch` behind what `kept` holds, in a list of exactly the size they make
// together, and empties `scratch` (its room stays for the next block, up to a bound).
template <class T>
void Append(std::vector<T>& kept, std::vector<T>& scratch) {
  if (!scratch.empty()) {
    std::vector<T> joined;
    joined.reserve(kept.size() + scratch.size());
    std::move(kept.begin(), kept.end(), std::back_inserter(joined));
    std::move(scratch.begin(), scratch.end(), std::back_inserter(joined));
    kept = std::move(joined);
  } else {
    kept.shrink_to_fit();
  }
  scratch.clear();
  if (scratch.capacity() > kScratchKept) std::vector<T>().swap(scratch);
}

}  // namespace

void RowBlock::Reset() {
  rows_.clear();
  cellBlocks_.clear();
  dbCell_.Reset();
  hasDbCell_ = false;
}

std::uint32_t RowBlock::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  // The block ends at its DBCELL, but many writers emit none: reading on "until DBCELL"
  // would swallow the sheet's WINDOW2, its EOF and the sheets after it. So the block also
  // ends before the first record that is neither a ROW nor a cell record, which the
  // worksheet reader handles (and hands the next ROW or cell run back to the cell table).
  //
  // The records go into scratch lists first, whose room outlives the call, and are then
  // moved once into lists of exactly their size: a sheet has tens of thousands of blocks,
  // and growing each block's lists by doubling, then shrinking them, moved every cell
  // three times over.
  thread_local std::vector<Row> rows;
  thread_local std::vector<CellBlock> cellBlocks;
  rows.clear();
  cellBlocks.clear();
  std::size_t at = pos;
  bool failed = false;
  while (at < stream.size() && stream.size() - at >= kRecordHeaderSize) {
    const std::uint16_t code = LittleEndian::U16(stream, at);
    std::uint32_t taken = 0;
    if (code == Row::kCode) {
      // A ROW behind cells opens the next block.
      if (!cellBlocks_.empty() || !cellBlocks.empty()) break;
      taken = rows.emplace_back().Read(stream, at);
      if (taken == 0) rows.pop_back();
    } else if (IsCellCode(code)) {
      taken = cellBlocks.emplace_back().Read(stream, at);
      if (taken == 0) cellBlocks.pop_back();
    } else if (code == DBCell::kCode) {
      taken = dbCell_.Read(stream, at);
      hasDbCell_ = taken != 0;
      if (taken != 0) at += taken;
      failed = taken == 0;
      break;
    } else {
      break;
    }
    if (taken == 0) {
      // The record runs past the stream: nothing after it can be framed.
      failed = true;
      break;
    }
    at += taken;
  }
  if (failed) WriteLog(0, 0, "Error reading RowBlock", true);
  // Blocks are kept by the thousand; growth slack would cost more than the cells.
  Append(rows_, rows);
  Append(cellBlocks_, cellBlocks);
  return static_cast<std::uint32_t>(
      std::min<std::size_t>(at - pos, std::numeric_limits<std::uint32_t>::max()));
}

std::uint32_t RowBlock::Write(std::span<std::uint8_t> out, std::size_t pos) {
  std::size_t at = pos;
  bool complete = true;
  for (Row& row : rows_) {
    const std::uint32_t size = row.RecordSize();
    const std::uint32_t written = row.Write(out, at);
    complete = complete && written == size;
    at += written;
  }
  for (CellBlock& cell : cellBlocks_) {
    const std::uint32_t size = cell.RecordSize();
    const std::uint32_t written = cell.Write(out, at);
    complete = complete && written == size;
    at += written;
  }
  const std::uint32_t size = dbCell_.RecordSize();
  const std::uint32_t written = dbCell_.Write(out, at);
  complete = complete && written == size;
  at += written;
  if (!complete) WriteLog(0, 0, "Error writing RowBlock", true);
  return static_cast<std::uint32_t>(at - pos);
}

std::uint32_t RowBlock::RecordSize() {
  std::uint64_t size = 0;
  for (Row& row : rows_) size += row.RecordSize();
  for (CellBlock& cell : cellBlocks_) size += cell.RecordSize();
  size += dbCell_.RecordSize();
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(size, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace tabulix::cells
