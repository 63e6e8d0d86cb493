#pragma once
// The record codes the system knows, expanded from the one table in record_codes.def.
// The recovery scan asks about codes at every byte offset of a stream, so each lookup is
// one index into a table built at compile time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tabulix {

enum class RecordCode : std::uint16_t {
#define TABULIX_RECORD(code, identifier, ...) identifier = code,
#include "biff/record_codes.def"
#undef TABULIX_RECORD
};

// How the recovery scan reads a record's range of sound data lengths (record_codes.def).
enum class SizeRule : std::uint8_t { Range, Even, OneOf, ZeroOr };

// A range of sound data lengths; {-1, -1} when the scan never accepts the code there.
struct SoundSizeRange {
  std::int16_t min;
  std::int16_t max;
  constexpr bool present() const noexcept { return !(min == -1 && max == -1); }
};

struct RecordInfo {
  std::uint16_t code;
  std::string_view name;
  std::string_view className;  // empty when no class reads the record
  bool known;                  // one of the codes the recovery scan takes for a real record
  SoundSizeRange globals;      // sound lengths in a workbook-globals substream
  SoundSizeRange sheet;        // sound lengths in a worksheet substream
  SizeRule sizeRule;
};

inline constexpr std::array kRecordTable = {
#define TABULIX_RECORD(code, identifier, name, className, known, globalsMin, globalsMax, sheetMin, \
                       sheetMax, sizeRule, ...)                                                    \
  RecordInfo{code,                                                                                 \
             name,                                                                                 \
             className,                                                                            \
             known,                                                                                \
             SoundSizeRange{globalsMin, globalsMax},                                               \
             SoundSizeRange{sheetMin, sheetMax},                                                   \
             SizeRule::sizeRule},
#include "biff/record_codes.def"
#undef TABULIX_RECORD
};

namespace detail {

// Slot 0 means "unknown"; slot i + 1 names kRecordTable[i].
using RecordSlot = std::uint8_t;
static_assert(kRecordTable.size() < 0xFF, "the slot type must hold every known record");

consteval std::array<RecordSlot, 0x10000> BuildRecordSlots() {
  // Not named "slots": that word is a macro wherever Qt's headers come first.
  std::array<RecordSlot, 0x10000> table{};
  for (std::size_t i = 0; i < kRecordTable.size(); ++i) {
    table[kRecordTable[i].code] = static_cast<RecordSlot>(i + 1);
  }
  return table;
}

inline constexpr std::array<RecordSlot, 0x10000> kRecordSlots = BuildRecordSlots();

}  // namespace detail

// The table entry of `code`, or nullptr for a code the system does not know.
constexpr const RecordInfo* FindRecord(std::uint16_t code) noexcept {
  const detail::RecordSlot slot = detail::kRecordSlots[code];
  return slot == 0 ? nullptr : &kRecordTable[slot - 1];
}

constexpr bool IsKnownRecord(std::uint16_t code) noexcept {
  return detail::kRecordSlots[code] != 0;
}

// Whether the recovery scan takes `code` for a real record when it meets it right behind a
// candidate header: the `known` column, a narrower set than IsKnownRecord.
constexpr bool IsScanKnownCode(std::uint16_t code) noexcept {
  const detail::RecordSlot slot = detail::kRecordSlots[code];
  return slot != 0 && kRecordTable[slot - 1].known;
}

// The record's name as text ("BOF", "SST", ...); empty for an unknown code.
constexpr std::string_view RecordName(std::uint16_t code) noexcept {
  const detail::RecordSlot slot = detail::kRecordSlots[code];
  return slot == 0 ? std::string_view{} : kRecordTable[slot - 1].name;
}

constexpr std::uint16_t ToCode(RecordCode code) noexcept {
  return static_cast<std::uint16_t>(code);
}

}  // namespace tabulix
