#pragma once
// The execution log and the error log: two append-only text files in the folder
// "RecoveryLog". Every subsystem reports through WriteLog, from any thread.

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace tabulix {

struct LogLocations {
  std::filesystem::path logFolder;   // ".../RecoveryLog"
  std::filesystem::path configFile;  // ".../config.ini"

  std::filesystem::path ExecutionLog() const { return logFolder / "TabulixExecLog.log"; }
  std::filesystem::path ErrorLog() const { return logFolder / "TabulixErrorLog.log"; }
};

// Where the logs and the settings file live: beside the executable when that folder is
// writable (a portable install), otherwise $XDG_STATE_HOME/tabulix/RecoveryLog and
// $XDG_CONFIG_HOME/tabulix/config.ini (with the XDG defaults under $HOME).
LogLocations DefaultLogLocations();
// The same choice for a given executable folder.
LogLocations ChooseLogLocations(const std::filesystem::path& executableFolder);

// The locations in force; decided once on first use unless set.
LogLocations CurrentLogLocations();
void SetLogLocations(const LogLocations& locations);

// Appends "Code:<code>  Error:<error>  MSG:<message>" and a line end to the error log
// (toErrorLog) or the execution log. The message is written unchanged. Lines from
// concurrent calls never mix. Does not create the folder; returns false when the line
// could not be written and never disturbs the caller otherwise.
bool WriteLog(std::int32_t code, std::int32_t error, std::string_view message, bool toErrorLog);

// The run start: creates the log folder (ignoring failure) and writes the five-line run
// header into the error log, then into the execution log.
class ExecutionLog {
 public:
  ExecutionLog();
};

// The detailed-logging switch kept in "config.ini".
struct LogSwitch {
  bool detailed = false;  // the starting value before "config.ini" is read: off
};

// Reads "config.ini": on when byte 6 is the digit '1', off for any other byte or a file
// shorter than seven bytes. A missing or unreadable file leaves the flag as it was and,
// when the flag is on, reports "Error opening config file from <path>" in the error log.
// Returns whether the file was read.
bool ReadLogSwitch(LogSwitch& logSwitch);

// Flips the switch, rewrites "config.ini" as exactly "Log = 1" or "Log = 0" and notes the
// change in the execution log. The flag changes even when the file cannot be written.
void ToggleLogSwitch(LogSwitch& logSwitch);

}  // namespace tabulix
