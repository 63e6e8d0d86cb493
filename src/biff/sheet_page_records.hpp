#pragma once
// The worksheet records about outline gutters, row height and printing: GUTS,
// DEFAULTROWHEIGHT, SETUP, and the page header and footer texts.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "biff/large_string.hpp"
#include "biff/sheet_fixed_records.hpp"

namespace tabulix::sheet {

// Outline gutters and levels.
class Guts : public FixedRecord<Guts, Scope::kWorksheet> {
 public:
  static constexpr std::uint16_t kCode = 0x0080;
  static constexpr std::uint32_t kDataSize = 8;
  static constexpr std::string_view kName = "Guts";

  template <class Visit>
  void Fields(Visit& visit) {
    visit(rowGutter_, 0);
    visit(columnGutter_, 2);
    visit(rowLevels_, 4);
    visit(columnLevels_, 6);
  }

  std::uint16_t rowGutter_ = 0;     // width of the row outline gutter
  std::uint16_t columnGutter_ = 0;  // height of the column outline gutter
  std::uint16_t rowLevels_ = 0;
  std::uint16_t columnLevels_ = 0;
};

class DefaultRowHeight : public FixedRecord<DefaultRowHeight, Scope::kWorksheet> {
 public:
  static constexpr std::uint16_t kCode = 0x0225;
  static constexpr std::uint32_t kDataSize = 4;
  static constexpr std::string_view kName = "DefaultRowHeight";

  template <class Visit>
  void Fields(Visit& visit) {
    visit(flags_, 0);
    visit(height_, 2);
  }

  std::uint16_t flags_ = 0;
  std::uint16_t height_ = 255;  // twips
};

// Page setup. The margins are IEEE 754 doubles in inches, kept as their bit patterns.
class Setup : public FixedRecord<Setup, Scope::kWorksheet> {
 public:
  static constexpr std::uint16_t kCode = 0x00A1;
  static constexpr std::uint32_t kDataSize = 34;
  static constexpr std::string_view kName = "Setup";
  static constexpr std::uint64_t kHalfInch = 0x3FE0000000000000ull;  // 0.5

  template <class Visit>
  void Fields(Visit& visit) {
    visit(paperSize_, 0);
    visit(scale_, 2);
    visit(firstPage_, 4);
    visit(fitWidth_, 6);
    visit(fitHeight_, 8);
    visit(flags_, 10);
    visit(resolution_, 12);
    visit(verticalResolution_, 14);
    visit(headerMarginBits_, 16);
    visit(footerMarginBits_, 24);
    visit(copies_, 32);
  }

  std::uint16_t paperSize_ = 0;
  std::uint16_t scale_ = 255;
  std::uint16_t firstPage_ = 1;
  std::uint16_t fitWidth_ = 1;
  std::uint16_t fitHeight_ = 1;
  // Bit 2: the printer-specific fields (paper size, scale, resolutions, copies) are unset.
  std::uint16_t flags_ = 4;
  std::uint16_t resolution_ = 0;
  std::uint16_t verticalResolution_ = 0;
  std::uint64_t headerMarginBits_ = kHalfInch;
  std::uint64_t footerMarginBits_ = kHalfInch;
  std::uint16_t copies_ = 0;
};

// The page header or footer text. A record of length 0 carries no text at all (a new
// sheet's); any other carries one long string.
template <std::uint16_t Code, ClassName Name>
class PageText : public SheetRecord {
 public:
  static constexpr std::uint16_t kCode = Code;

  PageText() : SheetRecord(Code, 0) {}
  void Reset() { *this = PageText(); }

  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  // 0 without text, else the string as written: count, flags and characters (formatting
  // runs and phonetic data of a text read from a file are not kept).
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override { return SizeWithHeaders(); }

  // True when the header's code matches and its length can hold a string (or is 0).
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  bool HasText() const { return dataSize_ != 0; }
  // An empty text removes the string: the record gets length 0.
  void SetText(std::string_view utf8);

  LargeString text_;

 private:
  static RecordTexts Texts() { return StandardTexts(Scope::kWorksheet, Name.view()); }
};

using Header = PageText<0x0014, "Header">;
using Footer = PageText<0x0015, "Footer">;

extern template class PageText<0x0014, "Header">;
extern template class PageText<0x0015, "Footer">;

}  // namespace tabulix::sheet
