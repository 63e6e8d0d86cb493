#pragma once
// The sheet entries a saved workbook carries: exactly one per saved worksheet, in order,
// each with a name a spreadsheet program accepts.

#include <cstdint>
#include <span>
#include <vector>

#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"

namespace tabulix {

// Pairs each of `worksheets` with its sheet entry among the globals' entries (the one
// pointing at the BOF the worksheet came from in `stream`, else the next worksheet entry
// free), and returns the entries the save writes: worksheet type, a usable name unique
// without regard to case ("Recovered Sheet n" for a sheet no entry names), at least one
// visible. Positions are left as they were; the save places them. `shift` is added to
// the positions the entries name to find them in `stream` (see namedShift_).
std::vector<Workbook::BoundSheet> SavedSheetEntries(const Workbook& workbook,
                                                    const std::vector<Worksheet>& worksheets,
                                                    std::span<const std::uint8_t> stream,
                                                    std::int64_t shift = 0);

}  // namespace tabulix
