#include "biff/text_encoding.hpp"

#include <gtest/gtest.h>

namespace tabulix::text {
namespace {

TEST(TextEncoding, Latin1IsExactWithoutALocale) {
  const std::string all("A\xE9\xFF\x80\x00z", 6);  // one byte per character, NUL included
  EXPECT_EQ(Latin1ToUtf16(all), (std::u16string{u'A', 0x00E9, 0x00FF, 0x0080, 0x0000, u'z'}));
  EXPECT_EQ(Latin1ToUtf8(all), std::string("A\xC3\xA9\xC3\xBF\xC2\x80\x00z", 9));
  EXPECT_EQ(Utf8ToLatin1(Latin1ToUtf8(all)), all);
  EXPECT_EQ(Utf8ToLatin1("\xE4\xB8\xAD"), std::nullopt);  // U+4E2D does not fit
  EXPECT_EQ(Utf8ToLatin1("\xC5\x81"), std::nullopt);      // U+0141, just above
}

TEST(TextEncoding, Utf16ToUtf8ReplacesUnpairedSurrogates) {
  EXPECT_EQ(Utf16ToUtf8(u"\u4E2D\u6587"), "\xE4\xB8\xAD\xE6\x96\x87");
  EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D}), fffd);              // high at the end
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xDE00, u'a'}), fffd + "a");  // lone low
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D, u'a'}), fffd + "a");  // high before a letter
  EXPECT_EQ(Utf16ToUtf8(std::u16string{0xD83D, 0xD83D, 0xDE00}), fffd + "\xF0\x9F\x98\x80");
}

TEST(TextEncoding, MalformedUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(Utf8ToUtf16("a\xE4\xB8\xAD\xF0\x9F\x98\x80"),
            (std::u16string{u'a', 0x4E2D, 0xD83D, 0xDE00}));
  const char32_t r = kReplacement;
  EXPECT_EQ(Utf8ToCodePoints("\x80z"), (std::u32string{r, U'z'}));      // stray continuation
  EXPECT_EQ(Utf8ToCodePoints("\xE4\xB8z"), (std::u32string{r, U'z'}));  // truncated, then a letter
  EXPECT_EQ(Utf8ToCodePoints("\xE4\xB8"), (std::u32string{r}));         // truncated at the end
  EXPECT_EQ(Utf8ToCodePoints("\xC0\xAF"), (std::u32string{r, r}));      // overlong '/'
  EXPECT_EQ(Utf8ToCodePoints("\xE0\x80\xAF"), (std::u32string{r, r, r}));  // overlong, 3 bytes
  EXPECT_EQ(Utf8ToCodePoints("\xED\xA0\x80"), (std::u32string{r, r, r}));  // encoded surrogate
  EXPECT_EQ(Utf8ToCodePoints("\xF4\x90\x80\x80"), (std::u32string{r, r, r, r}));  // above U+10FFFF
  EXPECT_EQ(Utf8ToCodePoints("\xFF\xFE"), (std::u32string{r, r}));
  EXPECT_EQ(Utf8ToCodePoints("\xF4\x8F\xBF\xBF"), (std::u32string{0x10FFFF}));
  EXPECT_EQ(Utf8ToLatin1("\xE9"), std::nullopt);  // a Latin-1 byte is not UTF-8: U+FFFD
}

}  // namespace
}  // namespace tabulix::text
