#pragma once
// The short BIFF8 string: an 8-bit character count, a flags byte (bit 0: 16-bit
// characters) and the characters. Sheet names and font names use it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tabulix {

class SmallString {
 public:
  // The count is one byte: longer texts are cut to this many characters on assignment.
  static constexpr std::size_t kMaxChars = 255;

  SmallString() = default;

  // Reads the string at `pos` of a record's data bytes. Returns the bytes it takes, 0 for
  // an empty string (step over it with DataSize()). Characters that would lie past the end
  // of `data` are not read; those before them are kept and counted.
  std::uint32_t Read(std::span<const std::uint8_t> data, std::size_t pos);
  // Writes the string at `pos`; returns the bytes written (as far as `data` has room).
  std::uint32_t Write(std::span<std::uint8_t> data, std::size_t pos) const;

  std::uint32_t StringSize() const;  // characters
  std::uint32_t DataSize() const;    // bytes as stored
  std::uint32_t RecordSize() const { return DataSize(); }

  // Stores UTF-8 text: as 8-bit characters when every one is at most U+00FF, else as
  // 16-bit characters. Malformed UTF-8 becomes U+FFFD.
  void Assign(std::string_view utf8);
  void Assign(std::u16string_view utf16);
  SmallString& operator=(std::string_view utf8) {
    Assign(utf8);
    return *this;
  }
  SmallString& operator=(std::u16string_view utf16) {
    Assign(utf16);
    return *this;
  }

  std::string ToUtf8() const;
  bool IsWide() const { return unicode_ != 0; }

  std::uint8_t unicode_ = 0;  // 0: the text is narrow_, 1: the text is wide_
  std::string narrow_;        // 8-bit characters (Latin-1 bytes)
  std::u16string wide_;       // 16-bit characters
};

}  // namespace tabulix
