// The allocation tables of the tolerant reader (BAT, its extension list, SBAT) and the
// walk of a block chain in them.
//
// Bounds, so that damaged tables can neither hang the reader nor make it allocate more
// than the file can fill:
// - a table block is read only when its number names a block of the file; the entries of
//   a block that cannot be read stay free (-1) rather than repeating another block's;
// - the extension chain ends at the first block it has already visited, so it visits each
//   block of the file at most once;
// - BAT entries are decoded only for sectors the file holds, so the BAT never has more
//   than the file's block count's worth of entries (plus one block);
// - a chain ends at the first block it has already visited, so it is never longer than
//   the table it is walked in, and a BAT chain ends at a sector beyond the file.

#include <algorithm>
#include <exception>
#include <string>

#include "base/diagnostics.hpp"
#include "base/little_endian.hpp"
#include "base/log.hpp"
#include "compound/compound_file.hpp"

namespace tabulix {

namespace {

// Entries in a 512-byte table block: smaller blocks keep as many places.
constexpr std::size_t kEntriesPerSmallestTableBlock = 128;

void DumpEntries(std::string_view fileName, const std::vector<std::int32_t>& entries) {
  if (!DiagnosticsDirectory()) return;
  std::string text;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    text += "\n block[" + std::to_string(i) + "]  =  " + std::to_string(entries[i]);
  }
  WriteDiagnosticDump(fileName, text);
}

void Grow(std::vector<std::int32_t>& table, std::size_t size) {
  if (table.size() < size) table.resize(size, kFreeBlock);
}

}  // namespace

std::size_t CompoundFile::TableEntriesPerBlock() const {
  return std::max(kEntriesPerSmallestTableBlock, blockBuffer_.size() / 4);
}

void CompoundFile::DecodeTableBlock(std::vector<std::int32_t>& table, std::size_t first) {
  // A table block is entries from end to end: 1024 of them in a 4096-byte block. A block
  // smaller than 512 bytes leaves the places it cannot fill free.
  const std::size_t perBlock = TableEntriesPerBlock();
  const std::size_t count = std::min(perBlock, blockBuffer_.size() / 4);
  Grow(table, first + perBlock);
  for (std::size_t e = 0; e < count; ++e) {
    table[first + e] = static_cast<std::int32_t>(LittleEndian::U32(blockBuffer_, 4 * e));
  }
}

void CompoundFile::LoadListedBatBlocks() {
  const std::size_t count =
      std::min<std::size_t>(header_.batBlockCount_, CompoundHeader::kListedBatBlocks);
  const std::size_t perBlock = TableEntriesPerBlock();
  const std::uint32_t blocks = blockFile_.blockCount();
  for (std::size_t i = 0; i < count; ++i) {
    // Entries for sectors the file does not hold would only take room: with large blocks,
    // the header's 109 could ask for megabytes in a file of a few blocks.
    if (perBlock * i + 1 >= blocks) break;
    Grow(bat_, perBlock * (i + 1));
    const std::int32_t sector = header_.batList_[i];
    // A special number names no block: reading "block sector + 1" would decode the
    // header itself as allocation entries.
    if (sector < 0) continue;
    ReadBlockToBuffer(static_cast<std::uint32_t>(sector) + 1, 0xFF);
    DecodeTableBlock(bat_, perBlock * i);
  }
}

std::vector<std::int32_t> CompoundFile::LoadExtensionList() {
  std::vector<std::int32_t> list;
  const std::uint32_t blocks = blockFile_.blockCount();
  const std::size_t perBlock = TableEntriesPerBlock();
  std::vector<bool> visited(blocks, false);
  std::int32_t current = header_.xbatStart_;
  for (std::uint32_t k = 0; k < header_.xbatBlockCount_ && current != kEndOfChain; ++k) {
    // Only a block of the file can hold entries; a block seen before means the chain has
    // come back on itself.
    if (current < 0 || static_cast<std::uint32_t>(current) + 1 >= blocks) break;
    const std::uint32_t block = static_cast<std::uint32_t>(current) + 1;
    if (visited[block]) break;
    visited[block] = true;
    ReadBlockToBuffer(block, 0xFF);
    DecodeTableBlock(list, perBlock * k);
    current = list[perBlock * k + perBlock - 1];
  }
  // Drop the link that ends every group. Kept entries move down in one pass: erasing each
  // link in place moved the whole tail each time, which made a long chain quadratic.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i % perBlock != perBlock - 1) list[kept++] = list[i];
  }
  list.resize(kept);
  return list;
}

