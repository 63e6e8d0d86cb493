#pragma once
// Files that must not outlive a run stopped by a signal. A save writes tens of megabytes
// into a hidden temporary file beside its target before it renames it; a run stopped by
// Ctrl-C or a plain `kill` would leave it there. The writer registers its temporary for
// as long as it exists, and the front end that owns the process installs the handlers:
// on SIGINT, SIGTERM or SIGHUP they remove every registered file and let the signal end
// the process as it would have without them. A library never installs them by itself.

#include <filesystem>

namespace tabulix {

// Installs the handlers for SIGINT, SIGTERM and SIGHUP, except where the signal is
// ignored (a run started in the background keeps ignoring SIGINT). Call once, early.
void RemoveTemporariesOnSignals();

// Registers a file for removal should the process be stopped by one of those signals, for
// the life of the object. A handler does only what is safe there: it unlinks the name
// prepared here (made absolute, so that a change of folder does not matter). A few files
// at a time are kept; beyond that, or for a path too long to keep, the file is simply not
// covered (the writer's stale-file clean-up finds it later).
class RemoveOnSignal {
 public:
  // A file, or a folder holding only files (a writer's temporary folder): its files are
  // removed, then the folder.
  enum class Kind { File, FolderOfFiles };
  explicit RemoveOnSignal(const std::filesystem::path& path, Kind kind = Kind::File);
  ~RemoveOnSignal();
  RemoveOnSignal(const RemoveOnSignal&) = delete;
  RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;
  // Whether the file is covered.
  bool covered() const { return slot_ >= 0; }

 private:
  int slot_ = -1;
};

// Held by a writer through a step a signal's handler must not cut into: from just before
// it creates a temporary until the temporary is registered (Done, or the end of the
// scope), and while it renames a temporary into place. The other threads run on while a
// handler works: a file created in that moment was left behind, and a folder renamed into
// place as the handler emptied it arrived empty. A handler waits for the writers inside
// (briefly, at most); once a stop is under way a writer takes no such step, and its thread
// waits for the end of the process instead.
class TemporaryStep {
 public:
  TemporaryStep();
  ~TemporaryStep() { Done(); }
  TemporaryStep(const TemporaryStep&) = delete;
  TemporaryStep& operator=(const TemporaryStep&) = delete;
  void Done();

 private:
  bool inside_ = true;
};

}  // namespace tabulix
