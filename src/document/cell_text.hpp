#pragma once
// The text the preview shows for a cell, one rule for every front end: the desktop
// program's grid and the command line's table must never disagree on what a cell holds.

#include <cstdint>
#include <optional>
#include <string>

namespace tabulix {

class Workbook;
class ViewCell;

// The text of a view cell: integers in decimal; doubles as the shortest text that reads
// back as the same double, in plain notation from 1e-7 up to 1e21 and in exponent
// notation beyond (1.0 as "1", 0.1 as "0.1", 1e21 as "1e+21"; -0.0 as "0"; NaN and the
// infinities, which no sound cell holds, as "#NUM!"); a number (integer or double) whose
// XF has a date or time number format as "#DATE/TIME", since the preview formats no
// dates; narrow and wide texts as UTF-8. Nothing for an empty cell. An XF index outside
// the workbook's XFs formats nothing: the number shows.
std::optional<std::string> PreviewCellText(const Workbook& workbook, const ViewCell& cell);

// The built-in number formats that show a date or a time: 14-21, 27-36, 50-58, and 1432
// and 2232.
bool IsDateTimeFormatIndex(std::uint16_t formatIndex);

}  // namespace tabulix
