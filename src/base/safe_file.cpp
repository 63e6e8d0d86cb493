#include "base/safe_file.hpp"

#include <cerrno>
#include <fstream>
#include <system_error>

#if defined(_WIN32)
#include <cstdio>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tabulix {

namespace fs = std::filesystem;

#if !defined(_WIN32)
bool WriteAllToDescriptor(int fd, std::span<const std::uint8_t> bytes) {
  const std::uint8_t* data = bytes.data();
  std::size_t size = bytes.size();
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}
#endif

#if !defined(_WIN32)
namespace {

// Opens the file for writing, creating it when missing, and refuses what it must not write
// through: a symbolic link (O_NOFOLLOW), anything but a regular file, and a regular file
// with a second name. A hard link planted in a log's or dump's place would have us append
// to, or empty, a file someone else chose; a file of our own making has one name.
// O_NONBLOCK keeps a planted FIFO from hanging us. Returns the descriptor, or -1.
int OpenRefusingLinks(const fs::path& path, WriteMode mode, struct stat& st) {
  int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  flags |= mode == WriteMode::Append ? O_APPEND : 0;
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool WriteAndClose(int fd, std::span<const std::uint8_t> bytes, bool truncateFirst) {
  bool ok = !truncateFirst || ::ftruncate(fd, 0) == 0;
  if (ok) ok = WriteAllToDescriptor(fd, bytes);
  ok = (::close(fd) == 0) && ok;
  return ok;
}

}  // namespace
#endif

bool WriteFileNoFollow(const fs::path& path, std::span<const std::uint8_t> bytes, WriteMode mode) {
#if defined(_WIN32)
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(path, ec))) return false;
  if (fs::exists(path, ec) && fs::hard_link_count(path, ec) != 1) return false;
  std::ofstream out(
      path, std::ios::binary | (mode == WriteMode::Append ? std::ios::app : std::ios::trunc));
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
#else
  struct stat st {};
  const int fd = OpenRefusingLinks(path, mode, st);
  if (fd < 0) return false;
  return WriteAndClose(fd, bytes, mode == WriteMode::Replace);
#endif
}

bool AppendFileRotating(const fs::path& path, std::span<const std::uint8_t> bytes,
                        std::uint64_t rotateAtBytes) {
  fs::path old = path;
  old += ".old";
#if defined(_WIN32)
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (!ec && size > 0 && size + bytes.size() > rotateAtBytes) {
    fs::rename(path, old, ec);
    if (ec) return false;
  }
  return WriteFileNoFollow(path, bytes, WriteMode::Append);
#else
  struct stat st {};
  int fd = OpenRefusingLinks(path, WriteMode::Append, st);
  if (fd < 0) return false;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size > 0 && size + bytes.size() > rotateAtBytes) {
    ::close(fd);
    // Another process may have moved the file aside since we opened it; moving its fresh
    // file too would throw away the older lines it just kept.
    struct stat now {};
    const bool same =
        ::lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino;
    // A rename moves the name itself, never writing through what stands at either name.
    // When it fails (a folder planted in the old file's place) the line is dropped rather
    // than let the log grow without end.
    if (same && ::rename(path.c_str(), old.c_str()) != 0) return false;
    fd = OpenRefusingLinks(path, WriteMode::Append, st);
    if (fd < 0) return false;
  }
  return WriteAndClose(fd, bytes, false);
#endif
}

bool AppendFileRotating(const fs::path& path, std::string_view text, std::uint64_t rotateAtBytes) {
  return AppendFileRotating(
      path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
      rotateAtBytes);
}

bool WriteFileNoFollow(const fs::path& path, std::string_view text, WriteMode mode) {
  return WriteFileNoFollow(
      path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), mode);
}

ReadFileStatus ReadWholeFile(const fs::path& path, std::vector<std::uint8_t>& out,
                             std::uint64_t maxBytes) {
  out.clear();
  std::error_code ec;
  const auto status = fs::status(path, ec);
  if (ec || !fs::exists(status)) return ReadFileStatus::Missing;
  if (!fs::is_regular_file(status)) return ReadFileStatus::NotRegularFile;
  std::ifstream in(path, std::ios::binary);
  if (!in) return ReadFileStatus::CannotOpen;
  in.seekg(0, std::ios::end);
  const std::streamoff end = in.tellg();
  if (end < 0) return ReadFileStatus::ReadError;
  if (static_cast<std::uint64_t>(end) > maxBytes) return ReadFileStatus::TooLarge;
  in.seekg(0, std::ios::beg);
  out.resize(static_cast<std::size_t>(end));
  if (!out.empty() && !in.read(reinterpret_cast<char*>(out.data()), end)) {
    out.clear();
    return ReadFileStatus::ReadError;
  }
  return ReadFileStatus::Ok;
}

bool IsWritableDirectory(const fs::path& dir) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return false;
#if defined(_WIN32)
  return true;
#else
  return ::access(dir.c_str(), W_OK | X_OK) == 0;
#endif
}

fs::path ExecutableDirectory() {
  std::error_code ec;
#if defined(_WIN32)
  return fs::current_path(ec);
#else
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path();
#endif
}

}  // namespace tabulix
