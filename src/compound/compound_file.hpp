#pragma once
// The tolerant compound-document reader used to rescue damaged files: a block file, its
// header, the allocation tables, the directory tree and stream access. Nothing read from
// the file is trusted to be consistent: every chain and every tree walk is bounded, and no
// table or buffer grows beyond what the file's size can fill. The strict reader of sound
// files lives in src/storage.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "compound/block_file.hpp"
#include "compound/compound_header.hpp"
#include "compound/property.hpp"

namespace tabulix {

// Which allocation table a chain is followed in.
enum class BlockTable { Bat, Sbat };

class CompoundFile {
 public:
  // Results of ChangeDirectory, StreamSize and ReadStream.
  static constexpr int kOk = 1;
  static constexpr int kMissingComponent = -2;
  static constexpr int kNoSuchPath = -4;
  // ReadStream found the path but delivered fewer bytes than the stream's stated size.
  static constexpr int kShortStream = 0;

  // Small streams are those below this size, whatever the header's cutoff field says.
  static constexpr std::uint32_t kSmallStreamCutoff = layout::kMiniStreamCutoff;

  CompoundFile();

  // --- Block file and header ---
  // Closes what the object held and opens the file, for reading only.
  bool Open(const std::string& path, int mode);
  // Closes what the object held and reads the blocks of a file already in memory; the
  // bytes must outlive the object (or the next Open or Close).
  void Open(std::span<const std::uint8_t> bytes);
  // Reads block 0 and decodes it. With the signature, a big block size of 128 to 65536
  // bytes is adopted for the block buffer and the block file; any other size is left to
  // the caller to repair (an absurd shift must never size a buffer).
  bool LoadHeader();
  // Makes `size` (a power of two, 128 to 65536) the block size of the header, the block
  // buffer and the block file. Anything else is refused and changes nothing.
  bool SetBigBlockSize(std::uint32_t size);
  // Reads block `index` into the block buffer, which is filled with `fill` first so that
  // bytes the file does not hold never carry a previous block's content.
  bool ReadBlockToBuffer(std::uint32_t index, std::uint8_t fill = 0);

  // --- Allocation tables ---
  void LoadTables();
  // Clears `chain` and appends the chain that begins at `start`.
  void GetBlockChain(std::int32_t start, BlockTable table, std::vector<std::int32_t>& chain);
  // Blocks in the chain times the big or small block size.
  std::uint64_t ChainBytes(std::int32_t start, BlockTable table);
  // Entries in one block of an allocation or extension table at the current block size:
  // 128 in a 512-byte block, 1024 in a 4096-byte one; a smaller block keeps 128 places.
  std::size_t TableEntriesPerBlock() const;

  // --- Directory tree and streams ---
  bool LoadProperties();
  // The node the path names, or nullptr.
  const PropertyNode* FindProperty(std::u16string_view path);
  int ChangeDirectory(std::u16string_view path);
  // Splits at the last backslash after the first character. Without one, `directory` is
  // empty and `hasDirectory` false.
  static void SplitPath(std::u16string_view path, std::u16string_view& directory,
                        std::u16string_view& name, bool& hasDirectory);
  // kOk and the stated size, or kNoSuchPath.
  int StreamSize(std::u16string_view path, std::uint32_t& size);
  // Reads the stream the path names. Returns kOk only when every byte of its stated size
  // came from the file; kShortStream when the path was found but its chain (or the file)
  // ends early; kNoSuchPath (vector empty) when nothing is named. `out` holds at most the
  // stated size and never more than the chain covers; `bytesRead` (when given) gets the
  // length of the leading run of `out` that came from the file.
  int ReadStream(std::u16string_view path, std::vector<std::uint8_t>& out,
                 std::size_t* bytesRead = nullptr);
  // The same for a UTF-8 path.
  int ReadStream(const std::string& path, std::vector<std::uint8_t>& out,
                 std::size_t* bytesRead = nullptr);
  // Copies the chain's blocks into `destination` (block j at j times the block size),
  // never past its end. Returns the length of the leading run of `destination` filled
  // from the file; what lies after it may be partly filled or untouched.
  std::size_t ReadChainData(std::int32_t first, BlockTable table,
                            std::span<std::uint8_t> destination);

  void Close();

  // --- State, for the tolerant extraction and the tests ---
  BlockFile& blockFile() { return blockFile_; }
  CompoundHeader& header() { return header_; }
  std::span<std::uint8_t> blockBuffer() { return blockBuffer_; }
  const std::vector<std::int32_t>& bat() const { return bat_; }
  const std::vector<std::int32_t>& sbat() const { return sbat_; }
  const std::vector<Property>& properties() const { return properties_; }
  const std::vector<PropertyNode>& nodes() const { return nodes_; }
  const PropertyNode* root() const { return nodes_.empty() ? nullptr : &nodes_[0]; }
  const PropertyNode* current() const;
  const Property& PropertyOf(const PropertyNode& node) const { return properties_[node.property_]; }

 private:
  void LoadListedBatBlocks();
  std::vector<std::int32_t> LoadExtensionList();
  void LoadExtensionBatBlocks(const std::vector<std::int32_t>& list);
  void LoadSbatBlocks();
  void DecodeTableBlock(std::vector<std::int32_t>& table, std::size_t first);
  void BuildTree();
  std::size_t ChildNamed(std::size_t node, std::u16string_view name) const;
  std::size_t NodeForPath(std::u16string_view path);

  BlockFile blockFile_;
  CompoundHeader header_;
  std::vector<std::uint8_t> blockBuffer_;
  std::vector<std::int32_t> bat_;
  std::vector<std::int32_t> sbat_;
  std::vector<Property> properties_;
  std::vector<PropertyNode> nodes_;  // node 0 is the root once the properties are loaded
  std::size_t current_ = PropertyNode::kNone;
};

}  // namespace tabulix
