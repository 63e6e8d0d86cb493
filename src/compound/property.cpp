#include "compound/property.hpp"

#include "base/little_endian.hpp"

namespace tabulix {

bool Property::Decode(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < kSize) return false;
  namespace le = LittleEndian;
  using namespace layout;
  const auto entry = bytes.subspan(offset, kSize);
  name_.clear();
  for (std::size_t i = 0; i < kNameChars; ++i) {
    const auto unit = static_cast<char16_t>(le::U16(entry, kEntOffName + 2 * i));
    if (unit == 0) break;
    name_.push_back(unit);
  }
  nameSize_ = le::U16(entry, kEntOffNameLength);
  type_ = le::U8(entry, kEntOffType);
  colour_ = le::U8(entry, kEntOffColour);
  leftSibling_ = static_cast<std::int32_t>(le::U32(entry, kEntOffLeft));
  rightSibling_ = static_cast<std::int32_t>(le::U32(entry, kEntOffRight));
  firstChild_ = static_cast<std::int32_t>(le::U32(entry, kEntOffChild));
  for (std::size_t i = 0; i < classId_.size(); ++i)
    classId_[i] = le::U32(entry, kEntOffClsid + 4 * i);
  stateBits_ = le::U32(entry, kEntOffState);
  // Creation and modification times, each a 64-bit value taken as two 32-bit halves.
  for (std::size_t i = 0; i < times_.size(); ++i)
    times_[i] = le::U32(entry, kEntOffCreated + 4 * i);
  firstBlock_ = static_cast<std::int32_t>(le::U32(entry, kEntOffStart));
  streamSize_ = le::U32(entry, kEntOffSize);
  return true;
}

}  // namespace tabulix
