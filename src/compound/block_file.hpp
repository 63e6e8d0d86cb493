#pragma once
// The damaged file seen as an array of equal-sized blocks, read one block at a time.
// Block 0 is the header's block, so sector n of the compound document is block n + 1.
//
// The blocks are read from the file's bytes in memory: the load reads the file once and
// every route works on those bytes, so the tolerant reader never goes back to the disk.

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace tabulix {

class BlockFile {
 public:
  static constexpr int kModeRead = 1;
  static constexpr int kModeWrite = 2;
  static constexpr std::uint32_t kDefaultBlockSize = 512;

  // Opens the file for reading and reads it whole. The file being rescued is never
  // written, so the write bit of `mode` is accepted but never honoured: asking for read and
  // write still opens it for reading only, and a mode without the read bit opens nothing.
  bool Open(const std::filesystem::path& path, int mode);
  // Reads the blocks of a file already in memory. The bytes are not copied: they must
  // outlive the block file (or the next Open or Close).
  void Open(std::span<const std::uint8_t> bytes);
  // Reads block `index` into the first blockSize() bytes of `buffer`. A block cut short by
  // the end of the file leaves the bytes that were there and the rest of the buffer as it
  // was, and gives false.
  bool ReadBlock(std::uint32_t index, std::span<std::uint8_t> buffer);
  // A size of 0 would leave no block to read: it is refused and nothing changes.
  void SetBlockSize(std::uint32_t size);
  void Close();
  bool IsOpen() const { return open_; }

  const std::filesystem::path& path() const { return path_; }
  int mode() const { return mode_; }
  std::uint32_t blockSize() const { return blockSize_; }
  std::uint32_t blockCount() const { return blockCount_; }
  std::uint64_t fileSize() const { return bytes_.size(); }

 private:
  void Attach(std::span<const std::uint8_t> bytes);
  void CountBlocks();

  std::filesystem::path path_;
  std::vector<std::uint8_t> owned_;  // the file's bytes when Open read them itself
  std::span<const std::uint8_t> bytes_;
  bool open_ = false;
  int mode_ = 0;
  std::uint32_t blockSize_ = kDefaultBlockSize;
  std::uint32_t blockCount_ = 0;
};

}  // namespace tabulix
