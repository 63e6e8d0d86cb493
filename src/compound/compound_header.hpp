#pragma once
// The 512-byte header at the start of a compound document, decoded field by field with
// no field checked: the tolerant reader repairs what contradicts the file afterwards.

#include <array>
#include <cstdint>
#include <span>

#include "format/compound_layout.hpp"

namespace tabulix {

// Block numbers with a meaning of their own in the allocation tables and the header, as
// the signed values this reader takes them for.
inline constexpr std::int32_t kFreeBlock = layout::AsSigned(layout::kFreeSector);
inline constexpr std::int32_t kEndOfChain = layout::AsSigned(layout::kEndOfChain);
inline constexpr std::int32_t kBatBlock = layout::AsSigned(layout::kFatSector);

class CompoundHeader {
 public:
  static constexpr std::size_t kSize = layout::kHeaderSize;
  static constexpr std::size_t kListedBatBlocks = layout::kHeaderDifatSlots;
  static constexpr std::uint64_t kSignature = 0xE11AB1A1E011CFD0u;

  CompoundHeader();

  // Reads every field from the first 512 bytes of `block` and recomputes the derived
  // sizes. A shorter buffer is refused and leaves the header as it was.
  bool Decode(std::span<const std::uint8_t> block);
  // Recomputes bigBlockSize_ and smallBlockSize_ from the two shifts.
  void UpdateBlockSizes();

  bool HasSignature() const { return signature_ == kSignature; }

  std::uint64_t signature_ = kSignature;
  std::array<std::uint32_t, 4> classId_{};
  std::uint16_t minorVersion_ = 59;
  std::uint16_t majorVersion_ = 3;
  std::uint16_t byteOrder_ = 0xFFFE;
  std::uint16_t sectorShift_ = 9;
  // Read as 4 bytes: the two reserved bytes after the 2-byte field form its upper half.
  std::uint32_t miniSectorShift_ = 6;
  std::uint32_t reserved1_ = 0;
  std::uint32_t reserved2_ = 0;
  std::uint32_t batBlockCount_ = 1;
  std::int32_t directoryStart_ = 1;
  std::uint32_t transactionSignature_ = 0;
  std::uint32_t smallStreamCutoff_ = 4096;
  std::int32_t sbatStart_ = kEndOfChain;
  std::uint32_t sbatBlockCount_ = 0;
  std::int32_t xbatStart_ = kEndOfChain;
  std::uint32_t xbatBlockCount_ = 0;
  std::array<std::int32_t, kListedBatBlocks> batList_{};

  // 2 to the power of the shifts; 0 when the shift is too large for a 32-bit size, so
  // that an absurd shift can never size a buffer.
  std::uint32_t bigBlockSize_ = 512;
  std::uint32_t smallBlockSize_ = 64;
};

// Whether the raw shifts of a header give an unusable small-block size, the test behind
// "templog2SmallBlockSize is incorrect". Small blocks must be at least 2 bytes and smaller
// than a big block: a mini-sector shift (taken on its low 16 bits, signed, as the header
// field is 2 bytes wide) of 0 or less, or not below the sector shift, is incorrect. Sound
// files (shift 6 under shift 9 or 12) never trigger it.
bool SmallBlockShiftIsIncorrect(std::int16_t sectorShift, std::int32_t miniSectorShift);

}  // namespace tabulix
