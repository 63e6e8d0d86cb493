#pragma once
// What the recovery stages work on besides the stream: the model they fill (the globals and
// the worksheets) and the small state they hand from one stage to the next.

#include <cstddef>
#include <vector>

#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"
#include "recovery/record_scan.hpp"
#include "recovery/record_selectors.hpp"
#include "recovery/sheet_boundaries.hpp"

namespace tabulix {

// The recovered workbook: its globals and its worksheets, in the order they are saved.
struct WorkbookModel {
  Workbook workbook_;
  std::vector<Worksheet> worksheets_;
};

struct RecoveryState {
  SheetBoundaries boundaries_;
  // The globals substream has been read or recovered once already.
  bool globalsRead_ = false;
  // Candidate record headers of the slice being recovered; filled by each recovery pass.
  RecordScan scan_;
  // Shared by every pass of a load, so that one rejected record is logged per load until
  // something is taken.
  SelectorLog selectorLog_;
};

}  // namespace tabulix
