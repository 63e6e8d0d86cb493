// The tolerant extraction. The few header fields everything else depends on are checked
// against the file and repaired where they contradict it (block size, small-block table,
// extension table), and when the directory's root entry is damaged the "Workbook" entry is
// looked for in the first directory block directly.

#include "compound/tolerant_extraction.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "base/little_endian.hpp"
#include "base/log.hpp"
#include "compound/compound_file.hpp"
#include "format/compound_layout.hpp"

namespace tabulix {

namespace {

constexpr auto kHeaderSize = static_cast<std::uint32_t>(layout::kHeaderSize);
constexpr std::size_t kLastListedBat = 108;

struct RawHeader {
  std::uint64_t signature = 0;
  std::uint16_t majorVersion = 0;
  std::int16_t sectorShift = 0;
  std::int32_t miniSectorShift = 0;
  std::int32_t directoryStart = 0;
};

// The block size the file can have: 2^shift for a shift of 7 to 13, else 512; and 512
// after all when the header's size does not divide the file but 512 does. The header has
// a block of its own, a whole one when blocks are larger than it (4096 bytes in a file of
// 4096-byte sectors), so the blocks are counted from the end of that block. As a shift of 9
// is always taken at its word, so is a shift of 12 in a header of version 4: the two fields
// agree, and such a file cut short, or written without its last sector's padding, need not
// fill whole blocks.
std::uint32_t RepairedBlockSize(std::int16_t shift, std::uint16_t majorVersion,
                                std::uint64_t fileSize) {
  if (majorVersion == 4 && shift == layout::kSectorShiftV4) {
    return std::uint32_t{1} << layout::kSectorShiftV4;
  }
  std::uint32_t size = 512;
  if (shift >= 7 && shift <= 13) size = std::uint32_t{1} << shift;
  const std::uint64_t headerBlock = std::max<std::uint64_t>(size, kHeaderSize);
  const bool sizeFits = fileSize >= headerBlock && (fileSize - headerBlock) % size == 0;
  const bool smallFits = fileSize >= kHeaderSize && (fileSize - kHeaderSize) % 512 == 0;
  if (shift != 9 && (!sizeFits || shift == 0) && smallFits) size = 512;
  return size;
}

// The block that holds sector `sector` (sector n follows the header's block), or none when
// the number is a special one or lies beyond the file. Widened before the header's block is
// added: the largest sector number a field holds, plus one, does not fit the field.
std::optional<std::uint32_t> BlockOfSector(std::int32_t sector, std::uint32_t blockCount) {
  if (sector < 0) return std::nullopt;
  const std::uint64_t block = static_cast<std::uint64_t>(sector) + 1;
  if (block >= blockCount) return std::nullopt;
  return static_cast<std::uint32_t>(block);
}

// Reads the sector into the block buffer. One that names no block of the file is read as
// the block after the last: the buffer stays zero and the block file logs the miss.
void ReadSector(CompoundFile& file, std::int32_t sector, std::uint32_t blockCount) {
  file.ReadBlockToBuffer(BlockOfSector(sector, blockCount).value_or(blockCount));
}

std::int32_t FirstEntry(std::span<const std::uint8_t> block) {
  std::int32_t value = 0;
  LittleEndian::Read(block, value, 0);
  return value;
}

bool IsRootEntryName(std::span<const std::uint8_t> block) {
  constexpr std::u16string_view kRoot = u"Root Entry";
  std::u16string name;
  for (std::size_t i = 0; i < layout::kEntNameUnits; ++i) {
    std::uint16_t unit = 0;
    if (!LittleEndian::Read(block, unit, layout::kEntOffName + 2 * i) || unit == 0) break;
    name.push_back(static_cast<char16_t>(unit));
  }
  return name == kRoot;
}

// Notes where the entry's stream would begin if its pieces lay in file order. A small
// stream's pieces lie in the small-block container, whose own first sector the root entry
// names; without it the start is left unknown.
void NoteEntry(TolerantExtraction& result, const Property& entry, std::uint32_t blockSize,
               const Property* root) {
  result.entryFound_ = true;
  result.entrySize_ = entry.streamSize_;
  if (entry.firstBlock_ < 0) return;
  const auto first = static_cast<std::uint64_t>(entry.firstBlock_);
  const std::uint64_t headerBlock = std::max<std::uint64_t>(blockSize, kHeaderSize);
  if (entry.streamSize_ >= CompoundFile::kSmallStreamCutoff) {
    result.entryUnit_ = blockSize;
    result.entryStart_ = headerBlock + first * blockSize;
  } else {
    result.entryUnit_ = layout::kMiniSectorSize;
    if (root != nullptr && root->firstBlock_ >= 0)
      result.entryStart_ = headerBlock + static_cast<std::uint64_t>(root->firstBlock_) * blockSize +
                           first * layout::kMiniSectorSize;
  }
}

// Notes the file offsets of the sectors the entry's chain names, as far as it goes: where
// the stream's bytes were moved (a few inserted into the file, or lost from it), the
// sectors still come in this order, and the records find where each one now begins.
void NoteChain(TolerantExtraction& result, CompoundFile& file, const Property& entry,
               std::uint32_t blockSize, std::uint64_t fileSize) {
  if (entry.firstBlock_ < 0 || entry.streamSize_ < CompoundFile::kSmallStreamCutoff) return;
  std::vector<std::int32_t> chain;
  file.GetBlockChain(entry.firstBlock_, BlockTable::Bat, chain);
  // A chain that gives out early is as likely a damaged table's (one zeroed reads as a
  // chain back to sector 0), and would lead the records astray.
  if (2 * std::uint64_t{blockSize} * chain.size() < entry.streamSize_) return;
  const std::uint64_t headerBlock = std::max<std::uint64_t>(blockSize, kHeaderSize);
  for (const std::int32_t sector : chain) {
    const std::uint64_t offset = headerBlock + static_cast<std::uint64_t>(sector) * blockSize;
    if (offset >= fileSize) break;
    result.entryOrder_.push_back(offset);
  }
}

std::string ShortChainText(std::size_t delivered) {
  return "Workbook stream chain ends after " + std::to_string(delivered) +
         " bytes; the file is read as raw bytes instead";
}

}  // namespace

TolerantExtraction ExtractWorkbookStream(std::span<const std::uint8_t> bytes) {
  TolerantExtraction result;
  try {
    CompoundFile file;
    file.Open(bytes);
    const std::uint64_t fileSize = bytes.size();

    // The raw fields, before any decoding: the repairs look at what the file says.
    file.SetBigBlockSize(kHeaderSize);
    file.ReadBlockToBuffer(0, 0xFF);
    RawHeader raw;
    {
      const auto block = file.blockBuffer();
      LittleEndian::Read(block, raw.signature, layout::kOffSignature);
      LittleEndian::Read(block, raw.majorVersion, layout::kOffMajorVersion);
      LittleEndian::Read(block, raw.sectorShift, layout::kOffSectorShift);
      LittleEndian::Read(block, raw.miniSectorShift, layout::kOffMiniSectorShift);
      LittleEndian::Read(block, raw.directoryStart, layout::kOffDirStart);
    }
    // Only a small-block size that cannot work is worth a line: the size itself is fixed
    // at 64 bytes whatever the header says.
    if (SmallBlockShiftIsIncorrect(raw.sectorShift, raw.miniSectorShift)) {
      WriteLog(0, 0, "templog2SmallBlockSize is incorrect", true);
      result.repairs_.push_back("small-block size field unusable; 64-byte small blocks assumed");
    }

    const std::uint32_t blockSize = RepairedBlockSize(raw.sectorShift, raw.majorVersion, fileSize);
    CompoundHeader& header = file.header();
    if (raw.signature == CompoundHeader::kSignature) {
      file.LoadHeader();
    } else {
      WriteLog(10016, 0, "ERROR: File not a Compound file Or header Corrupt", true);
      result.repairs_.push_back("no compound-document signature; the header's defaults assumed");
    }
    if (raw.signature != CompoundHeader::kSignature || header.bigBlockSize_ != blockSize) {
      result.repairs_.push_back("block size taken as " + std::to_string(blockSize) +
                                " bytes (sector shift field " + std::to_string(raw.sectorShift) +
                                ")");
    }
    file.SetBigBlockSize(blockSize);
    const std::uint32_t blockCount = file.blockFile().blockCount();

    // The small-block table: a start that names no sector of the file, or a first block that
    // does not begin like one, loses its place; a table the header counts as empty but
    // names is taken as one block long.
    const auto sbatBlock = BlockOfSector(header.sbatStart_, blockCount);
    if (header.sbatStart_ != kEndOfChain && !sbatBlock) {
      if (header.sbatBlockCount_ != 0) {
        result.repairs_.push_back("small-block table at sector " +
                                  std::to_string(header.sbatStart_) +
                                  " names no sector of the file; set aside");
        header.sbatStart_ = kEndOfChain;
      }
    } else if (sbatBlock) {
      file.ReadBlockToBuffer(*sbatBlock);
      const std::int32_t first = FirstEntry(file.blockBuffer());
      if (header.sbatBlockCount_ != 0 && first != 1) {
        result.repairs_.push_back("small-block table at sector " +
                                  std::to_string(header.sbatStart_) +
                                  " does not begin like one; set aside");
        header.sbatStart_ = kEndOfChain;
      }
      if (header.sbatBlockCount_ == 0 && first == 1) {
        result.repairs_.push_back("small-block table counted as empty; taken as one sector");
        header.sbatBlockCount_ = 1;
      }
    }

    // The header's own list of allocation-table blocks, only checked.
    {
      std::size_t listed = 0;
      while (listed < header.batList_.size() && header.batList_[listed] != kFreeBlock) ++listed;
      const auto used = static_cast<std::size_t>(
          std::count_if(header.batList_.begin(), header.batList_.end(),
                        [](std::int32_t entry) { return entry != kFreeBlock; }));
      if (listed == used && used == header.batBlockCount_)
        WriteLog(0, 0, "MSAT table of header is verified", false);
    }

    // The extension table: its chain is walked to count its blocks; a start that names no
    // sector of the file, a chain that leaves the file, or one that comes back to a block it
    // visited, is no chain.
    const auto xbatBlock = BlockOfSector(header.xbatStart_, blockCount);
    if (header.xbatStart_ != kEndOfChain && !xbatBlock) {
      if (header.xbatBlockCount_ != 0) {
        result.repairs_.push_back("extension table at sector " + std::to_string(header.xbatStart_) +
                                  " names no sector of the file; set aside");
        header.xbatStart_ = kEndOfChain;
        header.xbatBlockCount_ = 0;
      }
    } else if (xbatBlock) {
      file.ReadBlockToBuffer(*xbatBlock);
      const std::int32_t first = FirstEntry(file.blockBuffer());
      if (header.xbatBlockCount_ != 0) {
        // Compared in 64 bits: the slot may hold the largest sector number.
        const std::int64_t lastListed = header.batList_[kLastListedBat];
        if (first == lastListed + 1 || first == kEndOfChain || first == kBatBlock) {
          std::uint32_t count = 0;
          std::int32_t current = header.xbatStart_;
          bool bad = false;
          std::set<std::int32_t> visited;
          // The link is the block's last entry: at 508 in a 512-byte block, at 4092 in a
          // 4096-byte one, where 508 is only one of the FAT sectors it lists.
          const std::size_t linkOffset = 4 * (file.TableEntriesPerBlock() - 1);
          for (;;) {
            if (!visited.insert(current).second) {
              bad = true;
              break;
            }
            ReadSector(file, current, blockCount);
            std::int32_t next = 0;
            LittleEndian::Read(file.blockBuffer(), next, linkOffset);
            ++count;
            if (next == kEndOfChain || next == kFreeBlock) break;
            if (next < 1 || static_cast<std::uint32_t>(next) > blockCount) {
              bad = true;
              break;
            }
            current = next;
          }
          if (bad) {
            result.repairs_.push_back("extension table chain broken; set aside");
            header.xbatStart_ = kEndOfChain;
          } else if (count != header.xbatBlockCount_) {
            result.repairs_.push_back("extension table counted as " +
                                      std::to_string(header.xbatBlockCount_) +
                                      " sectors; its chain has " + std::to_string(count));
            header.xbatBlockCount_ = count;
          }
        } else {
          result.repairs_.push_back("extension table at sector " +
                                    std::to_string(header.xbatStart_) +
                                    " does not begin like one; set aside");
          header.xbatStart_ = kEndOfChain;
          header.xbatBlockCount_ = 0;
        }
      } else if (header.batBlockCount_ > 0 && header.batBlockCount_ <= header.batList_.size() &&
                 first == std::int64_t{header.batList_[header.batBlockCount_ - 1]} + 1) {
        result.repairs_.push_back("extension table counted as empty; taken as one sector");
        header.xbatBlockCount_ = 1;
      }
    }

    file.LoadTables();

    ReadSector(file, raw.directoryStart, blockCount);
    if (IsRootEntryName(file.blockBuffer())) {
      file.LoadProperties();
      for (const std::u16string_view name :
           {std::u16string_view(u"Workbook"), std::u16string_view(u"Book")}) {
        std::size_t delivered = 0;
        const int status = file.ReadStream(name, result.stream_, &delivered);
        if (status == CompoundFile::kNoSuchPath) continue;
        const PropertyNode* node = file.FindProperty(name);
        if (node != nullptr) {
          const PropertyNode* root = file.root();
          NoteEntry(result, file.PropertyOf(*node), blockSize,
                    root != nullptr ? &file.PropertyOf(*root) : nullptr);
        }
        if (status == CompoundFile::kOk) {
          result.found_ = true;
          result.streamName_.assign(name.begin(), name.end());
        } else {
          if (node != nullptr) NoteChain(result, file, file.PropertyOf(*node), blockSize, fileSize);
          // The chain gave out before the stream's end: what it delivered is the file's
          // bytes in the wrong order at best, and the raw route reads them in order.
          result.failure_ = ShortChainText(delivered);
          WriteLog(0, 0, result.failure_, true);
          result.stream_.clear();
        }
        break;
      }
      if (!result.found_ && result.failure_.empty())
        result.failure_ = "no \"Workbook\" or \"Book\" stream in the directory";
    } else {
      // The root entry is damaged: the workbook's own entry may still stand in the block.
      result.repairs_.push_back(
          "directory root entry damaged; the first directory sector "
          "searched for the \"Workbook\" entry");
      // Every entry the block holds: 4 in a 512-byte block, 32 in a 4096-byte one.
      const auto block = file.blockBuffer();
      for (std::size_t i = 0; i < block.size() / Property::kSize; ++i) {
        Property entry;
        if (!entry.Decode(block, i * Property::kSize) || entry.name_ != u"Workbook") continue;
        NoteEntry(result, entry, blockSize, nullptr);
        const std::uint64_t chainBytes = file.ChainBytes(entry.firstBlock_, BlockTable::Bat);
        if (entry.firstBlock_ >= 0 &&
            static_cast<std::uint64_t>(entry.firstBlock_) + 1 < blockCount && chainBytes > 0 &&
            chainBytes <= fileSize) {
          auto& stream = result.stream_;
          stream.assign(static_cast<std::size_t>(chainBytes), 0);
          const std::size_t delivered =
              file.ReadChainData(entry.firstBlock_, BlockTable::Bat, stream);
          // The chain covers whole blocks; the entry's size, when it fits, says where the
          // stream really ends. A chain that falls short of it was cut off (a truncated
          // file most often): as above, the raw route reads those bytes in order.
          if (entry.streamSize_ > 0 && entry.streamSize_ <= delivered) {
            stream.resize(entry.streamSize_);
          } else if (entry.streamSize_ > delivered) {
            NoteChain(result, file, entry, blockSize, fileSize);
            result.failure_ = ShortChainText(delivered);
            WriteLog(0, 0, result.failure_, true);
            stream.clear();
          } else {
            stream.resize(delivered);
          }
          result.found_ = !stream.empty();
          if (result.found_) result.streamName_ = "Workbook";
        }
        break;
      }
      if (!result.found_ && result.failure_.empty())
        result.failure_ = "no readable \"Workbook\" entry in the first directory sector";
    }
  } catch (...) {
    WriteLog(10005, 0, "Could Not Read Or Update Brevix WorkSheet", true);
    result.found_ = false;
    result.stream_.clear();
    result.streamName_.clear();
    result.failure_ = "the compound-document reader failed";
  }
  return result;
}

}  // namespace tabulix
