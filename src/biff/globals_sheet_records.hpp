#pragma once
// BOUNDSHEET: one per sheet, with the stream position of the sheet's BOF, its visibility,
// its type and its name. The recovery engine finds sheets by its header check.

#include <cstddef>
#include <cstdint>
#include <span>

#include "biff/record.hpp"
#include "biff/small_string.hpp"

namespace tabulix::globals {

class BoundSheet : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x0085;
  static constexpr std::uint32_t kFixedSize = 6;  // the fields before the name

  BoundSheet();  // a visible worksheet "Sheet1" at position 0
  void Reset();

  // Returns the stream bytes consumed; 0 when the data is empty or the name reads as
  // empty (the caller steps over the record by its header).
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;

  // True only for a BOUNDSHEET that reads with a name, a position below 2^31, visibility
  // 0 or 1 and a sheet type from 0 to 6.
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::uint32_t position_ = 0;   // of the sheet's BOF, from the start of the stream
  std::uint8_t visibility_ = 0;  // 0 visible, 1 hidden
  std::uint8_t type_ = 0;        // 0 worksheet
  SmallString name_;
};

}  // namespace tabulix::globals
