#pragma once
// Helpers of the cell-table tests: writing a record or a table out to bytes.

#include <cstdint>
#include <vector>

namespace tabulix::test {

// Writes `item` into a buffer of its RecordSize() and checks that exactly that many bytes
// were written.
template <class T>
std::vector<std::uint8_t> WrittenBytes(T& item) {
  std::vector<std::uint8_t> out(item.RecordSize());
  const std::uint32_t written = item.Write(out, 0);
  out.resize(written);
  return out;
}

}  // namespace tabulix::test
