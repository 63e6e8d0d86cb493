#pragma once
// BOF opens every substream (workbook globals, worksheet, chart, ...); the recovery engine
// finds substreams by it, so its header check is strict: code, length, BIFF8 version and a
// known substream type.

#include <cstddef>
#include <cstdint>
#include <span>

#include "biff/record.hpp"

namespace tabulix {

class BOF : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x0809;
  static constexpr std::uint32_t kDataSize = 16;
  static constexpr std::uint16_t kBiff8 = 0x0600;
  // Substream types.
  static constexpr std::uint16_t kWorkbookGlobals = 0x0005;
  static constexpr std::uint16_t kVisualBasicModule = 0x0006;
  static constexpr std::uint16_t kWorksheet = 0x0010;
  static constexpr std::uint16_t kChart = 0x0020;
  static constexpr std::uint16_t kMacroSheet = 0x0040;
  static constexpr std::uint16_t kWorkspace = 0x0100;

  BOF();

  // The contents a new workbook gives its BOF records; the substream type stays.
  void Reset();

  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;

  // True when the header at `pos` is a BOF of length 16 with a sound BIFF8 version and type.
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);
  // True when the version field after the header at `pos` is BIFF8 and the type is known.
  static bool Validate_Biff8(std::span<const std::uint8_t> stream, std::size_t pos);

  std::uint16_t version_ = kBiff8;
  std::uint16_t type_ = 0;
  std::uint16_t buildId_ = 0x19A0;
  std::uint16_t buildYear_ = 0x07CD;
  std::uint32_t fileHistory_ = 0xC0C9;
  std::uint32_t lowestVersion_ = 0x0306;
};

// The end-of-file record, which closes every substream. Named Eof because EOF is a macro
// of the C library.
class Eof : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x000A;

  Eof();
  void Reset();

  // True when the record at `pos`, joined with any CONTINUE records behind it, is an EOF
  // with no data.
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);
};

}  // namespace tabulix
