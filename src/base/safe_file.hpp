#pragma once
// File access that never writes through a link planted in place of a log or dump file.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tabulix {

enum class WriteMode { Append, Replace };

// Writes the bytes to the file, creating it when missing. The last path component must be
// neither a symbolic link nor a regular file with more than one name (a hard link): such a
// file is refused, never written through, and stays as it was. Returns false on any
// failure (the file then holds whatever the failed write left, for Append).
bool WriteFileNoFollow(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                       WriteMode mode);
bool WriteFileNoFollow(const std::filesystem::path& path, std::string_view text, WriteMode mode);

// Appends as WriteFileNoFollow does, but first moves a file that the bytes would take past
// `rotateAtBytes` aside to "<name>.old" (replacing an older one) and starts it afresh, so
// that the file and its one old copy stay near that size. False, with nothing written,
// when the file cannot be moved aside.
bool AppendFileRotating(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                        std::uint64_t rotateAtBytes);
bool AppendFileRotating(const std::filesystem::path& path, std::string_view text,
                        std::uint64_t rotateAtBytes);

enum class ReadFileStatus { Ok, Missing, NotRegularFile, CannotOpen, TooLarge, ReadError };

// Reads a regular file whole. `maxBytes` bounds the allocation so that a huge file cannot
// exhaust memory. On failure `out` is empty.
ReadFileStatus ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& out,
                             std::uint64_t maxBytes = std::uint64_t{1} << 32);

#if !defined(_WIN32)
// Writes all bytes to an open descriptor, retrying short and interrupted writes.
bool WriteAllToDescriptor(int fd, std::span<const std::uint8_t> bytes);
#endif

// True when the folder exists and this process may create files in it.
bool IsWritableDirectory(const std::filesystem::path& dir);

// The folder of the running executable (empty when it cannot be found).
std::filesystem::path ExecutableDirectory();

}  // namespace tabulix
