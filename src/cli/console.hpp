#pragma once
// The terminal of a batch: reports and errors printed whole, one file at a time, and below
// them one status line for the work still running, redrawn in place. The status line is
// drawn only on a terminal; written to a file or a pipe, standard error holds only what
// is meant to be read there later.

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>

#include "base/notifier.hpp"
#include "document/report_text.hpp"

namespace tabulix::cli {

class Console {
 public:
  // `statusLine`: draw the status line on `err` (a terminal, and not --quiet).
  Console(std::ostream& out, std::ostream& err, bool statusLine, std::size_t files);

  // Prints `text` whole, with no other thread's text inside it, above the status line.
  void Out(const std::string& text);
  void Err(const std::string& text);

  // The work on one file: begun (by worker `slot`), at a stage ("loading", "saving 40%"),
  // ended.
  void Begin(unsigned slot, const std::string& name);
  void Stage(unsigned slot, const std::string& stage);
  void End(unsigned slot);
  // Takes the status line away for good.
  void Close();

  // Whether standard error is a terminal.
  static bool ErrIsTerminal();

 private:
  void Print(std::ostream& stream, const std::string& text);
  void Draw(bool force);
  void Erase();

  std::ostream& out_;
  std::ostream& err_;
  bool statusLine_;
  std::size_t files_;
  std::size_t done_ = 0;
  struct Running {
    std::string name;
    std::string stage;
  };
  std::map<unsigned, Running> running_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
  std::mutex mutex_;
};

// What the desktop program shows in a message box, the command line prints on the
// console's standard error, after the name of the file the calling thread works on when a
// batch has named one. Blank texts are not printed.
class ConsoleNotifier : public Notifier {
 public:
  explicit ConsoleNotifier(Console& console) : console_(console) {}
  void Notify(std::string_view text) override;
  // Names the file the calling thread works on from now on; empty names none.
  static void SetFileLabel(std::string label);

 private:
  Console& console_;
};

}  // namespace tabulix::cli
