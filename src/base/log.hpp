#pragma once
// The execution log and the error log: two append-only text files in the folder
// "RecoveryLog". Every subsystem reports through WriteLog, from any thread.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

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

// How far the logs may grow. A damaged file can make the readers write one line per record
// they pass, the same text each time but for an offset or a code: of each message text
// (texts that differ only in the words holding digits count as one) a log takes
// `repeatsPerMessage` lines until the next flush and counts the rest. Beyond
// `distinctTexts` texts, the lines of further texts share one such count. A log file that
// a line would take past `rotateAtBytes` is moved aside to "<name>.old" (one old file is
// kept) and started afresh.
struct LogLimits {
  std::uint64_t repeatsPerMessage;
  std::uint64_t distinctTexts;
  std::uint64_t rotateAtBytes;
};
inline constexpr LogLimits kLogLimits{200, 512, std::uint64_t{10} << 20};

// Tests lower the limits to reach them quickly. Returns the limits in force before.
LogLimits SetLogLimitsForTesting(const LogLimits& limits);

// Appends "Code:<code>  Error:<error>  MSG:<message>" and a line end to the error log
// (toErrorLog) or the execution log. The message is written unchanged. Lines from
// concurrent calls never mix. A line beyond its text's share (see LogLimits) is counted
// instead of written and still returns true. Does not create the folder; never writes
// through a link planted in a log's place; returns false when the line could not be
// written and never disturbs the caller otherwise.
bool WriteLog(std::int32_t code, std::int32_t error, std::string_view message, bool toErrorLog);

// Holds back the lines this thread writes while it lives, so that work whose outcome may
// be thrown away (one of two readings of a file) leaves the logs untouched until it is
// kept. Replay writes the held lines in order; a capture destroyed without it drops them.
// Captures nest: the innermost holds the lines.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Stops holding lines; those held so far stay for Replay.
  void Stop();
  // Stops holding lines and writes the held ones.
  void Replay();

  struct Line {
    std::int32_t code;
    std::int32_t error;
    std::string message;
    bool toErrorLog;
  };

 private:
  std::vector<Line> lines_;
  LogCapture* outer_ = nullptr;
  bool active_ = true;
  friend bool WriteLog(std::int32_t, std::int32_t, std::string_view, bool);
};

// Writes, into the log it was meant for, one line for each message text that had lines
// counted rather than written since the last flush:
// "... <n> more lines like "<the text's first line>" were passed by", and
// "... <n> more lines of other texts were passed by" for the shared count. Then counting
// starts afresh. A load
// and a save flush when they end, a new run start and a change of locations flush first,
// and the program flushes when it exits.
void FlushLogRepeats();

// Flushes when it leaves scope, however the scope is left.
class FlushLogRepeatsAtEnd {
 public:
  FlushLogRepeatsAtEnd() = default;
  ~FlushLogRepeatsAtEnd() { FlushLogRepeats(); }
  FlushLogRepeatsAtEnd(const FlushLogRepeatsAtEnd&) = delete;
  FlushLogRepeatsAtEnd& operator=(const FlushLogRepeatsAtEnd&) = delete;
};

// The run start: creates the log folder (ignoring failure), flushes what an earlier run
// passed by and writes the five-line run header into the error log, then into the
// execution log.
class ExecutionLog {
 public:
  ExecutionLog();
};

// The load banner, written whenever a file is chosen for loading, whatever the switch says:
// a row of 79 hyphens, "File Name : " and the path, the row again, to the execution log
// and then the same three lines to the error log.
void WriteLoadBanner(std::string_view path);

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
