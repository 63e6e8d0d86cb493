#include "biff/sheet_fixed_records.hpp"

#include <bit>
#include <type_traits>

#include "compound/little_endian.hpp"
#include "log/log.hpp"

namespace tabulix::sheet {

RecordTexts StandardTexts(std::string_view name) {
  const std::string scope = "Worksheet::" + std::string(name);
  return {"Exception in " + scope + "::Validate", "Exception reading in " + scope + "::Read",
          "Exception writing in " + scope + "::Write"};
}

void LogSheetError(std::string_view text) { WriteLog(0, 0, text, true); }

bool Field::Decode(std::span<const std::uint8_t> data) const {
  return std::visit(
      [&](auto* member) {
        std::remove_pointer_t<decltype(member)> value = 0;
        if (!LittleEndian::Read(data, value, offset_)) return false;
        *member = value;
        return true;
      },
      member_);
}

bool Field::Encode(std::span<std::uint8_t> data) const {
  return std::visit([&](auto* member) { return LittleEndian::Write(data, *member, offset_); },
                    member_);
}

SheetRecord::SheetRecord(std::uint16_t code, std::uint32_t dataSize) {
  code_ = code;
  dataSize_ = dataSize;
  recordSize_ = dataSize + kRecordHeaderSize;
}

std::uint32_t SheetRecord::ReadFrame(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint16_t code = code_;
  const std::uint32_t dataSize = dataSize_;
  const std::uint32_t consumed = Record::Read(stream, pos);
  if (consumed != 0) return consumed;
  // The base read leaves the header's values behind it; they describe bytes that are not
  // there and would make the record write a length its data does not have.
  code_ = code;
  dataSize_ = dataSize;
  return 0;
}

void SheetRecord::FitContinues(std::uint32_t dataSize) {
  std::erase_if(continueIndices_, [&](std::uint32_t index) { return index >= dataSize; });
}

bool SheetRecord::CheckHeader(std::span<const std::uint8_t> stream, std::size_t pos,
                              std::uint16_t code, std::uint32_t minLength,
                              std::uint32_t maxLength, std::string_view failure) {
  if (pos > stream.size() || stream.size() - pos < kRecordHeaderSize) {
    LogSheetError(failure);
    return false;
  }
  const std::uint16_t length = LittleEndian::U16(stream, pos + 2);
  return LittleEndian::U16(stream, pos) == code && length >= minLength && length <= maxLength;
}

double DELTA::MaxChange() const { return std::bit_cast<double>(maxChangeBits_); }

void DELTA::SetMaxChange(double value) { maxChangeBits_ = std::bit_cast<std::uint64_t>(value); }

}  // namespace tabulix::sheet
