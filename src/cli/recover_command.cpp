#include "cli/recover_command.hpp"

#include <cstdint>
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
#include "base/log.hpp"
#include "base/notifier.hpp"
#include "document/recovery_report.hpp"
#include "document/xls_document.hpp"

namespace tabulix::cli {

namespace {

// The exit status of a run that saved the workbook but not the dump files asked for.
constexpr int kDumpsNotWritten = 3;

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
// line cannot be redrawn, only its end is. The document reports 100% once the stream is
// built, before the file is written: 100% is shown only when the file has been saved.
class ProgressLine {
 public:
  ProgressLine(std::ostream& err, bool terminal) : err_(err), terminal_(terminal) {}
  void operator()(int percent) {
    if (percent >= 100 || percent == last_ || !terminal_) return;
    last_ = percent;
    err_ << "\r"
         << "Saving: " << percent << "%" << std::flush;
  }
  // Ends the line: at 100% when the file was saved, where it stands otherwise.
  void Finish(bool saved) {
    if (saved) {
      err_ << (terminal_ ? "\r" : "") << "Saving: 100%\n" << std::flush;
    } else if (last_ >= 0) {
      err_ << "\n";
    }
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

// What making the saved workbook well-formed changed on a sheet, after its cell count;
// nothing for a sheet it left alone.
std::string SheetRepairs(const RecoveryReport::Sheet& sheet) {
  std::string text;
  auto add = [&text](std::size_t count, std::string_view what) {
    if (count == 0) return;
    text += "; " + std::to_string(count) + " " + std::string(what);
  };
  add(sheet.lostText_, "with lost text");
  add(sheet.formulasAsValues_,
      sheet.formulasAsValues_ == 1 ? "formula saved as its value" : "formulas saved as values");
  add(sheet.droppedOutOfRange_, "dropped out of range");
  add(sheet.droppedUnreadable_, "dropped as unreadable");
  add(sheet.stringsRepaired_, sheet.stringsRepaired_ == 1 ? "string repaired" : "strings repaired");
  return text;
}

// What the saved workbook keeps and drops of the records and sheets the preview does not
// show: "Kept: 3 defined names, 2 comments" and "Dropped: ... (why)".
void PrintKeptRecords(const RecoveryReport& report, std::ostream& out) {
  std::string kept;
  std::string dropped;
  for (const RecoveryReport::KeptKind& kind : report.keptRecords_) {
    auto add = [&kind](std::string& line, std::size_t count) {
      if (count == 0) return;
      line += (line.empty() ? "" : ", ") + std::to_string(count) + " " + kind.kind_;
    };
    add(kept, kind.kept_);
    add(dropped, kind.dropped_);
  }
  if (!kept.empty()) out << "Kept:   " << kept << "\n";
  if (!dropped.empty()) {
    out << "Dropped: " << dropped;
    if (!report.keptRecordsNote_.empty()) out << " (" << report.keptRecordsNote_ << ")";
    out << "\n";
  }
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
  // A folder named for the dumps that cannot take them is no reason to give up the rescue,
  // but the user must know, and the exit status must not claim the dumps were written.
  bool dumpsLost = false;
  if (!options.dumpDir.empty()) {
    SetDiagnosticsDirectory(options.dumpDir);
    if (const std::string problem = DiagnosticsDirectoryProblem(options.dumpDir);
        !problem.empty()) {
      err << "tabulix: the dump folder '" << options.dumpDir.string() << "' " << problem
          << "; no dump files will be written\n";
      dumpsLost = true;
    }
  }
  const std::uint64_t failedDumpsBefore = FailedDiagnosticDumps();

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

  const RecoveryReport& report = document.report();
  out << "File:   " << options.input << "\n"
      << "Route:  " << StreamRouteName(report.route_);
  if (!report.streamName_.empty()) out << " (stream \"" << report.streamName_ << "\")";
  out << "\n"
      << "Stream: " << report.streamBytes_ << " bytes\n";
  if (const RecoveryReport::Reassembly& pieces = report.reassembly_; pieces.done_) {
    out << "Reassembled: " << pieces.unit_ << "-byte pieces, record chain of " << pieces.chainBytes_
        << " bytes from file offset " << pieces.start_
        << (pieces.complete_ ? " to the last sheet" : ", broken before the last sheet") << "; "
        << pieces.joins_.size() << " pieces reordered, " << pieces.shifts_.size()
        << " shifts corrected";
    if (pieces.leftoverBytes_ > 0)
      out << "; " << pieces.leftoverBytes_ << " bytes of other pieces scanned";
    out << "\n";
  }
  out << "Substreams: " << report.substreams_.size() << " found ("
      << (report.boundariesConsistent_ ? "boundaries pair up" : "boundaries damaged") << "), "
      << report.IntactSubstreams() << " intact\n"
      << "Worksheets recovered: " << report.sheets_.size() << " (" << report.ValueCells()
      << " cells with values)\n";
  if (report.sheets_.empty()) {
    err << "tabulix: no worksheet could be recovered from '" << options.input
        << "'; nothing was saved\n";
    return 1;
  }

  ProgressLine progress(err, &err == &std::cerr && StandardErrorIsATerminal());
  const bool saved = document.SaveStorageFile(output.string(), std::ref(progress));
  progress.Finish(saved);
  if (!saved) {
    // The error log may be unwritable or out of the user's sight: the reason goes here too.
    err << "tabulix: could not save '" << output.string()
        << "' (see the error log for the step that failed)";
    if (!document.saveError().empty()) err << ": " << document.saveError();
    err << "\n";
    return 1;
  }
  for (std::size_t i = 0; i < report.sheets_.size(); ++i) {
    const RecoveryReport::Sheet& sheet = report.sheets_[i];
    out << "  " << (i + 1) << ". " << sheet.name_ << ": ";
    if (sheet.type_ != BOF::kWorksheet) {
      out << SubstreamTypeName(sheet.type_) << ", kept as it stood\n";
      continue;
    }
    out << sheet.valueCells_ << " cells, " << (sheet.intact_ ? "intact" : "rebuilt")
        << SheetRepairs(sheet) << "\n";
  }
  PrintKeptRecords(report, out);
  if (report.sharedStringsLost_ > 0 || report.globalStringsRepaired_ > 0) {
    out << "Shared strings: " << report.sharedStringsLost_
        << " lost (their cells show \"#LOST TEXT n\"); " << report.globalStringsRepaired_
        << " workbook texts repaired\n";
  }
  out << "Saved:  " << output.string() << "\n";

  const std::uint64_t failedDumps = FailedDiagnosticDumps() - failedDumpsBefore;
  if (failedDumps > 0 && !dumpsLost) {
    const auto folder = DiagnosticsDirectory();
    err << "tabulix: " << failedDumps << (failedDumps == 1 ? " dump file" : " dump files")
        << " could not be written into '" << (folder ? folder->string() : std::string()) << "'\n";
    // Only dumps asked for on this command line change the status; the default folder
    // stays the quiet switch it has always been.
    dumpsLost = !options.dumpDir.empty();
  }
  return dumpsLost ? kDumpsNotWritten : 0;
}

}  // namespace tabulix::cli
