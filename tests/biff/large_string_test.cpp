#include "biff/large_string.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "biff/record.hpp"
#include "byte_builder.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

using test::ByteBuilder;
using test::LogCapture;

constexpr const char* kContinueError = "Error reading LargeString::ContinueRead Record";

TEST(LargeStringTest, ReadCountsRunsAndPhoneticButWritesOnlyTheText) {
  LogCapture log;
  {  // Empty.
    const auto data = ByteBuilder().U16(0).U8(0).bytes();
    LargeString s;
    s = "old";
    EXPECT_EQ(s.Read(data, 0), 3u);
    EXPECT_TRUE(s.narrow_.empty());
    EXPECT_TRUE(s.wide_.empty());
  }
  {  // Flags 0x09: 16-bit characters with 2 formatting runs.
    const auto data = ByteBuilder()
                          .U16(5)    // count
                          .U8(0x09)  // flags: 16-bit, runs
                          .U16(2)    // run count
                          .Raw({'H', 0, 'e', 0, 'l', 0, 'l', 0, 'o', 0})
                          .Fill(8, 0x90)  // 2 runs
                          .bytes();
    LargeString s;
    EXPECT_EQ(s.Read(data, 0), 23u);
    EXPECT_EQ(s.DataSize(), 23u);
    EXPECT_EQ(s.ToUtf8(), "Hello");
    std::vector<std::uint8_t> out(s.DataSize(), 0xEE);
    EXPECT_EQ(s.Write(out, 0), 13u);
    EXPECT_EQ(out[2], 0x01);  // width only
    EXPECT_EQ(out[3], 'H');
  }
  {  // Phonetic block with 8-bit characters, at an offset.
    const auto data = ByteBuilder()
                          .Fill(4)   // fields before the string
                          .U16(2)    // count
                          .U8(0x04)  // flags: 8-bit, phonetic
                          .U32(6)    // phonetic size
                          .Raw({'o', 'k'})
                          .Fill(6, 0xA0)  // phonetic block
                          .U8(0x77)       // next field
                          .bytes();
    LargeString s;
    EXPECT_EQ(s.Read(data, 4), 3u + 4 + 2 + 6);
    EXPECT_EQ(s.narrow_, "ok");
  }
  {  // An empty string still carries its runs; a new read forgets the old counts.
    const auto data = ByteBuilder().U16(0).U8(0x08).U16(1).Fill(4).U16(1).U8(0).U8('z').bytes();
    LargeString s;
    EXPECT_EQ(s.Read(data, 0), 9u);
    EXPECT_EQ(s.DataSize(), 9u);
    EXPECT_EQ(s.Read(data, 9), 4u);
    EXPECT_EQ(s.richtext_, 0);
    EXPECT_EQ(s.DataSize(), 4u);
  }
  EXPECT_TRUE(log.ErrorLines().empty());
}

