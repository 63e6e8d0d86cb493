#include "biff/formula_records.hpp"

#include <algorithm>
#include <bit>
#include <string>

#include "base/little_endian.hpp"
#include "base/log.hpp"
#include "biff/cell_records.hpp"
#include "biff/cell_text.hpp"

namespace tabulix::cells {

namespace {

std::string Message(std::string_view head, const char* name) {
  std::string text(head);
  text += name;
  text += " Record";
  return text;
}

bool HeaderFits(std::span<const std::uint8_t> stream, std::size_t pos) {
  return pos <= stream.size() && stream.size() - pos >= kRecordHeaderSize;
}

bool CheckHeader(std::span<const std::uint8_t> stream, std::size_t pos, std::uint16_t code,
                 std::uint32_t minimum, std::string_view message, bool exact = false) {
  if (!HeaderFits(stream, pos)) {
    WriteLog(0, 0, message, true);
    return false;
  }
  const std::uint16_t length = LittleEndian::U16(stream, pos + 2);
  return LittleEndian::U16(stream, pos) == code && (exact ? length == minimum : length >= minimum);
}

void ReadRange(std::span<const std::uint8_t> data, CellRange& range) {
  range.firstRow_ = LittleEndian::U16(data, 0);
  range.lastRow_ = LittleEndian::U16(data, 2);
  range.firstColumn_ = LittleEndian::U8(data, 4);
  range.lastColumn_ = LittleEndian::U8(data, 5);
}

void WriteRange(std::span<std::uint8_t> data, const CellRange& range) {
  LittleEndian::Write(data, range.firstRow_, 0);
  LittleEndian::Write(data, range.lastRow_, 2);
  LittleEndian::Write(data, range.firstColumn_, 4);
  LittleEndian::Write(data, range.lastColumn_, 5);
}

}  // namespace

// ---- the shared shape -----------------------------------------------------------------

FormulaPart::FormulaPart(std::uint16_t code, std::uint32_t fixedBytes, const char* name)
    : fixedBytes_(fixedBytes), name_(name) {
  code_ = code;
  dataSize_ = fixedBytes;
  recordSize_ = fixedBytes + kRecordHeaderSize;
}

std::uint32_t FormulaPart::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = Record::Read(stream, pos);
  if (consumed == 0) {
    WriteLog(0, 0, Message("Error reading ", name_), true);
    return 0;
  }
  formula_.clear();
  if (data_.size() < fixedBytes_) {
    // Too short for its fields: the fields keep their values, the bytes are kept to be
    // written back as they were.
    asRead_ = true;
    WriteLog(0, 0, Message("Error reading ", name_), true);
    return consumed;
  }
  asRead_ = false;
  ReadFields(data_);
  formula_.assign(data_.begin() + fixedBytes_, data_.end());
  data_.clear();
  data_.shrink_to_fit();
  return consumed;
}

std::uint32_t FormulaPart::DataSize() {
  if (!asRead_) {
    dataSize_ = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::uint64_t{fixedBytes_} + formula_.size(), 0xFFFFFFFFu));
  }
  return dataSize_;
}

std::uint32_t FormulaPart::OwnRecordSize() {
  DataSize();
  return SizeWithHeaders();
}

std::uint32_t FormulaPart::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  if (!asRead_) {
    WriteFields(data_);
    std::copy(formula_.begin(), formula_.end(), data_.begin() + fixedBytes_);
  }
  const std::uint32_t written = Record::Write(out, pos);
  if (written != OwnRecordSize()) WriteLog(0, 0, Message("Error writing ", name_), true);
  if (!asRead_) {
    data_.clear();
    data_.shrink_to_fit();
  }
  return written;
}

// ---- ARRAY, SHRFMLA, SHRFMLA1, TABLE --------------------------------------------------

Array::Array() : FormulaPart(kCode, 12, "Formula::Array") {}

void Array::Reset() { *this = Array(); }

bool Array::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return CheckHeader(
      stream, pos, kCode, 12,
      "Exception in Worksheet::CellTable::RowBlock::CellBlock::Formula::Array::Validate");
}

void Array::ReadFields(std::span<const std::uint8_t> data) {
  ReadRange(data, *this);
  options_ = LittleEndian::U16(data, 6);
  reserved_ = LittleEndian::U32(data, 8);
}

