#pragma once
// The workbook-globals records that name things: the user who last saved (WRITEACCESS),
// the code name / code page record (CODENAME) and the sheet identifiers (TABID).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "biff/large_string.hpp"
#include "biff/record.hpp"
#include "biff/small_string.hpp"

namespace tabulix::globals {

// The user name in a fixed-length record padded with spaces: 112 bytes holding a long
// string, or 32 holding a short one.
class WRITEACCESS : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x005C;
  static constexpr std::uint32_t kLongSize = 112;
  static constexpr std::uint32_t kShortSize = 32;

  WRITEACCESS();
  void Reset();

  // Returns the stream bytes consumed. Any length but 112 or 32 is logged and taken as
  // 112 for writing; the names stay as they were.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  LargeString userName_;       // the name in a 112-byte record
  SmallString userNameShort_;  // the name in a 32-byte record
};

// A 2-byte record holds a code page; a longer one (4 to 511 bytes) a name.
class CODENAME : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x0042;

  CODENAME();
  // A new workbook's record: code page 1200 (UTF-16).
  void Reset();

  // Returns the stream bytes consumed. Any other length is logged and taken as 2.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::uint16_t value_ = 0;
  LargeString name_;
};

// The sheet identifiers in tab order, 16 bits each.
class TABID : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x013D;

  TABID();
  void Reset();

  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::vector<std::uint16_t> ids_;
};

}  // namespace tabulix::globals
