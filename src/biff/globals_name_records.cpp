#include "biff/globals_name_records.hpp"

#include "biff/fixed_record.hpp"
#include "biff/globals_base_records.hpp"

namespace tabulix::globals {

namespace {

constexpr std::string_view kDefaultUser = "Quillbar Tabulix 2.5";
constexpr std::uint8_t kSpace = 0x20;

}  // namespace

// ---- WRITEACCESS ----

WRITEACCESS::WRITEACCESS() { Reset(); }

void WRITEACCESS::Reset() {
  code_ = kCode;
  data_.clear();
  continueIndices_.clear();
  dataSize_ = kLongSize;
  recordSize_ = kLongSize + kRecordHeaderSize;
  userName_.Assign(kDefaultUser);
  userNameShort_ = SmallString();
}

std::uint32_t WRITEACCESS::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "WRITEACCESS").read);
    return 0;
  }
  if (dataSize_ == kLongSize) {
    userName_.Read(data_, 0);
  } else if (dataSize_ == kShortSize) {
    userNameShort_.Read(data_, 0);
  } else {
    detail::StoreDataSize(*this, kLongSize);
    LogRecordError("Error Condition in Workbook::WRITEACCESS::Read::dataSize_ incorrect");
  }
  // The bytes this record took in the stream, not the corrected length: the caller walks on
  // from here.
  return consumed;
}

std::uint32_t WRITEACCESS::Write(std::span<std::uint8_t> out, std::size_t pos) {
  // The name is followed by space padding; bytes kept from a read record stay as read.
  data_.resize(dataSize_, kSpace);
  const std::uint32_t expected =
      dataSize_ == kLongSize ? 3 + userName_.StringSize() : userNameShort_.DataSize();
  const std::uint32_t put =
      dataSize_ == kLongSize ? userName_.Write(data_, 0) : userNameShort_.Write(data_, 0);
  const std::uint32_t written = Record::Write(out, pos);
  if (put != expected || written != RecordSize())
    LogRecordError(StandardTexts(Scope::kWorkbook, "WRITEACCESS").write);
  return written;
}

std::uint32_t WRITEACCESS::RecordSize() { return SizeWithHeaders(); }

bool WRITEACCESS::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  std::uint16_t code = 0;
  std::uint16_t length = 0;
  if (!ReadHeader(stream, pos, code, length)) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "WRITEACCESS").validate);
    return false;
  }
  return code == kCode && (length == kLongSize || length == kShortSize);
}

// ---- CODENAME ----

CODENAME::CODENAME() {
  code_ = kCode;
  dataSize_ = 2;
  recordSize_ = 2 + kRecordHeaderSize;
}

void CODENAME::Reset() {
  *this = CODENAME();
  value_ = 1200;
}

std::uint32_t CODENAME::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "CODENAME").read);
    return 0;
  }
  if (dataSize_ == 2) {
    FieldReader reader(data_);
    reader(value_, 0);
  } else if (dataSize_ >= 4 && dataSize_ <= 511) {
    name_.Read(data_, 0);
  } else {
    detail::StoreDataSize(*this, 2);
    LogRecordError("Error Condition in Workbook::CODENAME::Read::dataSize_ incorrect");
  }
  return consumed;
}

std::uint32_t CODENAME::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  bool complete = true;
  if (dataSize_ == 2) {
    FieldWriter writer(data_);
    writer(value_, 0);
    complete = writer.complete();
  } else {
    complete = name_.Write(data_, 0) == 3 + name_.StringSize();
  }
  const std::uint32_t written = Record::Write(out, pos);
  if (!complete || written != RecordSize()) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "CODENAME").write);
  }
  return written;
}

std::uint32_t CODENAME::RecordSize() { return SizeWithHeaders(); }

bool CODENAME::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  std::uint16_t code = 0;
  std::uint16_t length = 0;
  if (!ReadHeader(stream, pos, code, length)) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "CODENAME").validate);
    return false;
  }
  return code == kCode && (length == 2 || length > 3);
}

// ---- TABID ----

TABID::TABID() {
  code_ = kCode;
  recordSize_ = kRecordHeaderSize;
}

void TABID::Reset() {
  *this = TABID();
  ids_ = {1, 2, 3};
  DataSize();
  RecordSize();
}

std::uint32_t TABID::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "TABID").read);
    return 0;
  }
  ids_.resize(dataSize_ / 2);
  for (std::size_t i = 0; i < ids_.size(); ++i) ids_[i] = LittleEndian::U16(data_, 2 * i);
  if (dataSize_ % 2 != 0) LogRecordError(StandardTexts(Scope::kWorkbook, "TABID").read);
  return consumed;
}

std::uint32_t TABID::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  FieldWriter writer(data_);
  for (std::size_t i = 0; i < ids_.size(); ++i) writer(ids_[i], 2 * i);
  const std::uint32_t written = Record::Write(out, pos);
  if (!writer.complete() || written != RecordSize()) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "TABID").write);
  }
  return written;
}

std::uint32_t TABID::DataSize() {
  return detail::StoreDataSize(*this, static_cast<std::uint32_t>(2 * ids_.size()));
}

std::uint32_t TABID::RecordSize() { return SizeWithHeaders(); }

bool TABID::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  std::uint16_t code = 0;
  std::uint16_t length = 0;
  if (!ReadHeader(stream, pos, code, length)) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "TABID").validate);
    return false;
  }
  return code == kCode && length % 2 == 0;
}

}  // namespace tabulix::globals