void Array::WriteFields(std::span<std::uint8_t> data) const {
  WriteRange(data, *this);
  LittleEndian::Write(data, options_, 6);
  LittleEndian::Write(data, reserved_, 8);
}

ShrFmla::ShrFmla() : ShrFmla(kCode, "Formula::ShrFmla") {}

ShrFmla::ShrFmla(std::uint16_t code, const char* name) : FormulaPart(code, 8, name) {}

void ShrFmla::Reset() { *this = ShrFmla(); }

bool ShrFmla::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return CheckHeader(
      stream, pos, kCode, 8,
      "Exception in Worksheet::CellTable::RowBlock::CellBlock::Formula::ShrFmla::Validate");
}

void ShrFmla::ReadFields(std::span<const std::uint8_t> data) {
  ReadRange(data, *this);
  reserved_ = LittleEndian::U16(data, 6);
}

void ShrFmla::WriteFields(std::span<std::uint8_t> data) const {
  WriteRange(data, *this);
  LittleEndian::Write(data, reserved_, 6);
}

ShrFmla1::ShrFmla1() : ShrFmla(kCode, "Formula::ShrFmla1") {}

void ShrFmla1::Reset() { *this = ShrFmla1(); }

bool ShrFmla1::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return CheckHeader(
      stream, pos, kCode, 8,
      "Exception in Worksheet::CellTable::RowBlock::CellBlock::Formula::ShrFmla1::Validate");
}

Table::Table() : FormulaPart(kCode, 16, "Formula::Table") {}

void Table::Reset() { *this = Table(); }

bool Table::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  const bool biff8 = LittleEndian::U16(stream, pos) == kBiff8Code;
  return CheckHeader(
      stream, pos, biff8 ? kBiff8Code : kCode, 16,
      "Exception in Worksheet::CellTable::RowBlock::CellBlock::Formula::Table::Validate", true);
}

void Table::ReadFields(std::span<const std::uint8_t> data) {
  ReadRange(data, *this);
  options_ = LittleEndian::U16(data, 6);
  inputRow1_ = LittleEndian::U16(data, 8);
  inputColumn1_ = LittleEndian::U16(data, 10);
  inputRow2_ = LittleEndian::U16(data, 12);
  inputColumn2_ = LittleEndian::U16(data, 14);
}

void Table::WriteFields(std::span<std::uint8_t> data) const {
  WriteRange(data, *this);
  LittleEndian::Write(data, options_, 6);
  LittleEndian::Write(data, inputRow1_, 8);
  LittleEndian::Write(data, inputColumn1_, 10);
  LittleEndian::Write(data, inputRow2_, 12);
  LittleEndian::Write(data, inputColumn2_, 14);
}

// ---- STRING ---------------------------------------------------------------------------

String::String() {
  code_ = kCode;
  dataSize_ = 0;
  recordSize_ = kRecordHeaderSize;
}

void String::Reset() { *this = String(); }

std::uint32_t String::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = Record::Read(stream, pos);
  // The bytes are what is kept; a string whose count or width disagrees with the length
  // (a half 16-bit character, a count that lies) is reported here and decoded as far as
  // it goes when asked.
  if (consumed == 0 || !IsSound()) WriteLog(0, 0, "Error reading  Record", true);
  return consumed;
}

bool String::IsSound() const {
  LargeString text;
  std::size_t end = 0;
  return ReadPiecedString(data_, 0, continueIndices_, text, end) && end == data_.size();
}

std::string String::Text() const {
  LargeString text;
  std::size_t end = 0;
  ReadPiecedString(data_, 0, continueIndices_, text, end);
  return text.ToUtf8();
}

void String::SetText(std::string_view utf8) {
  LargeString text;
  text.Assign(utf8);
  data_.assign(text.DataSize(), 0);
  text.Write(data_, 0);
  dataSize_ = static_cast<std::uint32_t>(data_.size());
  continueIndices_.clear();
  SizeWithHeaders();
}

std::uint32_t String::Write(std::span<std::uint8_t> out, std::size_t pos) {
  const std::uint32_t written = Record::Write(out, pos);
  if (written != RecordSize()) WriteLog(0, 0, "Error writing  Record", true);
  return written;
}

bool String::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return CheckHeader(
      stream, pos, kCode, 3,
      "Exception in Worksheet::CellTable::RowBlock::CellBlock::Formula::String::Validate");
}

