#pragma once
// All-or-nothing writes for the exports: a hidden temporary beside the target, renamed
// over it once complete. The temporaries bear the name the .xls save gives its own
// (".<name>.tabulix-" and eight hex digits) and are locked while they are written, so that
// a later save or export to the same target removes what a run killed outright left.

#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "base/interrupt_cleanup.hpp"

namespace tabulix::exporting {

// A file written under a temporary name beside its target. Begin checks the target (its
// folder exists and may be written, it is no folder, it is not read-only) and creates the
// temporary, registered for removal on SIGINT, SIGTERM and SIGHUP. Whatever writes it
// may open it again by path(). Commit flushes it, gives it the permission bits of the file
// it replaces and renames it over the target. A temporary not committed is removed.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  ~TemporaryFile();
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  bool Begin(const std::filesystem::path& target, std::string& error);
  const std::filesystem::path& path() const { return temp_; }
  bool Commit(std::string& error);

 private:
  void Discard();

  std::filesystem::path target_;
  std::filesystem::path folder_;
  std::filesystem::path temp_;
  int fd_ = -1;
  mode_t oldMode_ = 0;
  std::unique_ptr<RemoveOnSignal> removeOnSignal_;
};

// A folder of files written under a temporary name beside its target folder. Begin checks
// the target: missing, or a folder that holds nothing but CSV files (which the new folder
// replaces); anything else is refused. Add writes one file into it whole. Commit puts
// the folder in the target's place in one step (exchanging it with a folder already there,
// which is then removed). A folder not committed is removed with its files.
//
// A run stopped by a signal removes the hidden folder with the files in it; one killed
// outright leaves it until the next export to the same target removes it.
class TemporaryFolder {
 public:
  TemporaryFolder() = default;
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  bool Begin(const std::filesystem::path& target, std::string& error);
  // `name` is a plain file name (no separator, not "." or ".."), new in the folder.
  bool Add(const std::string& name, std::string_view bytes, std::string& error);
  bool Commit(std::string& error);

 private:
  void Discard();

  std::filesystem::path target_;
  std::filesystem::path parent_;
  std::filesystem::path temp_;
  int lockFd_ = -1;
  bool replacing_ = false;
  mode_t oldMode_ = 0;
  std::unique_ptr<RemoveOnSignal> removeOnSignal_;
};

// Words for the user when an export stopped on an exception. Even they need memory,
// which may be what ran out: then `error` is left empty rather than throwing again.
void SetUnexpectedStop(std::string& error) noexcept;

// Removes the temporary folders that exports to `target` left behind when their process
// died: a folder beside the target named as a temporary of it, owned by this user, that
// no live process holds locked and that has not changed for a minute, with only regular
// files in it. Returns how many were removed.
std::size_t RemoveStaleTemporaryFolders(const std::filesystem::path& target);

}  // namespace tabulix::exporting
