#include "compound/block_file.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>

#include "base/log.hpp"
#include "base/safe_file.hpp"

namespace tabulix {

bool BlockFile::Open(const std::filesystem::path& path, int mode) {
  try {
    Close();
    if ((mode & kModeRead) == 0) return false;
    std::vector<std::uint8_t> bytes;
    if (ReadWholeFile(path, bytes) != ReadFileStatus::Ok) {
      WriteLog(10011, 0, "ERROR: Opening Block File", true);
      return false;
    }
    owned_ = std::move(bytes);
    Attach(owned_);
    path_ = path;
    return true;
  } catch (const std::exception&) {
    Close();
    WriteLog(10011, 0, "ERROR: Opening Block File", true);
    return false;
  }
}

void BlockFile::Open(std::span<const std::uint8_t> bytes) {
  Close();
  Attach(bytes);
}

void BlockFile::Attach(std::span<const std::uint8_t> bytes) {
  bytes_ = bytes;
  open_ = true;
  mode_ = kModeRead;
  CountBlocks();
}

void BlockFile::CountBlocks() {
  // Block numbers are 32-bit; a file with more blocks than that is read up to the last
  // block a number can name.
  const std::uint64_t count = (std::uint64_t{bytes_.size()} + blockSize_ - 1) / blockSize_;
  blockCount_ = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(count, std::numeric_limits<std::uint32_t>::max()));
}

bool BlockFile::ReadBlock(std::uint32_t index, std::span<std::uint8_t> buffer) {
  if ((mode_ & kModeRead) == 0 || !open_) return false;
  if (index >= blockCount_) {
    WriteLog(10012, 0, "ERROR: Block Index out of range", true);
    return false;
  }
  const std::uint64_t start = std::uint64_t{index} * blockSize_;
  const std::size_t want = std::min<std::size_t>(blockSize_, buffer.size());
  const std::size_t got =
      static_cast<std::size_t>(std::min<std::uint64_t>(want, bytes_.size() - start));
  std::memcpy(buffer.data(), bytes_.data() + start, got);
  if (got < blockSize_) {
    // A short last block is the normal end of a cut file, not a fault to log.
    if (index + 1 != blockCount_) WriteLog(10013, 0, "ERROR: could not read specified Block", true);
    return false;
  }
  return true;
}

void BlockFile::SetBlockSize(std::uint32_t size) {
  if (size == 0) return;
  blockSize_ = size;
  CountBlocks();
}

void BlockFile::Close() {
  owned_.clear();
  owned_.shrink_to_fit();
  bytes_ = {};
  open_ = false;
  path_.clear();
  mode_ = 0;
  blockCount_ = 0;
  blockSize_ = kDefaultBlockSize;
}

}  // namespace tabulix
