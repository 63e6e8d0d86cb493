#include "recovery/stream_check.hpp"

#include <vector>

#include "base/little_endian.hpp"

namespace tabulix {

namespace {

using LittleEndian::U16;

constexpr std::uint16_t kBof = 0x0809;
constexpr std::uint16_t kEof = 0x000A;
constexpr std::uint16_t kFilePass = 0x002F;
constexpr std::uint16_t kBiff8 = 0x0600;
constexpr std::uint16_t kGlobals = 0x0005;

bool IsBofHeader(std::span<const std::uint8_t> stream, std::size_t pos, std::uint16_t version) {
  return pos + 6 <= stream.size() && stream[pos] == 0x09 && stream[pos + 1] == 0x08 &&
         U16(stream, pos + 4) == version;
}

bool HoldsBof(std::span<const std::uint8_t> stream, std::uint16_t version) {
  for (std::size_t pos = 0; pos + 6 <= stream.size(); ++pos) {
    if (IsBofHeader(stream, pos, version)) return true;
  }
  return false;
}

}  // namespace

std::string_view DescribeUnusableStream(std::span<const std::uint8_t> stream) {
  if (stream.empty()) return "The file is empty: there is nothing to recover.";
  // A BOF header (code 0x0809) whose data begins with the BIFF8 version 0x0600. Some
  // writers give the BOF 8 data bytes instead of 16, so the length is not looked at.
  if (HoldsBof(stream, kBiff8)) return {};
  return "No Excel 97-2003 workbook records were found in the file: there is nothing to "
         "recover.";
}

bool HasFilePass(std::span<const std::uint8_t> stream) {
  // A header already passed by an earlier walk leads where that walk went: each header is
  // walked over once, however many globals BOFs (true or stray) the stream holds.
  std::vector<bool> passed(stream.size());
  for (std::size_t start = 0; start + 8 <= stream.size(); ++start) {
    if (!IsBofHeader(stream, start, kBiff8) || U16(stream, start + 6) != kGlobals) continue;
    for (std::size_t pos = start; pos + 4 <= stream.size();) {
      const std::uint16_t code = U16(stream, pos);
      if (code == kFilePass) return true;
      // A walk ends at a BOF without marking it, so that the walk from that BOF still runs.
      if (code == kEof || (pos != start && code == kBof) || passed[pos]) break;
      passed[pos] = true;
      const std::size_t next = pos + 4 + U16(stream, pos + 2);
      if (next > stream.size()) break;
      pos = next;
    }
  }
  return false;
}

}  // namespace tabulix
