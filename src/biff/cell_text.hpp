#pragma once
// Text held in the cell table outside the shared string table: the LABEL cell (and RSTRING,
// its form with formatting runs), which some writers still use in BIFF8 files, and the
// reader for a long string whose characters may go on in CONTINUE records.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "biff/cell_records.hpp"
#include "biff/large_string.hpp"

namespace tabulix::cells {

// Reads the long string at `pos` of a record's joined data whose CONTINUE parts began at
// `continueIndices` (each further part opens with a flags byte of its own). Returns true
// when every character the count announces was there and its runs and phonetic block fit
// in `data`; `end` gets where the string ended (as far as it went).
bool ReadPiecedString(std::span<const std::uint8_t> data, std::size_t pos,
                      std::span<const std::uint32_t> continueIndices, LargeString& text,
                      std::size_t& end);

// A text cell. Reads LABEL (0x0204) and RSTRING (0x00D6) and always writes a LABEL: the
// formatting runs of an RSTRING are dropped, its text (any script) is kept.
class Label : public CellRecord {
 public:
  static constexpr std::uint16_t kCode = 0x0204;
  static constexpr std::uint16_t kRichCode = 0x00D6;
  static constexpr std::uint32_t kFixedBytes = 6;

  Label();
  void Reset();
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;
  // A LABEL or an RSTRING header long enough for the fields and an empty string.
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::string Text() const { return text_.ToUtf8(); }
  void SetText(std::string_view utf8) { text_.Assign(utf8); }

  LargeString text_;
  // Bytes some writers put behind a LABEL's string (two zero bytes, say): kept and written
  // back. An RSTRING's formatting runs are not kept.
  std::vector<std::uint8_t> tail_;
  // The code the record was read with (LABEL or RSTRING); written is always LABEL.
  std::uint16_t readCode_ = kCode;
};

}  // namespace tabulix::cells
