#include "biff/row_records.hpp"

#include <algorithm>
#include <limits>

#include "base/little_endian.hpp"
#include "base/log.hpp"

namespace tabulix::cells {

namespace {

template <typename T>
bool ReadField(std::span<const std::uint8_t> data, T& field, std::size_t at) {
  T value = 0;
  if (!LittleEndian::Read(data, value, at)) return false;
  field = value;
  return true;
}

bool CheckHeader(std::span<const std::uint8_t> stream, std::size_t pos, std::uint16_t code,
                 std::uint32_t size, bool atLeast, std::string_view message) {
  if (pos > stream.size() || stream.size() - pos < kRecordHeaderSize) {
    WriteLog(0, 0, message, true);
    return false;
  }
  const std::uint16_t length = LittleEndian::U16(stream, pos + 2);
  return LittleEndian::U16(stream, pos) == code && (atLeast ? length >= size : length == size);
}

std::uint32_t Clamp32(std::uint64_t value) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(value, std::numeric_limits<std::uint32_t>::max()));
}

// The most row blocks (of 32 rows) a sheet of 65536 rows can have.
constexpr std::size_t kMaxBlocks = 0x10000 / 32;

}  // namespace

// ---- ROW ------------------------------------------------------------------------------

Row::Row() {
  code_ = kCode;
  dataSize_ = kDataSize;
  recordSize_ = kDataSize + kRecordHeaderSize;
}

void Row::Reset() { *this = Row(); }

std::uint32_t Row::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  constexpr std::string_view kError = "Error reading Row Record";
  const std::uint32_t consumed = Record::Read(stream, pos);
  if (consumed == 0) {
    WriteLog(0, 0, kError, true);
    return 0;
  }
  const std::span<const std::uint8_t> data(data_);
  const bool complete = ReadField(data, row_, 0) && ReadField(data, firstColumn_, 2) &&
                        ReadField(data, lastColumn_, 4) && ReadField(data, height_, 6) &&
                        ReadField(data, reserved1_, 8) && ReadField(data, reserved2_, 10) &&
                        ReadField(data, options_, 12);
  if (!complete || dataSize_ != kDataSize) WriteLog(0, 0, kError, true);
  // The fields hold a ROW of the usual length whole; one of another length keeps its bytes.
  if (dataSize_ == kDataSize) {
    data_.clear();
    data_.shrink_to_fit();
  }
  return consumed;
}

std::uint32_t Row::RecordSize() { return SizeWithHeaders(); }

std::uint32_t Row::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  const std::span<std::uint8_t> data(data_);
  const bool complete =
      LittleEndian::Write(data, row_, 0) && LittleEndian::Write(data, firstColumn_, 2) &&
      LittleEndian::Write(data, lastColumn_, 4) && LittleEndian::Write(data, height_, 6) &&
      LittleEndian::Write(data, reserved1_, 8) && LittleEndian::Write(data, reserved2_, 10) &&
      LittleEndian::Write(data, options_, 12);
  const std::uint32_t written = Record::Write(out, pos);
  if (!complete || written != RecordSize()) WriteLog(0, 0, "Error writing Row Record", true);
  if (dataSize_ == kDataSize) {
    data_.clear();
    data_.shrink_to_fit();
  }
  return written;
}

bool Row::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return CheckHeader(stream, pos, kCode, kDataSize, false,
                     "Exception in Worksheet::CellTable::RowBlock::Row::Validate");
}

// ---- DBCELL ---------------------------------------------------------------------------

DBCell::DBCell() {
  code_ = kCode;
  dataSize_ = 4;
  recordSize_ = 4 + kRecordHeaderSize;
}

void DBCell::Reset() { *this = DBCell(); }

std::uint32_t DBCell::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  constexpr std::string_view kError = "Error reading DBCell Record";
  const std::uint32_t consumed = Record::Read(stream, pos);
  if (consumed == 0) {
    WriteLog(0, 0, kError, true);
    return 0;
  }
  const std::span<const std::uint8_t> data(data_);
  offsets_.clear();
  // The offsets are recomputed before every write, so a stray odd byte is not kept.
  if (!ReadField(data, firstRowOffset_, 0) || data.size() % 2 != 0) WriteLog(0, 0, kError, true);
  if (data.size() >= 4) {
    offsets_.resize((data.size() - 4) / 2);
    for (std::size_t i = 0; i < offsets_.size(); ++i)
      offsets_[i] = LittleEndian::U16(data, 4 + 2 * i);
  }
  // Split points of the source stay only while the data they split stays as long.
  if (DataSize() != data.size()) continueIndices_.clear();
  data_.clear();
  data_.shrink_to_fit();
  return consumed;
}