void CompoundFile::LoadExtensionBatBlocks(const std::vector<std::int32_t>& list) {
  const std::uint32_t blocks = blockFile_.blockCount();
  const std::size_t perBlock = TableEntriesPerBlock();
  const std::size_t headerListed = CompoundHeader::kListedBatBlocks * perBlock;
  for (std::size_t m = 0; m < list.size() && list[m] != kFreeBlock; ++m) {
    const std::size_t first = headerListed + perBlock * m;
    // These entries describe sectors from `first` on; when the file holds none of them,
    // neither it nor any later block of the list has anything to say.
    if (first + 1 >= blocks) break;
    Grow(bat_, first + perBlock);
    if (list[m] < 0) continue;
    ReadBlockToBuffer(static_cast<std::uint32_t>(list[m]) + 1, 0xFF);
    DecodeTableBlock(bat_, first);
  }
}

void CompoundFile::LoadSbatBlocks() {
  // The SBAT's blocks are normally consecutive after the first, and a damaged BAT cannot
  // be relied on to chain them; but when the BAT does chain them to another readable
  // block that is where they are, and reading the consecutive one instead would decode
  // some other stream's bytes as table entries.
  const std::uint32_t blocks = blockFile_.blockCount();
  std::vector<bool> visited(blocks, false);
  std::int64_t sector = header_.sbatStart_;
  for (std::uint32_t n = 0; n < header_.sbatBlockCount_; ++n) {
    if (n > 0) {
      const auto previous = static_cast<std::size_t>(sector);
      const std::int32_t next = previous < bat_.size() ? bat_[previous] : kFreeBlock;
      const bool chained = next >= 0 && static_cast<std::uint32_t>(next) + 1 < blocks &&
                           !visited[static_cast<std::uint32_t>(next) + 1];
      sector = chained ? next : sector + 1;
    }
    if (sector < 0 || sector + 1 >= static_cast<std::int64_t>(blocks)) break;
    const auto block = static_cast<std::uint32_t>(sector + 1);
    // Consecutive blocks can revisit one the BAT chained to; a table block read twice
    // would only repeat entries.
    if (visited[block]) break;
    visited[block] = true;
    ReadBlockToBuffer(block, 0xFF);
    DecodeTableBlock(sbat_, TableEntriesPerBlock() * n);
  }
}

void CompoundFile::LoadTables() {
  bat_.clear();
  sbat_.clear();
  try {
    LoadListedBatBlocks();
    DumpEntries("headerBat1.txt", bat_);
    WriteLog(10019, 0, "BAT read successfully", false);
  } catch (const std::exception&) {
    WriteLog(10020, 0, "ERROR: Could Not read BAT", true);
  }
  std::vector<std::int32_t> extension;
  try {
    extension = LoadExtensionList();
    DumpEntries("XBatIndices.txt", extension);
  } catch (const std::exception&) {
    WriteLog(10022, 0, "ERROR: Could Not read XBAT", true);
  }
  try {
    LoadExtensionBatBlocks(extension);
    DumpEntries("headerBat2.txt", bat_);
  } catch (const std::exception&) {
    WriteLog(10022, 0, "ERROR: Could Not read XBAT", true);
  }
  try {
    LoadSbatBlocks();
    DumpEntries("headerSmallBat.txt", sbat_);
  } catch (const std::exception&) {
    WriteLog(10024, 0, "ERROR: Could Not read SBAT", true);
  }
}

void CompoundFile::GetBlockChain(std::int32_t start, BlockTable table,
                                 std::vector<std::int32_t>& chain) {
  try {
    DumpEntries("blockindexes.txt", bat_);
    chain.clear();
    const std::vector<std::int32_t>& entries = table == BlockTable::Bat ? bat_ : sbat_;
    const std::size_t n = entries.size();
    // A sector beyond the file holds no bytes; following it would only pad the stream.
    const std::size_t sectors = blockFile_.blockCount() > 0 ? blockFile_.blockCount() - 1 : 0;
    const std::size_t limit = table == BlockTable::Bat ? std::min(n, sectors) : n;
    std::vector<bool> visited(n, false);
    std::int32_t current = start;
    while (current != kEndOfChain) {
      const auto index = static_cast<std::uint32_t>(current);  // every special value is huge
      if (index >= limit || visited[index]) break;
      visited[index] = true;
      chain.push_back(current);
      current = entries[index];
    }
    DumpEntries("Sector chain.txt", chain);
  } catch (const std::exception&) {
    WriteLog(10027, 0, "ERROR: Could not read Block Chain properly", true);
  }
}

std::uint64_t CompoundFile::ChainBytes(std::int32_t start, BlockTable table) {
  std::vector<std::int32_t> chain;
  GetBlockChain(start, table, chain);
  // Big blocks are counted in the size the block file reads, which the caller may have
  // repaired; the header's own value can be absurd.
  const std::uint64_t size =
      table == BlockTable::Bat ? blockFile_.blockSize() : header_.smallBlockSize_;
  return chain.size() * size;
}

}  // namespace tabulix
