#pragma once

#include <filesystem>
#include <ostream>
#include <string>

namespace tabulix::cli {

struct RecoverOptions {
  std::string input;
  std::string output;             // empty: NAME_recovered.xls beside the input
  std::filesystem::path dumpDir;  // empty: the default diagnostics folder
};

// Where the recovered workbook goes when no output is named: beside the input, the input's
// name with "_recovered" before its extension (and ".xls" as the extension).
std::filesystem::path DefaultOutputPath(const std::filesystem::path& input);

// Runs the main job on one file: loads and recovers it, saves the result and prints a short
// report (progress of the save on `err`). Returns the exit status: 0 when saved, 1 when
// nothing could be recovered or saved, 2 when the output names the input, 3 when saved but
// the dump files asked for (`dumpDir`) could not be written.
int RunRecover(const RecoverOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tabulix::cli