TEST(LargeStringTest, PiecesAcrossContinueKeepEveryCharacter) {
  LogCapture log;
  {  // First piece 16-bit, continuation 8-bit: one 16-bit text.
    const auto data = ByteBuilder()
                          .U16(4)       // count
                          .U8(0x01)     // flags: 16-bit
                          .U16(0x4E2D)  // 中
                          .U16(0x6587)  // 文
                          .U8(0x00)     // continuation flags: 8-bit
                          .Raw({'a', 0xE9})
                          .bytes();
    LargeString s;
    EXPECT_EQ(s.ReadHeader(data, 0), 3u);
    EXPECT_EQ(s.ContinueRead(data, 2, 2), 5u);
    EXPECT_EQ(s.ContinueRead(data, 7, 2), 3u);
    EXPECT_EQ(s.wide_, u"\u4E2D\u6587a\u00E9");
  }
  {  // First piece 8-bit, continuation 16-bit CJK: the text is widened, nothing narrowed.
    const auto data = ByteBuilder()
                          .U16(4)    // count
                          .U8(0x00)  // flags: 8-bit
                          .Raw({'Q', 0xE9})
                          .U8(0x01)     // continuation flags: 16-bit
                          .U16(0x65E5)  // 日
                          .U16(0x672C)  // 本
                          .bytes();
    LargeString s;
    s.ReadHeader(data, 0);
    EXPECT_EQ(s.ContinueRead(data, 2, 2), 3u);
    EXPECT_FALSE(s.IsWide());
    EXPECT_EQ(s.ContinueRead(data, 5, 2), 5u);
    EXPECT_TRUE(s.IsWide());
    EXPECT_TRUE(s.narrow_.empty());
    EXPECT_EQ(s.wide_, u"Q\u00E9\u65E5\u672C");
    EXPECT_EQ(s.ToUtf8(), "Q\xC3\xA9\xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(s.StringSize(), 8u);
    std::vector<std::uint8_t> out(s.DataSize());
    EXPECT_EQ(s.Write(out, 0), 11u);
    LargeString back;
    EXPECT_EQ(back.Read(out, 0), 11u);
    EXPECT_EQ(back.wide_, s.wide_);
  }
  {  // The runs and the phonetic block follow the last piece and are counted once; the
     // run count and phonetic size sit in the first piece only.
    const auto data = ByteBuilder()
                          .U16(3)    // count
                          .U8(0x0C)  // flags: 8-bit, runs, phonetic
                          .U16(1)    // run count
                          .U32(2)    // phonetic size
                          .U8('a')
                          .U8(0x00)  // continuation flags
                          .Raw({'b', 'c'})
                          .Fill(4)  // 1 run
                          .Fill(2)  // phonetic block
                          .bytes();
    LargeString s;
    EXPECT_EQ(s.ReadHeader(data, 0), 9u);
    EXPECT_EQ(s.ContinueRead(data, 2, 1), 8u);
    EXPECT_EQ(s.ContinueRead(data, 10, 2), 3u + 6);
    EXPECT_EQ(s.narrow_, "abc");
  }
  {  // A piece boundary right after the header: the next piece is a continuation.
    const auto data = ByteBuilder().U16(1).U8(0x08).U16(1).U8(0x00).U8('x').Fill(4).bytes();
    LargeString s;
    s.ReadHeader(data, 0);
    EXPECT_EQ(s.ContinueRead(data, 2, 0), 0u);
    EXPECT_EQ(s.ContinueRead(data, 5, 1), 2u + 4);
    EXPECT_EQ(s.narrow_, "x");
  }
  {  // A fresh string driven piece by piece without ReadHeader: its width comes from the
     // first flags byte.
    const auto data = ByteBuilder().U8(0x01).U16(u'k').bytes();
    LargeString s;
    EXPECT_EQ(s.ContinueRead(data, 0, 1), 3u);
    EXPECT_EQ(s.unicode_, 0x01);
    EXPECT_EQ(s.wide_, u"k");
  }
  EXPECT_TRUE(log.ErrorLines().empty());
}

TEST(LargeStringTest, CjkTextSplitOverAContinueRecordComesBackWhole) {
  // A shared-string table whose one string starts 5 bytes before the end of the first
  // record: 2 Latin-1 characters there, 3 CJK characters in the CONTINUE record.
  const auto stream = ByteBuilder()
                          .Header(0x00FC, 13)  // SST
                          .U32(1)              // total references
                          .U32(1)              // unique strings
                          .U16(5)              // character count
                          .U8(0x00)            // flags: 8-bit
                          .Raw({'N', 0xB0})    // "N°"
                          .Header(0x003C, 7)   // CONTINUE
                          .U8(0x01)            // flags: 16-bit from here
                          .U16(0x6771)         // 東
                          .U16(0x4EAC)         // 京
                          .U16(0x90FD)         // 都
                          .bytes();
  Record sst;
  ASSERT_EQ(sst.Read(stream, 0), stream.size());
  ASSERT_EQ(sst.continueIndices_, (std::vector<std::uint32_t>{13}));
  const std::size_t q = 8;
  const std::uint32_t split = sst.continueIndices_[0];
  LargeString s;
  const std::uint32_t header = s.ReadHeader(sst.data_, q);
  const std::uint32_t before = split - static_cast<std::uint32_t>(q) - header;
  std::size_t end = q + 2 + s.ContinueRead(sst.data_, q + 2, before);
  EXPECT_EQ(end, split);
  end = split + s.ContinueRead(sst.data_, split, 5 - before);
  EXPECT_EQ(end, sst.data_.size());
  EXPECT_EQ(s.ToUtf8(), "N\xC2\xB0\xE6\x9D\xB1\xE4\xBA\xAC\xE9\x83\xBD");
}

TEST(LargeStringTest, DamagedLengthsStayInsideTheData) {
  LogCapture log;
  {  // Characters past the end: those before stay.
    const auto data = ByteBuilder().U16(10).U8(0x00).Raw({'a', 'b', 'c'}).bytes();
    LargeString s;
    EXPECT_EQ(s.Read(data, 0), 6u);
    EXPECT_EQ(s.narrow_, "abc");
    EXPECT_EQ(s.DataSize(), 6u);
  }
  {  // A phonetic size far beyond the data is cut to what is there, so that no owner
     // sizes its data by it.
    const auto data = ByteBuilder().U16(1).U8(0x04).U32(0xFFFFFFF0u).U8('a').Fill(3).bytes();
    LargeString s;
    EXPECT_EQ(s.Read(data, 0), data.size());
    EXPECT_EQ(s.DataSize(), data.size());
  }
  {  // A run count that claims more than there is.
    const auto data = ByteBuilder().U16(1).U8(0x08).U16(0xFFFF).U8('a').Fill(9).bytes();
    LargeString s;
    EXPECT_EQ(s.Read(data, 0), 3u + 2 + 1 + 8);
    EXPECT_EQ(s.richtext_, 2);
  }
  {  // Header fields cut off; a flags byte past the end.
    const auto data = ByteBuilder().U16(1).U8(0x0C).U16(1).bytes();
    LargeString s;
    EXPECT_EQ(s.Read(data, 0), 0u);
    EXPECT_EQ(s.Read(data, 4), 0u);
    EXPECT_EQ(s.ContinueRead(data, 9, 3), 0u);
  }
  EXPECT_EQ(log.CountError(kContinueError), 4);
  EXPECT_EQ(log.CountError("Error reading LargeString Record"), 2);

  LargeString s;
  s = "abcd";
  std::vector<std::uint8_t> out(5);
  EXPECT_EQ(s.Write(out, 0), 5u);
  EXPECT_EQ(s.Write(out, 4), 0u);
  EXPECT_EQ(log.CountError("Error writing LargeString Record"), 2);
}

TEST(LargeStringTest, Utf8AssignmentAndNewStrings) {
  LargeString s;
  EXPECT_EQ(s.unicode_, 0xFF);
  EXPECT_EQ(s.DataSize(), 3u);
  std::vector<std::uint8_t> out(3);
  EXPECT_EQ(s.Write(out, 0), 3u);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{0, 0, 0}));

  s = "General";
  EXPECT_EQ(s.unicode_, 0);
  EXPECT_EQ(s.DataSize(), 10u);
  s = "\xE2\x82\xAC#,##0";  // € needs 16 bits
  EXPECT_EQ(s.unicode_, 1);
  EXPECT_EQ(s.wide_, u"\u20AC#,##0");
  EXPECT_EQ(s.StringSize(), 12u);
  EXPECT_EQ(s.richtext_, 0);
  EXPECT_EQ(s.phonetic_, 0);
  s = "ab\xFF";  // malformed UTF-8
  EXPECT_EQ(s.wide_, u"ab\uFFFD");
}

}  // namespace
}  // namespace tabulix
