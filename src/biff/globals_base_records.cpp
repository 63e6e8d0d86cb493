#include "biff/globals_base_records.hpp"

#include "base/little_endian.hpp"

namespace tabulix::globals::detail {

std::uint32_t StoreDataSize(Record& record, std::uint32_t size) {
  if (size != record.dataSize_) {
    record.continueIndices_.clear();
    record.dataSize_ = size;
  }
  return size;
}

bool ReadShortString(std::span<const std::uint8_t> data, std::size_t at, SmallString& text) {
  if (at > data.size() || data.size() - at < 2) return false;
  const std::uint8_t count = data[at];
  text.Read(data, at);
  return text.StringSize() == count;
}

bool ReadLongString(std::span<const std::uint8_t> data, std::size_t at, LargeString& text) {
  if (at > data.size() || data.size() - at < 3) return false;
  const std::uint16_t count = LittleEndian::U16(data, at);
  text.Read(data, at);
  return (text.IsWide() ? text.wide_.size() : text.narrow_.size()) == count;
}

}  // namespace tabulix::globals::detail
