#include "base/little_endian.hpp"

#include "base/log.hpp"

namespace tabulix::LittleEndian {

// A character is always two bytes; the size argument exists for symmetry with the integers.
bool Read(Bytes buffer, char16_t& value, std::size_t pos, std::size_t /*size*/) noexcept {
  std::uint16_t unit = 0;
  if (!Read(buffer, unit, pos, 2)) {
    WriteLog(0, 0, "Error reading in LittleEndian", true);
    return false;
  }
  value = static_cast<char16_t>(unit);
  return true;
}

bool Write(MutableBytes buffer, char16_t value, std::size_t pos, std::size_t /*size*/) noexcept {
  if (!Write(buffer, static_cast<std::uint16_t>(value), pos, 2)) {
    WriteLog(0, 0, "Error writing in LittleEndian", true);
    return false;
  }
  return true;
}

std::size_t ReadString(Bytes buffer, std::span<char16_t> out, std::size_t pos,
                       std::size_t count) noexcept {
  if (count > out.size()) count = out.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (!Read(buffer, out[i], pos + 2 * i)) return i;
  }
  return count;
}

std::size_t WriteString(MutableBytes buffer, std::span<const char16_t> text, std::size_t pos,
                        std::size_t count) noexcept {
  if (count > text.size()) count = text.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (!Write(buffer, text[i], pos + 2 * i)) return i;
  }
  return count;
}

}  // namespace tabulix::LittleEndian
