#include "biff/fixed_record.hpp"

#include "base/log.hpp"

namespace tabulix {

RecordTexts StandardTexts(Scope scope, std::string_view name) {
  const std::string qualified =
      (scope == Scope::kWorkbook ? "Workbook::" : "Worksheet::") + std::string(name);
  return {"Exception in " + qualified + "::Validate",
          "Exception reading in " + qualified + "::Read",
          "Exception writing in " + qualified + "::Write"};
}

void LogRecordError(std::string_view text) { WriteLog(0, 0, text, true); }

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
                   std::uint32_t minLength, std::uint32_t maxLength, std::string_view failure) {
  std::uint16_t c = 0;
  std::uint16_t length = 0;
  if (!ReadHeader(stream, pos, c, length)) {
    LogRecordError(failure);
    return false;
  }
  return c == code && length >= minLength && length <= maxLength;
}

}  // namespace tabulix
