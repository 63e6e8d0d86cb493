#pragma once
// The long BIFF8 string: a 16-bit character count, a flags byte (bit 0: 16-bit characters,
// bit 2: a phonetic block follows, bit 3: formatting runs follow), the run count and the
// phonetic size when flagged, the characters, then the runs and the phonetic block.
// Shared strings, number formats, style names and page headers use it.
//
// A string may be split over CONTINUE records: every further piece opens with a flags byte
// of its own and may change the character width. To read one piece by piece, call
// ReadHeader at the string, then ContinueRead for its first piece (at the string's own
// flags byte, two bytes in) and for each further piece (at the flags byte that opens it).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tabulix {

class LargeString {
 public:
  static constexpr std::size_t kMaxChars = 0xFFFF;
  static constexpr std::uint8_t kUnknownWidth = 0xFF;

  LargeString() = default;

  // Reads the whole string at `pos`. Returns the bytes it takes, its runs and phonetic
  // block included. Characters past the end of `data` are not read; those before them stay.
  std::uint32_t Read(std::span<const std::uint8_t> data, std::size_t pos);

  // Reads the count, flags, run count and phonetic size at `pos`, empties the text and
  // prepares the first ContinueRead. Returns the header's size (3 to 9 bytes), 0 when the
  // count and flags are not there.
  std::uint32_t ReadHeader(std::span<const std::uint8_t> data, std::size_t pos);

  // Reads `count` characters of one piece whose flags byte is at `pos` and appends them.
  // Returns the bytes taken: flags byte, header fields (first piece only), characters,
  // and the runs and phonetic block once the last character is read.
  std::uint32_t ContinueRead(std::span<const std::uint8_t> data, std::size_t pos,
                             std::uint32_t count);

  // Writes count, flags (width only; runs and phonetic data are not kept) and characters.
  // Returns the bytes written (as far as `data` has room).
  std::uint32_t Write(std::span<std::uint8_t> data, std::size_t pos);

  std::uint32_t StringSize() const;  // bytes of the characters
  std::uint32_t DataSize() const;    // bytes as read: header, characters, runs, phonetic
  std::uint32_t RecordSize() const { return DataSize(); }

  // Stores UTF-8 text: 8-bit characters when every one is at most U+00FF (unicode_ 0),
  // else 16-bit ones (unicode_ 1). Malformed UTF-8 becomes U+FFFD.
  void Assign(std::string_view utf8);
  void Assign(std::u16string_view utf16);
  LargeString& operator=(std::string_view utf8) {
    Assign(utf8);
    return *this;
  }
  LargeString& operator=(std::u16string_view utf16) {
    Assign(utf16);
    return *this;
  }

  std::string ToUtf8() const;
  // Whether the text is wide_ (else narrow_).
  bool IsWide() const;

  std::u16string wide_;  // the text when bit 0 of unicode_ is set
  std::string narrow_;   // the text (Latin-1 bytes) when bit 0 of unicode_ is clear
  std::uint8_t unicode_ = kUnknownWidth;  // the flags byte as read
  std::int16_t richtext_ = 0;             // number of formatting runs
  std::int32_t phonetic_ = 0;             // bytes of the phonetic block

 private:
  // Counts the runs and the phonetic block that follow the characters at `at`, cutting
  // them to what `data` holds. Returns their bytes; `cut` tells whether they were cut.
  std::uint32_t TakeTrailing(std::span<const std::uint8_t> data, std::size_t at, bool& cut);

  bool headerPending_ = false;   // the next piece is the first: it carries the header fields
  std::uint32_t charsLeft_ = 0;  // characters the header announced and not read yet
};

}  // namespace tabulix
