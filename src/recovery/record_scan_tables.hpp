#pragma once
// The tests that the record position scan applies at every byte offset of a damaged
// stream: which (code, length) pairs look like a sound record header, which codes count as
// real records when met behind a candidate, and which code may follow which.
//
// Codes and lengths found in damaged data are signed 16-bit values here: a length of
// 0x8000 or more is negative and fails every range, and only TABID's even rule lets an even
// negative length through.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "biff/record_codes.hpp"

namespace tabulix {

// Which table of sound codes a scan applies; Both accepts what either accepts.
enum class ScanTable { Globals, Worksheet, Both };

namespace detail {

// The sound lengths of one code, in both substream kinds (from record_codes.def).
struct SoundClass {
  SoundSizeRange globals;
  SoundSizeRange sheet;
  SizeRule rule;
};

consteval std::size_t CountSoundCodes() {
  std::size_t count = 0;
  for (const RecordInfo& info : kRecordTable) {
    if (info.globals.present() || info.sheet.present()) ++count;
  }
  return count;
}

inline constexpr std::size_t kSoundCodeCount = CountSoundCodes();
static_assert(kSoundCodeCount < 0xFF, "a sound class index must fit in one byte");

// Entry 0 is "no sound length anywhere", so that the per-offset lookup of an unknown code
// yields 0 and costs one load and one compare.
consteval std::array<SoundClass, kSoundCodeCount + 1> BuildSoundClasses() {
  std::array<SoundClass, kSoundCodeCount + 1> classes{};
  classes[0] = SoundClass{{-1, -1}, {-1, -1}, SizeRule::Range};
  std::size_t next = 1;
  for (const RecordInfo& info : kRecordTable) {
    if (info.globals.present() || info.sheet.present()) {
      classes[next++] = SoundClass{info.globals, info.sheet, info.sizeRule};
    }
  }
  return classes;
}

consteval std::array<std::uint8_t, 0x10000> BuildSoundClassOf() {
  std::array<std::uint8_t, 0x10000> of{};
  std::uint8_t next = 1;
  for (const RecordInfo& info : kRecordTable) {
    if (info.globals.present() || info.sheet.present()) of[info.code] = next++;
  }
  return of;
}

inline constexpr std::array<SoundClass, kSoundCodeCount + 1> kSoundClasses = BuildSoundClasses();
inline constexpr std::array<std::uint8_t, 0x10000> kSoundClassOf = BuildSoundClassOf();

constexpr bool SizeFits(SoundSizeRange range, SizeRule rule, std::int16_t size) noexcept {
  if (!range.present()) return false;
  const bool inRange = range.min <= size && size <= range.max;
  switch (rule) {
    case SizeRule::Range:
      return inRange;
    case SizeRule::Even:
      return inRange && size % 2 == 0;
    case SizeRule::OneOf:
      return size == range.min || size == range.max;
    case SizeRule::ZeroOr:
      return size == 0 || inRange;
  }
  return false;
}

template <ScanTable table>
constexpr bool ClassAccepts(std::uint8_t soundClass, std::int16_t size) noexcept {
  const SoundClass& c = kSoundClasses[soundClass];
  if constexpr (table == ScanTable::Globals) {
    return SizeFits(c.globals, c.rule, size);
  } else if constexpr (table == ScanTable::Worksheet) {
    return SizeFits(c.sheet, c.rule, size);
  } else {
    return SizeFits(c.globals, c.rule, size) || SizeFits(c.sheet, c.rule, size);
  }
}

}  // namespace detail

// The table of sound codes and lengths of a workbook-globals substream.
constexpr bool IsSoundGlobalsRecord(std::int16_t code, std::int16_t size) noexcept {
  return detail::ClassAccepts<ScanTable::Globals>(
      detail::kSoundClassOf[static_cast<std::uint16_t>(code)], size);
}

// The table of sound codes and lengths of a worksheet substream.
constexpr bool IsSoundWorksheetRecord(std::int16_t code, std::int16_t size) noexcept {
  return detail::ClassAccepts<ScanTable::Worksheet>(
      detail::kSoundClassOf[static_cast<std::uint16_t>(code)], size);
}

constexpr bool IsSoundRecord(ScanTable table, std::int16_t code, std::int16_t size) noexcept {
  switch (table) {
    case ScanTable::Globals:
      return IsSoundGlobalsRecord(code, size);
    case ScanTable::Worksheet:
      return IsSoundWorksheetRecord(code, size);
    case ScanTable::Both:
      return IsSoundGlobalsRecord(code, size) || IsSoundWorksheetRecord(code, size);
  }
  return false;
}

// Whether the two bytes at the start of `bytes` hold one of the codes the scan takes for a
// real record; false when fewer than 2 bytes are given.
bool IsKnownCode(std::span<const std::uint8_t> bytes) noexcept;

// Whether a record of code `next` may follow one of code `code` in a sound stream. Used to
// settle overlapping candidates.
bool IsExpectedSuccessor(std::int16_t code, std::int16_t next) noexcept;

// Whether the bytes that follow a candidate record look like more records: the header at
// the start names a known code, or the chain of lengths behind it reaches a known code or
// the end of `bytes` (within 2 bytes) in at most 100 records and 32767 bytes without a
// record that overruns the data. The record selectors ask it too before they read.
bool NextHeaderPlausible(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace tabulix
