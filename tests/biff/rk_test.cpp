#include "biff/rk.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace tabulix::cells {
namespace {

TEST(RkCodec, DecodesTheDocumentedExamples) {
  EXPECT_EQ(RkToDouble(0x3FF00000), 1.0);
  EXPECT_EQ(RkToDouble(0x3FF00001), 0.01);
  EXPECT_FALSE(RkIsInteger(0x3FF00000));
  EXPECT_TRUE(RkIsInteger(0x192));
  EXPECT_EQ(RkToInteger(0x192), 100);
  EXPECT_EQ(RkToDouble(0x192), 100.0);
  // Integer form divided by 100: 12345 / 100, truncated for the integer, exact as double.
  const std::uint32_t hundredths = (12345u << 2) | 0x3;
  EXPECT_EQ(RkToInteger(hundredths), 123);
  EXPECT_EQ(RkToDouble(hundredths), 123.45);
  // The hundredths come out as the nearest double, as a reader dividing by 100 sees them.
  EXPECT_EQ(RkToDouble((253522u << 2) | 0x3), 2535.22);
  EXPECT_EQ(RkToDouble((70u << 2) | 0x3), 0.7);
}

TEST(RkCodec, IntegersAreSignedThirtyBitValues) {
  EXPECT_EQ(RkFromInteger(100), 0x192u);
  for (std::int32_t value : {0, 1, -1, -100, 536870911, -536870912}) {
    const std::uint32_t rk = RkFromInteger(value);
    EXPECT_TRUE(RkIsInteger(rk));
    EXPECT_EQ(RkToInteger(rk), value);
    EXPECT_EQ(RkToDouble(rk), static_cast<double>(value));
  }
  // A negative integer divided by 100 truncates toward zero.
  EXPECT_EQ(RkToInteger(RkFromInteger(-250) | 0x1), -2);
}

TEST(RkCodec, EncodesDoublesWithAndWithoutTheHundredFactor) {
  EXPECT_EQ(RkFromDouble(3.0), 0x40080000u);
  EXPECT_EQ(RkFromDouble(1.5), 0x4062C001u);
  EXPECT_EQ(RkToDouble(RkFromDouble(1.5)), 1.5);
  EXPECT_EQ(RkFromDouble(3.14), 0x4073A001u);
  EXPECT_EQ(RkToDouble(RkFromDouble(3.14)), 3.14);
  EXPECT_TRUE(RkCanHold(1.25));
  EXPECT_FALSE(RkCanHold(1.255));
  // Out-of-range values and NaN neither crash nor claim to fit.
  EXPECT_FALSE(RkCanHold(1e300));
  EXPECT_FALSE(RkCanHold(-1e300));
  static_cast<void>(RkFromDouble(1e300));
  static_cast<void>(RkFromDouble(std::nan("")));
}

}  // namespace
}  // namespace tabulix::cells