std::uint32_t DBCell::DataSize() {
  dataSize_ = Clamp32(4 + 2 * std::uint64_t{offsets_.size()});
  return dataSize_;
}

std::uint32_t DBCell::RecordSize() {
  DataSize();
  return SizeWithHeaders();
}

std::uint32_t DBCell::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  const std::span<std::uint8_t> data(data_);
  bool complete = LittleEndian::Write(data, firstRowOffset_, 0);
  for (std::size_t i = 0; i < offsets_.size() && complete; ++i) {
    complete = LittleEndian::Write(data, offsets_[i], 4 + 2 * i);
  }
  const std::uint32_t written = Record::Write(out, pos);
  if (!complete || written != RecordSize()) WriteLog(0, 0, "Error writing DBCell Record", true);
  data_.clear();
  data_.shrink_to_fit();
  return written;
}

bool DBCell::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return CheckHeader(stream, pos, kCode, 4, true,
                     "Exception in Worksheet::CellTable::RowBlock::DBCell::Validate");
}

// ---- INDEX ----------------------------------------------------------------------------

Index::Index() {
  code_ = kCode;
  dataSize_ = kFixedBytes + 4;
  recordSize_ = dataSize_ + kRecordHeaderSize;
}

void Index::Reset() { *this = Index(); }

std::uint32_t Index::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  constexpr std::string_view kError = "Exception reading in Workbook::Index::Read";
  const std::uint32_t consumed = Record::Read(stream, pos);
  if (consumed == 0) {
    WriteLog(0, 0, kError, true);
    return 0;
  }
  const std::span<const std::uint8_t> data(data_);
  const bool complete = ReadField(data, reserved1_, 0) && ReadField(data, firstRow_, 4) &&
                        ReadField(data, lastRow_, 8) && ReadField(data, reserved2_, 12);
  // The positions are the ones the data holds, one at least (an empty sheet's INDEX has
  // none and keeps a 0). They are not counted from the rows: a used range that does not
  // start on a multiple of 32 rows spans one block more than (last - first) / 32 + 1, and a
  // lying row field must not size anything. A sheet has at most 65536 / 32 blocks.
  const std::size_t held = data.size() > kFixedBytes ? (data.size() - kFixedBytes) / 4 : 0;
  const std::size_t count = std::min(held, kMaxBlocks);
  positions_.assign(std::max<std::size_t>(1, count), 0);
  for (std::size_t i = 0; i < count; ++i) {
    positions_[i] = LittleEndian::U32(data, kFixedBytes + 4 * i);
  }
  if (!complete || (data.size() > kFixedBytes && (data.size() - kFixedBytes) % 4 != 0) ||
      held > kMaxBlocks) {
    WriteLog(0, 0, kError, true);
  }
  if (DataSize() != data.size()) continueIndices_.clear();
  data_.clear();
  data_.shrink_to_fit();
  return consumed;
}

std::uint32_t Index::DataSize() {
  dataSize_ = Clamp32(kFixedBytes + 4 * std::uint64_t{positions_.size()});
  return dataSize_;
}

std::uint32_t Index::RecordSize() {
  DataSize();
  return SizeWithHeaders();
}

std::uint32_t Index::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  const std::span<std::uint8_t> data(data_);
  bool complete =
      LittleEndian::Write(data, reserved1_, 0) && LittleEndian::Write(data, firstRow_, 4) &&
      LittleEndian::Write(data, lastRow_, 8) && LittleEndian::Write(data, reserved2_, 12);
  for (std::size_t i = 0; i < positions_.size() && complete; ++i) {
    complete = LittleEndian::Write(data, positions_[i], kFixedBytes + 4 * i);
  }
  const std::uint32_t written = Record::Write(out, pos);
  if (!complete || written != RecordSize()) {
    WriteLog(0, 0, "Exception writing in Workbook::Index::Write", true);
  }
  data_.clear();
  data_.shrink_to_fit();
  return written;
}

bool Index::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return CheckHeader(stream, pos, kCode, kFixedBytes, true,
                     "Exception in Workbook::Index::Validate");
}

}  // namespace tabulix::cells
