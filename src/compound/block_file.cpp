#include "compound/block_file.hpp"

#include <algorithm>
#include <exception>
#include <limits>

#include "log/log.hpp"

namespace tabulix {

bool BlockFile::Open(const std::filesystem::path& path, int mode) {
  try {
    Close();
    if ((mode & kModeRead) == 0) return false;
    stream_.open(path, std::ios::in | std::ios::binary);
    if (!stream_.is_open()) {
      WriteLog(10011, 0, "ERROR: Opening Block File", true);
      return false;
    }
    stream_.seekg(0, std::ios::end);
    const std::streamoff end = stream_.tellg();
    if (end < 0) {
      Close();
      WriteLog(10011, 0, "ERROR: Opening Block File", true);
      return false;
    }
    stream_.seekg(0, std::ios::beg);
    path_ = path;
    mode_ = kModeRead;
    fileSize_ = static_cast<std::uint64_t>(end);
    CountBlocks();
    return true;
  } catch (const std::exception&) {
    Close();
    WriteLog(10011, 0, "ERROR: Opening Block File", true);
    return false;
  }
}

void BlockFile::CountBlocks() {
  // Block numbers are 32-bit; a file with more blocks than that is read up to the last
  // block a number can name.
  const std::uint64_t count = (fileSize_ + blockSize_ - 1) / blockSize_;
  blockCount_ = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(count, std::numeric_limits<std::uint32_t>::max()));
}

bool BlockFile::ReadBlock(std::uint32_t index, std::span<std::uint8_t> buffer) {
  if ((mode_ & kModeRead) == 0 || !stream_.is_open()) return false;
  if (index >= blockCount_) {
    WriteLog(10012, 0, "ERROR: Block Index out of range", true);
    return false;
  }
  try {
    const std::size_t want = std::min<std::size_t>(blockSize_, buffer.size());
    stream_.clear();
    stream_.seekg(static_cast<std::streamoff>(std::uint64_t{index} * blockSize_), std::ios::beg);
    stream_.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(want));
    const auto got = stream_.gcount();
    stream_.clear();
    if (got < 0 || static_cast<std::uint64_t>(got) < std::uint64_t{blockSize_}) {
      // A short last block is the normal end of a cut file, not a fault to log.
      if (index + 1 != blockCount_)
        WriteLog(10013, 0, "ERROR: could not read specified Block", true);
      return false;
    }
    return true;
  } catch (const std::exception&) {
    WriteLog(10013, 0, "ERROR: could not read specified Block", true);
    return false;
  }
}

void BlockFile::SetBlockSize(std::uint32_t size) {
  if (size == 0) return;
  blockSize_ = size;
  CountBlocks();
}

void BlockFile::Close() {
  if (stream_.is_open()) stream_.close();
  stream_.clear();
  path_.clear();
  mode_ = 0;
  fileSize_ = 0;
  blockCount_ = 0;
  blockSize_ = kDefaultBlockSize;
}

}  // namespace tabulix
