#pragma once
// The on-disk layout of a compound document (Compound File Binary format, versions 3 and
// 4), the one description that the tolerant reader, the strict reader and the writer share:
// header field offsets, directory entry field offsets and the special sector numbers. Only
// values live here; reading and writing go through tabulix::LittleEndian.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tabulix::layout {

inline constexpr std::array<std::uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0,
                                                           0xA1, 0xB1, 0x1A, 0xE1};

// Header fields (offset in the first 512 bytes of the file).
inline constexpr std::size_t kHeaderSize = 512;
inline constexpr std::size_t kOffSignature = 0;         // 8 bytes
inline constexpr std::size_t kOffClsid = 8;             // 16 bytes, zero
inline constexpr std::size_t kOffMinorVersion = 24;     // 2 bytes
inline constexpr std::size_t kOffMajorVersion = 26;     // 2 bytes: 3 or 4
inline constexpr std::size_t kOffByteOrder = 28;        // 2 bytes: 0xFFFE
inline constexpr std::size_t kOffSectorShift = 30;      // 2 bytes: 9 (v3) or 12 (v4)
inline constexpr std::size_t kOffMiniSectorShift = 32;  // 2 bytes: 6
inline constexpr std::size_t kOffReserved = 34;         // 6 bytes
inline constexpr std::size_t kOffDirSectorCount = 40;   // 4 bytes: 0 in version 3
inline constexpr std::size_t kOffFatSectorCount = 44;   // 4 bytes
inline constexpr std::size_t kOffDirStart = 48;         // 4 bytes
inline constexpr std::size_t kOffTransaction = 52;      // 4 bytes
inline constexpr std::size_t kOffMiniCutoff = 56;       // 4 bytes: 4096
inline constexpr std::size_t kOffMiniFatStart = 60;     // 4 bytes
inline constexpr std::size_t kOffMiniFatCount = 64;     // 4 bytes
inline constexpr std::size_t kOffDifatStart = 68;       // 4 bytes
inline constexpr std::size_t kOffDifatCount = 72;       // 4 bytes
inline constexpr std::size_t kOffHeaderDifat = 76;      // 109 sector numbers
inline constexpr std::size_t kHeaderDifatSlots = 109;

inline constexpr std::uint16_t kByteOrderMark = 0xFFFE;
inline constexpr std::uint16_t kMinorVersion = 0x003E;
inline constexpr std::uint16_t kSectorShiftV3 = 9;
inline constexpr std::uint16_t kSectorShiftV4 = 12;
inline constexpr std::uint16_t kMiniSectorShift = 6;
inline constexpr std::size_t kMiniSectorSize = 64;
inline constexpr std::uint32_t kMiniStreamCutoff = 4096;

// Special sector numbers.
inline constexpr std::uint32_t kMaxRegularSector = 0xFFFFFFFA;
inline constexpr std::uint32_t kDifatSector = 0xFFFFFFFC;  // a sector of the extension table
inline constexpr std::uint32_t kFatSector = 0xFFFFFFFD;    // a sector of the FAT itself
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr std::uint32_t kFreeSector = 0xFFFFFFFF;
inline constexpr std::uint32_t kNoStream = 0xFFFFFFFF;  // directory link: none

// The tolerant reader takes sector numbers as signed 32-bit values, as the damaged files it
// reads are best understood: every special number is negative and no chain may follow one.
inline constexpr std::int32_t AsSigned(std::uint32_t sector) {
  return static_cast<std::int32_t>(sector);
}

// Directory entry fields (offset within a 128-byte entry).
inline constexpr std::size_t kDirEntrySize = 128;
inline constexpr std::size_t kEntOffName = 0;  // 32 UTF-16 units, zero-terminated
inline constexpr std::size_t kEntNameUnits = 32;
inline constexpr std::size_t kEntOffNameLength = 64;  // 2 bytes, bytes with terminator
inline constexpr std::size_t kEntOffType = 66;        // 1 byte
inline constexpr std::size_t kEntOffColour = 67;      // 1 byte: 0 red, 1 black
inline constexpr std::size_t kEntOffLeft = 68;        // 4 bytes
inline constexpr std::size_t kEntOffRight = 72;       // 4 bytes
inline constexpr std::size_t kEntOffChild = 76;       // 4 bytes
inline constexpr std::size_t kEntOffClsid = 80;       // 16 bytes
inline constexpr std::size_t kEntOffState = 96;       // 4 bytes
inline constexpr std::size_t kEntOffCreated = 100;    // 8 bytes
inline constexpr std::size_t kEntOffModified = 108;   // 8 bytes
inline constexpr std::size_t kEntOffStart = 116;      // 4 bytes
inline constexpr std::size_t kEntOffSize = 120;       // 8 bytes (high half unused in v3)

inline constexpr std::uint8_t kTypeEmpty = 0;
inline constexpr std::uint8_t kTypeStorage = 1;
inline constexpr std::uint8_t kTypeStream = 2;
inline constexpr std::uint8_t kTypeRoot = 5;
inline constexpr std::uint8_t kColourBlack = 1;

}  // namespace tabulix::layout
