#include "base/display_width.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tabulix {
namespace {

TEST(DisplayWidth, ColumnsOfEachKindOfCharacter) {
  struct Case {
    std::string_view text;
    std::size_t width;
  };
  for (const Case& c : {
           Case{"Total 2024", 10},
           Case{"\u65E5\u672C\u8A9E \u304B\u30AB", 11},  // CJK ideographs, kana
           Case{"\uFF76\uFF21\uFF11", 5},                // halfwidth katakana, fullwidth A 1
           Case{"\uD55C\u1112\u1161\u11AB", 4},          // a syllable, and jamo L V T
           Case{"\u3000\U00020000", 4},                  // ideographic space, extension B
           Case{"e\u0301a\u0301\u0332\u00E9", 3},        // combining marks, precomposed
           Case{"\u0633\u064E\u0915\u094D", 2},          // Arabic fatha, Devanagari virama
           Case{"\U0001F600\u2764\uFE0F", 3},            // emoji, heart + variation selector
           Case{"a\u200Bz\uFEFF", 2},                    // zero-width space, byte-order mark
           Case{"a\tb\r\n\x7F\u0085", 2},                // C0 and C1 controls
           // Each byte of what is not well-formed UTF-8: a stray continuation, a cut
           // sequence, an overlong '/', an encoded surrogate, a value above U+10FFFF.
           Case{"\xFF\x80", 2},
           Case{"\xE6\x97", 2},
           Case{"\xC0\xAF", 2},
           Case{"\xED\xA0\x80", 3},
           Case{"\xF4\x90\x80\x80", 4},
       }) {
    EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;
  }
  // The edges of the tables.
  EXPECT_EQ(CodePointWidth(0x115F), 2);
  EXPECT_EQ(CodePointWidth(0x1160), 0);
  EXPECT_EQ(CodePointWidth(0xFF60), 2);
  EXPECT_EQ(CodePointWidth(0xFF61), 1);
  EXPECT_EQ(CodePointWidth(0x3FFFD), 2);
  EXPECT_EQ(CodePointWidth(0xE01EF), 0);
  EXPECT_EQ(CodePointWidth(0x10FFFF), 1);
}

TEST(DisplayWidth, FitToWidthKeepsWholeCharactersAndTheirMarks) {
  const std::string_view cjk = "a\u65E5\u672C";  // 5 columns
  EXPECT_EQ(FitToWidth(cjk, 5), cjk);
  EXPECT_EQ(FitToWidth(cjk, 4), "a\u65E5");  // the second wide character would cross
  EXPECT_EQ(FitToWidth(cjk, 2), "a");
  EXPECT_EQ(FitToWidth(cjk, 0), "");
  // Marks go with their base, kept or dropped together.
  const std::string_view marked = "e\u0301e\u0301\u0332x";
  EXPECT_EQ(FitToWidth(marked, 1), "e\u0301");
  EXPECT_EQ(FitToWidth(marked, 2), "e\u0301e\u0301\u0332");
  // An emoji joined to one that does not fit leaves no joiner dangling.
  EXPECT_EQ(FitToWidth("\U0001F468\u200D\U0001F469", 3), "\U0001F468");
  EXPECT_EQ(FitToWidth("\xFF\xFE"
                       "ab",
                       3),
            "\xFF\xFE"
            "a");

  // Every prefix fits and is whole, and stops at most one column short.
  const std::string mixed = "x\u65E5y\u0301\U0001F600\xFFz";
  for (std::size_t columns = 0; columns <= DisplayWidth(mixed) + 1; ++columns) {
    const std::string_view fit = FitToWidth(mixed, columns);
    EXPECT_LE(DisplayWidth(fit), columns);
    EXPECT_TRUE(mixed.starts_with(fit));
    if (fit.size() < mixed.size()) {
      EXPECT_GE(DisplayWidth(fit) + 1, columns);
    }
  }
}

}  // namespace
}  // namespace tabulix
