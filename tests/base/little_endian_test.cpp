#include "base/little_endian.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace le = LittleEndian;

TEST(LittleEndianTest, IntegersMoveLowByteFirstAndZeroExtend) {
  {  // A 4-byte value stored in 2 bytes: exactly those 2 bytes change.
    std::vector<std::uint8_t> buffer(6, 0xEE);
    EXPECT_TRUE(le::Write(buffer, std::uint32_t{0x0809}, 2, 2));
    EXPECT_EQ(buffer, (std::vector<std::uint8_t>{0xEE, 0xEE, 0x09, 0x08, 0xEE, 0xEE}));
  }
  {  // Fewer bytes than the type: zero-extended, never sign-extended.
    const std::vector<std::uint8_t> buffer = {0xFE, 0xFF, 0xFF, 0xFF};
    std::uint32_t u = 0;
    std::int32_t s = 0;
    EXPECT_TRUE(le::Read(buffer, u, 0, 2));
    EXPECT_TRUE(le::Read(buffer, s, 0, 2));
    EXPECT_EQ(u, 65534u);
    EXPECT_EQ(s, 65534);
    EXPECT_TRUE(le::Read(buffer, s, 0));  // natural width: all four bytes
    EXPECT_EQ(s, -2);
  }
  {  // Size 0 on an 8-byte value takes 8 bytes: the compound-file signature.
    const std::vector<std::uint8_t> signature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::uint64_t value = 0;
    EXPECT_TRUE(le::Read(signature, value, 0, 0));
    EXPECT_EQ(value, 0xE11AB1A1E011CFD0u);
    std::vector<std::uint8_t> out(8);
    EXPECT_TRUE(le::Write(out, value, 0));
    EXPECT_EQ(out, signature);
  }
  {  // Out of range: the value reads as 0, nothing is written, the caller is told.
    std::vector<std::uint8_t> buffer = {1, 2, 3};
    std::uint16_t v = 7;
    EXPECT_FALSE(le::Read(buffer, v, 2));
    EXPECT_EQ(v, 0);
    EXPECT_FALSE(le::Read(buffer, v, 99));
    EXPECT_FALSE(le::Read(buffer, v, 0, 3));  // wider than the type
    EXPECT_FALSE(le::Write(buffer, std::uint16_t{0xFFFF}, 2));
    EXPECT_FALSE(le::Write(buffer, std::uint32_t{0xFFFF}, 0, 5));
    EXPECT_EQ(buffer, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(le::U16(buffer, 2), 0);
    EXPECT_EQ(le::U32(buffer, SIZE_MAX), 0u);
  }
}

TEST(LittleEndianTest, GuardedStringsStopAtTheEndAndLogOnce) {
  test::LogCapture log;
  // Two whole characters and one byte of a third.
  const std::vector<std::uint8_t> buffer = {'A', 0, 0x2D, 0x4E, 'x'};
  std::array<char16_t, 5> out = {u'-', u'-', u'-', u'-', u'-'};
  EXPECT_EQ(le::ReadString(buffer, out, 0, 5), 2u);
  EXPECT_EQ(out, (std::array<char16_t, 5>{u'A', 0x4E2D, u'-', u'-', u'-'}));
  EXPECT_EQ(log.CountError("Error reading in LittleEndian"), 1);

  EXPECT_EQ(le::ReadString(buffer, out, 0, 0), 0u);  // touches nothing, logs nothing
  EXPECT_EQ(log.ErrorLines().size(), 1u);

  std::vector<std::uint8_t> target(5, 0xEE);
  const std::u16string text = u"abc";
  EXPECT_EQ(le::WriteString(target, text, 0, 3), 2u);
  EXPECT_EQ(target, (std::vector<std::uint8_t>{'a', 0, 'b', 0, 0xEE}));
  EXPECT_EQ(log.CountError("Error writing in LittleEndian"), 1);

  char16_t one = u'?';
  EXPECT_FALSE(le::Read(buffer, one, 4));
  EXPECT_EQ(one, u'?');
  EXPECT_EQ(log.CountError("Error reading in LittleEndian"), 2);
}

}  // namespace
}  // namespace tabulix
