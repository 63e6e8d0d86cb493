#include "cli/batch.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "base/diagnostics.hpp"
#include "base/log.hpp"
#include "base/notifier.hpp"
#include "cli/console.hpp"
#include "document/export_formats.hpp"
#include "document/report_json.hpp"
#include "document/report_text.hpp"
#include "document/xls_document.hpp"

namespace tabulix::cli {

namespace fs = std::filesystem;

namespace {

// A file by its identity rather than its name: a hard link, a symbolic link or a path
// through ".." all lead to the same device and inode.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  auto operator<=>(const FileId&) const = default;
};

std::optional<FileId> IdOf(const fs::path& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return FileId{static_cast<std::uint64_t>(status.st_dev),
                static_cast<std::uint64_t>(status.st_ino)};
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool IsXlsName(const fs::path& path) { return Lower(path.extension().string()) == ".xls"; }

// Outputs of an earlier run in the same folder are not inputs of this one: a second run over
// a folder must not recover "a_recovered.xls" into "a_recovered_recovered.xls".
bool IsEarlierOutput(const fs::path& path) {
  const std::string stem = path.stem().string();
  constexpr std::string_view kSuffix = "_recovered";
  return stem.size() >= kSuffix.size() &&
         Lower(stem.substr(stem.size() - kSuffix.size())) == kSuffix;
}

std::string_view Extension(OutputFormat format) {
  switch (format) {
    case OutputFormat::Xls:
      return ".xls";
    case OutputFormat::Xlsx:
      return ".xlsx";
    case OutputFormat::Csv:
      return "";
  }
  return ".xls";
}

std::string_view FormatName(OutputFormat format) {
  switch (format) {
    case OutputFormat::Xls:
      return "xls";
    case OutputFormat::Xlsx:
      return "xlsx";
    case OutputFormat::Csv:
      return "csv";
  }
  return "xls";
}

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

enum class Outcome { Done, Failed, PasswordProtected };

struct Job {
  fs::path input;
  fs::path output;      // empty for inspect
  std::string refusal;  // why the file may not be worked on (its output is unsafe)
};

struct Result {
  Outcome outcome = Outcome::Failed;
  std::string input;
  std::string error;  // why it failed, for the summary
  std::size_t cells = 0;
  std::size_t lostText = 0;
};

// The outputs planned so far, by a key that ignores case: two outputs that differ only in
// case are one file on many file systems.
class OutputNames {
 public:
  fs::path Unique(const fs::path& wanted) {
    fs::path candidate = wanted;
    for (int n = 2; !taken_.insert(Key(candidate)).second; ++n) {
      candidate = wanted;
      candidate.replace_filename(wanted.stem().string() + "_" + std::to_string(n) +
                                 wanted.extension().string());
    }
    return candidate;
  }

 private:
  static std::string Key(const fs::path& path) {
    // absolute() fails only when the working folder is gone; the path as given then serves.
    std::error_code ec;
    const fs::path full = fs::absolute(path, ec);
    return Lower((ec ? path : full).lexically_normal().string());
  }
  std::set<std::string> taken_;
};

// Why `output` may not be written, empty when it may.
std::string OutputRefusal(const fs::path& output, const std::set<FileId>& inputIds,
                          const std::vector<fs::path>& inputs, const BatchOptions& options) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(output, ec);
  if (status.type() == fs::file_type::not_found) return {};
  if (const auto id = IdOf(output); id && inputIds.count(*id) > 0) {
    return "the output " + Quoted(output) +
           " is one of the input files (under this or another name); inputs are never written";
  }
  if (!options.force) {
    return "the output " + Quoted(output) + " already exists; use --force to replace it";
  }
  const bool folder = fs::is_directory(status);
  if (options.format != OutputFormat::Csv && folder) {
    return "the output " + Quoted(output) + " is a folder";
  }
  if (options.format == OutputFormat::Csv) {
    if (!folder) return "the output " + Quoted(output) + " exists and is not a folder";
    // Replacing the folder would take the inputs inside it along.
    const fs::path root = fs::weakly_canonical(output, ec);
    for (const fs::path& input : inputs) {
      const fs::path full = fs::weakly_canonical(input, ec);
      const auto [end, ignored] = std::mismatch(root.begin(), root.end(), full.begin(), full.end());
      if (end == root.end()) {
        return "the output folder " + Quoted(output) + " holds the input " + Quoted(input) +
               "; it is never replaced";
      }
    }
  }
  return {};
}

std::vector<Job> PlanJobs(const std::vector<fs::path>& files, const BatchOptions& options) {
  std::set<FileId> inputIds;
  for (const fs::path& file : files) {
    if (const auto id = IdOf(file)) inputIds.insert(*id);
  }
  OutputNames names;
  std::vector<Job> jobs;
  jobs.reserve(files.size());
  for (const fs::path& file : files) {
    Job& job = jobs.emplace_back();
    job.input = file;
    if (options.inspectOnly) continue;
    fs::path wanted;
    if (!options.output.empty()) {
      wanted = options.output;
    } else if (!options.outDir.empty()) {
      wanted = options.outDir / DefaultOutputPath(file, options.format).filename();
    } else {
      wanted = DefaultOutputPath(file, options.format);
    }
    job.output = names.Unique(wanted);
    job.refusal = OutputRefusal(job.output, inputIds, files, options);
  }
  return jobs;
}

struct RunContext {
  const BatchOptions& options;
  Console& console;
  bool batch;  // more than one file: messages and dumps say which file
};

// One line of JSON: what was asked and what came of it, then the core's report.
std::string JsonLine(const BatchOptions& options, const std::string& input,
                     const std::string& output, const char* status, const std::string& error,
                     double seconds, const RecoveryReport& report) {
  ReportRequest request;
  request.command = options.inspectOnly ? "inspect" : "recover";
  request.input = input;
  request.output = output;
  if (!options.inspectOnly) request.format = FormatName(options.format);
  request.status = status;
  request.error = error;
  request.seconds = seconds;
  // Names and paths from a damaged file may hold bytes that are not UTF-8: replaced, never
  // a reason to lose the line.
  return ReportLine(request, report)
             .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
         "\n";
}

Result ProcessJob(const Job& job, std::size_t index, unsigned slot, RunContext& context) {
  const BatchOptions& options = context.options;
  Console& console = context.console;
  const auto started = std::chrono::steady_clock::now();
  const std::string input = job.input.string();
  ConsoleNotifier::SetFileLabel(context.batch ? input : std::string());
  console.Begin(slot, job.input.filename().string());
  std::optional<DiagnosticsSubfolder> dumps;
  if (context.batch && options.dumpDirGiven) {
    dumps.emplace(std::to_string(index + 1) + "_" + job.input.filename().string());
  }

  Result result;
  result.input = input;
  std::ostringstream text;
  std::string ownError;  // a failure of ours, which the core has not told the user
  XlsDocument document;
  bool loaded = false;
  RecoveryReport nothingRead;  // the report of a file refused before it was read
  nothingRead.file_ = input;
  if (!job.refusal.empty()) {
    ownError = job.refusal;
  } else {
    std::error_code ec;
    const fs::path full = fs::absolute(job.input, ec);
    WriteLoadBanner(ec ? input : full.string());
    loaded = document.Load(input);
  }
  const RecoveryReport& report = job.refusal.empty() ? document.report() : nothingRead;

  // A file that could not be loaded has nothing to report but why, which goes to standard
  // error; --verbose shows what the routes saw of it.
  if (job.refusal.empty() && (loaded || options.verbose)) PrintLoadReport(report, input, text);
  if (!job.refusal.empty()) {
    result.error = ownError;
  } else if (!loaded) {
    result.outcome = report.passwordProtected_ ? Outcome::PasswordProtected : Outcome::Failed;
    result.error = LoadFailure(report);
  } else if (report.sheets_.empty()) {
    ownError = "no worksheet could be recovered from " + Quoted(job.input) + "; nothing was saved";
    result.error = "no worksheet could be recovered";
  } else if (options.inspectOnly) {
    result.outcome = Outcome::Done;
    PrintSheetReport(report, text);
  } else {
    bool saved = false;
    std::string why;
    const std::string output = job.output.string();
    switch (options.format) {
      case OutputFormat::Xls:
        saved = document.SaveStorageFile(output, [&](int percent) {
          console.Stage(slot, "saving " + std::to_string(std::min(percent, 99)) + "%");
        });
        why = document.saveError();
        break;
      case OutputFormat::Xlsx:
        console.Stage(slot, "saving");
        saved = SaveXlsx(document, job.output, why);
        break;
      case OutputFormat::Csv:
        console.Stage(slot, "saving");
        saved = SaveCsvFolder(document, job.output, why);
        break;
    }
    if (saved) {
      result.outcome = Outcome::Done;
      PrintSheetReport(report, text, options.format != OutputFormat::Xls);
      text << "Saved:  " << output << "\n";
    } else {
      // The error log may be unwritable or out of the user's sight: the reason goes here too.
      ownError = "could not save " + Quoted(job.output) +
                 " (see the error log for the step that failed)" + (why.empty() ? "" : ": " + why);
      result.error = "could not save " + Quoted(job.output) + (why.empty() ? "" : ": " + why);
    }
  }
  if (options.verbose) PrintDetails(report, text);
  if (result.outcome == Outcome::Done) {
    result.cells = report.ValueCells();
    result.lostText = report.LostTextCells();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  if (options.json) {
    const bool wrote = !options.inspectOnly && result.outcome == Outcome::Done;
    const char* status = result.outcome == Outcome::Done
                             ? (options.inspectOnly ? "inspected" : "recovered")
                         : result.outcome == Outcome::PasswordProtected ? "password-protected"
                                                                        : "failed";
    console.Out(JsonLine(options, input, wrote ? job.output.string() : std::string(), status,
                         result.error, seconds, report));
  } else if (!options.quiet && !text.str().empty()) {
    // In a batch an empty line sets each file's report apart.
    console.Out(text.str() + (context.batch ? "\n" : ""));
  }
  if (!ownError.empty()) {
    console.Err("tabulix: " + ownError + "\n");
  } else if (result.outcome != Outcome::Done) {
    console.Err("tabulix: could not recover " + Quoted(job.input) + "\n");
  }
  console.End(slot);
  ConsoleNotifier::SetFileLabel({});
  return result;
}

Result ProcessJobSafely(const Job& job, std::size_t index, unsigned slot, RunContext& context) {
  std::string error;
  try {
    return ProcessJob(job, index, slot, context);
  } catch (const std::bad_alloc&) {
    error = "out of memory";
  } catch (const std::exception& e) {
    error = e.what();
  }
  // The file is lost to this run, not the batch; a script reading the reports still gets
  // its line.
  Console& console = context.console;
  console.Err("tabulix: " + job.input.string() + ": " + error + "\n");
  if (context.options.json) {
    RecoveryReport nothing;
    nothing.file_ = job.input.string();
    console.Out(JsonLine(context.options, job.input.string(), {}, "failed", error, 0, nothing));
  }
  console.End(slot);
  return Result{Outcome::Failed, job.input.string(), error, 0, 0};
}

void PrintSummary(const BatchOptions& options, const std::vector<Result>& results,
                  const std::vector<InputProblem>& problems, Console& console) {
  std::size_t done = 0;
  std::size_t protectedFiles = 0;
  std::size_t cells = 0;
  std::size_t lostText = 0;
  std::string failures;
  for (const Result& result : results) {
    if (result.outcome == Outcome::Done) ++done;
    if (result.outcome == Outcome::PasswordProtected) ++protectedFiles;
    cells += result.cells;
    lostText += result.lostText;
    if (result.outcome != Outcome::Done)
      failures += "  " + result.input + ": " + result.error + "\n";
  }
  for (const InputProblem& problem : problems) {
    failures += "  " + problem.input + ": " + problem.why + "\n";
  }
  const std::size_t failed = results.size() + problems.size() - done - protectedFiles;
  std::ostringstream line;
  line << (options.inspectOnly ? "Inspected " : "Recovered ") << done << " of "
       << results.size() + problems.size() << " files (" << cells << " cells, " << lostText
       << " with lost text)";
  if (failed > 0) line << "; " << failed << " failed";
  if (protectedFiles > 0) line << "; " << protectedFiles << " password-protected";
  line << "\n" << failures;
  console.Err(line.str());
}

}  // namespace

fs::path DefaultOutputPath(const fs::path& input, OutputFormat format) {
  fs::path output = input;
  output.replace_filename(input.stem().string() + "_recovered" + std::string(Extension(format)));
  return output;
}

ExpandedInputs ExpandInputs(const std::vector<std::string>& inputs, bool recursive) {
  ExpandedInputs expanded;
  std::set<FileId> seen;
  auto add = [&](const fs::path& file) {
    const auto id = IdOf(file);
    if (id && !seen.insert(*id).second) return;
    expanded.files.push_back(file);
  };
  for (const std::string& input : inputs) {
    const fs::path path(input);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) {
      expanded.problems.push_back({input, "no such file or folder"});
      continue;
    }
    if (status.type() == fs::file_type::none) {
      expanded.problems.push_back({input, "cannot be examined (" + ec.message() + ")"});
      continue;
    }
    if (fs::is_regular_file(status)) {
      add(path);
      continue;
    }
    if (!fs::is_directory(status)) {
      expanded.problems.push_back({input, "not a file or a folder"});
      continue;
    }
    // Folders are walked in name order, so that a batch's reports come out the same way
    // each time; links to folders are not followed, so that a loop of links ends.
    std::vector<fs::path> found;
    std::string walkError;
    auto consider = [&](const fs::directory_entry& entry) {
      std::error_code entryError;
      if (entry.is_regular_file(entryError) && IsXlsName(entry.path()) &&
          !IsEarlierOutput(entry.path())) {
        found.push_back(entry.path());
      }
    };
    if (recursive) {
      fs::recursive_directory_iterator it(path, ec), end;
      for (; !ec && it != end; it.increment(ec)) consider(*it);
    } else {
      fs::directory_iterator it(path, ec), end;
      for (; !ec && it != end; it.increment(ec)) consider(*it);
    }
    if (ec) walkError = ec.message();
    std::sort(found.begin(), found.end());
    if (!walkError.empty()) {
      expanded.problems.push_back(
          {input, "the folder could not be read whole (" + walkError + ")"});
    }
    if (found.empty() && walkError.empty()) {
      expanded.problems.push_back(
          {input,
           "no .xls files in this folder" +
               (recursive ? std::string() : std::string(" (-r looks in its subfolders too)"))});
    }
    for (const fs::path& file : found) add(file);
  }
  return expanded;
}

