#pragma once

#include <filesystem>
#include <ostream>
#include <string>

namespace tabulix::cli {

struct RecoverOptions {
  std::string input;
  std::filesystem::path dumpDir;  // empty: the default diagnostics folder
};

// Runs the main job on one file and prints a short report. Returns the exit status.
int RunRecover(const RecoverOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tabulix::cli
