#include "recovery/record_scan.hpp"

#include <algorithm>
#include <limits>
#include <unordered_map>
#include <vector>

#include "recovery/record_scan_dump.hpp"

namespace tabulix {

namespace {

bool IsFormulaCode(std::uint16_t code) {
  return code == 0x0006 || code == 0x0206 || code == 0x0406;
}

// The records a FORMULA brings with it: its array, shared-formula or table record and the
// STRING that holds a text result. They are read with the FORMULA and are no candidates of
// their own.
bool IsFormulaCompanion(std::uint16_t code) {
  switch (code) {
    case 0x0221:  // ARRAY
    case 0x00BC:  // SHRFMLA
    case 0x04BC:  // SHRFMLA in its other code
    case 0x0036:  // TABLE
    case 0x0236:
    case 0x0207:  // STRING
      return true;
    default:
      return false;
  }
}

// Where the record of `code` whose own data ends at `end` really ends: behind the CONTINUE
// records that follow it, and for a FORMULA behind its companions (as far as they lie whole
// in the first `length` bytes). Every candidate inside a long run of CONTINUE records (a
// shared-string table, or bytes made to look like one) would walk the rest of the run
// again, so each walk remembers where it ended for every header it passed: every header
// is walked over once per kind of walk, and the scan stays linear.
class ExtentEnds {
 public:
  ExtentEnds(std::span<const std::uint8_t> slice, std::size_t length)
      : slice_(slice), length_(length) {}

  std::size_t operator()(std::uint16_t code, std::size_t end) {
    constexpr std::uint16_t kContinue = 0x003C;
    const bool formula = IsFormulaCode(code);
    auto& known = formula ? formulaEnds_ : plainEnds_;
    passed_.clear();
    while (end + 4 <= length_) {
      // Only headers the walk goes on over are remembered, so the code is looked at first:
      // nearly every record is followed by one it does not, and needs no lookup.
      const auto next = static_cast<std::uint16_t>(slice_[end] | (slice_[end + 1] << 8));
      if (next != kContinue && !(formula && IsFormulaCompanion(next))) break;
      if (const auto found = known.find(end); found != known.end()) {
        end = found->second;
        break;
      }
      const std::size_t after =
          end + 4 + static_cast<std::size_t>(slice_[end + 2] | (slice_[end + 3] << 8));
      if (after > length_) break;
      passed_.push_back(end);
      end = after;
    }
    for (const std::size_t header : passed_) known.emplace(header, end);
    return end;
  }

 private:
  std::span<const std::uint8_t> slice_;
  std::size_t length_;
  std::unordered_map<std::size_t, std::size_t> plainEnds_;
  std::unordered_map<std::size_t, std::size_t> formulaEnds_;
  std::vector<std::size_t> passed_;
};

// The per-offset loop, instantiated per table so that the common case (a code with no
// sound length anywhere) costs one table load and one compare.
template <ScanTable table>
void ScanSlice(std::span<const std::uint8_t> slice, std::size_t length, RecordScan& scan) {
  const std::uint8_t* bytes = slice.data();
  ExtentEnds extentEnd(slice, length);
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
    scan.objExtents_.push_back(static_cast<std::uint32_t>(extentEnd(code, nextAt) - i));
  }
}

}  // namespace

std::size_t RecordScan::ScanObjectPositions(std::span<const std::uint8_t> slice, ScanTable table,
                                            std::string_view dumpFile) {
  objPositions_.clear();
  objCodes_.clear();
  objSizes_.clear();
  objExtents_.clear();
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
