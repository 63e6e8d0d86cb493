#pragma once
// The cells of one worksheet as a list of row blocks.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "biff/row_block.hpp"

namespace tabulix::cells {

// True for the codes a row block holds: ROW and the cell records (FORMULA, MULRK, MULBLANK,
// LABELSST, BLANK, NUMBER, LABEL, BOOLERR, RK, RSTRING; FORMULA also as 0x0206 and 0x0406).
bool IsCellTableCode(std::uint16_t code);

class CellTable {
 public:
  using RowBlock = cells::RowBlock;

  // Reads row blocks from `pos` (a ROW or a cell record) while the record there is one
  // and APPENDS them to rowBlocks_. Returns the stream bytes taken: never 0 when the
  // record at `pos` is a ROW or cell record that fits in the stream.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos);
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos);
  // The sum of the row blocks' sizes.
  std::uint32_t RecordSize();
  void Reset();

  std::vector<RowBlock> rowBlocks_;
};

}  // namespace tabulix::cells
