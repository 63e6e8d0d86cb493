#pragma once
// One 128-byte directory entry (a property) and one node of the directory tree.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "compound/compound_header.hpp"

namespace tabulix {

struct Property {
  static constexpr std::size_t kSize = layout::kDirEntrySize;
  static constexpr std::size_t kNameChars = layout::kEntNameUnits;

  // Decodes the entry at `offset` of `bytes`; an entry cut short by the end of the buffer
  // is refused and the property keeps the values of a new one.
  bool Decode(std::span<const std::uint8_t> bytes, std::size_t offset);

  // The name up to its first zero character (all 32 when there is none).
  std::u16string name_;
  std::uint16_t nameSize_ = 0;
  std::uint8_t type_ = 1;
  std::uint8_t colour_ = 1;
  std::int32_t leftSibling_ = -1;
  std::int32_t rightSibling_ = -1;
  std::int32_t firstChild_ = -1;
  std::array<std::uint32_t, 4> classId_{};
  std::uint32_t stateBits_ = 0;
  std::array<std::uint32_t, 4> times_{};
  std::int32_t firstBlock_ = kEndOfChain;
  std::uint32_t streamSize_ = 0;
};

// Nodes live in one list owned by the CompoundFile and name each other by their position
// in it, so that neither building nor releasing a deep tree recurses.
struct PropertyNode {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  std::size_t parent_ = kNone;         // node position, kNone for the root
  std::size_t property_ = 0;           // position in the property list
  std::int32_t index_ = 0;             // the property's number in the directory stream
  std::vector<std::size_t> children_;  // node positions, sorted by ascending index_
};

}  // namespace tabulix
