#include "biff/cell_records.hpp"

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

bool CellRecord::ReadCellFields() {
  const std::span<const std::uint8_t> data(data_);
  return ReadField(data, row_, 0) && ReadField(data, column_, 2) && ReadField(data, xf_, 4);
}

bool CellRecord::WriteCellFields() {
  const std::span<std::uint8_t> data(data_);
  return LittleEndian::Write(data, row_, 0) && LittleEndian::Write(data, column_, 2) &&
         LittleEndian::Write(data, xf_, 4);
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
// second copy of every cell behind).
#define TABULIX_FIXED_CELL(Class, readMessage, writeMessage, validateMessage, readFields, \
                           writeFields)                                                   \
  Class::Class() : CellRecord(kCode, kDataSize) {}                                        \
  void Class::Reset() { *this = Class(); }                                                \
  std::uint32_t Class::Read(std::span<const std::uint8_t> stream, std::size_t pos) {      \
    const std::uint32_t consumed = Record::Read(stream, pos);                             \
    if (consumed == 0) {                                                                  \
      WriteLog(0, 0, readMessage, true);                                                  \
      return 0;                                                                           \
    }                                                                                     \
    const std::span<const std::uint8_t> data(data_);                                      \
    static_cast<void>(data);                                                              \
    const bool complete = ReadCellFields() && (readFields);                               \
    if (!complete || dataSize_ != kDataSize) WriteLog(0, 0, readMessage, true);           \
    ReleaseData(kDataSize);                                                               \
    return consumed;                                                                      \
  }                                                                                       \
  std::uint32_t Class::Write(std::span<std::uint8_t> out, std::size_t pos) {              \
    PrepareData();                                                                        \
    const std::span<std::uint8_t> data(data_);                                            \
    static_cast<void>(data);                                                              \
    const bool complete = WriteCellFields() && (writeFields);                             \
    const std::uint32_t written = Record::Write(out, pos);                                \
    if (!complete || written != RecordSize()) WriteLog(0, 0, writeMessage, true);         \
    ReleaseData(kDataSize);                                                               \
    return written;                                                                       \
  }                                                                                       \
  bool Class::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {           \
    return ValidateHeader(stream, pos, kCode, kDataSize, false, validateMessage);         \
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
