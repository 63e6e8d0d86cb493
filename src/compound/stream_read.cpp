// Stream access of the tolerant reader: a stream's stated size and its bytes, from big
// blocks through the BAT or from small blocks through the SBAT and the root's container.

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>

#include "base/log.hpp"
#include "compound/compound_file.hpp"

namespace tabulix {

namespace {

// UTF-8 to UTF-16 without any locale; nothing for a malformed sequence.
std::optional<std::u16string> WidenPath(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t code = 0;
    if (lead < 0x80) {
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, code = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, code = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, code = lead & 0x07u;
    } else {
      return std::nullopt;
    }
    if (text.size() - i <= extra) return std::nullopt;
    for (std::size_t j = 1; j <= extra; ++j) {
      const auto next = static_cast<unsigned char>(text[i + j]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      code = (code << 6) | (next & 0x3Fu);
    }
    i += extra + 1;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

}  // namespace

int CompoundFile::StreamSize(std::u16string_view path, std::uint32_t& size) {
  if (path == u"\\") {
    if (properties_.empty()) return kNoSuchPath;
    size = properties_[0].streamSize_;
    return kOk;
  }
  const PropertyNode* node = FindProperty(path);
  if (node == nullptr) return kNoSuchPath;
  size = PropertyOf(*node).streamSize_;
  return kOk;
}

int CompoundFile::ReadStream(std::u16string_view path, std::vector<std::uint8_t>& out,
                             std::size_t* bytesRead) {
  if (bytesRead != nullptr) *bytesRead = 0;
  std::size_t delivered = 0;
  try {
    out.clear();
    std::uint32_t size = 0;
    if (StreamSize(path, size) != kOk) return kNoSuchPath;
    std::int32_t first = kEndOfChain;
    BlockTable table = BlockTable::Bat;
    if (path == u"\\") {
      first = properties_[0].firstBlock_;
    } else {
      const Property& property = PropertyOf(*FindProperty(path));
      first = property.firstBlock_;
      table = size < kSmallStreamCutoff ? BlockTable::Sbat : BlockTable::Bat;
    }
    try {
      // The stated size is only a claim: the vector never holds more than the chain can
      // fill, so a size of 4 GB in a small file allocates nothing of the sort.
      const std::uint64_t chainBytes = ChainBytes(first, table);
      out.assign(static_cast<std::size_t>(std::min<std::uint64_t>(chainBytes, size)), 0);
      delivered = ReadChainData(first, table, out);
    } catch (const std::exception&) {
      WriteLog(10037, 0, "ERROR: Could not read Compound file properly", true);
    }
    if (bytesRead != nullptr) *bytesRead = delivered;
    // A chain that ends before the stated size is not a stream read: the caller must be
    // able to tell it from a whole one and try another route.
    return delivered == size ? kOk : kShortStream;
  } catch (const std::exception&) {
    WriteLog(10033, 0, "ERROR: Could not determine file-size Or Error reading it.", true);
    if (bytesRead != nullptr) *bytesRead = delivered;
    return kShortStream;
  }
}

int CompoundFile::ReadStream(const std::string& path, std::vector<std::uint8_t>& out,
                             std::size_t* bytesRead) {
  const auto wide = WidenPath(path);
  if (!wide) {
    out.clear();
    if (bytesRead != nullptr) *bytesRead = 0;
    WriteLog(10032, 0, "ERROR: Could not convert from char* to wchar_t*", true);
    return kNoSuchPath;
  }
  return ReadStream(std::u16string_view(*wide), out, bytesRead);
}

std::size_t CompoundFile::ReadChainData(std::int32_t first, BlockTable table,
                                        std::span<std::uint8_t> destination) {
  std::size_t filled = 0;  // leading bytes of destination that came from the file
  try {
    std::vector<std::int32_t> chain;
    if (table == BlockTable::Bat) {
      GetBlockChain(first, BlockTable::Bat, chain);
      const std::uint64_t blockSize = blockFile_.blockSize();
      const std::uint64_t fileSize = blockFile_.fileSize();
      for (std::size_t j = 0; j < chain.size(); ++j) {
        const std::uint64_t at = j * blockSize;
        if (at >= destination.size()) break;
        const auto block = static_cast<std::uint32_t>(chain[j]) + 1;
        const bool whole = ReadBlockToBuffer(block, 0);
        // A block cut by the end of the file still brings the bytes the file has.
        const std::uint64_t start = std::uint64_t{block} * blockSize;
        const std::uint64_t available =
            whole ? blockSize : (fileSize > start ? std::min(blockSize, fileSize - start) : 0);
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({blockSize, destination.size() - at, blockBuffer_.size()}));
        std::memcpy(destination.data() + at, blockBuffer_.data(), n);
        if (filled == at) filled += static_cast<std::size_t>(std::min<std::uint64_t>(n, available));
      }
      return filled;
    }
    // Small blocks: copied out of the root's container stream.
    const std::uint64_t smallSize = header_.smallBlockSize_;
    if (properties_.empty() || smallSize == 0) return 0;
    const std::int32_t containerStart = properties_[0].firstBlock_;
    std::vector<std::uint8_t> container(
        static_cast<std::size_t>(ChainBytes(containerStart, BlockTable::Bat)), 0);
    const std::size_t containerFilled = ReadChainData(containerStart, BlockTable::Bat, container);
    GetBlockChain(first, BlockTable::Sbat, chain);
    for (std::size_t j = 0; j < chain.size(); ++j) {
      const std::uint64_t at = j * smallSize;
      if (at >= destination.size()) break;
      const std::uint64_t from = static_cast<std::uint64_t>(chain[j]) * smallSize;
      const std::uint64_t n = std::min<std::uint64_t>(smallSize, destination.size() - at);
      if (from >= container.size()) continue;
      const std::uint64_t copied = std::min<std::uint64_t>(n, container.size() - from);
      std::memcpy(destination.data() + at, container.data() + from,
                  static_cast<std::size_t>(copied));
      const std::uint64_t real =
          from < containerFilled ? std::min<std::uint64_t>(copied, containerFilled - from) : 0;
      if (filled == at) filled += static_cast<std::size_t>(real);
    }
    return filled;
  } catch (const std::exception&) {
    WriteLog(10030, 0, "ERROR: Could not read stream data", true);
    return filled;
  }
}

}  // namespace tabulix
