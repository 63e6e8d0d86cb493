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

#include "base/safe_file.hpp"

namespace tabulix {

namespace fs = std::filesystem;

namespace {

// The log files keep the line end of the program's first home, so that files from either
// platform read the same.
constexpr std::string_view kLineEnd = "\r\n";

std::mutex locationsMutex;
std::optional<LogLocations> locations;

// One lock around every open-append-close keeps concurrent lines whole.
std::mutex writeMutex;

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

bool AppendText(const fs::path& file, std::string_view text) {
  std::lock_guard lock(writeMutex);
  return WriteFileNoFollow(file, text, WriteMode::Append);
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
  std::lock_guard lock(locationsMutex);
  locations = newLocations;
}

bool WriteLog(std::int32_t code, std::int32_t error, std::string_view message, bool toErrorLog) {
  try {
    const LogLocations where = CurrentLogLocations();
    if (where.logFolder.empty()) return false;
    std::string line =
        "Code:" + std::to_string(code) + "  Error:" + std::to_string(error) + "  MSG:";
    line.append(message);
    line.append(kLineEnd);
    return AppendText(toErrorLog ? where.ErrorLog() : where.ExecutionLog(), line);
  } catch (...) {
    return false;
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
    AppendText(where.ErrorLog(), header);
    AppendText(where.ExecutionLog(), header);
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

}  // namespace tabulix
