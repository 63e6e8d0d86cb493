#include "document/export_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "base/safe_file.hpp"
#include "storage/storage_writer.hpp"

namespace tabulix::exporting {

namespace fs = std::filesystem;

namespace {

// The .xls save names its temporaries the same way, so that one clean-up of stale ones
// serves both.
using storage::IsTemporaryName;
using storage::MakeTemporary;
using storage::TemporaryPrefix;

// A folder of more entries than this is not looked through (and not replaced).
constexpr std::size_t kFolderScanLimit = 100000;

std::string ErrnoText(std::string_view what) {
  return std::string(what) + ": " + std::strerror(errno);
}

fs::path FolderOf(const fs::path& target) {
  return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

// The folder a target goes into exists and may be written. Permission bits are read from
// the mode as well as asked of access(): root passes access() for every folder, yet a
// folder nobody may write is meant to stay as it is.
bool CheckFolder(const fs::path& folder, std::string& error) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "the folder " + folder.string() + " does not exist";
    return false;
  }
  if ((st.st_mode & 0222) == 0 || ::access(folder.c_str(), W_OK | X_OK) != 0) {
    error = "the folder " + folder.string() + " is not writable (permission denied)";
    return false;
  }
  return true;
}

void SyncFolder(const fs::path& folder) {
  if (const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

bool EndsWithCsv(std::string_view name) {
  if (name.size() < 4) return false;
  const std::string_view end = name.substr(name.size() - 4);
  return end[0] == '.' && (end[1] | 0x20) == 'c' && (end[2] | 0x20) == 's' &&
         (end[3] | 0x20) == 'v';
}

// Calls `visit(dirFd, name, stat)` for each entry of the folder open as `dirFd` (the
// entry not followed when it is a link); false when the folder cannot be read through or
// holds more than kFolderScanLimit entries.
template <class Visit>
bool ForEachEntry(int dirFd, Visit&& visit) {
  const int listFd = ::dup(dirFd);
  if (listFd < 0) return false;
  DIR* dir = ::fdopendir(listFd);
  if (dir == nullptr) {
    ::close(listFd);
    return false;
  }
  ::rewinddir(dir);
  bool complete = true;
  std::size_t seen = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (++seen > kFolderScanLimit) {
      complete = false;
      break;
    }
    struct stat st {};
    if (::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !visit(std::string(name), st)) {
      complete = false;
      break;
    }
  }
  ::closedir(dir);
  return complete;
}

// Removes the regular files of the folder at `path`, then the folder. Anything else in it
// (which none of our folders holds) is left, and so is the folder then.
bool RemoveFolderOfFiles(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<std::string> files;
  const bool listed = ForEachEntry(fd, [&files](const std::string& name, const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return false;
    files.push_back(name);
    return true;
  });
  if (listed) {
    for (const std::string& name : files) ::unlinkat(fd, name.c_str(), 0);
  }
  ::close(fd);
  return listed && ::rmdir(path.c_str()) == 0;
}

}  // namespace

// ---- TemporaryFile ----

TemporaryFile::~TemporaryFile() { Discard(); }

void TemporaryFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  removeOnSignal_.reset();
}

bool TemporaryFile::Begin(const fs::path& target, std::string& error) {
  Discard();
  const std::string name = target.filename().string();
  if (name.empty() || name == "." || name == "..") {
    error = "the target has no file name";
    return false;
  }
  target_ = target;
  folder_ = FolderOf(target);
  if (!CheckFolder(folder_, error)) return false;
  oldMode_ = 0;
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      error = "the target is a directory";
      return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
      error = "the target is not a regular file";
      return false;
    }
    if (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) {
      error = "the target is read-only";
      return false;
    }
    // Only the permission bits: a set-user-id bit has no business on a workbook.
    if (S_ISREG(st.st_mode)) oldMode_ = st.st_mode & 0777;
  } else if (errno != ENOENT) {
    error = ErrnoText("cannot examine the target");
    return false;
  }

  storage::RemoveStaleTemporaries(target);
  // A replaced file keeps its permission bits: the temporary starts private and is given
  // them once written. A new file is created as any other, under the umask.
  const mode_t mode = oldMode_ != 0 ? 0600 : 0644;
  const TemporaryStep creating;
  const bool made = MakeTemporary(target, temp_, [this, mode](const fs::path& candidate) {
    fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    return fd_ >= 0;
  });
  if (!made) {
    temp_.clear();
    error = ErrnoText("cannot create a temporary file");
    return false;
  }
  // Held until the rename: a temporary nobody holds is a dead run's, for the clean-up.
  ::flock(fd_, LOCK_EX | LOCK_NB);
  removeOnSignal_ = std::make_unique<RemoveOnSignal>(temp_);
  return true;
}

