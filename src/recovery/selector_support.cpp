#include "recovery/selector_support.hpp"

#include <cstdio>

#include "base/little_endian.hpp"
#include "base/log.hpp"
#include "recovery/record_scan_tables.hpp"
#include "recovery/record_selectors.hpp"

namespace tabulix {

void SelectorLog::NoteRejected(std::string_view prefix, std::uint32_t offset, std::int16_t code,
                               std::int16_t size) {
  // Only until something is taken: a damaged stretch would otherwise log every candidate.
  if (recordTaken_ != 0) return;
  WriteLog(0, 0, selector::Message(prefix, offset, code, size), true);
  recordTaken_ = 1;
}

namespace selector {

bool FitsBefore(std::span<const std::uint8_t> slice, std::uint32_t offset, std::uint32_t length) {
  const std::uint64_t next = std::uint64_t{offset} + length;
  if (next >= slice.size()) return false;
  return NextHeaderPlausible(slice.subspan(static_cast<std::size_t>(next)));
}

std::string Message(std::string_view prefix, std::uint32_t offset, std::int16_t code,
                    std::int16_t size) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(static_cast<std::uint16_t>(code)));
  std::string text(prefix);
  text += std::to_string(offset);
  text += ", code = ";
  text += hex;
  text += ", size = ";
  text += std::to_string(size);
  return text;
}

std::uint16_t BofType(std::span<const std::uint8_t> slice, std::uint32_t offset) {
  std::uint16_t type = 0;
  LittleEndian::Read(slice, type, std::size_t{offset} + 6);
  return type;
}

}  // namespace selector
}  // namespace tabulix
