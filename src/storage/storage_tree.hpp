#pragma once
// A compound document's whole directory tree as a value: what the reader hands back from a
// sound original and what the writer saves, so that a save can carry over every stream and
// storage it does not rewrite (summary information, macros, embedded objects) unchanged.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tabulix::storage {

struct TreeEntry {
  std::u16string name;
  bool storage = false;                  // a storage (children) or a stream (data)
  std::array<std::uint8_t, 16> clsid{};  // kept as found
  std::uint32_t stateBits = 0;           // kept as found
  std::array<std::uint8_t, 16> times{};  // creation then modification time, as found
  std::vector<std::uint8_t> data;        // a stream's bytes
  std::vector<TreeEntry> children;       // a storage's entries

  bool operator==(const TreeEntry&) const = default;
};

// The root storage: its own class id, state bits and times, and its entries.
struct StorageTree {
  std::array<std::uint8_t, 16> clsid{};
  std::uint32_t stateBits = 0;
  std::array<std::uint8_t, 16> times{};
  std::vector<TreeEntry> entries;

  bool operator==(const StorageTree&) const = default;
};

// The reader refuses entries more than this many levels below the root (the root's own
// entries are level 1): real documents nest a few levels (macros: three), and the bound
// keeps the walk's own stack small whatever a damaged directory claims.
inline constexpr int kMaxStorageDepth = 32;

// A name as it can stand in a message: printable ASCII as it is, every other unit as
// \xNN or \uNNNN (real names begin with control characters such as \x05).
std::string PrintableName(std::u16string_view name);

}  // namespace tabulix::storage
