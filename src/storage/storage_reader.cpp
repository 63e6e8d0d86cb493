#include "storage/storage_reader.hpp"

#include <algorithm>
#include <utility>

#include "base/little_endian.hpp"
#include "base/safe_file.hpp"
#include "format/compound_layout.hpp"
#include "format/name_folding.hpp"

namespace tabulix::storage {

namespace fs = std::filesystem;
namespace le = tabulix::LittleEndian;
using namespace layout;

namespace {

void SetReason(std::string* reason, std::string text) {
  if (reason != nullptr) *reason = std::move(text);
}

std::string Hex(std::uint32_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(value >> shift) & 0xFu];
  return text;
}

std::uint64_t DivideRoundingUp(std::uint64_t value, std::uint64_t divisor) {
  return value / divisor + (value % divisor != 0 ? 1 : 0);
}

}  // namespace

std::optional<StorageReader> StorageReader::Open(const fs::path& path, std::string* reason) {
  std::vector<std::uint8_t> bytes;
  switch (ReadWholeFile(path, bytes, kMaxFileBytes)) {
    case ReadFileStatus::Ok:
      return FromBytes(std::move(bytes), reason);
    case ReadFileStatus::Missing:
      SetReason(reason, "no such file");
      break;
    case ReadFileStatus::NotRegularFile:
      // A directory, FIFO or device: the platform opens only files.
      SetReason(reason, "not a regular file");
      break;
    case ReadFileStatus::CannotOpen:
      SetReason(reason, "cannot be opened for reading");
      break;
    case ReadFileStatus::TooLarge:
      SetReason(reason, "file too large");
      break;
    case ReadFileStatus::ReadError:
      SetReason(reason, "read failed");
      break;
  }
  return std::nullopt;
}

std::optional<StorageReader> StorageReader::FromBytes(std::vector<std::uint8_t> bytes,
                                                      std::string* reason) {
  StorageReader reader;
  reader.owned_ = std::move(bytes);
  reader.bytes_ = reader.owned_;
  std::string why;
  if (!reader.Parse(why)) {
    SetReason(reason, why);
    return std::nullopt;
  }
  return reader;
}

std::optional<StorageReader> StorageReader::View(std::span<const std::uint8_t> bytes,
                                                 std::string* reason) {
  // The same limit as a file read from disk, so that both ways in refuse the same files.
  if (bytes.size() > kMaxFileBytes) {
    SetReason(reason, "file too large");
    return std::nullopt;
  }
  StorageReader reader;
  reader.bytes_ = bytes;
  std::string why;
  if (!reader.Parse(why)) {
    SetReason(reason, why);
    return std::nullopt;
  }
  return reader;
}

bool StorageReader::Parse(std::string& why) {
  return ParseHeader(why) && LoadFat(why) && LoadDirectory(why) && LoadMiniFat(why);
}

bool StorageReader::ParseHeader(std::string& why) {
  const le::Bytes file(bytes_);
  if (file.size() < kHeaderSize) {
    why =
        "file shorter than a compound-document header (" + std::to_string(file.size()) + " bytes)";
    return false;
  }
  if (!std::equal(kSignature.begin(), kSignature.end(), file.begin() + kOffSignature)) {
    why = "no compound-document signature";
    return false;
  }
  if (le::U16(file, kOffByteOrder) != kByteOrderMark) {
    why = "bad byte-order mark";
    return false;
  }
  majorVersion_ = le::U16(file, kOffMajorVersion);
  const std::uint16_t shift = le::U16(file, kOffSectorShift);
  if (majorVersion_ == 3 && shift == kSectorShiftV3) {
    sectorSize_ = std::size_t{1} << kSectorShiftV3;
  } else if (majorVersion_ == 4 && shift == kSectorShiftV4) {
    sectorSize_ = std::size_t{1} << kSectorShiftV4;
  } else {
    why = "unsupported version " + std::to_string(majorVersion_) + " with sector shift " +
          std::to_string(shift);
    return false;
  }
  if (le::U16(file, kOffMiniSectorShift) != kMiniSectorShift ||
      le::U32(file, kOffMiniCutoff) != kMiniStreamCutoff) {
    why = "unsupported mini-sector size or mini-stream cutoff";
    return false;
  }
  // Sector n starts at (n + 1) * sector size; a short last sector still counts, since
  // writers often leave out the padding after the last used byte.
  const std::uint64_t afterHeader = file.size() > sectorSize_ ? file.size() - sectorSize_ : 0;
  sectorCount_ = static_cast<std::uint32_t>(DivideRoundingUp(afterHeader, sectorSize_));
  return true;
}

