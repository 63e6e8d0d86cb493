// tabulix: the command-line front end. It parses arguments, calls the core and prints
// what the core returns; it never looks inside a file itself.

#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/interrupt_cleanup.hpp"
#include "cli/recover_command.hpp"

namespace {

constexpr std::string_view kUsage =
    R"(Usage: tabulix recover DAMAGED.xls [-o RECOVERED.xls] [--dump-dir DIR]
       tabulix --help | --version

Rescues the cells of a damaged Excel 97-2003 workbook (.xls).

Commands:
  recover FILE      Load FILE, extract its workbook stream by the first route that
                    works (structured storage, compound-document repair, raw bytes),
                    recover every sheet it can and save a clean workbook. FILE itself
                    is never written.

Options:
  -o, --output OUT  Where to save the recovered workbook (default: FILE's folder,
                    named NAME_recovered.xls). An existing OUT is replaced only once
                    the new file is complete; OUT may not be FILE itself.
  --dump-dir DIR    Write diagnostic dump files into DIR (default: ~/Morvendal when
                    that folder exists; no dumps otherwise). DIR must exist; when it
                    does not, the file is still recovered, without dumps.
  -h, --help        Show this help and exit.
  --version         Show the version and exit.

Logs go to RecoveryLog/ beside the executable when that folder is writable, otherwise
to $XDG_STATE_HOME/tabulix/RecoveryLog (default ~/.local/state/tabulix/RecoveryLog).

Exit status: 0 on success, 1 when the file could not be recovered or saved, 2 on a
usage error, 3 when the workbook was saved but the dump files asked for with --dump-dir
could not be written.
)";

int UsageError(std::string_view message) {
  std::cerr << "tabulix: " << message << "\n"
            << "Try 'tabulix --help' for more information.\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // A save stopped by Ctrl-C or kill must not leave its temporary file beside the target.
  tabulix::RemoveTemporariesOnSignals();
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("missing command");

  if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
    std::cout << kUsage;
    return 0;
  }
  if (args[0] == "--version") {
    std::cout << "tabulix " << TABULIX_VERSION << "\n";
    return 0;
  }
  if (args[0] != "recover") return UsageError("unknown command '" + args[0] + "'");

  tabulix::cli::RecoverOptions options;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--dump-dir") {
      if (i + 1 >= args.size()) return UsageError("--dump-dir needs a folder");
      options.dumpDir = args[++i];
    } else if (arg == "-o" || arg == "--output") {
      if (i + 1 >= args.size()) return UsageError(arg + " needs the path of the file to write");
      if (!options.output.empty()) return UsageError("more than one output file given");
      options.output = args[++i];
      if (options.output.empty()) return UsageError(arg + " needs the path of the file to write");
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
      return UsageError("unknown option '" + arg + "'");
    } else if (options.input.empty()) {
      options.input = arg == "--" && i + 1 < args.size() ? args[++i] : arg;
    } else {
      return UsageError("more than one input file given");
    }
  }
  if (options.input.empty()) return UsageError("recover needs the path of a damaged .xls file");
  return tabulix::cli::RunRecover(options, std::cout, std::cerr);
}
