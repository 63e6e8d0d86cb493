#include "compound/compound_file.hpp"

#include <algorithm>
#include <exception>

#include "base/log.hpp"

namespace tabulix {

CompoundFile::CompoundFile() : blockBuffer_(CompoundHeader::kSize, 0) {}

bool CompoundFile::Open(const std::string& path, int mode) {
  try {
    Close();
    if (path.empty()) {
      WriteLog(10008, 0, "File Name Not Valid", true);
      return false;
    }
    // Paths are passed to the system as they are; there is no conversion to fail.
    if (!blockFile_.Open(std::filesystem::path(path), mode)) {
      WriteLog(10026, 0, "ERROR: Could not open Compound File", true);
      return false;
    }
    return true;
  } catch (const std::exception&) {
    WriteLog(10026, 0, "ERROR: Could not open Compound File", true);
    return false;
  }
}

void CompoundFile::Open(std::span<const std::uint8_t> bytes) {
  Close();
  blockFile_.Open(bytes);
}

bool CompoundFile::ReadBlockToBuffer(std::uint32_t index, std::uint8_t fill) {
  std::fill(blockBuffer_.begin(), blockBuffer_.end(), fill);
  return blockFile_.ReadBlock(index, blockBuffer_);
}

bool CompoundFile::LoadHeader() {
  try {
    // The header is always the first 512 bytes, whatever block size the file uses.
    const std::uint32_t previous = blockFile_.blockSize();
    blockFile_.SetBlockSize(CompoundHeader::kSize);
    blockBuffer_.assign(CompoundHeader::kSize, 0);
    blockFile_.ReadBlock(0, blockBuffer_);
    blockFile_.SetBlockSize(previous);
    if (!header_.Decode(blockBuffer_)) return false;
    if (header_.HasSignature() && header_.bigBlockSize_ != 0)
      SetBigBlockSize(header_.bigBlockSize_);
    if (blockBuffer_.size() != blockFile_.blockSize())
      blockBuffer_.assign(blockFile_.blockSize(), 0);
    return true;
  } catch (const std::exception&) {
    WriteLog(10018, 0, "ERROR: Could Not Load Header", true);
    return false;
  }
}

bool CompoundFile::SetBigBlockSize(std::uint32_t size) {
  if (size < 128 || size > 65536 || (size & (size - 1)) != 0) return false;
  std::uint16_t shift = 0;
  while ((std::uint32_t{1} << shift) < size) ++shift;
  header_.sectorShift_ = shift;
  header_.UpdateBlockSizes();
  blockBuffer_.assign(size, 0);
  blockFile_.SetBlockSize(size);
  return true;
}

const PropertyNode* CompoundFile::current() const {
  return current_ < nodes_.size() ? &nodes_[current_] : nullptr;
}

void CompoundFile::Close() {
  try {
    bat_.clear();
    sbat_.clear();
    properties_.clear();
    nodes_.clear();
    current_ = PropertyNode::kNone;
    blockFile_.Close();
  } catch (const std::exception&) {
    WriteLog(10010, 0, "ERROR: Closing Compound File", true);
  }
}

}  // namespace tabulix
