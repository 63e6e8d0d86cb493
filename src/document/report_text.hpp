#pragma once
// The recovery report as the lines a person reads: on a terminal, or in the desktop
// program's report box.

#include <ostream>
#include <string>
#include <string_view>

#include "document/recovery_report.hpp"

namespace tabulix {

// `text` without the spaces around it: the core pads its message-box texts for centring,
// and a line of text reads better without them.
std::string Trimmed(std::string_view text);

// Why a load failed, in the core's own words: the last thing it told the user.
std::string LoadFailure(const RecoveryReport& report);

// What the load found: the file, the route, the stream, the substreams, the sheet count.
void PrintLoadReport(const RecoveryReport& report, const std::string& input, std::ostream& out);

// Each recovered sheet with its cells and what making it well-formed changed, what was kept
// and dropped of the records the model does not show, and the lost shared strings.
// `cellsOnly`: the output holds the cells alone (.xlsx, CSV), so chart and macro sheets are
// left out of it and nothing is kept of the other records.
void PrintSheetReport(const RecoveryReport& report, std::ostream& out, bool cellsOnly = false);

// The details --verbose adds: why earlier routes failed, what the container repair fixed,
// each substream, and every message the load gave.
void PrintDetails(const RecoveryReport& report, std::ostream& out);

}  // namespace tabulix
