#include "compound/compound_header.hpp"

#include <exception>

#include "compound/little_endian.hpp"
#include "log/log.hpp"

namespace tabulix {

namespace {

std::uint32_t PowerOfTwo(std::uint32_t shift) { return shift < 32 ? std::uint32_t{1} << shift : 0; }

}  // namespace

CompoundHeader::CompoundHeader() {
  batList_.fill(kFreeBlock);
  batList_[0] = 0;
  UpdateBlockSizes();
}

void CompoundHeader::UpdateBlockSizes() {
  bigBlockSize_ = PowerOfTwo(sectorShift_);
  smallBlockSize_ = PowerOfTwo(miniSectorShift_);
}

bool CompoundHeader::Decode(std::span<const std::uint8_t> block) {
  try {
    if (block.size() < kSize) {
      WriteLog(10015, 0, "ERROR: Could Not Read Header", true);
      return false;
    }
    namespace le = LittleEndian;
    signature_ = le::U64(block, 0);
    for (std::size_t i = 0; i < classId_.size(); ++i) classId_[i] = le::U32(block, 8 + 4 * i);
    minorVersion_ = le::U16(block, 24);
    majorVersion_ = le::U16(block, 26);
    byteOrder_ = le::U16(block, 28);
    sectorShift_ = le::U16(block, 30);
    miniSectorShift_ = le::U32(block, 32);
    reserved1_ = le::U32(block, 36);
    reserved2_ = le::U32(block, 40);
    batBlockCount_ = le::U32(block, 44);
    directoryStart_ = static_cast<std::int32_t>(le::U32(block, 48));
    transactionSignature_ = le::U32(block, 52);
    smallStreamCutoff_ = le::U32(block, 56);
    sbatStart_ = static_cast<std::int32_t>(le::U32(block, 60));
    sbatBlockCount_ = le::U32(block, 64);
    xbatStart_ = static_cast<std::int32_t>(le::U32(block, 68));
    xbatBlockCount_ = le::U32(block, 72);
    for (std::size_t i = 0; i < kListedBatBlocks; ++i) {
      batList_[i] = static_cast<std::int32_t>(le::U32(block, 76 + 4 * i));
    }
    UpdateBlockSizes();
    return true;
  } catch (const std::exception&) {
    WriteLog(10015, 0, "ERROR: Could Not Read Header", true);
    return false;
  }
}

bool SmallBlockShiftIsIncorrect(std::int16_t sectorShift, std::int32_t miniSectorShift) {
  const auto mini =
      static_cast<std::int16_t>(static_cast<std::uint32_t>(miniSectorShift) & 0xFFFFu);
  return mini <= 0 || mini >= sectorShift;
}

}  // namespace tabulix