std::span<const std::uint8_t> StorageReader::Sector(std::uint32_t id) const {
  const std::uint64_t offset = (std::uint64_t{id} + 1) * sectorSize_;
  if (offset >= bytes_.size()) return {};
  const std::size_t start = static_cast<std::size_t>(offset);
  return bytes_.subspan(start, std::min(sectorSize_, bytes_.size() - start));
}

bool StorageReader::LoadFat(std::string& why) {
  const le::Bytes file(bytes_);
  const std::uint32_t fatCount = le::U32(file, kOffFatSectorCount);
  if (fatCount > sectorCount_) {
    why = "header claims " + std::to_string(fatCount) + " FAT sectors in a file of " +
          std::to_string(sectorCount_) + " sectors";
    return false;
  }
  std::vector<std::uint32_t> fatSectors;
  fatSectors.reserve(fatCount);
  for (std::size_t i = 0; i < kHeaderDifatSlots && fatSectors.size() < fatCount; ++i) {
    fatSectors.push_back(le::U32(file, kOffHeaderDifat + 4 * i));
  }
  // The extension table: each sector lists (sector size / 4 - 1) FAT sectors and ends with
  // the number of the next one. Its end marker is not checked: some writers leave a free
  // marker there instead of end-of-chain, and the platform reads such files.
  const std::size_t perDifat = sectorSize_ / 4 - 1;
  std::vector<bool> seen(sectorCount_, false);
  std::uint32_t next = le::U32(file, kOffDifatStart);
  while (fatSectors.size() < fatCount) {
    if (next >= sectorCount_) {
      why = "extension table ends after " + std::to_string(fatSectors.size()) + " of " +
            std::to_string(fatCount) + " FAT sectors (next " + Hex(next) + ")";
      return false;
    }
    if (seen[next]) {
      why = "extension table loops at sector " + std::to_string(next);
      return false;
    }
    seen[next] = true;
    const auto sector = Sector(next);
    for (std::size_t i = 0; i < perDifat && fatSectors.size() < fatCount; ++i) {
      fatSectors.push_back(le::U32(sector, 4 * i));
    }
    next = le::U32(sector, 4 * perDifat);
  }

  const std::size_t perFat = sectorSize_ / 4;
  fat_.assign(std::size_t{fatCount} * perFat, kFreeSector);
  for (std::size_t k = 0; k < fatSectors.size(); ++k) {
    if (fatSectors[k] >= sectorCount_) {
      why = "FAT sector " + std::to_string(k) + " is " + Hex(fatSectors[k]) +
            ", beyond the end of the file";
      return false;
    }
    // Entries cut off by a short last sector stay free.
    const auto sector = Sector(fatSectors[k]);
    for (std::size_t i = 0; i < perFat && 4 * i + 4 <= sector.size(); ++i) {
      fat_[k * perFat + i] = le::U32(sector, 4 * i);
    }
  }
  return true;
}

namespace {

// Claims the sectors of a chain just followed; the chain met none claimed before.
void Claim(const std::vector<std::uint32_t>& chain, std::vector<bool>* claimed) {
  if (claimed == nullptr) return;
  for (std::uint32_t id : chain) (*claimed)[id] = true;
}

}  // namespace

