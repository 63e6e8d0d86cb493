#pragma once
// The workbook's look: fonts, number formats, cell styles and the colour palette.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "biff/large_string.hpp"
#include "biff/record.hpp"
#include "biff/small_string.hpp"

namespace tabulix::globals {

class Font : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x0031;
  static constexpr std::uint32_t kFixedSize = 14;  // the fields before the name

  Font();  // Arial, 10 points, regular
  void Reset();

  // Returns the stream bytes consumed; 0 when the name reads as empty (the caller steps
  // over the record by its header).
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::uint16_t height_ = 200;  // twentieths of a point
  std::uint16_t options_ = 0;
  std::uint16_t colour_ = 0x7FFF;
  std::uint16_t weight_ = 400;
  std::uint16_t escapement_ = 0;
  std::uint8_t underline_ = 0;
  std::uint8_t family_ = 0;
  std::uint8_t charset_ = 0;
  std::uint8_t reserved_ = 0x39;
  SmallString name_;
};

// A number format: its index and its format text.
class Format : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x041E;

  Format();
  void Reset();

  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  // Index and the string as written: formatting runs and phonetic data are not kept.
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::uint16_t index_ = 0;
  LargeString text_;
};

// A cell style: built-in (bit 15 of the XF word set: identifier and outline level) or
// user-defined (a name).
class Style : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x0293;
  static constexpr std::uint16_t kBuiltIn = 0x8000;

  Style();
  void Reset();

  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  bool IsBuiltIn() const { return (xfIndex_ & kBuiltIn) != 0; }

  std::uint16_t xfIndex_ = kBuiltIn;  // XF index, bit 15: built-in
  std::uint8_t builtInId_ = 0;
  std::uint8_t outlineLevel_ = 0xFF;
  LargeString name_;  // user-defined styles only
};

// The colour palette. A workbook has one only once it was read from a source: a
// constructed or reset palette has no code and is neither written nor counted.
class Palette : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x0092;
  static constexpr std::uint16_t kDefaultCount = 56;

  Palette();
  void Reset();
  bool Present() const { return code_ == kCode; }

  // A count larger than the colours the data holds is logged and cut to them.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  // Colours missing from colours_ are written as zero bytes.
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::uint16_t count_ = kDefaultCount;
  std::vector<std::uint32_t> colours_;  // red, green, blue, reserved: lowest byte first
};

}  // namespace tabulix::globals
