#include "support/test_support.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "storage/storage_reader.hpp"

namespace tabulix::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device rd;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = base / ("tabulix-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

LogCapture::LogCapture() : previous_(CurrentLogLocations()) {
  locations_ = {dir_ / "RecoveryLog", dir_ / "config.ini"};
  fs::create_directories(locations_.logFolder);
  SetLogLocations(locations_);
}

LogCapture::~LogCapture() { SetLogLocations(previous_); }

std::vector<std::string> LogCapture::ErrorLines() const { return ReadLines(locations_.ErrorLog()); }

std::vector<std::string> LogCapture::ExecutionLines() const {
  return ReadLines(locations_.ExecutionLog());
}

int LogCapture::CountError(const std::string& message) const {
  const std::string suffix = "  MSG:" + message;
  int count = 0;
  for (const std::string& line : ErrorLines()) {
    if (line.size() >= suffix.size() &&
        line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0) {
      ++count;
    }
  }
  return count;
}

RecordingNotifier::RecordingNotifier() : previous_(SetNotifier(this)) {}
RecordingNotifier::~RecordingNotifier() { SetNotifier(previous_); }

void RecordingNotifier::Notify(std::string_view text) {
  std::lock_guard lock(mutex_);
  messages_.emplace_back(text);
}

std::vector<std::string> RecordingNotifier::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::uint8_t> ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool ReadWorkbookStream(const fs::path& path, std::vector<std::uint8_t>& out) {
  out.clear();
  const auto reader = storage::StorageReader::Open(path);
  if (!reader) return false;
  return reader->ReadStream(u"Workbook", out) == storage::ReadStatus::Ok ||
         reader->ReadStream(u"Book", out) == storage::ReadStatus::Ok;
}

fs::path CorpusDir() { return fs::path(TABULIX_CORPUS_DIR); }

std::vector<fs::path> RealCorpusFiles() {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(CorpusDir() / "real", ec)) {
    if (entry.path().extension() == ".xls") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

int RunCommand(const std::string& command, std::string* output) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::array<char, 4096> chunk{};
  std::string text;
  std::size_t n = 0;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) text.append(chunk.data(), n);
  const int status = ::pclose(pipe);
  if (output != nullptr) *output = std::move(text);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace tabulix::test
