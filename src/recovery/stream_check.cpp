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

std::string_view DescribeOlderVersion(std::span<const std::uint8_t> stream) {
  // Excel 5.0 and 95 wrote the same BOF code with a version of 0x05nn (0x0500, 0x0580);
  // some writers of that format gave the sheets BIFF8 version numbers, so the globals
  // decide: the first BOF of the stream, unless BIFF8 globals stand anywhere.
  bool older = false;
  bool firstSeen = false;
  bool anyBiff8 = false;
  for (std::size_t pos = 0; pos + 6 <= stream.size(); ++pos) {
    if (stream[pos] != 0x09 || stream[pos + 1] != 0x08) continue;
    const std::uint16_t version = U16(stream, pos + 4);
    const std::uint16_t type = U16(stream, pos + 6);  // 0 past the end
    if (version == kBiff8 && type == kGlobals) return {};
    anyBiff8 = anyBiff8 || version == kBiff8;
    const bool biff5 = (version >> 8) == 0x05 && (type == kGlobals || type == 0x0010);
    if (!firstSeen && (biff5 || version == kBiff8)) {
      firstSeen = true;
      older = biff5;
    }
  }
  if (older || (!anyBiff8 && firstSeen)) {
    return "The file is an Excel 5.0/95 workbook: this version of Tabulix recovers Excel "
           "97-2003 workbooks.";
  }
  if (anyBiff8) return {};
  // Excel 2.x, 3.0 and 4.0 files are bare record streams that start with a BOF of code
  // 0x0009, 0x0209 or 0x0409. Only the start counts: those codes are common byte pairs.
  if (stream.size() >= 8 && stream[0] == 0x09 &&
      (stream[1] == 0x00 || stream[1] == 0x02 || stream[1] == 0x04) && U16(stream, 2) >= 4 &&
      U16(stream, 2) <= 16) {
    return "The file is an Excel 2.x-4.0 workbook: this version of Tabulix recovers Excel "
           "97-2003 workbooks.";
  }
  return {};
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
