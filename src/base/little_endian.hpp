#pragma once
// The one place where integers and 16-bit characters move between values and bytes,
// least significant byte first. Every access is checked against the buffer's length:
// damaged files are the normal case, so no position taken from a file is trusted.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tabulix::LittleEndian {

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

// Reads `size` bytes (0: the natural width of T) at `pos` into `value`, zero-extended.
// Out of range (or a size wider than T): `value` becomes 0 and the result is false.
template <std::integral T>
constexpr bool Read(Bytes buffer, T& value, std::size_t pos, std::size_t size = 0) noexcept {
  using U = std::make_unsigned_t<T>;
  value = 0;
  if (size == 0) size = sizeof(T);
  if (size > sizeof(T) || pos > buffer.size() || buffer.size() - pos < size) return false;
  U result = 0;
  for (std::size_t i = 0; i < size; ++i) {
    result = static_cast<U>(result | (static_cast<U>(buffer[pos + i]) << (8 * i)));
  }
  value = static_cast<T>(result);
  return true;
}

// Stores the `size` low bytes (0: the natural width of T) of `value` at `pos`. Out of
// range: nothing is written and the result is false.
template <std::integral T>
constexpr bool Write(MutableBytes buffer, T value, std::size_t pos, std::size_t size = 0) noexcept {
  using U = std::make_unsigned_t<T>;
  if (size == 0) size = sizeof(T);
  if (size > sizeof(T) || pos > buffer.size() || buffer.size() - pos < size) return false;
  U bits = static_cast<U>(value);
  for (std::size_t i = 0; i < size; ++i) {
    buffer[pos + i] = static_cast<std::uint8_t>(bits & 0xFFu);
    if constexpr (sizeof(U) > 1) bits = static_cast<U>(bits >> 8);
  }
  return true;
}

// Plain readers for fixed-width fields when the caller has checked the range; a position
// out of range reads as 0.
constexpr std::uint8_t U8(Bytes b, std::size_t pos) noexcept { return pos < b.size() ? b[pos] : 0; }
constexpr std::uint16_t U16(Bytes b, std::size_t pos) noexcept {
  std::uint16_t v = 0;
  Read(b, v, pos);
  return v;
}
constexpr std::uint32_t U32(Bytes b, std::size_t pos) noexcept {
  std::uint32_t v = 0;
  Read(b, v, pos);
  return v;
}
constexpr std::uint64_t U64(Bytes b, std::size_t pos) noexcept {
  std::uint64_t v = 0;
  Read(b, v, pos);
  return v;
}

// 16-bit characters. These are the guarded members: a character whose bytes lie outside
// the buffer logs "Error reading in LittleEndian" / "Error writing in LittleEndian" to the
// error log and stops; characters moved before it stay moved.
bool Read(Bytes buffer, char16_t& value, std::size_t pos, std::size_t size = 0) noexcept;
bool Write(MutableBytes buffer, char16_t value, std::size_t pos, std::size_t size = 0) noexcept;

// Reads `count` characters from `pos` into out[0..count). Returns how many were read.
std::size_t ReadString(Bytes buffer, std::span<char16_t> out, std::size_t pos,
                       std::size_t count) noexcept;
// Writes `count` characters of `text` at `pos`. Returns how many were written.
std::size_t WriteString(MutableBytes buffer, std::span<const char16_t> text, std::size_t pos,
                        std::size_t count) noexcept;

}  // namespace tabulix::LittleEndian
