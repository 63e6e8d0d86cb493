#pragma once
// Helpers shared by every test suite: temporary folders, log capture, a notifier that
// records, and access to the real-file corpus.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "base/log.hpp"
#include "base/notifier.hpp"

namespace tabulix::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Points the logs at a temporary folder for the life of the object and restores the
// previous locations after.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> ErrorLines() const;      // without line ends
  std::vector<std::string> ExecutionLines() const;  // without line ends
  // Number of error-log lines whose message equals `message`.
  int CountError(const std::string& message) const;
  const LogLocations& locations() const { return locations_; }

 private:
  TempDir dir_;
  LogLocations locations_;
  LogLocations previous_;
};

// Records every notification; installed for the life of the object.
class RecordingNotifier : public Notifier {
 public:
  RecordingNotifier();
  ~RecordingNotifier() override;
  void Notify(std::string_view text) override;
  std::vector<std::string> messages() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
  Notifier* previous_;
};

std::vector<std::uint8_t> ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::string> ReadLines(const std::filesystem::path& path);

std::filesystem::path CorpusDir();
// Reads the workbook stream ("Workbook", else "Book") of a sound compound document with
// the strict reader; false (and `out` empty) when there is none.
bool ReadWorkbookStream(const std::filesystem::path& path, std::vector<std::uint8_t>& out);
// Every .xls file of the corpus folder "real", sorted by name.
std::vector<std::filesystem::path> RealCorpusFiles();

// Runs a command through the shell; returns its exit status and fills `output` with what
// it printed on standard output.
int RunCommand(const std::string& command, std::string* output = nullptr);

// Quotes a path for the shell.
std::string ShellQuote(const std::string& text);

}  // namespace tabulix::test
