#pragma once
// One row block of a worksheet's cell table: its ROW records, its cell records and the
// DBCELL that closes it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "biff/cell_block.hpp"
#include "biff/row_records.hpp"

namespace tabulix::cells {

class RowBlock {
 public:
  using Row = cells::Row;
  using CellBlock = cells::CellBlock;
  using DBCell = cells::DBCell;

  // Reads ROW and cell records from `pos` (a FORMULA with its companions and STRING) and
  // ends after the block's DBCELL, or before the first record that is none of these, or
  // before a ROW that follows cell records (the next block's). Returns the bytes taken.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos);
  // Rows, then cells, then the DBCELL. Returns the bytes written.
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos);
  // The sum of the records' sizes.
  std::uint32_t RecordSize();
  void Reset();

  std::vector<Row> rows_;
  std::vector<CellBlock> cellBlocks_;
  // A block read without a DBCELL keeps a default one: the position fix-up fills it before
  // the block is written, so every block written has its DBCELL.
  DBCell dbCell_;
  // Whether dbCell_ was read from the stream (many writers emit none).
  bool hasDbCell_ = false;
};

}  // namespace tabulix::cells
