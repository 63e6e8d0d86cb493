// tabulix: the command-line front end. It parses arguments, calls the core and prints what
// the core returns; it never looks inside a file itself.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/diagnostics.hpp"
#include "base/interrupt_cleanup.hpp"
#include "base/large_pages.hpp"
#include "base/log.hpp"
#include "cli/batch.hpp"
#include "cli/options.hpp"
#include "cli/preview_command.hpp"

namespace {

namespace fs = std::filesystem;
using tabulix::cli::kExitUsage;

constexpr const char* kDescription =
    "Rescues the cells of damaged Excel 97-2003 workbooks (.xls) and saves them as clean "
    "workbooks.";

constexpr const char* kFooter = R"(Examples:
  tabulix recover damaged.xls                 writes damaged_recovered.xls beside it
  tabulix recover -r --out-dir rescued mail/  every .xls under mail/, outputs in rescued/
  tabulix recover --format xlsx damaged.xls   writes damaged_recovered.xlsx
  tabulix inspect --json damaged.xls          the report only, as JSON
  tabulix preview damaged.xls --sheet 2       the second sheet as a text table

Input files are never written. Logs go to RecoveryLog/ beside the executable when that
folder is writable, otherwise to $XDG_STATE_HOME/tabulix/RecoveryLog (default
~/.local/state/tabulix/RecoveryLog); --log-dir chooses another folder.

Exit status:
  0  every file was recovered (or inspected, or previewed)
  1  at least one file failed: not found, not an .xls workbook, nothing recoverable,
     an output that could not or may not be written
  2  usage error: unknown option, missing argument, conflicting options
  3  a file is password-protected, and no file failed otherwise
)";

// Options every command that loads files shares.
void AddLoadOptions(CLI::App& command, tabulix::cli::BatchOptions& options, std::string& logDir) {
  command.add_option("--log-dir", logDir, "Write the execution and error logs into DIR")
      ->type_name("DIR");
  command
      .add_option("--dump-dir", options.dumpDir,
                  "Write diagnostic dump files into DIR (one subfolder per file in a batch)")
      ->type_name("DIR");
  auto* quiet = command.add_flag("-q,--quiet", options.quiet, "Print errors only");
  command
      .add_flag("-v,--verbose", options.verbose,
                "Also print why routes failed, every substream and every message")
      ->excludes(quiet);
}

void AddBatchOptions(CLI::App& command, tabulix::cli::BatchOptions& options) {
  command.add_option("FILE", options.inputs, "Files, and folders of .xls files")
      ->required()
      ->type_name("FILE|DIR");
  command.add_flag("-r,--recursive", options.recursive,
                   "Look for .xls files in the subfolders of each folder too");
  command
      .add_option("-j,--jobs", options.jobs,
                  "Work on N files at a time, at most 64 (default: the number of processors)")
      ->type_name("N")
      ->check(CLI::Range(1u, 64u));
  command.add_flag("--json", options.json,
                   "Print one JSON report per file on standard output (JSON Lines; the "
                   "shape is docs/report.schema.json)");
}

// Where the logs go, made when missing. Empty when it can take them; else why not.
std::string UseLogFolder(const std::string& logDir) {
  if (logDir.empty()) return {};
  std::error_code ec;
  fs::create_directories(logDir, ec);
  if (!fs::is_directory(logDir, ec)) {
    return "the log folder '" + logDir + "' cannot be made" + (ec ? " (" + ec.message() + ")" : "");
  }
  tabulix::LogLocations locations = tabulix::CurrentLogLocations();
  locations.logFolder = logDir;
  tabulix::SetLogLocations(locations);
  return {};
}

