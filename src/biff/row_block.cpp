#include "biff/row_block.hpp"

#include <algorithm>
#include <limits>

#include "base/little_endian.hpp"
#include "base/log.hpp"

namespace tabulix::cells {

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
  std::size_t at = pos;
  bool failed = false;
  while (at < stream.size() && stream.size() - at >= kRecordHeaderSize) {
    const std::uint16_t code = LittleEndian::U16(stream, at);
    std::uint32_t taken = 0;
    if (code == Row::kCode) {
      // A ROW behind cells opens the next block.
      if (!cellBlocks_.empty()) break;
      Row row;
      taken = row.Read(stream, at);
      if (taken != 0) rows_.push_back(std::move(row));
    } else if (IsCellCode(code)) {
      CellBlock cell;
      taken = cell.Read(stream, at);
      if (taken != 0) cellBlocks_.push_back(std::move(cell));
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
  rows_.shrink_to_fit();
  cellBlocks_.shrink_to_fit();
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
