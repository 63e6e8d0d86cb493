#include "recovery/record_scan.hpp"

#include <algorithm>
#include <limits>

#include "recovery/record_scan_dump.hpp"

namespace tabulix {

namespace {

// The per-offset loop, instantiated per table so that the common case (a code with no
// sound length anywhere) costs one table load and one compare.
template <ScanTable table>
void ScanSlice(std::span<const std::uint8_t> slice, std::size_t length, RecordScan& scan) {
  const std::uint8_t* bytes = slice.data();
  for (std::size_t i = 0; i + 4 <= length; ++i) {
    const auto code = static_cast<std::uint16_t>(bytes[i] | (bytes[i + 1] << 8));
    const std::uint8_t soundClass = detail::kSoundClassOf[code];
    if (soundClass == 0) continue;
    const auto size = static_cast<std::int16_t>(bytes[i + 2] | (bytes[i + 3] << 8));
    if (!detail::ClassAccepts<table>(soundClass, size)) continue;
    // The record and a whole next header must fit; exactly enough room is room, or the
    // record right before a slice's last header would be lost. A negative length (an even
    // TABID of 0x8000 or more) must not point the next header before the slice.
    const std::int64_t next = static_cast<std::int64_t>(i) + size + 4;
    if (next < 0 || static_cast<std::uint64_t>(next) + 4 > length) continue;
    const auto nextAt = static_cast<std::size_t>(next);
    if (!NextHeaderPlausible(slice.subspan(nextAt, length - nextAt))) continue;
    scan.objPositions_.push_back(static_cast<std::uint32_t>(i));
    scan.objCodes_.push_back(static_cast<std::int16_t>(code));
    scan.objSizes_.push_back(size);
  }
}

}  // namespace

std::size_t RecordScan::ScanObjectPositions(std::span<const std::uint8_t> slice, ScanTable table,
                                            std::string_view dumpFile) {
  objPositions_.clear();
  objCodes_.clear();
  objSizes_.clear();
  const std::size_t length =
      std::min<std::size_t>(slice.size(), std::numeric_limits<std::uint32_t>::max());
  switch (table) {
    case ScanTable::Globals:
      ScanSlice<ScanTable::Globals>(slice, length, *this);
      break;
    case ScanTable::Worksheet:
      ScanSlice<ScanTable::Worksheet>(slice, length, *this);
      break;
    case ScanTable::Both:
      ScanSlice<ScanTable::Both>(slice, length, *this);
      break;
  }

  PositionDump dump(dumpFile, PositionDump::OffsetFormat::Plain);
  if (dump.open()) {
    for (std::size_t k = 0; k < objPositions_.size(); ++k) {
      dump.Line(k, objPositions_[k], objCodes_[k], objSizes_[k]);
    }
  }
  return objPositions_.size();
}

}  // namespace tabulix
