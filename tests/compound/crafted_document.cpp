#include "crafted_document.hpp"

#include <algorithm>
#include <span>

#include "base/little_endian.hpp"
#include "format/compound_layout.hpp"

namespace tabulix::test {

namespace {

using namespace layout;

std::size_t Sectors(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit; }

class Writer {
 public:
  explicit Writer(std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  void U8(std::size_t pos, std::uint8_t value) { LittleEndian::Write(Span(), value, pos); }
  void U16(std::size_t pos, std::uint16_t value) { LittleEndian::Write(Span(), value, pos); }
  void U32(std::size_t pos, std::uint32_t value) { LittleEndian::Write(Span(), value, pos); }
  void U32(std::size_t pos, std::size_t value) { U32(pos, static_cast<std::uint32_t>(value)); }

 private:
  std::span<std::uint8_t> Span() { return bytes_; }
  std::vector<std::uint8_t>& bytes_;
};

}  // namespace

std::vector<std::uint8_t> CraftDocument(const std::vector<CraftedStream>& streams,
                                        std::uint16_t sectorShift) {
  const std::size_t sectorSize = std::size_t{1} << sectorShift;
  const std::size_t perTable = sectorSize / 4;

  // Small streams first: their mini sectors, chained in the mini FAT.
  std::vector<std::uint32_t> miniFat;
  std::vector<std::uint32_t> miniStart(streams.size(), kEndOfChain);
  std::size_t bigSectors = 0;
  for (std::size_t k = 0; k < streams.size(); ++k) {
    const std::size_t size = streams[k].data.size();
    if (size == 0) continue;
    if (size >= kMiniStreamCutoff) {
      bigSectors += Sectors(size, sectorSize);
      continue;
    }
    miniStart[k] = static_cast<std::uint32_t>(miniFat.size());
    const std::size_t count = Sectors(size, kMiniSectorSize);
    for (std::size_t i = 0; i < count; ++i) {
      miniFat.push_back(i + 1 < count ? static_cast<std::uint32_t>(miniFat.size() + 1)
                                      : kEndOfChain);
    }
  }
  const std::size_t miniStreamBytes = miniFat.size() * kMiniSectorSize;
  const std::size_t directorySectors = Sectors((streams.size() + 1) * kDirEntrySize, sectorSize);
  const std::size_t miniFatSectors = Sectors(miniFat.size() * 4, sectorSize);
  const std::size_t miniStreamSectors = Sectors(miniStreamBytes, sectorSize);
  const std::size_t content = directorySectors + miniFatSectors + miniStreamSectors + bigSectors;

  // The FAT describes itself and the extension sectors too: grow both until they fit.
  std::size_t fatSectors = 0;
  std::size_t difatSectors = 0;
  for (;;) {
    const std::size_t fat = Sectors(content + fatSectors + difatSectors, perTable);
    const std::size_t difat =
        fat > kHeaderDifatSlots ? Sectors(fat - kHeaderDifatSlots, perTable - 1) : 0;
    if (fat == fatSectors && difat == difatSectors) break;
    fatSectors = fat;
    difatSectors = difat;
  }
  const std::size_t total = fatSectors + difatSectors + content;
  const std::size_t firstDifat = fatSectors;
  const std::size_t firstDirectory = firstDifat + difatSectors;
  const std::size_t firstMiniFat = firstDirectory + directorySectors;
  const std::size_t firstMiniStream = firstMiniFat + miniFatSectors;
  std::size_t nextBig = firstMiniStream + miniStreamSectors;

  std::vector<std::uint8_t> bytes((total + 1) * sectorSize, 0);
  Writer out(bytes);
  const auto at = [sectorSize](std::size_t sector) { return (sector + 1) * sectorSize; };
  std::vector<std::uint32_t> fat(fatSectors * perTable, kFreeSector);
  const auto chain = [&fat](std::size_t first, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      fat[first + i] = i + 1 < count ? static_cast<std::uint32_t>(first + i + 1) : kEndOfChain;
    }
  };
  for (std::size_t i = 0; i < fatSectors; ++i) fat[i] = kFatSector;
  for (std::size_t i = 0; i < difatSectors; ++i) fat[firstDifat + i] = kDifatSector;
  chain(firstDirectory, directorySectors);
  chain(firstMiniFat, miniFatSectors);
  chain(firstMiniStream, miniStreamSectors);

