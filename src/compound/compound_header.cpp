#include "compound/compound_header.hpp"

#include <exception>

#include "base/little_endian.hpp"
#include "base/log.hpp"

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
    using namespace layout;
    signature_ = le::U64(block, kOffSignature);
    for (std::size_t i = 0; i < classId_.size(); ++i)
      classId_[i] = le::U32(block, kOffClsid + 4 * i);
    minorVersion_ = le::U16(block, kOffMinorVersion);
    majorVersion_ = le::U16(block, kOffMajorVersion);
    byteOrder_ = le::U16(block, kOffByteOrder);
    sectorShift_ = le::U16(block, kOffSectorShift);
    // Four bytes: the two reserved bytes behind the field come along as its upper half.
    miniSectorShift_ = le::U32(block, kOffMiniSectorShift);
    reserved1_ = le::U32(block, kOffReserved + 2);
    // In version 3 the directory sector count is reserved too.
    reserved2_ = le::U32(block, kOffDirSectorCount);
    batBlockCount_ = le::U32(block, kOffFatSectorCount);
    directoryStart_ = static_cast<std::int32_t>(le::U32(block, kOffDirStart));
    transactionSignature_ = le::U32(block, kOffTransaction);
    smallStreamCutoff_ = le::U32(block, kOffMiniCutoff);
    sbatStart_ = static_cast<std::int32_t>(le::U32(block, kOffMiniFatStart));
    sbatBlockCount_ = le::U32(block, kOffMiniFatCount);
    xbatStart_ = static_cast<std::int32_t>(le::U32(block, kOffDifatStart));
    xbatBlockCount_ = le::U32(block, kOffDifatCount);
    for (std::size_t i = 0; i < kListedBatBlocks; ++i) {
      batList_[i] = static_cast<std::int32_t>(le::U32(block, kOffHeaderDifat + 4 * i));
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
