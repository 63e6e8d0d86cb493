#pragma once
// The RK number: a 32-bit compressed form of a number cell. Bits 2..31 are either the upper
// 30 bits of an IEEE 754 double (bit 1 clear) or a signed 30-bit integer (bit 1 set); bit 0
// set means the value is to be divided by 100.

#include <cstdint>

namespace tabulix::cells {

// True when the value is stored as an integer.
bool RkIsInteger(std::uint32_t rk);
// The value as a double, whatever its form (divided by 100 when bit 0 is set).
double RkToDouble(std::uint32_t rk);
// The integer of an integer RK (divided by 100 and truncated toward zero when bit 0 is set).
std::int32_t RkToInteger(std::uint32_t rk);
// An integer RK of `value` (which must fit 30 signed bits).
std::uint32_t RkFromInteger(std::int32_t value);
// True when `value` keeps its first two decimals through the RK's division by 100.
bool RkCanHold(double value);
// The double form: the upper 30 bits of `value`, or of value × 100 with bit 0 set when
// value has decimals.
std::uint32_t RkFromDouble(double value);

}  // namespace tabulix::cells
