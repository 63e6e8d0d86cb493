#pragma once
// What the command line was asked to do, as parsed from its arguments.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tabulix::cli {

enum class OutputFormat { Xls, Xlsx, Csv };

// The exit statuses, documented in --help and the manual page.
inline constexpr int kExitRecovered = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPasswordProtected = 3;

struct BatchOptions {
  std::vector<std::string> inputs;  // files and folders as given
  bool recursive = false;           // folders: descend into subfolders
  bool inspectOnly = false;         // report without writing anything
  // Recover: where the outputs go. `output` names the one output of a single input; else
  // `outDir` collects them; else each goes beside its input.
  std::string output;
  std::filesystem::path outDir;
  bool force = false;  // an existing output may be replaced
  OutputFormat format = OutputFormat::Xls;
  unsigned jobs = 1;
  bool json = false;     // one JSON report per file on standard output
  bool quiet = false;    // errors only
  bool verbose = false;  // every detail of the report
  std::filesystem::path dumpDir;
  bool dumpDirGiven = false;
};

struct PreviewOptions {
  std::string input;
  std::string sheet;  // a 1-based number or a name; empty: the first sheet
  std::uint32_t rows = 20;
  std::uint32_t columns = 10;
  // Display columns a cell's text may take before it is cut.
  std::uint32_t cellWidth = 24;
};

}  // namespace tabulix::cli
