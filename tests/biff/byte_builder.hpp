#pragma once
// Builds test inputs as readable byte runs: one call per field.

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tabulix::test {

class ByteBuilder {
 public:
  ByteBuilder& U8(std::uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  ByteBuilder& U16(std::uint16_t v) {
    bytes_.push_back(static_cast<std::uint8_t>(v & 0xFF));
    bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    return *this;
  }
  ByteBuilder& U32(std::uint32_t v) {
    U16(static_cast<std::uint16_t>(v & 0xFFFF));
    return U16(static_cast<std::uint16_t>(v >> 16));
  }
  ByteBuilder& Raw(std::initializer_list<std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) bytes_.push_back(b);
    return *this;
  }
  // `count` bytes counting up from `first` (so that misplaced bytes show).
  ByteBuilder& Fill(std::size_t count, std::uint8_t first = 0) {
    for (std::size_t i = 0; i < count; ++i) bytes_.push_back(static_cast<std::uint8_t>(first + i));
    return *this;
  }
  // A record header.
  ByteBuilder& Header(std::uint16_t code, std::uint16_t length) { return U16(code).U16(length); }

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace tabulix::test
