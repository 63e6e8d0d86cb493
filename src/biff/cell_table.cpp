#include "biff/cell_table.hpp"

#include <algorithm>
#include <limits>

#include "base/little_endian.hpp"
#include "base/log.hpp"

namespace tabulix::cells {

bool IsCellTableCode(std::uint16_t code) { return code == Row::kCode || IsCellCode(code); }

void CellTable::Reset() { rowBlocks_.clear(); }

std::uint32_t CellTable::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  std::size_t at = pos;
  while (at < stream.size() && stream.size() - at >= kRecordHeaderSize &&
         IsCellTableCode(LittleEndian::U16(stream, at))) {
    RowBlock block;
    const std::uint32_t taken = block.Read(stream, at);
    if (taken == 0) {
      // The blocks read so far stay.
      WriteLog(0, 0, "Error reading CellTable", true);
      break;
    }
    rowBlocks_.push_back(std::move(block));
    at += taken;
  }
  return static_cast<std::uint32_t>(
      std::min<std::size_t>(at - pos, std::numeric_limits<std::uint32_t>::max()));
}

std::uint32_t CellTable::Write(std::span<std::uint8_t> out, std::size_t pos) {
  std::size_t at = pos;
  bool complete = true;
  for (RowBlock& block : rowBlocks_) {
    const std::uint32_t size = block.RecordSize();
    const std::uint32_t written = block.Write(out, at);
    complete = complete && written == size;
    at += written;
  }
  if (!complete) WriteLog(0, 0, "Error writing Celltable", true);
  return static_cast<std::uint32_t>(
      std::min<std::size_t>(at - pos, std::numeric_limits<std::uint32_t>::max()));
}

std::uint32_t CellTable::RecordSize() {
  std::uint64_t size = 0;
  for (RowBlock& block : rowBlocks_) size += block.RecordSize();
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(size, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace tabulix::cells