  // Directory: the root, then one entry per stream, each the right sibling of the last.
  const auto entry = [&](std::size_t k, std::u16string_view name, std::uint8_t type,
                         std::uint32_t right, std::uint32_t child, std::uint32_t start,
                         std::size_t size) {
    const std::size_t base = at(firstDirectory) + k * kDirEntrySize;
    for (std::size_t i = 0; i < name.size(); ++i) {
      out.U16(base + kEntOffName + 2 * i, static_cast<std::uint16_t>(name[i]));
    }
    out.U16(base + kEntOffNameLength, static_cast<std::uint16_t>(2 * (name.size() + 1)));
    out.U8(base + kEntOffType, type);
    out.U8(base + kEntOffColour, kColourBlack);
    out.U32(base + kEntOffLeft, kNoStream);
    out.U32(base + kEntOffRight, right);
    out.U32(base + kEntOffChild, child);
    out.U32(base + kEntOffStart, start);
    out.U32(base + kEntOffSize, size);
  };
  entry(0, u"Root Entry", kTypeRoot, kNoStream, streams.empty() ? kNoStream : 1,
        miniStreamSectors > 0 ? static_cast<std::uint32_t>(firstMiniStream) : kEndOfChain,
        miniStreamBytes);
  for (std::size_t k = 0; k < streams.size(); ++k) {
    const auto& data = streams[k].data;
    std::uint32_t start = miniStart[k];
    if (data.size() >= kMiniStreamCutoff) {
      start = static_cast<std::uint32_t>(nextBig);
      chain(nextBig, Sectors(data.size(), sectorSize));
      std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at(nextBig)));
      nextBig += Sectors(data.size(), sectorSize);
    } else if (!data.empty()) {
      std::copy(data.begin(), data.end(),
                bytes.begin() +
                    static_cast<std::ptrdiff_t>(at(firstMiniStream) + start * kMiniSectorSize));
    }
    const auto right = k + 1 < streams.size() ? static_cast<std::uint32_t>(k + 2) : kNoStream;
    entry(k + 1, streams[k].name, kTypeStream, right, kNoStream, start, data.size());
  }
  // Unused entries in the last directory sector link nowhere.
  for (std::size_t k = streams.size() + 1; k < directorySectors * sectorSize / kDirEntrySize; ++k) {
    const std::size_t base = at(firstDirectory) + k * kDirEntrySize;
    for (const std::size_t link : {kEntOffLeft, kEntOffRight, kEntOffChild}) {
      out.U32(base + link, kNoStream);
    }
  }

  for (std::size_t i = 0; i < miniFat.size(); ++i) out.U32(at(firstMiniFat) + 4 * i, miniFat[i]);
  for (std::size_t i = 0; i < fat.size(); ++i) {
    out.U32(at(i / perTable) + 4 * (i % perTable), fat[i]);
  }
  // The header's list of FAT sectors, then the extension sectors, each ending in a link.
  for (std::size_t i = 0; i < kHeaderDifatSlots; ++i) {
    out.U32(kOffHeaderDifat + 4 * i, i < fatSectors ? static_cast<std::uint32_t>(i) : kFreeSector);
  }
  for (std::size_t d = 0; d < difatSectors; ++d) {
    const std::size_t base = at(firstDifat + d);
    for (std::size_t i = 0; i + 1 < perTable; ++i) {
      const std::size_t fatSector = kHeaderDifatSlots + d * (perTable - 1) + i;
      out.U32(base + 4 * i,
              fatSector < fatSectors ? static_cast<std::uint32_t>(fatSector) : kFreeSector);
    }
    out.U32(base + sectorSize - 4,
            d + 1 < difatSectors ? static_cast<std::uint32_t>(firstDifat + d + 1) : kEndOfChain);
  }

  std::copy(kSignature.begin(), kSignature.end(), bytes.begin());
  out.U16(kOffMinorVersion, kMinorVersion);
  out.U16(kOffMajorVersion, static_cast<std::uint16_t>(sectorShift == kSectorShiftV4 ? 4 : 3));
  out.U16(kOffByteOrder, kByteOrderMark);
  out.U16(kOffSectorShift, sectorShift);
  out.U16(kOffMiniSectorShift, kMiniSectorShift);
  // Version 3 keeps the directory's sector count at 0.
  out.U32(kOffDirSectorCount, sectorShift == kSectorShiftV4 ? directorySectors : 0);
  out.U32(kOffFatSectorCount, fatSectors);
  out.U32(kOffDirStart, firstDirectory);
  out.U32(kOffMiniCutoff, kMiniStreamCutoff);
  out.U32(kOffMiniFatStart,
          miniFatSectors > 0 ? static_cast<std::uint32_t>(firstMiniFat) : kEndOfChain);
  out.U32(kOffMiniFatCount, miniFatSectors);
  out.U32(kOffDifatStart, difatSectors > 0 ? static_cast<std::uint32_t>(firstDifat) : kEndOfChain);
  out.U32(kOffDifatCount, difatSectors);
  return bytes;
}

}  // namespace tabulix::test
