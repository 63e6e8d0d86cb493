#pragma once
// `tabulix recover` and `tabulix inspect`: one file or many, each on its own, several at a
// time. Inputs are never written, existing outputs are replaced only when asked, and every
// output appears whole or not at all.

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "cli/options.hpp"

namespace tabulix::cli {

// Where a file's output goes when no output is named: beside the input, the input's name
// with "_recovered" before its extension and the format's own extension (none for the
// folder of CSV files).
std::filesystem::path DefaultOutputPath(const std::filesystem::path& input, OutputFormat format);

// The files a list of arguments names: files as given, and the .xls files of each folder
// (of its subfolders too when `recursive`), each file once. An argument that names nothing
// to work on gets a problem: the argument, and why.
struct InputProblem {
  std::string input;
  std::string why;
};
struct ExpandedInputs {
  std::vector<std::filesystem::path> files;
  std::vector<InputProblem> problems;
};
ExpandedInputs ExpandInputs(const std::vector<std::string>& inputs, bool recursive);

// Runs the batch and returns the exit status: 0 when every file was recovered (or
// inspected), 1 when any failed, 3 when some were password-protected and none failed
// otherwise.
int RunBatch(const BatchOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tabulix::cli
