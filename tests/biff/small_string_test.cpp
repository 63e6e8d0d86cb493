#include "biff/small_string.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "byte_builder.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

using test::ByteBuilder;
using test::LogCapture;

TEST(SmallStringTest, ReadsBothWidthsAndWritesThemBack) {
  LogCapture log;
  {  // 200 8-bit characters.
    const auto data = ByteBuilder()
                          .U8(200)  // count
                          .U8(0)    // flags: 8-bit
                          .Fill(200, 0x20)
                          .bytes();
    SmallString s;
    EXPECT_EQ(s.Read(data, 0), 202u);
    EXPECT_EQ(s.StringSize(), 200u);
    EXPECT_EQ(s.DataSize(), 202u);
    std::vector<std::uint8_t> out(202);
    EXPECT_EQ(s.Write(out, 0), 202u);
    EXPECT_EQ(out, data);
  }
  {  // 16-bit characters at an offset inside the record data.
    const auto data = ByteBuilder()
                          .Fill(6)      // fields before the string
                          .U8(2)        // count
                          .U8(1)        // flags: 16-bit
                          .U16(0x5DE5)  // 工
                          .U16(0x4F5C)  // 作
                          .bytes();
    SmallString s;
    EXPECT_EQ(s.Read(data, 6), 6u);
    EXPECT_EQ(s.ToUtf8(), "\xE5\xB7\xA5\xE4\xBD\x9C");
    EXPECT_EQ(s.DataSize(), 6u);
    std::vector<std::uint8_t> out(12);
    EXPECT_EQ(s.Write(out, 6), 6u);
    EXPECT_TRUE(std::equal(out.begin() + 6, out.end(), data.begin() + 6));
  }
  {  // An empty string takes 0 bytes by Read but 2 by DataSize; the old text goes.
    const auto data = ByteBuilder().U8(0).U8(0).bytes();
    SmallString s;
    s = "Sheet1";
    EXPECT_EQ(s.Read(data, 0), 0u);
    EXPECT_EQ(s.ToUtf8(), "");
    EXPECT_EQ(s.DataSize(), 2u);
  }
  EXPECT_TRUE(log.ErrorLines().empty());
}

TEST(SmallStringTest, ShortDataKeepsWhatWasRead) {
  LogCapture log;
  {
    const auto data = ByteBuilder()
                          .U8(5)                 // count says 5
                          .U8(0)                 // flags
                          .Raw({'a', 'b', 'c'})  // only 3 there
                          .bytes();
    SmallString s;
    EXPECT_EQ(s.Read(data, 0), 5u);
    EXPECT_EQ(s.ToUtf8(), "abc");
  }
  {  // 16-bit: an odd byte at the end is not half a character.
    const auto data = ByteBuilder().U8(3).U8(1).U16(u'x').U8(0x41).bytes();
    SmallString s;
    EXPECT_EQ(s.Read(data, 0), 4u);
    EXPECT_EQ(s.ToUtf8(), "x");
  }
  {  // The count itself is missing.
    const auto data = ByteBuilder().U8(3).bytes();
    SmallString s;
    EXPECT_EQ(s.Read(data, 0), 0u);
    EXPECT_EQ(s.Read(data, 7), 0u);
  }
  EXPECT_EQ(log.CountError("Error reading SmallString Record"), 4);
  {  // Writing into too little room stops at the end of the buffer.
    SmallString s;
    s = "abcdef";
    std::vector<std::uint8_t> out(5, 0xEE);
    EXPECT_EQ(s.Write(out, 0), 5u);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{6, 0, 'a', 'b', 'c'}));
    EXPECT_EQ(s.Write(out, 4), 0u);
  }
  EXPECT_EQ(log.CountError("Error writing SmallString Record"), 2);
}

TEST(SmallStringTest, Utf8AssignmentPicksTheWidthAndFitsTheCount) {
  SmallString s;
  s = "Caf\xC3\xA9";  // é fits 8 bits
  EXPECT_FALSE(s.IsWide());
  EXPECT_EQ(s.narrow_, "Caf\xE9");
  EXPECT_EQ(s.DataSize(), 6u);
  s = "\xE8\xA1\xA8 1";  // 表 does not
  EXPECT_TRUE(s.IsWide());
  EXPECT_EQ(s.wide_, u"\u8868 1");
  EXPECT_TRUE(s.narrow_.empty());
  EXPECT_EQ(s.DataSize(), 2u + 6);
  EXPECT_EQ(s.ToUtf8(), "\xE8\xA1\xA8 1");

  // A count byte cannot say more than 255: longer text is cut, never written with a
  // count that disagrees with its characters.
  s = std::string(300, 'x');
  EXPECT_EQ(s.StringSize(), 255u);
  std::u16string emoji;
  for (int i = 0; i < 200; ++i) emoji += u"\U0001F600";
  s = emoji;
  EXPECT_EQ(s.StringSize(), 254u);  // the pair at 254/255 is not split
  std::vector<std::uint8_t> out(s.DataSize());
  EXPECT_EQ(s.Write(out, 0), out.size());
  SmallString back;
  EXPECT_EQ(back.Read(out, 0), out.size());
  EXPECT_EQ(back.wide_, s.wide_);

  SmallString copy = s;  // a value: the copy has its own text
  s = "y";
  EXPECT_EQ(copy.StringSize(), 254u);
}

}  // namespace
}  // namespace tabulix
