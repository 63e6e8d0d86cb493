#include "biff/globals_sheet_records.hpp"

#include "base/log.hpp"
#include "biff/fixed_record.hpp"
#include "biff/globals_base_records.hpp"

namespace tabulix::globals {

namespace {

constexpr std::string_view kReadError = "Exception in Workbook::BoundSheet::Read";
constexpr std::string_view kWriteError = "Exception in Workbook::BoundSheet::Write";
constexpr std::string_view kValidateError = "Exception in Workbook::BoundSheet::Validate";

}  // namespace

BoundSheet::BoundSheet() {
  code_ = kCode;
  name_.Assign(std::string_view("Sheet1"));
  DataSize();
  RecordSize();
}

void BoundSheet::Reset() { *this = BoundSheet(); }

std::uint32_t BoundSheet::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    WriteLog(0, 0, kReadError, true);
    return 0;
  }
  if (data_.empty()) return 0;
  FieldReader reader(data_);
  reader(position_, 0);
  reader(visibility_, 4);
  reader(type_, 5);
  // A record too short for a name keeps the name it had.
  const bool named = detail::ReadShortString(data_, kFixedSize, name_);
  if (!reader.complete() || !named) WriteLog(0, 0, kReadError, true);
  return name_.StringSize() == 0 ? 0 : consumed;
}

std::uint32_t BoundSheet::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  FieldWriter writer(data_);
  writer(position_, 0);
  writer(visibility_, 4);
  writer(type_, 5);
  const bool named = name_.Write(data_, kFixedSize) == name_.DataSize();
  const std::uint32_t written = Record::Write(out, pos);
  if (!writer.complete() || !named || written != RecordSize()) WriteLog(0, 0, kWriteError, true);
  return written;
}

std::uint32_t BoundSheet::DataSize() {
  return detail::StoreDataSize(*this, kFixedSize + name_.DataSize());
}

std::uint32_t BoundSheet::RecordSize() { return SizeWithHeaders(); }

bool BoundSheet::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  std::uint16_t code = 0;
  std::uint16_t length = 0;
  if (!ReadHeader(stream, pos, code, length)) {
    WriteLog(0, 0, kValidateError, true);
    return false;
  }
  // Only a record that claims to be a BOUNDSHEET is worth the read that joins its
  // CONTINUE records.
  if (code != kCode) return false;
  BoundSheet scratch;
  scratch.name_ = SmallString();
  if (scratch.Read(stream, pos) == 0) return false;
  return scratch.name_.StringSize() > 0 && scratch.code_ == kCode &&
         static_cast<std::int32_t>(scratch.position_) >= 0 && scratch.visibility_ <= 1 &&
         scratch.type_ <= 6;
}

}  // namespace tabulix::globals
