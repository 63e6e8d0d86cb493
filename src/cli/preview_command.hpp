#pragma once
// `tabulix preview`: a recovered sheet's corner as an aligned text table, with the texts the
// desktop program's preview shows.

#include <ostream>

#include "cli/options.hpp"

namespace tabulix::cli {

// The column's letters as a spreadsheet names it: 0 "A", 25 "Z", 26 "AA", 255 "IV".
std::string ColumnName(std::uint32_t column);

// Loads the file, prints the chosen sheet's table on `out` and returns the exit status: 0,
// 1 when nothing could be recovered, 2 when no sheet has the number or name asked for, 3
// when the file is password-protected.
int RunPreview(const PreviewOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tabulix::cli
