#include "compound/property.hpp"

#include "compound/little_endian.hpp"

namespace tabulix {

bool Property::Decode(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < kSize) return false;
  namespace le = LittleEndian;
  const auto entry = bytes.subspan(offset, kSize);
  name_.clear();
  for (std::size_t i = 0; i < kNameChars; ++i) {
    const auto unit = static_cast<char16_t>(le::U16(entry, 2 * i));
    if (unit == 0) break;
    name_.push_back(unit);
  }
  nameSize_ = le::U16(entry, 64);
  type_ = le::U8(entry, 66);
  colour_ = le::U8(entry, 67);
  leftSibling_ = static_cast<std::int32_t>(le::U32(entry, 68));
  rightSibling_ = static_cast<std::int32_t>(le::U32(entry, 72));
  firstChild_ = static_cast<std::int32_t>(le::U32(entry, 76));
  for (std::size_t i = 0; i < classId_.size(); ++i) classId_[i] = le::U32(entry, 80 + 4 * i);
  stateBits_ = le::U32(entry, 96);
  for (std::size_t i = 0; i < times_.size(); ++i) times_[i] = le::U32(entry, 100 + 4 * i);
  firstBlock_ = static_cast<std::int32_t>(le::U32(entry, 116));
  streamSize_ = le::U32(entry, 120);
  return true;
}

}  // namespace tabulix
