#include "recovery/record_scan_tables.hpp"

#include <algorithm>

#include "base/little_endian.hpp"

namespace tabulix {

namespace {

// The codes of cell records: runs of them follow each other inside a row block.
constexpr bool IsCellCode(std::int16_t code) noexcept {
  switch (code) {
    case 0x0006:  // FORMULA
    case 0x00BD:  // MULRK
    case 0x00BE:  // MULBLANK
    case 0x00FD:  // LABELSST
    case 0x0201:  // BLANK
    case 0x0203:  // NUMBER
    case 0x0205:  // BOOLERR
    case 0x027E:  // RK
      return true;
    default:
      return false;
  }
}

// The usual order of records in the substreams that a sound writer produces; a code with
// fewer successors leaves the rest of its row at 0, which no code here equals.
struct Successors {
  std::int16_t code;
  std::array<std::int16_t, 3> next;
};

constexpr std::array<Successors, 59> kSuccessors = {{
    {0x000A, {0x0809}},
    {0x000C, {0x000F}},
    {0x000D, {0x000C}},
    {0x000E, {0x01B7}},
    {0x000F, {0x0011}},
    {0x0010, {0x005F}},
    {0x0011, {0x0010}},
    {0x0012, {0x0013}},
    {0x0013, {0x01AF}},
    {0x0014, {0x0015}},
    {0x0015, {0x0083}},
    {0x0019, {0x0012}},
    {0x001D, {0x000A}},
    {0x0022, {0x000E}},
    {0x002A, {0x002B}},
    {0x002B, {0x0082}},
    {0x0031, {0x0031, 0x041E}},
    {0x003D, {0x0040, 0x0031}},
    {0x0040, {0x008D}},
    {0x0042, {0x0161}},
    {0x0055, {0x007D}},
    {0x005C, {0x0042}},
    {0x005F, {0x002A}},
    {0x007D, {0x007D, 0x0200}},
    {0x0080, {0x0225}},
    {0x0081, {0x0014}},
    {0x0082, {0x0080}},
    {0x0083, {0x0084}},
    {0x0084, {0x00A1}},
    {0x0085, {0x0085, 0x008C, 0x00FC}},
    {0x008C, {0x01C1, 0x01AE}},
    {0x008D, {0x0022}},
    {0x0092, {0x0085}},
    {0x009C, {0x0019}},
    {0x00A1, {0x0055}},
    {0x00C1, {0x00E2}},
    {0x00D7, {0x0208, 0x023E}},
    {0x00DA, {0x0031}},
    {0x00E0, {0x00E0, 0x0293}},
    {0x00E1, {0x00C1}},
    {0x00E2, {0x005C}},
    {0x00E5, {0x00E5, 0x001D, 0x000A}},
    {0x00FC, {0x00FF}},
    {0x00FF, {0x0863, 0x000A}},
    {0x013D, {0x009C}},
    {0x0160, {0x0085, 0x0092}},
    {0x0161, {0x01C0}},
    {0x01AF, {0x01BC}},
    {0x01B7, {0x00DA}},
    {0x01BC, {0x003D}},
    {0x01C0, {0x013D}},
    {0x01C1, {0x0092}},
    {0x0200, {0x0208}},
    {0x020B, {0x000D, 0x007D}},
    {0x0225, {0x0081}},
    {0x023E, {0x00E5, 0x001D, 0x000A}},
    {0x0293, {0x0293, 0x0160}},
    {0x041E, {0x041E, 0x00E0}},
    {0x0809, {0x00E1, 0x003D, 0x020B}},
}};

consteval bool SuccessorsSorted() {
  for (std::size_t i = 1; i < kSuccessors.size(); ++i) {
    if (kSuccessors[i - 1].code >= kSuccessors[i].code) return false;
  }
  return true;
}
static_assert(SuccessorsSorted(), "the successor rows are searched by binary search");

// Signed so that a length of 0x8000 or more is negative, as everywhere in the scan.
std::int16_t ReadSigned16(std::span<const std::uint8_t> bytes, std::size_t pos) noexcept {
  return static_cast<std::int16_t>(LittleEndian::U16(bytes, pos));
}

// The walk along the chain of lengths that starts at `start`. A length of 0x8000 or more
// ends it with false, and so does a chain that runs further than a signed 16-bit offset
// reaches: the walk never steps backwards or outside the data.
bool WalkChain(std::span<const std::uint8_t> start) noexcept {
  const std::size_t left = start.size();
  if (left < 4) return false;
  std::int16_t s = ReadSigned16(start, 2);
  std::int16_t w = 0;
  for (int visited = 0; visited < 100; ++visited) {
    // The record at w must fit; one that ends exactly at the end of the data does. A sum
    // that comes out negative counts as huge.
    const std::int32_t recordEnd = std::int32_t{w} + s + 4;
    if (recordEnd < 0 || static_cast<std::size_t>(recordEnd) > left) return false;
    if (IsKnownCode(start.subspan(static_cast<std::size_t>(w)))) return true;
    w = static_cast<std::int16_t>(recordEnd);
    // Past 32767 bytes the offset wraps negative: the chain is too long to vouch for the
    // candidate, and reading at a negative offset would leave the data.
    if (w < 0) return false;
    if (static_cast<std::size_t>(w) + 2 >= left) return true;
    // Fewer than two bytes of the length may be left; the checked read gives 0 then, and
    // the next round's fit test ends the walk with false as any length would.
    s = ReadSigned16(start, static_cast<std::size_t>(w) + 2);
    if (s < 0) return false;
  }
  return false;
}

}  // namespace

bool IsKnownCode(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.size() < 2) return false;
  return IsScanKnownCode(LittleEndian::U16(bytes, 0));
}

bool IsExpectedSuccessor(std::int16_t code, std::int16_t next) noexcept {
  if (IsCellCode(code)) return IsCellCode(next) || next == 0x00D7;
  if (code == 0x0208) return IsCellCode(next) || next == 0x0208;
  const auto row = std::lower_bound(
      kSuccessors.begin(), kSuccessors.end(), code,
      [](const Successors& entry, std::int16_t wanted) { return entry.code < wanted; });
  if (row == kSuccessors.end() || row->code != code) return false;
  return std::find(row->next.begin(), row->next.end(), next) != row->next.end() && next != 0;
}

bool NextHeaderPlausible(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.size() < 4) return false;
  if (IsKnownCode(bytes)) return true;
  const std::int32_t after = std::int32_t{ReadSigned16(bytes, 2)} + 4;
  // A negative sum counts as huge, so a length of 0x8000 or more (bar the last four
  // values) never passes.
  if (after < 0 || bytes.size() <= static_cast<std::size_t>(after)) return false;
  return WalkChain(bytes.subspan(static_cast<std::size_t>(after)));
}

}  // namespace tabulix
