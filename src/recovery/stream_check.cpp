#include "recovery/stream_check.hpp"

#include "base/little_endian.hpp"

namespace tabulix {

std::string_view DescribeUnusableStream(std::span<const std::uint8_t> stream) {
  using LittleEndian::U16;
  if (stream.empty()) return "The file is empty: there is nothing to recover.";
  // A BOF header (code 0x0809) whose data begins with the BIFF8 version 0x0600. Some
  // writers give the BOF 8 data bytes instead of 16, so the length is not looked at.
  for (std::size_t pos = 0; pos + 6 <= stream.size(); ++pos) {
    if (stream[pos] == 0x09 && stream[pos + 1] == 0x08 && U16(stream, pos + 4) == 0x0600) {
      return {};
    }
  }
  return "No Excel 97-2003 workbook records were found in the file: there is nothing to "
         "recover.";
}

}  // namespace tabulix