int RunBatch(const BatchOptions& options, std::ostream& out, std::ostream& err) {
  const ExpandedInputs inputs = ExpandInputs(options.inputs, options.recursive);
  const std::vector<Job> jobs = PlanJobs(inputs.files, options);
  const bool batch = jobs.size() + inputs.problems.size() > 1;
  Console console(out, err, !options.quiet && Console::ErrIsTerminal(), jobs.size());
  for (const InputProblem& problem : inputs.problems) {
    console.Err("tabulix: " + Quoted(problem.input) + ": " + problem.why + "\n");
  }
  if (options.json) {
    // Arguments that named nothing still get their line, so that a script reading the
    // reports learns of every argument it gave.
    for (const InputProblem& problem : inputs.problems) {
      RecoveryReport nothingRead;
      nothingRead.file_ = problem.input;
      console.Out(JsonLine(options, problem.input, {}, "failed", problem.why, 0, nothingRead));
    }
  }

  ConsoleNotifier notifier(console);
  Notifier* previous = SetNotifier(&notifier);
  const std::uint64_t failedDumpsBefore = FailedDiagnosticDumps();
  ExecutionLog runStart;

  std::vector<Result> results(jobs.size());
  RunContext context{options, console, batch};
  const unsigned workers =
      static_cast<unsigned>(std::min<std::size_t>(std::max(1u, options.jobs), jobs.size()));
  std::atomic<std::size_t> next{0};
  auto work = [&](unsigned slot) {
    for (std::size_t i = next++; i < jobs.size(); i = next++) {
      results[i] = ProcessJobSafely(jobs[i], i, slot, context);
    }
  };
  if (workers <= 1) {
    work(0);
  } else {
    std::vector<std::jthread> threads;
    threads.reserve(workers);
    for (unsigned slot = 0; slot < workers; ++slot) threads.emplace_back(work, slot);
  }
  SetNotifier(previous);
  console.Close();

  bool dumpsLost = false;
  if (const std::uint64_t failedDumps = FailedDiagnosticDumps() - failedDumpsBefore;
      failedDumps > 0) {
    const auto folder = DiagnosticsDirectory();
    console.Err("tabulix: " + std::to_string(failedDumps) +
                (failedDumps == 1 ? " dump file" : " dump files") + " could not be written into '" +
                (folder ? folder->string() : std::string()) + "'\n");
    // Only dumps asked for on this command line change the status; the default folder
    // stays the quiet switch it has always been.
    dumpsLost = options.dumpDirGiven;
  }
  if (batch && !options.quiet) PrintSummary(options, results, inputs.problems, console);

  bool failed = !inputs.problems.empty() || dumpsLost;
  bool passwordProtected = false;
  for (const Result& result : results) {
    failed = failed || result.outcome == Outcome::Failed;
    passwordProtected = passwordProtected || result.outcome == Outcome::PasswordProtected;
  }
  if (failed) return kExitFailed;
  return passwordProtected ? kExitPasswordProtected : kExitRecovered;
}

}  // namespace tabulix::cli
