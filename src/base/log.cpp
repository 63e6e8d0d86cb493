#include "base/log.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/safe_file.hpp"

namespace tabulix {

namespace fs = std::filesystem;

namespace {

// The log files keep the line end of the program's first home, so that files from either
// platform read the same.
constexpr std::string_view kLineEnd = "\r\n";

std::mutex locationsMutex;
std::optional<LogLocations> locations;

// A damaged file can make a reader write the same line once per record it passes, millions
// of times, often with the record's offset or code in it. Each log keeps the first lines of
// every message text and counts the rest; a flush writes one line for what was passed by.
struct Repeats {
  struct Text {
    std::string example;  // the first line of the text, shown in the summary
    std::uint64_t count = 0;
  };
  std::unordered_map<std::string, std::size_t> slot;  // key -> index in `texts`
  std::vector<Text> texts;                            // first-seen order
  // Texts beyond the limit on distinct texts share one count.
  std::uint64_t others = 0;
};

// Everything a line passes through, behind one lock: that keeps concurrent lines whole and
// the counts exact. Made once and never destroyed, so that threads still logging while
// the program exits find it whole.
struct LogState {
  std::mutex mutex;
  LogLimits limits = kLogLimits;
  Repeats repeats[2];  // [0] execution log, [1] error log
};

void FlushAtExit() { FlushLogRepeats(); }

LogState& State() {
  static LogState* state = [] {
    auto* made = new LogState;
    std::atexit(FlushAtExit);
    return made;
  }();
  return *state;
}

fs::path XdgFolder(const char* variable, const char* fallbackUnderHome) {
  if (const char* value = std::getenv(variable); value != nullptr && *value == '/') {
    return fs::path(value);
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return {};
  return fs::path(home) / fallbackUnderHome;
}

struct Clock {
  int utcDay, utcMonth, utcYear;
  int localHour, localMinute, localSecond;
};

Clock ReadClock() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  std::tm local{};
#if defined(_WIN32)
  gmtime_s(&utc, &now);
  localtime_s(&local, &now);
#else
  gmtime_r(&now, &utc);
  localtime_r(&now, &local);
#endif
  return {utc.tm_mday,   utc.tm_mon + 1, utc.tm_year + 1900,
          local.tm_hour, local.tm_min,   local.tm_sec};
}

// Called with the state's lock held.
bool AppendText(const LogState& state, const fs::path& file, std::string_view text) {
  return AppendFileRotating(file, text, state.limits.rotateAtBytes);
}

std::string FormatLine(std::int32_t code, std::int32_t error, std::string_view message) {
  std::string line = "Code:" + std::to_string(code) + "  Error:" + std::to_string(error) + "  MSG:";
  line.append(message);
  line.append(kLineEnd);
  return line;
}

bool IsWordByte(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Texts that differ only in their numbers are one text: the key replaces every word that
// holds a digit (an offset, a size, a record code in hex) by '#'.
std::string RepeatKey(std::string_view message) {
  std::string key;
  key.reserve(message.size());
  for (std::size_t i = 0; i < message.size();) {
    if (!IsWordByte(message[i])) {
      key += message[i++];
      continue;
    }
    std::size_t end = i;
    bool number = false;
    for (; end < message.size() && IsWordByte(message[end]); ++end) {
      number = number || (message[end] >= '0' && message[end] <= '9');
    }
    if (number) {
      key += '#';
    } else {
      key.append(message.substr(i, end - i));
    }
    i = end;
  }
  return key;
}

// Counts one more line of `message`; false when its text has had its share of lines.
bool Admit(const LogLimits& limits, Repeats& repeats, std::string_view message) {
  std::string key = RepeatKey(message);
  auto at = repeats.slot.find(key);
  if (at == repeats.slot.end()) {
    if (repeats.texts.size() >= limits.distinctTexts) {
      return ++repeats.others <= limits.repeatsPerMessage;
    }
    at = repeats.slot.emplace(std::move(key), repeats.texts.size()).first;
    repeats.texts.push_back({std::string(message), 0});
  }
  return ++repeats.texts[at->second].count <= limits.repeatsPerMessage;
}

// Called with the state's lock held. Writes what was passed by to the logs at `where`.
void FlushLocked(LogState& state, const LogLocations& where) {
  const std::uint64_t share = state.limits.repeatsPerMessage;
  for (const bool toErrorLog : {false, true}) {
    Repeats& repeats = state.repeats[toErrorLog ? 1 : 0];
    if (!where.logFolder.empty()) {
      const fs::path file = toErrorLog ? where.ErrorLog() : where.ExecutionLog();
      for (const Repeats::Text& text : repeats.texts) {
        if (text.count <= share) continue;
        const std::string summary = "... " + std::to_string(text.count - share) +
                                    " more lines like \"" + text.example + "\" were passed by";
        AppendText(state, file, FormatLine(0, 0, summary));
      }
      if (repeats.others > share) {
        AppendText(state, file,
                   FormatLine(0, 0,
                              "... " + std::to_string(repeats.others - share) +
                                  " more lines of other texts were passed by"));
      }
    }
    repeats = Repeats();
  }
}

}  // namespace

LogLocations DefaultLogLocations() { return ChooseLogLocations(ExecutableDirectory()); }

LogLocations ChooseLogLocations(const fs::path& exeDir) {
  if (!exeDir.empty() && IsWritableDirectory(exeDir)) {
    return {exeDir / "RecoveryLog", exeDir / "config.ini"};
  }
  const fs::path state = XdgFolder("XDG_STATE_HOME", ".local/state");
  const fs::path config = XdgFolder("XDG_CONFIG_HOME", ".config");
  return {state.empty() ? fs::path() : state / "tabulix" / "RecoveryLog",
          config.empty() ? fs::path() : config / "tabulix" / "config.ini"};
}

LogLocations CurrentLogLocations() {
  std::lock_guard lock(locationsMutex);
  if (!locations) locations = DefaultLogLocations();
  return *locations;
}

void SetLogLocations(const LogLocations& newLocations) {
  // What was passed by belongs to the logs it was meant for: flush it there first. The
  // state's lock is taken before the locations' one, here as everywhere.
  LogState& state = State();
  std::lock_guard writeLock(state.mutex);
  try {
    FlushLocked(state, CurrentLogLocations());
  } catch (...) {
    state.repeats[0] = Repeats();
    state.repeats[1] = Repeats();
  }
  std::lock_guard lock(locationsMutex);
  locations = newLocations;
}

LogLimits SetLogLimitsForTesting(const LogLimits& limits) {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  return std::exchange(state.limits, limits);
}

namespace {
thread_local LogCapture* t_capture = nullptr;
}  // namespace

LogCapture::LogCapture() : outer_(t_capture) { t_capture = this; }

LogCapture::~LogCapture() { Stop(); }

void LogCapture::Stop() {
  if (active_ && t_capture == this) t_capture = outer_;
  active_ = false;
}

void LogCapture::Replay() {
  Stop();
  for (const Line& line : lines_) WriteLog(line.code, line.error, line.message, line.toErrorLog);
  lines_.clear();
}

bool WriteLog(std::int32_t code, std::int32_t error, std::string_view message, bool toErrorLog) {
  if (t_capture != nullptr) {
    try {
      t_capture->lines_.push_back({code, error, std::string(message), toErrorLog});
      return true;
    } catch (...) {
      return false;
    }
  }
  try {
    const LogLocations where = CurrentLogLocations();
    if (where.logFolder.empty()) return false;
    LogState& state = State();
    std::lock_guard lock(state.mutex);
    // A line counted rather than written is accounted for: the flush reports it.
    if (!Admit(state.limits, state.repeats[toErrorLog ? 1 : 0], message)) return true;
    return AppendText(state, toErrorLog ? where.ErrorLog() : where.ExecutionLog(),
                      FormatLine(code, error, message));
  } catch (...) {
    return false;
  }
}

void FlushLogRepeats() {
  try {
    const LogLocations where = CurrentLogLocations();
    LogState& state = State();
    std::lock_guard lock(state.mutex);
    FlushLocked(state, where);
  } catch (...) {
    // The logs never disturb the program.
  }
}

ExecutionLog::ExecutionLog() {
  try {
    const LogLocations where = CurrentLogLocations();
    if (where.logFolder.empty()) return;
    std::error_code ec;
    fs::create_directories(where.logFolder, ec);

    const Clock clock = ReadClock();
    const std::string rule(79, '=');
    std::string header;
    for (const std::string& line :
         {rule, std::string("Last Log On"),
          "Date : " + std::to_string(clock.utcDay) + "/" + std::to_string(clock.utcMonth) + "/" +
              std::to_string(clock.utcYear),
          "Time : " + std::to_string(clock.localHour) + ":" + std::to_string(clock.localMinute) +
              ":" + std::to_string(clock.localSecond),
          rule}) {
      header += line;
      header += kLineEnd;
    }
    // A new run starts counting afresh; what the last one passed by goes before its header.
    FlushLogRepeats();
    LogState& state = State();
    std::lock_guard lock(state.mutex);
    AppendText(state, where.ErrorLog(), header);
    AppendText(state, where.ExecutionLog(), header);
  } catch (...) {
    // The logs never disturb the program.
  }
}

namespace {

void ReportConfigOpenFailure(const LogSwitch& logSwitch, const fs::path& configFile) {
  if (logSwitch.detailed) {
    WriteLog(0, 0, "Error opening config file from " + configFile.string(), true);
  }
}

}  // namespace

bool ReadLogSwitch(LogSwitch& logSwitch) {
  const fs::path configFile = CurrentLogLocations().configFile;
  std::ifstream in(configFile, std::ios::binary);
  std::error_code ec;
  if (configFile.empty() || !in || fs::is_directory(configFile, ec)) {
    ReportConfigOpenFailure(logSwitch, configFile);
    return false;
  }
  char flag = 0;
  in.seekg(6);
  logSwitch.detailed = in.get(flag) && flag == '1';
  return true;
}

void ToggleLogSwitch(LogSwitch& logSwitch) {
  try {
    const fs::path configFile = CurrentLogLocations().configFile;
    const LogSwitch before = logSwitch;
    logSwitch.detailed = !logSwitch.detailed;
    bool written = false;
    if (!configFile.empty()) {
      std::error_code ec;
      fs::create_directories(configFile.parent_path(), ec);
      written = WriteFileNoFollow(configFile, logSwitch.detailed ? "Log = 1" : "Log = 0",
                                  WriteMode::Replace);
    }
    if (!written) ReportConfigOpenFailure(before, configFile);

    const Clock clock = ReadClock();
    char text[96];
    std::snprintf(text, sizeof text, "File Logging %s on DATE=%d-%d-%d TIME=%dhr:%dm:%ds",
                  logSwitch.detailed ? "Enabled" : "Disabled", clock.utcMonth, clock.utcDay,
                  clock.utcYear, clock.localHour, clock.localMinute, clock.localSecond);
    WriteLog(0, 0, text, false);
  } catch (...) {
    if (logSwitch.detailed) WriteLog(0, 0, "Exception in COsterleyDlg::OnFileLog()", true);
  }
}

void WriteLoadBanner(std::string_view path) {
  const std::string rule(79, '-');
  const std::string name = "File Name : " + std::string(path);
  for (const bool toErrorLog : {false, true}) {
    WriteLog(0, 0, rule, toErrorLog);
    WriteLog(0, 0, name, toErrorLog);
    WriteLog(0, 0, rule, toErrorLog);
  }
}

}  // namespace tabulix
