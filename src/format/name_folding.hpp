#pragma once
// How names compare without regard to case: stream names in a compound document's directory
// (the platform finds "WORKBOOK" when asked for "Workbook") and sheet names in a workbook (a
// spreadsheet program refuses two sheets whose names differ only in case). One rule for
// both, so that the readers and the save agree on which names are the same.

#include <algorithm>
#include <string>
#include <string_view>

namespace tabulix {

// The upper-case form of one UTF-16 unit. ASCII and Latin-1 letters are folded (and
// y-diaeresis to its capital outside Latin-1); every other unit stands for itself.
constexpr char16_t FoldNameCase(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  return c;
}

inline std::u16string FoldedName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = FoldNameCase(c);
  return folded;
}

constexpr bool SameNameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return FoldNameCase(x) == FoldNameCase(y); });
}

}  // namespace tabulix
