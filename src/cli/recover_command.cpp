#include "cli/recover_command.hpp"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <mutex>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "base/diagnostics.hpp"
#include "base/notifier.hpp"
#include "log/log.hpp"
#include "recovery/xls_document.hpp"

namespace tabulix::cli {

namespace {

// What the desktop program shows in a message box, the command line prints.
class StreamNotifier : public Notifier {
 public:
  explicit StreamNotifier(std::ostream& err) : err_(err) {}
  void Notify(std::string_view text) override {
    std::lock_guard lock(mutex_);
    // The box texts are padded for centring; a terminal line reads better trimmed.
    const auto first = text.find_first_not_of(' ');
    const auto last = text.find_last_not_of(' ');
    err_ << "tabulix: "
         << (first == std::string_view::npos ? text : text.substr(first, last - first + 1)) << "\n";
  }

 private:
  std::ostream& err_;
  std::mutex mutex_;
};

void WriteLoadBanner(const std::string& path) {
  const std::string rule(79, '-');
  for (const bool toErrorLog : {false, true}) {
    WriteLog(0, 0, rule, toErrorLog);
    WriteLog(0, 0, "File Name : " + path, toErrorLog);
    WriteLog(0, 0, rule, toErrorLog);
  }
}

// Cells that hold a value: blanks, whether the source's or the rebuild's fillers, do not
// count, and a MULRK counts once per number it holds.
std::size_t CountValueCells(const Worksheet& sheet) {
  std::size_t count = 0;
  for (const auto& block : sheet.cellTable_.rowBlocks_) {
    for (const auto& cell : block.cellBlocks_) {
      if (const auto* run = cell.As<cells::MulRK>()) {
        count += run->entries().size();
      } else if (cell.As<cells::Blank>() == nullptr && cell.As<cells::MulBlank>() == nullptr) {
        ++count;
      }
    }
  }
  return count;
}

}  // namespace

std::filesystem::path DefaultOutputPath(const std::filesystem::path& input) {
  std::filesystem::path output = input;
  output.replace_filename(input.stem().string() + "_recovered.xls");
  return output;
}

namespace {

// Whether `output` names the file `input` (the same path, or another name of it).
bool SameFile(const std::filesystem::path& input, const std::filesystem::path& output) {
  std::error_code ec;
  if (std::filesystem::equivalent(input, output, ec)) return true;
  return std::filesystem::weakly_canonical(input, ec) ==
         std::filesystem::weakly_canonical(output, ec);
}

// Draws the save's progress on one terminal line. Written to a file or a pipe, where the
// line cannot be redrawn, only its end is.
class ProgressLine {
 public:
  ProgressLine(std::ostream& err, bool terminal) : err_(err), terminal_(terminal) {}
  void operator()(int percent) {
    if (percent == last_ || (!terminal_ && percent < 100)) return;
    last_ = percent;
    err_ << (terminal_ ? "\r" : "") << "Saving: " << percent << "%" << (percent >= 100 ? "\n" : "")
         << std::flush;
  }

 private:
  std::ostream& err_;
  bool terminal_;
  int last_ = -1;
};

bool StandardErrorIsATerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

// How the worksheet came back: read whole from an intact substream, or gathered record by
// record and rebuilt.
bool ReadWhole(const XlsDocument& document, const Worksheet& sheet) {
  const SheetBoundaries& bounds = document.boundaries();
  for (std::size_t i = 0; i < bounds.startPos_.size() && i < bounds.intactFlags_.size(); ++i) {
    if (bounds.startPos_[i] == sheet.sourcePosition_) return bounds.intactFlags_[i] == 1;
  }
  return false;
}

}  // namespace

int RunRecover(const RecoverOptions& options, std::ostream& out, std::ostream& err) {
  const std::filesystem::path output = options.output.empty()
                                           ? DefaultOutputPath(options.input)
                                           : std::filesystem::path(options.output);
  if (SameFile(options.input, output)) {
    err << "tabulix: the output '" << output.string()
        << "' is the damaged file itself; it is never overwritten. Name another with -o.\n";
    return 2;
  }

  StreamNotifier notifier(err);
  Notifier* previous = SetNotifier(&notifier);
  if (!options.dumpDir.empty()) SetDiagnosticsDirectory(options.dumpDir);

  ExecutionLog runStart;
  std::error_code ec;
  const std::filesystem::path full = std::filesystem::absolute(options.input, ec);
  WriteLoadBanner(ec ? options.input : full.string());

  XlsDocument document;
  const bool loaded = document.Load(options.input);
  SetNotifier(previous);
  if (!loaded) {
    err << "tabulix: could not recover '" << options.input << "'\n";
    return 1;
  }

  out << "File:   " << options.input << "\n"
      << "Route:  " << StreamRouteName(document.route());
  if (!document.streamName().empty()) out << " (stream \"" << document.streamName() << "\")";
  out << "\n"
      << "Stream: " << document.stream().size() << " bytes\n";

  const SheetBoundaries& bounds = document.boundaries();
  std::size_t intact = 0;
  for (const std::uint8_t flag : bounds.intactFlags_) intact += flag;
  std::size_t valueCells = 0;
  for (const Worksheet& sheet : document.worksheets()) valueCells += CountValueCells(sheet);
  out << "Substreams: " << bounds.startPos_.size() << " found ("
      << (bounds.boundariesConsistent_ ? "boundaries pair up" : "boundaries damaged") << "), "
      << intact << " intact\n"
      << "Worksheets recovered: " << document.WorksheetCount() << " (" << valueCells
      << " cells with values)\n";
  if (document.WorksheetCount() == 0) {
    err << "tabulix: no worksheet could be recovered from '" << options.input
        << "'; nothing was saved\n";
    return 1;
  }

  ProgressLine progress(err, &err == &std::cerr && StandardErrorIsATerminal());
  if (!document.SaveStorageFile(output.string(), std::ref(progress))) {
    err << "\ntabulix: could not save '" << output.string()
        << "' (see the error log for the step that failed)\n";
    return 1;
  }
  // The sheet entries now name the saved sheets in order.
  const auto& sheets = document.worksheets();
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    out << "  " << (i + 1) << ". " << document.GetSheetName(i).value_or("?") << ": "
        << CountValueCells(sheets[i]) << " cells, "
        << (ReadWhole(document, sheets[i]) ? "intact" : "rebuilt") << "\n";
  }
  out << "Saved:  " << output.string() << "\n";
  return 0;
}

}  // namespace tabulix::cli
