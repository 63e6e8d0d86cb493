#include "biff/text_encoding.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace tabulix::text {

namespace {

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Calls `sink` with each code point of `utf8`, decoding by the well-formed byte ranges so
// that a broken sequence is replaced as a whole and the byte that broke it starts anew.
template <typename Sink>
void DecodeUtf8(std::string_view utf8, Sink sink) {
  std::size_t i = 0;
  const std::size_t n = utf8.size();
  while (i < n) {
    const auto lead = static_cast<std::uint8_t>(utf8[i]);
    if (lead < 0x80) {
      sink(static_cast<char32_t>(lead));
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    char32_t cp = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      cp = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      cp = lead & 0x07;
      if (lead == 0xF0) low = 0x90;   // no overlong forms
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      sink(kReplacement);
      ++i;
      continue;
    }
    std::size_t used = 1;
    bool good = true;
    for (; used < length; ++used) {
      if (i + used >= n) {
        good = false;
        break;
      }
      const auto next = static_cast<std::uint8_t>(utf8[i + used]);
      if (next < low || next > high) {
        good = false;
        break;
      }
      low = 0x80;
      high = 0xBF;
      cp = (cp << 6) | (next & 0x3F);
    }
    sink(good ? cp : kReplacement);
    i += used;
  }
}

}  // namespace

std::u16string Latin1ToUtf16(std::string_view latin1) {
  std::u16string out;
  out.reserve(latin1.size());
  for (char c : latin1) out.push_back(static_cast<char16_t>(static_cast<std::uint8_t>(c)));
  return out;
}

std::string Latin1ToUtf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (char c : latin1) AppendUtf8(out, static_cast<std::uint8_t>(c));
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t unit = utf16[i];
    if (IsHighSurrogate(unit) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
      const char32_t cp = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                          (static_cast<char32_t>(utf16[i + 1]) - 0xDC00);
      AppendUtf8(out, cp);
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::u32string Utf8ToCodePoints(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  DecodeUtf8(utf8, [&](char32_t cp) { out.push_back(cp); });
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  DecodeUtf8(utf8, [&](char32_t cp) { AppendUtf16(out, cp); });
  return out;
}

std::optional<std::string> Utf8ToLatin1(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  bool fits = true;
  DecodeUtf8(utf8, [&](char32_t cp) {
    if (cp > 0xFF)
      fits = false;
    else
      out.push_back(static_cast<char>(cp));
  });
  if (!fits) return std::nullopt;
  return out;
}

bool KnownCodePage(std::uint16_t page) {
  static constexpr std::array<std::uint16_t, 37> kPages = {
      367,  437,  720,  737,  775,  850,  852,  855,  857,   858,   860,  861,  862,
      863,  864,  865,  866,  869,  874,  932,  936,  949,   950,   1200, 1250, 1251,
      1252, 1253, 1254, 1255, 1256, 1257, 1258, 1361, 10000, 32768, 32769};
  return std::find(kPages.begin(), kPages.end(), page) != kPages.end();
}

}  // namespace tabulix::text