bool StorageReader::FatChain(std::uint32_t start, std::vector<std::uint32_t>& chain,
                             std::string& why, std::vector<bool>* claimed) const {
  chain.clear();
  // A sector must lie in the file and have a FAT entry; a chain without a loop visits each
  // sector at most once, so more steps than sectors means it loops.
  const std::size_t limit = std::min<std::size_t>(sectorCount_, fat_.size());
  if (claimed != nullptr) claimed->resize(limit, false);
  for (std::uint32_t id = start; id != kEndOfChain; id = fat_[id]) {
    if (id >= limit) {
      why = id > kMaxRegularSector ? "chain holds the special sector number " + Hex(id)
                                   : "chain leaves the file at sector " + std::to_string(id);
      return false;
    }
    if (chain.size() >= limit) {
      why = "chain loops";
      return false;
    }
    if (claimed != nullptr && (*claimed)[id]) {
      why = "chain runs into sector " + std::to_string(id) + ", which another stream holds";
      return false;
    }
    chain.push_back(id);
  }
  Claim(chain, claimed);
  return true;
}

bool StorageReader::MiniFatChain(std::uint32_t start, std::vector<std::uint32_t>& chain,
                                 std::string& why, std::vector<bool>* claimed) const {
  chain.clear();
  const std::size_t capacity = miniStreamChain_.size() * (sectorSize_ / kMiniSectorSize);
  const std::size_t limit = std::min(miniFat_.size(), capacity);
  if (claimed != nullptr) claimed->resize(limit, false);
  for (std::uint32_t id = start; id != kEndOfChain; id = miniFat_[id]) {
    if (id >= limit) {
      why = id > kMaxRegularSector
                ? "mini chain holds the special number " + Hex(id)
                : "mini chain leaves the mini stream at mini sector " + std::to_string(id);
      return false;
    }
    if (chain.size() >= limit) {
      why = "mini chain loops";
      return false;
    }
    if (claimed != nullptr && (*claimed)[id]) {
      why =
          "mini chain runs into mini sector " + std::to_string(id) + ", which another stream holds";
      return false;
    }
    chain.push_back(id);
  }
  Claim(chain, claimed);
  return true;
}

