#pragma once
// The strict compound-document reader: what the platform's structured-storage service
// does for the load route. It opens a sound compound document (versions 3 and 4, 512- and
// 4096-byte sectors) and reads a stream of its root storage whole, or the whole tree of
// storages and streams for a save that carries them over. It refuses any file whose
// streams cannot be followed; repairing damaged containers is the tolerant reader's job,
// never this one's.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/storage_tree.hpp"

namespace tabulix::storage {

enum class ReadStatus {
  Ok,
  NotCompound,   // cannot open, no signature, bad header, FAT/directory cannot be followed
  NoSuchStream,  // no stream of that name under the root
  SizeUnknown,   // reserved for the load route; this reader always knows a stream's size
  ReadFailed,    // the stream's chain loops, leaves the file or holds a bad sector number
  Incomplete,    // the chain (or the file) is shorter than the stream's size
};

// Where a stream's bytes lie in the file: its units (sectors, or 64-byte mini sectors for a
// stream below the mini-stream cutoff) in stream order, the last one cut to the stream's size.
struct StreamPiece {
  std::uint64_t fileOffset = 0;
  std::uint32_t length = 0;
};
struct StreamLayout {
  std::uint64_t size = 0;
  std::size_t unit = 0;  // bytes in a full piece
  std::vector<StreamPiece> pieces;
};

class StorageReader {
 public:
  // Files larger than this are refused rather than read into memory.
  static constexpr std::uint64_t kMaxFileBytes = std::uint64_t{1} << 30;

  // Opens and checks the container: header, extension tables (DIFAT), FAT, directory chain
  // and tree, mini FAT. `reason` gets a short English explanation on failure.
  static std::optional<StorageReader> Open(const std::filesystem::path& path,
                                           std::string* reason = nullptr);
  // The same over bytes already in memory, which the reader keeps.
  static std::optional<StorageReader> FromBytes(std::vector<std::uint8_t> bytes,
                                                std::string* reason = nullptr);
  // The same over bytes the caller keeps: they are not copied and must outlive the reader.
  // The load reads the file once and lets every route look at those bytes.
  static std::optional<StorageReader> View(std::span<const std::uint8_t> bytes,
                                           std::string* reason = nullptr);

  // The reader looks at its own bytes through a view: a copy would look at the original's.
  StorageReader(StorageReader&&) noexcept = default;
  StorageReader& operator=(StorageReader&&) noexcept = default;
  StorageReader(const StorageReader&) = delete;
  StorageReader& operator=(const StorageReader&) = delete;

  // Reads the named stream of the root storage whole (names compare case-insensitively,
  // as the platform does). On Ok, `out` holds exactly the stream's bytes; on any failure
  // it is left empty.
  ReadStatus ReadStream(std::u16string_view name, std::vector<std::uint8_t>& out,
                        std::string* reason = nullptr) const;
  // Where the named stream's bytes lie, with the same checks (and the same statuses) as
  // ReadStream: on Ok every piece lies inside the file; on any failure `layout` is empty.
  ReadStatus Layout(std::u16string_view name, StreamLayout& layout,
                    std::string* reason = nullptr) const;
  bool HasStream(std::u16string_view name) const;
  // Streams directly under the root, in directory order.
  std::vector<std::u16string> StreamNames() const;

  // Every storage and stream under the root, each stream read whole with the checks
  // ReadStream makes. Siblings come in the order of their tree (for a sound file, the
  // order the format sorts names in). Refused (nullopt, `reason` says why) when any part
  // cannot be followed: a stream that ReadStream would refuse, links that leave the
  // directory or reach an entry twice, entries nested deeper than kMaxStorageDepth, or
  // two streams that claim the same sector (which would also let a small file expand into
  // many copies of its bytes). Given `skipped`, a stream whose bytes cannot be read (its
  // chain, its size or its sectors at fault, the links around it sound) is left out of the
  // tree instead, and `skipped` gets a line saying which and why. A stream of the root for
  // which `leaveOut` says true is checked like the others but neither read nor put in the
  // tree (the caller has it already: a second copy of a large stream costs its size).
  using NameFilter = std::function<bool(std::u16string_view name)>;
  std::optional<StorageTree> ReadTree(std::string* reason = nullptr,
                                      std::vector<std::string>* skipped = nullptr,
                                      const NameFilter& leaveOut = {}) const;

  int majorVersion() const { return majorVersion_; }
  std::size_t sectorSize() const { return sectorSize_; }

 private:
  struct Entry {
    std::u16string name;
    std::uint8_t type = 0;
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    std::uint32_t child = 0;
    std::uint32_t start = 0;
    std::uint64_t size = 0;
    std::array<std::uint8_t, 16> clsid{};
    std::uint32_t stateBits = 0;
    std::array<std::uint8_t, 16> times{};
  };
  // Where one sector's bytes stand in the file, clipped at the file's end.
  std::span<const std::uint8_t> Sector(std::uint32_t id) const;

  // Follows a chain of the FAT from `start` until end-of-chain. Fails (with a reason) when
  // it loops, leaves the file or meets a special value. With `claimed`, it also fails on a
  // sector another chain has claimed, and claims its own: a walk over many chains then
  // visits each sector once at most.
  bool FatChain(std::uint32_t start, std::vector<std::uint32_t>& chain, std::string& why,
                std::vector<bool>* claimed = nullptr) const;
  bool MiniFatChain(std::uint32_t start, std::vector<std::uint32_t>& chain, std::string& why,
                    std::vector<bool>* claimed = nullptr) const;

  bool ParseHeader(std::string& why);
  bool LoadFat(std::string& why);
  bool LoadDirectory(std::string& why);
  bool LoadMiniFat(std::string& why);
  const Entry* FindRootStream(std::u16string_view name) const;

  // Sectors and mini sectors already claimed by the streams of one tree walk.
  struct Claims {
    std::vector<bool> sectors;
    std::vector<bool> miniSectors;
  };
  // Where an entry's bytes lie, as Layout says it for a stream of the root.
  ReadStatus EntryLayout(const Entry& entry, StreamLayout& layout, std::string& why,
                         Claims* claims) const;
  // Copies the pieces of a checked layout into `out`.
  void CopyLayout(const StreamLayout& layout, std::vector<std::uint8_t>& out) const;
  // Reads the siblings of the tree whose top is `top`, in order, into `out`; storages
  // recurse with `depth` one higher.
  bool ReadSiblings(std::uint32_t top, int depth, std::vector<TreeEntry>& out,
                    std::vector<bool>& reached, Claims& claims, std::string& why,
                    std::vector<std::string>* skipped, const NameFilter& leaveOut) const;

  StorageReader() = default;
  bool Parse(std::string& why);

  // The file's bytes: owned_ when the reader read or was given them, the caller's
  // otherwise. Moving a vector keeps its buffer, so a moved reader's view stays valid.
  std::vector<std::uint8_t> owned_;
  std::span<const std::uint8_t> bytes_;
  int majorVersion_ = 3;
  std::size_t sectorSize_ = 512;
  std::uint32_t sectorCount_ = 0;  // sectors that start inside the file
  std::vector<std::uint32_t> fat_;
  std::vector<std::uint32_t> miniFat_;
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> rootStreams_;      // entry numbers of the root's streams
  std::vector<std::uint32_t> miniStreamChain_;  // sectors of the root's mini stream
  bool miniStreamUsable_ = false;
  std::string miniStreamProblem_;
};

}  // namespace tabulix::storage
