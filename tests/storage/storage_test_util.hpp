#pragma once
// Helpers of the storage tests: stream contents, patching documents field by field, and
// the olefile and xlrd oracle scripts beside this file.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "support/test_support.hpp"

namespace tabulix::storage::test {

// Deterministic bytes that differ from sector to sector (xorshift), so that a sector read
// from the wrong place shows.
inline std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t seed = 0x2545F491u) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}

// zlib's CRC-32, to compare with what the olefile script prints.
inline std::uint32_t Crc32(const std::vector<std::uint8_t>& bytes) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t b : bytes) crc = table[(crc ^ b) & 0xFFu] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

inline void Put32(std::vector<std::uint8_t>& doc, std::size_t pos, std::uint32_t value) {
  ASSERT_TRUE(LittleEndian::Write(LittleEndian::MutableBytes(doc), value, pos));
}
inline void Put16(std::vector<std::uint8_t>& doc, std::size_t pos, std::uint16_t value) {
  ASSERT_TRUE(LittleEndian::Write(LittleEndian::MutableBytes(doc), value, pos));
}

// Runs one of the oracle scripts of this folder with the system interpreter.
inline int RunScript(const std::string& script, const std::string& arguments, std::string* output) {
  const std::string command =
      std::string(TABULIX_PYTHON) + " " +
      tabulix::test::ShellQuote(std::string(TABULIX_TESTS_DIR) + "/storage/" + script) + " " +
      arguments;
  return tabulix::test::RunCommand(command, output);
}

}  // namespace tabulix::storage::test