bool StorageReader::LoadDirectory(std::string& why) {
  const le::Bytes file(bytes_);
  std::vector<std::uint32_t> chain;
  if (!FatChain(le::U32(file, kOffDirStart), chain, why)) {
    why = "directory " + why;
    return false;
  }
  const std::size_t perSector = sectorSize_ / kDirEntrySize;
  entries_.reserve(chain.size() * perSector);
  for (std::uint32_t id : chain) {
    const auto sector = Sector(id);
    for (std::size_t e = 0; e < perSector; ++e) {
      Entry entry;
      entry.left = entry.right = entry.child = kNoStream;
      const std::size_t base = e * kDirEntrySize;
      if (base + kDirEntrySize <= sector.size()) {  // entries cut off by the file's end stay empty
        const auto raw = sector.subspan(base, kDirEntrySize);
        const std::size_t units =
            std::min<std::size_t>(le::U16(raw, kEntOffNameLength) / 2, kEntNameUnits);
        for (std::size_t i = 0; i < units; ++i) {
          const auto c = static_cast<char16_t>(le::U16(raw, kEntOffName + 2 * i));
          if (c == 0) break;
          entry.name.push_back(c);
        }
        entry.type = le::U8(raw, kEntOffType);
        entry.left = le::U32(raw, kEntOffLeft);
        entry.right = le::U32(raw, kEntOffRight);
        entry.child = le::U32(raw, kEntOffChild);
        entry.start = le::U32(raw, kEntOffStart);
        std::copy_n(raw.begin() + kEntOffClsid, entry.clsid.size(), entry.clsid.begin());
        entry.stateBits = le::U32(raw, kEntOffState);
        std::copy_n(raw.begin() + kEntOffCreated, entry.times.size(), entry.times.begin());
        // Version 3 keeps the size in 32 bits; the high half may hold anything and is
        // ignored, as the platform does.
        entry.size = majorVersion_ == 3 ? le::U32(raw, kEntOffSize) : le::U64(raw, kEntOffSize);
      }
      entries_.push_back(std::move(entry));
    }
  }
  if (entries_.empty() || entries_[0].type != kTypeRoot) {
    why = "the first directory entry is not the root";
    return false;
  }

  // Walk the tree with an explicit stack; every entry may be reached once only, so links
  // that loop (or two parents sharing a child) end the walk with a refusal.
  std::vector<bool> seen(entries_.size(), false);
  seen[0] = true;
  struct Pending {
    std::uint32_t id;
    bool underRoot;
  };
  std::vector<Pending> stack{{entries_[0].child, true}};
  while (!stack.empty()) {
    const Pending item = stack.back();
    stack.pop_back();
    if (item.id == kNoStream) continue;
    if (item.id >= entries_.size()) {
      why = "directory link " + Hex(item.id) + " beyond the directory";
      return false;
    }
    if (seen[item.id]) {
      why = "directory links loop at entry " + std::to_string(item.id);
      return false;
    }
    seen[item.id] = true;
    const Entry& entry = entries_[item.id];
    if (entry.type != kTypeStream && entry.type != kTypeStorage) {
      why = "directory link to entry " + std::to_string(item.id) + " of type " +
            std::to_string(entry.type);
      return false;
    }
    stack.push_back({entry.left, item.underRoot});
    stack.push_back({entry.right, item.underRoot});
    if (entry.type == kTypeStorage) stack.push_back({entry.child, false});
    if (entry.type == kTypeStream && item.underRoot) rootStreams_.push_back(item.id);
  }
  std::sort(rootStreams_.begin(), rootStreams_.end());
  return true;
}

bool StorageReader::LoadMiniFat(std::string& why) {
  const le::Bytes file(bytes_);
  const std::uint32_t start = le::U32(file, kOffMiniFatStart);
  if (start != kEndOfChain && start != kFreeSector) {
    std::vector<std::uint32_t> chain;
    if (!FatChain(start, chain, why)) {
      why = "mini FAT " + why;
      return false;
    }
    const std::size_t perSector = sectorSize_ / 4;
    miniFat_.assign(chain.size() * perSector, kFreeSector);
    for (std::size_t k = 0; k < chain.size(); ++k) {
      const auto sector = Sector(chain[k]);
      for (std::size_t i = 0; i < perSector && 4 * i + 4 <= sector.size(); ++i) {
        miniFat_[k * perSector + i] = le::U32(sector, 4 * i);
      }
    }
  }
  // The mini stream is the root entry's own stream. A broken one only matters to the small
  // streams, so it is noted here and reported when one of them is read.
  const Entry& root = entries_[0];
  miniStreamUsable_ = root.size == 0 || FatChain(root.start, miniStreamChain_, miniStreamProblem_);
  if (!miniStreamUsable_) miniStreamProblem_ = "mini stream " + miniStreamProblem_;
  return true;
}

const StorageReader::Entry* StorageReader::FindRootStream(std::u16string_view name) const {
  for (std::uint32_t id : rootStreams_) {
    if (SameNameIgnoringCase(entries_[id].name, name)) return &entries_[id];
  }
  return nullptr;
}

bool StorageReader::HasStream(std::u16string_view name) const {
  return FindRootStream(name) != nullptr;
}

std::vector<std::u16string> StorageReader::StreamNames() const {
  std::vector<std::u16string> names;
  names.reserve(rootStreams_.size());
  for (std::uint32_t id : rootStreams_) names.push_back(entries_[id].name);
  return names;
}

