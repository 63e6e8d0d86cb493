#include "biff/cell_records.hpp"

#include <algorithm>
#include <bit>

#include "base/little_endian.hpp"
#include "base/log.hpp"
#include "biff/rk.hpp"

namespace tabulix::cells {

namespace {

// Reads a field only when data_ holds it, so that a short record keeps its other values.
template <typename T>
bool ReadField(std::span<const std::uint8_t> data, T& field, std::size_t at) {
  T value = 0;
  if (!LittleEndian::Read(data, value, at)) return false;
  field = value;
  return true;
}

constexpr std::size_t kValueAt = 6;

}  // namespace

CellRecord::CellRecord(std::uint16_t code, std::uint32_t dataSize) { ResetCell(code, dataSize); }

void CellRecord::ResetCell(std::uint16_t code, std::uint32_t dataSize) {
  code_ = code;
  data_.clear();
  data_.shrink_to_fit();
  continueIndices_.clear();
  dataSize_ = dataSize;
  recordSize_ = dataSize + kRecordHeaderSize;
  row_ = 0;
  column_ = 0;
  xf_ = 0;
}

std::uint32_t CellRecord::RecordSize() {
  DataSize();
  return SizeWithHeaders();
}

bool CellRecord::ReadCellFields() { return ReadCellFields(data_); }

bool CellRecord::ReadCellFields(std::span<const std::uint8_t> data) {
  return ReadField(data, row_, 0) && ReadField(data, column_, 2) && ReadField(data, xf_, 4);
}

bool CellRecord::WriteCellFields() { return WriteCellFields(data_); }

bool CellRecord::WriteCellFields(std::span<std::uint8_t> data) {
  return LittleEndian::Write(data, row_, 0) && LittleEndian::Write(data, column_, 2) &&
         LittleEndian::Write(data, xf_, 4);
}

bool CellRecord::ExactRecordAt(std::span<const std::uint8_t> stream, std::size_t pos,
                               std::uint32_t size) {
  if (pos > stream.size() || stream.size() - pos < kRecordHeaderSize + size) return false;
  if (LittleEndian::U16(stream, pos + 2) != size) return false;
  // A CONTINUE behind it would be joined to it: the base read handles that.
  const std::size_t next = pos + kRecordHeaderSize + size;
  return stream.size() - next < 2 || LittleEndian::U16(stream, next) != kContinueCode;
}

void CellRecord::TakeExactFrame(std::uint16_t code, std::uint32_t size) {
  code_ = code;
  data_.clear();
  data_.shrink_to_fit();
  continueIndices_.clear();
  dataSize_ = size;
  recordSize_ = size + kRecordHeaderSize;
}

bool CellRecord::WritesExactly(std::span<std::uint8_t> out, std::size_t pos, std::uint32_t size) {
  if (dataSize_ != size || !data_.empty() || !continueIndices_.empty()) return false;
  if (pos > out.size() || out.size() - pos < kRecordHeaderSize + size) return false;
  // The header, and the data part zeroed as PrepareData would give it before the fields.
  LittleEndian::Write(out, code_, pos);
  LittleEndian::Write(out, static_cast<std::uint16_t>(size), pos + 2);
  std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(pos + kRecordHeaderSize), size,
              std::uint8_t{0});
  recordSize_ = size + kRecordHeaderSize;
  return true;
}

void CellRecord::ReleaseData(std::uint32_t size) {
  if (dataSize_ != size) return;
  data_.clear();
  data_.shrink_to_fit();
}

bool CellRecord::ValidateHeader(std::span<const std::uint8_t> stream, std::size_t pos,
                                std::uint16_t code, std::uint32_t size, bool atLeast,
                                std::string_view message) {
  if (pos > stream.size() || stream.size() - pos < kRecordHeaderSize) {
    WriteLog(0, 0, message, true);
    return false;
  }
  const std::uint16_t length = LittleEndian::U16(stream, pos + 2);
  return LittleEndian::U16(stream, pos) == code && (atLeast ? length >= size : length == size);
}

