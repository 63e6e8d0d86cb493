#include "cli/console.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <utility>

#include "base/display_width.hpp"

namespace tabulix::cli {

namespace {

// Redraws closer together than this only flicker; a batch of thousands of small files
// would otherwise spend its time on the terminal.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::size_t TerminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
  return 80;
}

}  // namespace

namespace {
// The file a worker thread is on, for the core's messages: in a batch they would not say
// which file they are about.
thread_local std::string t_fileLabel;
}  // namespace

void ConsoleNotifier::SetFileLabel(std::string label) { t_fileLabel = std::move(label); }

void ConsoleNotifier::Notify(std::string_view text) {
  const std::string line = Trimmed(text);
  if (line.empty()) return;
  console_.Err("tabulix: " + (t_fileLabel.empty() ? std::string() : t_fileLabel + ": ") + line +
               "\n");
}

Console::Console(std::ostream& out, std::ostream& err, bool statusLine, std::size_t files)
    : out_(out), err_(err), statusLine_(statusLine), files_(files) {}

bool Console::ErrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void Console::Out(const std::string& text) { Print(out_, text); }
void Console::Err(const std::string& text) { Print(err_, text); }

void Console::Print(std::ostream& stream, const std::string& text) {
  std::lock_guard lock(mutex_);
  Erase();
  // Standard output may be a pipe read line by line (JSON Lines): each text goes out whole.
  stream << text << std::flush;
  Draw(true);
}

void Console::Begin(unsigned slot, const std::string& name) {
  std::lock_guard lock(mutex_);
  running_[slot] = Running{name, "loading"};
  Draw(false);
}

void Console::Stage(unsigned slot, const std::string& stage) {
  std::lock_guard lock(mutex_);
  const auto it = running_.find(slot);
  if (it == running_.end() || it->second.stage == stage) return;
  it->second.stage = stage;
  Draw(false);
}

void Console::End(unsigned slot) {
  std::lock_guard lock(mutex_);
  running_.erase(slot);
  ++done_;
  Draw(false);
}

void Console::Close() {
  std::lock_guard lock(mutex_);
  Erase();
  statusLine_ = false;
}

void Console::Erase() {
  if (!drawn_) return;
  err_ << "\r\033[K" << std::flush;
  drawn_ = false;
}

void Console::Draw(bool force) {
  if (!statusLine_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && drawn_ && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  std::string line;
  if (files_ > 1) {
    line = "[" + std::to_string(done_) + "/" + std::to_string(files_) + "]";
  }
  for (const auto& [slot, work] : running_) {
    line += (line.empty() ? "" : "  ") + work.name + ": " + work.stage;
  }
  // One line only: a line that wraps cannot be redrawn in place.
  const std::string_view shown = FitToWidth(line, TerminalColumns() - 1);
  err_ << "\r\033[K" << shown << std::flush;
  drawn_ = !shown.empty();
}

}  // namespace tabulix::cli