int UsageError(const std::string& message) {
  std::cerr << "tabulix: " << message << "\n"
            << "Run 'tabulix --help' for more information.\n";
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  {
    // A load of tens of megabytes runs two to three times faster with the heap on huge
    // pages; a small file is not worth the few milliseconds of starting again.
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
      if (argv[i][0] != '-') paths.emplace_back(argv[i]);
    }
    if (tabulix::LargeInputs(paths)) tabulix::RestartWithLargePages(argv);
  }
  // An output stopped by Ctrl-C or kill must not leave its temporary beside the target.
  tabulix::RemoveTemporariesOnSignals();

  CLI::App app(kDescription, "tabulix");
  app.footer(kFooter);
  app.set_version_flag("--version", std::string("tabulix ") + TABULIX_VERSION);
  app.require_subcommand(1);

  tabulix::cli::BatchOptions batch;
  // More workers than a batch can use only hold memory; each holds one temporary at most.
  batch.jobs = std::clamp(std::thread::hardware_concurrency(), 1u, 64u);
  std::string logDir;
  std::string format = "xls";

  CLI::App* recover = app.add_subcommand(
      "recover", "Recover each FILE (and the .xls files of each folder) and save a clean workbook");
  AddBatchOptions(*recover, batch);
  auto* output = recover
                     ->add_option("-o,--output", batch.output,
                                  "Where to save the one input's recovered workbook (default: "
                                  "NAME_recovered.xls beside it)")
                     ->type_name("OUT");
  recover->add_option("--out-dir", batch.outDir, "Save every output into DIR (made when missing)")
      ->type_name("DIR")
      ->excludes(output);
  recover->add_flag("-f,--force", batch.force, "Replace outputs that already exist");
  recover
      ->add_option("--format", format,
                   "xls (default), xlsx (Excel 2007 and later), or csv (a folder of one "
                   "UTF-8 CSV file per sheet)")
      ->check(CLI::IsMember({"xls", "xlsx", "csv"}));
  AddLoadOptions(*recover, batch, logDir);

  CLI::App* inspect = app.add_subcommand(
      "inspect", "Recover each FILE in memory and report what was found; write nothing");
  AddBatchOptions(*inspect, batch);
  AddLoadOptions(*inspect, batch, logDir);

  tabulix::cli::PreviewOptions preview;
  CLI::App* previewCommand = app.add_subcommand(
      "preview", "Show the cells of one recovered sheet as a text table; write nothing");
  previewCommand->add_option("FILE", preview.input, "The .xls file")->required();
  previewCommand
      ->add_option("-s,--sheet", preview.sheet, "The sheet, by number (from 1) or by name")
      ->type_name("N|NAME");
  previewCommand->add_option("--rows", preview.rows, "Rows to show (default 20)")
      ->type_name("R")
      ->check(CLI::Range(1u, 65536u));
  previewCommand->add_option("--cols", preview.columns, "Columns to show (default 10)")
      ->type_name("C")
      ->check(CLI::Range(1u, 256u));
  previewCommand
      ->add_option("--width", preview.cellWidth,
                   "Display columns a cell's text may take before it is cut (default 24)")
      ->type_name("W")
      ->check(CLI::Range(1u, 1000u));
  previewCommand->add_option("--log-dir", logDir, "Write the execution and error logs into DIR")
      ->type_name("DIR");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and the version are asked for and end well; every other parse error is a
    // usage error, whatever number the library gives it.
    const int status = app.exit(e);
    return status == 0 ? 0 : kExitUsage;
  }

  if (const std::string problem = UseLogFolder(logDir); !problem.empty()) {
    return UsageError(problem);
  }
  if (previewCommand->parsed()) return tabulix::cli::RunPreview(preview, std::cout, std::cerr);

  batch.inspectOnly = inspect->parsed();
  batch.format = format == "xlsx"  ? tabulix::cli::OutputFormat::Xlsx
                 : format == "csv" ? tabulix::cli::OutputFormat::Csv
                                   : tabulix::cli::OutputFormat::Xls;
  batch.dumpDirGiven = !batch.dumpDir.empty();
  if (batch.dumpDirGiven) {
    // Dumps asked for and not possible are said at once, before any work is done.
    if (const std::string problem = tabulix::DiagnosticsDirectoryProblem(batch.dumpDir);
        !problem.empty()) {
      return UsageError("the dump folder '" + batch.dumpDir.string() + "' " + problem);
    }
    tabulix::SetDiagnosticsDirectory(batch.dumpDir);
  }
  if (!batch.output.empty()) {
    std::error_code ec;
    if (batch.inputs.size() != 1 || fs::is_directory(batch.inputs[0], ec)) {
      return UsageError("-o names the output of one input file; use --out-dir for several");
    }
    const fs::path input = batch.inputs[0];
    const fs::path out = batch.output;
    if (fs::equivalent(input, out, ec) ||
        fs::weakly_canonical(input, ec) == fs::weakly_canonical(out, ec)) {
      return UsageError("the output '" + batch.output +
                        "' is the damaged file itself; it is never overwritten. Name another "
                        "with -o.");
    }
  }
  if (!batch.outDir.empty()) {
    std::error_code ec;
    fs::create_directories(batch.outDir, ec);
    if (!fs::is_directory(batch.outDir, ec)) {
      std::cerr << "tabulix: the output folder '" << batch.outDir.string() << "' cannot be made"
                << (ec ? " (" + ec.message() + ")" : std::string()) << "\n";
      return tabulix::cli::kExitFailed;
    }
  }
  const int status = tabulix::cli::RunBatch(batch, std::cout, std::cerr);
  tabulix::FlushLogRepeats();
  return status;
}