// ---- FORMULA --------------------------------------------------------------------------

Formula::Formula() : FormulaPart(kCode, kFixedBytes, "Formula") {}

void Formula::Reset() { *this = Formula(); }

void Formula::ReadFields(std::span<const std::uint8_t> data) {
  row_ = LittleEndian::U16(data, 0);
  column_ = LittleEndian::U16(data, 2);
  xf_ = LittleEndian::U16(data, 4);
  result_ = LittleEndian::U64(data, 6);
  options_ = LittleEndian::U16(data, 14);
  reserved_ = LittleEndian::U16(data, 16);
}

void Formula::WriteFields(std::span<std::uint8_t> data) const {
  LittleEndian::Write(data, row_, 0);
  LittleEndian::Write(data, column_, 2);
  LittleEndian::Write(data, xf_, 4);
  LittleEndian::Write(data, result_, 6);
  LittleEndian::Write(data, options_, 14);
  LittleEndian::Write(data, reserved_, 16);
}

FormulaPart* Formula::Companion() {
  switch (kind_) {
    case Array::kCode:
      return &array_;
    case ShrFmla::kCode:
      return &shrFmla_;
    case ShrFmla1::kCode:
      return &shrFmla1_;
    case Table::kCode:
    case Table::kBiff8Code:
      return &table_;
    default:
      return nullptr;
  }
}

std::uint32_t Formula::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t own = FormulaPart::Read(stream, pos);
  if (own == 0) return 0;
  // Reading again replaces everything, the companions included.
  kind_ = 0;
  array_.Reset();
  shrFmla_.Reset();
  shrFmla1_.Reset();
  table_.Reset();
  string_.Reset();
  hasString_ = false;

  std::size_t next = pos + own;
  const auto codeAt = [&](std::size_t at) -> std::uint16_t {
    return HeaderFits(stream, at) ? LittleEndian::U16(stream, at) : 0;
  };
  kind_ = codeAt(next);
  if (FormulaPart* companion = Companion()) {
    const std::uint32_t taken = companion->Read(stream, next);
    if (taken == 0) {
      kind_ = 0;
    } else {
      next += taken;
    }
  } else {
    kind_ = 0;
  }
  if (codeAt(next) == String::kCode) {
    const std::uint32_t taken = string_.Read(stream, next);
    if (taken != 0) {
      hasString_ = true;
      next += taken;
    }
  }
  return static_cast<std::uint32_t>(next - pos);
}

std::uint32_t Formula::RecordSize() {
  std::uint64_t size = OwnRecordSize();
  if (FormulaPart* companion = Companion()) size += companion->RecordSize();
  if (hasString_) size += string_.RecordSize();
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(size, 0xFFFFFFFFu));
}

std::uint32_t Formula::Write(std::span<std::uint8_t> out, std::size_t pos) {
  std::size_t written = FormulaPart::Write(out, pos);
  if (FormulaPart* companion = Companion()) written += companion->Write(out, pos + written);
  if (hasString_) written += string_.Write(out, pos + written);
  return static_cast<std::uint32_t>(written);
}

bool Formula::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint16_t code = LittleEndian::U16(stream, pos);
  const bool older = code == kBiff3Code || code == kBiff4Code;
  return CheckHeader(stream, pos, older ? code : kCode, kFixedBytes + 2,
                     "Exception in Worksheet::CellTable::RowBlock::CellBlock::Formula::Validate");
}

Formula::ResultKind Formula::resultKind() const {
  if ((result_ >> 48) != 0xFFFF) return ResultKind::Number;
  switch (result_ & 0xFF) {
    case 0:
      return ResultKind::String;
    case 1:
      return ResultKind::Boolean;
    case 2:
      return ResultKind::Error;
    case 3:
      return ResultKind::EmptyString;
    default:
      return ResultKind::Other;
  }
}

double Formula::resultNumber() const { return std::bit_cast<double>(result_); }

bool Formula::resultBoolean() const { return ((result_ >> 16) & 0xFF) != 0; }

std::uint8_t Formula::resultError() const {
  return static_cast<std::uint8_t>((result_ >> 16) & 0xFF);
}

std::string Formula::resultString() const { return hasString_ ? string_.Text() : std::string(); }

}  // namespace tabulix::cells
