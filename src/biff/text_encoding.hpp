#pragma once
// Conversions between the three encodings text meets in this system: UTF-8 (all narrow text
// outside the records), Latin-1 (BIFF8 8-bit characters, which are the low bytes of UTF-16
// code units) and UTF-16 (BIFF8 16-bit characters). Exact mappings, no locale: a byte b
// is U+00b. Malformed input never fails a conversion; it becomes U+FFFD.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tabulix::text {

inline constexpr char32_t kReplacement = 0xFFFD;

std::u16string Latin1ToUtf16(std::string_view latin1);
std::string Latin1ToUtf8(std::string_view latin1);

// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view utf16);

// Each maximal ill-formed subsequence (a stray continuation byte, a truncated sequence, an
// overlong form, an encoded surrogate, a value above U+10FFFF) becomes one U+FFFD.
std::u32string Utf8ToCodePoints(std::string_view utf8);
std::u16string Utf8ToUtf16(std::string_view utf8);

// The Latin-1 bytes of `utf8` when every code point is at most U+00FF, else nothing.
std::optional<std::string> Utf8ToLatin1(std::string_view utf8);

// Whether readers can decode text in code page `page` (the ones Excel writes): a
// workbook naming another is refused by them.
bool KnownCodePage(std::uint16_t page);

}  // namespace tabulix::text