bool TemporaryFile::Commit(std::string& error) {
  if (fd_ < 0 || temp_.empty()) {
    error = "no temporary file was written";
    return false;
  }
  // Whatever wrote the file opened it by name: it must still be the file created.
  struct stat held {};
  struct stat named {};
  if (::fstat(fd_, &held) != 0 || ::lstat(temp_.c_str(), &named) != 0 ||
      held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
    error = "the temporary file " + temp_.string() + " was replaced while it was written";
    // Not ours any more: leave whatever stands there alone.
    temp_.clear();
    Discard();
    return false;
  }
  // A file system that keeps no permission bits refuses this; the file is then as
  // private as it was made, never more open than the old one.
  if (oldMode_ != 0) static_cast<void>(::fchmod(fd_, oldMode_));
  if (::fsync(fd_) != 0) {
    error = ErrnoText("cannot flush the temporary file");
    Discard();
    return false;
  }
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) {
    error = ErrnoText("cannot close the temporary file");
    Discard();
    return false;
  }
  TemporaryStep renaming;
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    renaming.Done();
    error = ErrnoText("cannot replace the target");
    Discard();
    return false;
  }
  temp_.clear();
  renaming.Done();
  removeOnSignal_.reset();
  // Make the rename itself durable; a folder that cannot be flushed does not undo it.
  SyncFolder(folder_);
  return true;
}

// ---- TemporaryFolder ----

TemporaryFolder::~TemporaryFolder() { Discard(); }

void TemporaryFolder::Discard() {
  removeOnSignal_.reset();
  if (lockFd_ >= 0) ::close(lockFd_);
  lockFd_ = -1;
  if (!temp_.empty()) RemoveFolderOfFiles(temp_);
  temp_.clear();
}

bool TemporaryFolder::Begin(const fs::path& target, std::string& error) {
  Discard();
  // "out/" names the folder "out".
  fs::path folder = target;
  if (!folder.has_filename() && folder.has_parent_path()) folder = folder.parent_path();
  const std::string name = folder.filename().string();
  if (name.empty() || name == "." || name == "..") {
    error = "the target has no folder name";
    return false;
  }
  target_ = folder;
  parent_ = FolderOf(folder);
  if (!CheckFolder(parent_, error)) return false;

  replacing_ = false;
  oldMode_ = 0;
  struct stat st {};
  if (::lstat(target_.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      error = "the target " + target_.string() + " exists and is not a folder";
      return false;
    }
    if ((st.st_mode & 0222) == 0 || ::access(target_.c_str(), W_OK | X_OK) != 0) {
      error = "the folder " + target_.string() + " is read-only";
      return false;
    }
    // Only what an export writes is replaced: a folder holding anything else is the
    // user's, and a mistyped name must not cost them its contents.
    const int fd = ::open(target_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      error = ErrnoText("cannot read the folder " + target_.string());
      return false;
    }
    std::string other;
    const bool onlyCsv = ForEachEntry(fd, [&other](const std::string& entry, const struct stat& s) {
      if (S_ISREG(s.st_mode) && EndsWithCsv(entry)) return true;
      other = entry;
      return false;
    });
    ::close(fd);
    if (!onlyCsv) {
      error = "the folder " + target_.string() + " holds " +
              (other.empty() ? std::string("entries that cannot all be looked at")
                             : "\"" + other + "\"") +
              ", not only CSV files; it is not replaced";
      return false;
    }
    replacing_ = true;
    oldMode_ = st.st_mode & 0777;
  } else if (errno != ENOENT) {
    error = ErrnoText("cannot examine the target");
    return false;
  }

  RemoveStaleTemporaryFolders(target_);
  TemporaryStep creating;
  const bool made = MakeTemporary(target_, temp_, [](const fs::path& candidate) {
    return ::mkdir(candidate.c_str(), 0777) == 0;
  });
  if (!made) {
    temp_.clear();
    error = ErrnoText("cannot create a temporary folder");
    return false;
  }
  // Covered from the moment it exists, before anything goes into it.
  removeOnSignal_ = std::make_unique<RemoveOnSignal>(temp_, RemoveOnSignal::Kind::FolderOfFiles);
  creating.Done();
  lockFd_ = ::open(temp_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (lockFd_ < 0) {
    error = ErrnoText("cannot open the temporary folder");
    Discard();
    return false;
  }
  // Held until the rename: a temporary nobody holds is a dead run's, for the clean-up.
  ::flock(lockFd_, LOCK_EX | LOCK_NB);
  return true;
}

bool TemporaryFolder::Add(const std::string& name, std::string_view bytes, std::string& error) {
  if (temp_.empty()) {
    error = "no temporary folder was made";
    return false;
  }
  const fs::path path = temp_ / name;
  TemporaryStep creating;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = ErrnoText("cannot create " + name + " in the temporary folder");
    return false;
  }
  const RemoveOnSignal removeOnSignal(path);
  creating.Done();
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  bool written = WriteAllToDescriptor(fd, std::span<const std::uint8_t>(data, bytes.size()));
  if (!written) error = ErrnoText("cannot write " + name);
  if (written && ::fsync(fd) != 0) {
    error = ErrnoText("cannot flush " + name);
    written = false;
  }
  if (::close(fd) != 0 && written) {
    error = ErrnoText("cannot close " + name);
    written = false;
  }
  if (!written) ::unlink(path.c_str());
  return written;
}