ReadStatus StorageReader::Layout(std::u16string_view name, StreamLayout& layout,
                                 std::string* reason) const {
  layout = StreamLayout{};
  const Entry* entry = FindRootStream(name);
  if (entry == nullptr) {
    SetReason(reason, "no such stream");
    return ReadStatus::NoSuchStream;
  }
  std::string why;
  const ReadStatus status = EntryLayout(*entry, layout, why, nullptr);
  if (status != ReadStatus::Ok) SetReason(reason, why);
  return status;
}

ReadStatus StorageReader::EntryLayout(const Entry& entry, StreamLayout& layout, std::string& why,
                                      Claims* claims) const {
  layout = StreamLayout{};
  const std::uint64_t size = entry.size;
  // No stream can be larger than the file that holds it; this also keeps a damaged size
  // from sizing the allocations below.
  if (size > bytes_.size()) {
    why = "stream size " + std::to_string(size) + " exceeds the file size " +
          std::to_string(bytes_.size());
    return ReadStatus::Incomplete;
  }
  if (size == 0) return ReadStatus::Ok;

  std::vector<std::uint32_t> chain;
  const bool small = size < kMiniStreamCutoff;
  if (small && !miniStreamUsable_) {
    why = miniStreamProblem_;
    return ReadStatus::ReadFailed;
  }
  if (!(small
            ? MiniFatChain(entry.start, chain, why,
                           claims != nullptr ? &claims->miniSectors : nullptr)
            : FatChain(entry.start, chain, why, claims != nullptr ? &claims->sectors : nullptr))) {
    return ReadStatus::ReadFailed;
  }
  const std::size_t unit = small ? kMiniSectorSize : sectorSize_;
  if (chain.size() < DivideRoundingUp(size, unit)) {
    why = "chain of " + std::to_string(chain.size()) + " sectors holds less than " +
          std::to_string(size) + " bytes";
    return ReadStatus::Incomplete;
  }

  std::vector<StreamPiece> pieces;
  pieces.reserve(static_cast<std::size_t>(DivideRoundingUp(size, unit)));
  std::uint64_t done = 0;
  const std::size_t miniPerSector = sectorSize_ / kMiniSectorSize;
  for (std::size_t k = 0; done < size; ++k) {
    // Where the k-th unit of the chain lies in the file.
    const std::uint64_t want = std::min<std::uint64_t>(unit, size - done);
    std::uint64_t offset = 0;
    std::size_t available = 0;
    if (small) {
      const std::uint32_t mini = chain[k];
      const auto sector = Sector(miniStreamChain_[mini / miniPerSector]);
      const std::size_t within = (mini % miniPerSector) * kMiniSectorSize;
      if (within < sector.size()) {
        offset = static_cast<std::uint64_t>(sector.data() + within - bytes_.data());
        available = sector.size() - within;
      }
    } else {
      offset = (std::uint64_t{chain[k]} + 1) * sectorSize_;  // < the file's size
      available = bytes_.size() - static_cast<std::size_t>(offset);
    }
    if (available < want) {
      why = "stream data runs past the end of the file";
      return ReadStatus::Incomplete;
    }
    pieces.push_back(StreamPiece{offset, static_cast<std::uint32_t>(want)});
    done += want;
  }
  layout.size = size;
  layout.unit = unit;
  layout.pieces = std::move(pieces);
  return ReadStatus::Ok;
}

void StorageReader::CopyLayout(const StreamLayout& layout, std::vector<std::uint8_t>& out) const {
  // Appended run by run rather than zeroed first: a stream may be tens of megabytes.
  out.clear();
  out.reserve(static_cast<std::size_t>(layout.size));
  for (std::size_t k = 0; k < layout.pieces.size();) {
    // Pieces that follow each other in the file are copied in one run.
    const std::uint64_t offset = layout.pieces[k].fileOffset;
    std::size_t length = layout.pieces[k].length;
    for (++k; k < layout.pieces.size() && layout.pieces[k].fileOffset == offset + length; ++k) {
      length += layout.pieces[k].length;
    }
    const std::uint8_t* first = bytes_.data() + offset;
    out.insert(out.end(), first, first + length);
  }
}