// The fixed-size records share one shape: base read, fields, bytes let go; fields into a
// data part of the record's size, base write, bytes let go again (a save must not leave a
// second copy of every cell behind). The common case, a record of exactly its size with no
// CONTINUE behind it, is decoded from the stream and encoded into the output directly: a
// sheet of a million cells would otherwise allocate and free a data part for each of them
// on every read and every write.
#define TABULIX_FIXED_CELL(Class, readMessage, writeMessage, validateMessage, readFields,   \
                           writeFields)                                                     \
  Class::Class() : CellRecord(kCode, kDataSize) {}                                          \
  void Class::Reset() { *this = Class(); }                                                  \
  std::uint32_t Class::Read(std::span<const std::uint8_t> stream, std::size_t pos) {        \
    if (ExactRecordAt(stream, pos, kDataSize)) {                                            \
      const std::span<const std::uint8_t> data =                                            \
          stream.subspan(pos + kRecordHeaderSize, kDataSize);                               \
      TakeExactFrame(LittleEndian::U16(stream, pos), kDataSize);                            \
      const bool complete = ReadCellFields(data) && (readFields);                           \
      if (!complete) WriteLog(0, 0, readMessage, true);                                     \
      return recordSize_;                                                                   \
    }                                                                                       \
    const std::uint32_t consumed = Record::Read(stream, pos);                               \
    if (consumed == 0) {                                                                    \
      WriteLog(0, 0, readMessage, true);                                                    \
      return 0;                                                                             \
    }                                                                                       \
    const std::span<const std::uint8_t> data(data_);                                        \
    const bool complete = ReadCellFields(data) && (readFields);                             \
    if (!complete || dataSize_ != kDataSize) WriteLog(0, 0, readMessage, true);             \
    ReleaseData(kDataSize);                                                                 \
    return consumed;                                                                        \
  }                                                                                         \
  std::uint32_t Class::Write(std::span<std::uint8_t> out, std::size_t pos) {                \
    if (WritesExactly(out, pos, kDataSize)) {                                               \
      const std::span<std::uint8_t> data = out.subspan(pos + kRecordHeaderSize, kDataSize); \
      const bool complete = WriteCellFields(data) && (writeFields);                         \
      if (!complete) WriteLog(0, 0, writeMessage, true);                                    \
      return recordSize_;                                                                   \
    }                                                                                       \
    PrepareData();                                                                          \
    const std::span<std::uint8_t> data(data_);                                              \
    const bool complete = WriteCellFields(data) && (writeFields);                           \
    const std::uint32_t written = Record::Write(out, pos);                                  \
    if (!complete || written != RecordSize()) WriteLog(0, 0, writeMessage, true);           \
    ReleaseData(kDataSize);                                                                 \
    return written;                                                                         \
  }                                                                                         \
  bool Class::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {             \
    return ValidateHeader(stream, pos, kCode, kDataSize, false, validateMessage);           \
  }

TABULIX_FIXED_CELL(Blank, "Error reading Blank Record", "Error writing Blank Record",
                   "Exception in Worksheet::CellTable::RowBlock::CellBlock::Blank::Validate", true,
                   true)

TABULIX_FIXED_CELL(BoolErr, "Error reading CellBlock::BoolErr Record",
                   "Error writing CellBlock::BoolErr Record",
                   "Exception in Worksheet::CellTable::RowBlock::CellBlock::BoolErr::Validate",
                   ReadField(data, value_, 6) && ReadField(data, error_, 7),
                   LittleEndian::Write(data, value_, 6) && LittleEndian::Write(data, error_, 7))

TABULIX_FIXED_CELL(LabelSST, "Error reading LabelSST Record", "Error writing  Record",
                   "Exception in Worksheet::CellTable::RowBlock::CellBlock::LabelSST::Validate",
                   ReadField(data, sstIndex_, kValueAt),
                   LittleEndian::Write(data, sstIndex_, kValueAt))

TABULIX_FIXED_CELL(Number, "Error reading Number Record", "Error writing Number Record",
                   "Exception in Worksheet::CellTable::RowBlock::CellBlock::Number::Validate",
                   ReadField(data, bits_, kValueAt), LittleEndian::Write(data, bits_, kValueAt))

TABULIX_FIXED_CELL(RK, "Error reading RK Record", "Error writing RK Record",
                   "Exception in Worksheet::CellTable::RowBlock::CellBlock::RK::Validate",
                   ReadField(data, rk_, kValueAt), LittleEndian::Write(data, rk_, kValueAt))

#undef TABULIX_FIXED_CELL

double Number::value() const { return std::bit_cast<double>(bits_); }

void Number::SetValue(double value) { bits_ = std::bit_cast<std::uint64_t>(value); }

double RK::value() const { return RkToDouble(rk_); }

}  // namespace tabulix::cells
