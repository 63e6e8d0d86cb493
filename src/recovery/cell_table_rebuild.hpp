#pragma once
// The cell-table rebuild. The record selector gathers the ROW and cell records of a
// damaged worksheet in whatever order, with whatever gaps and duplicates the stream had;
// the rebuild turns them into a dense, well-formed cell table: rows in ascending order in
// blocks of 32, each with a ROW record and exactly one cell per column of its range, lost
// ROW records made anew and lost cells filled with blanks.

#include <cstddef>
#include <cstdint>

#include "biff/worksheet.hpp"

namespace tabulix {

// The XF index of the filler cells in a workbook with `xfCount` XF records: `preferred`
// when that record exists, else 15 (the default cell format) when it exists, else 0.
std::uint16_t FillerXf(std::uint16_t preferred, std::size_t xfCount);

// Rebuilds `sheet`'s cell table (and its DIMENSIONS) from its scratch lists and indexes.
// A sheet with nothing gathered is left as it was.
void RebuildCellTable(Worksheet& sheet, std::size_t xfCount);

}  // namespace tabulix
