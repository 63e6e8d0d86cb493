#include "biff/globals_base_records.hpp"

#include "log/log.hpp"

namespace tabulix::globals::detail {

std::string ValidateText(std::string_view name) {
  return "Exception in Workbook::" + std::string(name) + "::Validate";
}

std::string ReadText(std::string_view name) {
  return "Exception reading in Workbook::" + std::string(name) + "::Read";
}

std::string WriteText(std::string_view name) {
  return "Exception writing in Workbook::" + std::string(name) + "::Write";
}

void LogError(std::string_view text) { WriteLog(0, 0, text, true); }

std::uint32_t ReadFrame(Record& record, std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint16_t code = record.code_;
  const std::uint32_t dataSize = record.dataSize_;
  const std::uint32_t recordSize = record.recordSize_;
  const std::uint32_t consumed = record.Record::Read(stream, pos);
  if (consumed == 0) {
    record.code_ = code;
    record.dataSize_ = dataSize;
    record.recordSize_ = recordSize;
  }
  return consumed;
}

std::uint32_t StoreDataSize(Record& record, std::uint32_t size) {
  if (size != record.dataSize_) {
    record.continueIndices_.clear();
    record.dataSize_ = size;
  }
  return size;
}

bool ReadHeader(std::span<const std::uint8_t> stream, std::size_t pos, std::uint16_t& code,
                std::uint16_t& length) {
  std::uint16_t c = 0;
  std::uint16_t l = 0;
  if (!LittleEndian::Read(stream, c, pos) || !LittleEndian::Read(stream, l, pos + 2)) return false;
  code = c;
  length = l;
  return true;
}

bool HeaderInRange(std::span<const std::uint8_t> stream, std::size_t pos, std::uint16_t code,
                   std::uint32_t minLength, std::uint32_t maxLength, std::string_view name) {
  std::uint16_t c = 0;
  std::uint16_t length = 0;
  if (!ReadHeader(stream, pos, c, length)) {
    LogError(ValidateText(name));
    return false;
  }
  return c == code && length >= minLength && length <= maxLength;
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
