#pragma once
// The values of a worksheet's cells in a form two readers can be compared in: JSON rows
// [row, column, kind, value] for the xlrd oracle, and a map for comparisons in C++.
// Kinds: "n" number, "s" text, "b" boolean, "e" error code; blanks are left out.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"

namespace tabulix::test {

void AppendJsonString(std::string& out, std::string_view text);

// The cells of `sheet` as a JSON array, in cell-table order.
std::string SheetCells(const Worksheet& sheet, const Workbook& globals);

// (row, column) -> kind and value as text; a later cell at a place replaces an earlier one.
using CellValues = std::map<std::pair<std::uint32_t, std::uint32_t>, std::string>;
CellValues SheetCellValues(const Worksheet& sheet, const Workbook& globals);

// The cell values of every worksheet, in order.
std::vector<CellValues> SheetsCellValues(const std::vector<Worksheet>& sheets,
                                         const Workbook& globals);

// How many cells of `expected` stand with the same value in `got`, each expected sheet
// matched with the sheet of `got` that holds most of its cells (a recovery may number or
// name its sheets differently).
std::size_t CellsFound(const std::vector<CellValues>& expected, const std::vector<CellValues>& got);

}  // namespace tabulix::test
