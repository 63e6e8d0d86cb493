#pragma once
// Sound compound documents built in memory for the tolerant reader's tests, in either
// sector size: the project's writer makes 512-byte sectors and one stream only, and the
// corpus holds no file with 4096-byte sectors.

#include <cstdint>
#include <string>
#include <vector>

namespace tabulix::test {

struct CraftedStream {
  std::u16string name;
  std::vector<std::uint8_t> data;
};

// A sound document (version 3 for a sector shift of 9, version 4 for 12) holding the
// streams under the root entry, as entries 1, 2, ... in the order given, each the right
// sibling of the one before. Streams below 4096 bytes go into the mini stream; FAT sectors
// beyond the header's 109 slots are listed in extension sectors. Layout, in sector order:
// FAT, extension table, directory, mini FAT, mini stream, then the large streams.
std::vector<std::uint8_t> CraftDocument(const std::vector<CraftedStream>& streams,
                                        std::uint16_t sectorShift);

}  // namespace tabulix::test