ReadStatus StorageReader::ReadStream(std::u16string_view name, std::vector<std::uint8_t>& out,
                                     std::string* reason) const {
  out.clear();
  StreamLayout layout;
  const ReadStatus status = Layout(name, layout, reason);
  if (status != ReadStatus::Ok) return status;
  CopyLayout(layout, out);
  return ReadStatus::Ok;
}

std::optional<StorageTree> StorageReader::ReadTree(std::string* reason,
                                                   std::vector<std::string>* skipped,
                                                   const NameFilter& leaveOut) const {
  const Entry& root = entries_[0];
  StorageTree tree;
  tree.clsid = root.clsid;
  tree.stateBits = root.stateBits;
  tree.times = root.times;
  std::vector<bool> reached(entries_.size(), false);
  reached[0] = true;
  Claims claims;
  std::string why;
  if (!ReadSiblings(root.child, 1, tree.entries, reached, claims, why, skipped, leaveOut)) {
    SetReason(reason, why);
    return std::nullopt;
  }
  return tree;
}

bool StorageReader::ReadSiblings(std::uint32_t top, int depth, std::vector<TreeEntry>& out,
                                 std::vector<bool>& reached, Claims& claims, std::string& why,
                                 std::vector<std::string>* skipped,
                                 const NameFilter& leaveOut) const {
  if (depth > kMaxStorageDepth && top != kNoStream) {
    why = "entries nested deeper than " + std::to_string(kMaxStorageDepth) + " levels";
    return false;
  }
  // In order: everything left of an entry, the entry, everything right of it. The stack
  // holds entries whose left side is being read; each entry is reached once at most, so it
  // never holds more than the directory does.
  std::vector<std::uint32_t> pending;
  auto descendLeft = [&](std::uint32_t id) {
    for (; id != kNoStream; id = entries_[id].left) {
      if (id >= entries_.size()) {
        why = "directory link " + Hex(id) + " beyond the directory";
        return false;
      }
      if (reached[id]) {
        why = "directory links loop at entry " + std::to_string(id);
        return false;
      }
      reached[id] = true;
      // An unused entry in a tree holds nothing; its links mean nothing either.
      if (entries_[id].type == kTypeEmpty) break;
      pending.push_back(id);
    }
    return true;
  };
  if (!descendLeft(top)) return false;
  while (!pending.empty()) {
    const std::uint32_t id = pending.back();
    pending.pop_back();
    const Entry& entry = entries_[id];
    auto where = [&] {
      return "entry " + std::to_string(id) + " \"" + PrintableName(entry.name) + "\"";
    };
    TreeEntry item;
    item.name = entry.name;
    item.clsid = entry.clsid;
    item.stateBits = entry.stateBits;
    item.times = entry.times;
    if (entry.type == kTypeStorage) {
      item.storage = true;
      if (!ReadSiblings(entry.child, depth + 1, item.children, reached, claims, why, skipped, {}))
        return false;
    } else if (entry.type == kTypeStream) {
      StreamLayout layout;
      std::string problem;
      if (EntryLayout(entry, layout, problem, &claims) != ReadStatus::Ok) {
        if (skipped == nullptr) {
          why = "stream " + where() + ": " + problem;
          return false;
        }
        skipped->push_back("stream " + where() + ": " + problem);
        if (!descendLeft(entry.right)) return false;
        continue;
      }
      if (depth == 1 && leaveOut && leaveOut(entry.name)) {
        if (!descendLeft(entry.right)) return false;
        continue;
      }
      CopyLayout(layout, item.data);
    } else {
      why = where() + " has type " + std::to_string(entry.type) + ", not a storage or stream";
      return false;
    }
    out.push_back(std::move(item));
    if (!descendLeft(entry.right)) return false;
  }
  return true;
}

}  // namespace tabulix::storage
