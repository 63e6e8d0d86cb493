#include "biff/rk.hpp"

#include <bit>
#include <cmath>
#include <limits>

namespace tabulix::cells {

namespace {

constexpr std::uint32_t kDividedBy100 = 0x1;
constexpr std::uint32_t kIntegerForm = 0x2;

// Truncation toward zero that never overflows: values out of range saturate.
std::int64_t Trunc(double value) {
  if (std::isnan(value)) return 0;
  constexpr double kLimit = 9.2e18;
  if (value >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (value <= -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

}  // namespace

bool RkIsInteger(std::uint32_t rk) { return (rk & kIntegerForm) != 0; }

double RkToDouble(std::uint32_t rk) {
  double value = 0;
  if (RkIsInteger(rk)) {
    value = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);
  } else {
    value = std::bit_cast<double>(std::uint64_t{rk & ~std::uint32_t{3}} << 32);
  }
  // Divided, not multiplied by 0.01: 0.01 is not exact in binary, and 253522 × 0.01 gives
  // 2535.2200000000003 where the cell holds 2535.22.
  return (rk & kDividedBy100) != 0 ? value / 100 : value;
}

std::int32_t RkToInteger(std::uint32_t rk) {
  const std::int32_t value = static_cast<std::int32_t>(rk) >> 2;
  // Integer division truncates toward zero, exactly.
  return (rk & kDividedBy100) != 0 ? value / 100 : value;
}

std::uint32_t RkFromInteger(std::int32_t value) {
  return (static_cast<std::uint32_t>(value) << 2) | kIntegerForm;
}

bool RkCanHold(double value) {
  const std::int64_t hundredths = Trunc(value * 100);
  const std::int64_t tenThousandths = Trunc(value * 10000);
  if (hundredths > std::numeric_limits<std::int64_t>::max() / 100 ||
      hundredths < std::numeric_limits<std::int64_t>::min() / 100) {
    return false;
  }
  return hundredths * 100 == tenThousandths;
}

std::uint32_t RkFromDouble(double value) {
  std::uint32_t flags = 0;
  const std::int64_t whole = Trunc(value);
  const std::int64_t hundredths = Trunc(value * 100);
  const bool fits = whole <= std::numeric_limits<std::int64_t>::max() / 100 &&
                    whole >= std::numeric_limits<std::int64_t>::min() / 100;
  if (fits && whole * 100 != hundredths) {
    value *= 100;
    flags = kDividedBy100;
  }
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  return (static_cast<std::uint32_t>(bits >> 32) & ~std::uint32_t{3}) | flags;
}

}  // namespace tabulix::cells