bool TemporaryFolder::Commit(std::string& error) {
  if (temp_.empty()) {
    error = "no temporary folder was made";
    return false;
  }
  ::fsync(lockFd_);
  // Through the renames: a folder emptied by a signal's handler must not take the target's
  // place.
  const TemporaryStep renaming;
  if (replacing_) {
    static_cast<void>(::chmod(temp_.c_str(), oldMode_));
    // In one step where the file system can: the target is never missing, never half new.
    if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_EXCHANGE) == 0) {
      // temp_ now names the old folder.
      RemoveFolderOfFiles(temp_);
      temp_.clear();
      Discard();
      SyncFolder(parent_);
      return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
      error = ErrnoText("cannot replace the folder " + target_.string());
      Discard();
      return false;
    }
    // Else in two: the old folder aside, the new one in its place, the old one back
    // should that fail.
    fs::path aside;
    const bool movedAside = MakeTemporary(target_, aside, [this](const fs::path& candidate) {
      // rename() would replace an empty folder of that name; linking first would not
      // work for folders, so the name is checked just before.
      struct stat st {};
      if (::lstat(candidate.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
      }
      return ::rename(target_.c_str(), candidate.c_str()) == 0;
    });
    if (!movedAside) {
      error = ErrnoText("cannot move the folder " + target_.string() + " aside");
      Discard();
      return false;
    }
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
      error = ErrnoText("cannot put the new folder in place of " + target_.string());
      ::rename(aside.c_str(), target_.c_str());
      Discard();
      return false;
    }
    temp_.clear();
    RemoveFolderOfFiles(aside);
  } else if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    error = ErrnoText("cannot put the folder in place as " + target_.string());
    Discard();
    return false;
  }
  temp_.clear();
  Discard();
  SyncFolder(parent_);
  return true;
}

void SetUnexpectedStop(std::string& error) noexcept {
  try {
    error = "the export stopped on an unexpected error (such as a lack of memory)";
  } catch (...) {
    error.clear();
  }
}

std::size_t RemoveStaleTemporaryFolders(const fs::path& target) {
  const fs::path folder = FolderOf(target);
  const std::string prefix = TemporaryPrefix(target);
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) return 0;
  std::vector<std::string> candidates;
  ForEachEntry(folderFd, [&](const std::string& name, const struct stat& st) {
    if (IsTemporaryName(name, prefix) && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid())
      candidates.push_back(name);
    return true;
  });
  ::close(folderFd);

  const std::time_t now = std::time(nullptr);
  std::size_t removed = 0;
  for (const std::string& name : candidates) {
    const fs::path path = folder / name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    bool stale = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid();
    if (stale) {
      const double age = std::difftime(now, st.st_mtime);
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        stale = age >= storage::kStaleTemporaryAge.count();
      } else {
        stale = errno != EWOULDBLOCK && age >= storage::kStaleUnlockableTemporaryAge.count();
      }
    }
    // Removed while held, so that no export can take it up in between.
    if (stale && RemoveFolderOfFiles(path)) ++removed;
    ::close(fd);
  }
  return removed;
}

}  // namespace tabulix::exporting
