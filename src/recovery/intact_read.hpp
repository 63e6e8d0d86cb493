#pragma once
// Reading the substreams found intact whole, with the ordinary readers of the globals and
// of a worksheet, and the stop on an encrypted workbook.

#include <cstdint>
#include <span>
#include <vector>

#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"
#include "recovery/sheet_boundaries.hpp"

namespace tabulix {

enum class IntactReadResult {
  Done,               // every substream handled; those that went wrong were demoted
  PasswordProtected,  // the globals carry a FILEPASS record: the load must stop
};

// For every substream of `boundaries`: makes sure `worksheets` has an entry for it, then
// reads an intact globals substream (index 0) into `workbook` and an intact worksheet
// substream (index above 0) into its worksheet, marking the latter recovered. A substream
// whose type does not fit its place, or whose read throws, is demoted to flag 0 for the
// recovery passes. Stops with PasswordProtected at the first substream handled after the
// globals turned out to be encrypted.
IntactReadResult ReadIntactSheets(std::span<const std::uint8_t> stream, SheetBoundaries& boundaries,
                                  Workbook& workbook, std::vector<Worksheet>& worksheets,
                                  bool& globalsRead);

}  // namespace tabulix
