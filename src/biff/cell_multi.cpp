#include "biff/cell_multi.hpp"

#include <algorithm>
#include <limits>

#include "base/little_endian.hpp"
#include "base/log.hpp"
#include "biff/rk.hpp"

namespace tabulix::cells {

namespace {

constexpr std::size_t kEntriesAt = 4;
// Row, first column, last column.
constexpr std::uint32_t kFixedBytes = 6;

// The number of cells the column span claims: last − first + 1, 0 when last < first.
std::size_t SpanCells(std::uint16_t first, std::uint16_t last) {
  return last < first ? 0 : std::size_t{last} - first + 1;
}

// Reads row, first column and the last column (the data's last two bytes). False when the
// data does not hold the three fields (what it holds of the first two is still taken).
bool ReadRunFields(const std::vector<std::uint8_t>& bytes, std::uint16_t& row, std::uint16_t& first,
                   std::uint16_t& last) {
  const std::span<const std::uint8_t> data(bytes);
  if (data.size() < kFixedBytes) {
    if (data.size() >= 2) row = LittleEndian::U16(data, 0);
    if (data.size() >= 4) first = LittleEndian::U16(data, 2);
    return false;
  }
  row = LittleEndian::U16(data, 0);
  first = LittleEndian::U16(data, 2);
  last = LittleEndian::U16(data, data.size() - 2);
  return true;
}

// Row and first column; offset 4 holds the first entry, not an XF of the record's own.
bool WriteRunFields(std::span<std::uint8_t> data, std::uint16_t row, std::uint16_t first) {
  return LittleEndian::Write(data, row, 0) && LittleEndian::Write(data, first, 2);
}

std::uint32_t SizeOfRun(std::size_t count, std::size_t width) {
  const std::uint64_t size = kFixedBytes + std::uint64_t{count} * width;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(size, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

// ---- MULBLANK -------------------------------------------------------------------------

MulBlank::MulBlank() : CellRecord(kCode, kFixedBytes) {}

void MulBlank::Reset() { *this = MulBlank(); }

std::span<const std::uint16_t> MulBlank::xfs() const {
  return xfs_ ? std::span<const std::uint16_t>(*xfs_) : std::span<const std::uint16_t>();
}

void MulBlank::SetXfs(std::vector<std::uint16_t> xfs) {
  if (!xfs.empty()) lastColumn_ = static_cast<std::uint16_t>(column_ + xfs.size() - 1);
  xfs_ = Boxed<std::vector<std::uint16_t>>(std::move(xfs));
  data_.clear();
  continueIndices_.clear();
}

std::uint32_t MulBlank::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  constexpr std::string_view kError = "Error reading MulBlank Record";
  const std::uint32_t consumed = Record::Read(stream, pos);
  if (consumed == 0) {
    WriteLog(0, 0, kError, true);
    return 0;
  }
  xfs_.reset();
  if (!ReadRunFields(data_, row_, column_, lastColumn_)) {
    WriteLog(0, 0, kError, true);
    return consumed;
  }
  const std::size_t claimed = SpanCells(column_, lastColumn_);
  const std::size_t held = (data_.size() - kFixedBytes) / 2;
  const bool sound = claimed != 0 && SizeOfRun(claimed, 2) == dataSize_;
  if (!sound) WriteLog(0, 0, kError, true);
  // Only what the data holds is taken, whatever the span claims.
  const std::size_t count = std::min(claimed, held);
  if (count > 0) {
    std::vector<std::uint16_t> xfs(count);
    for (std::size_t i = 0; i < count; ++i) xfs[i] = LittleEndian::U16(data_, kEntriesAt + 2 * i);
    xfs_ = Boxed<std::vector<std::uint16_t>>(std::move(xfs));
  }
  if (sound) {
    data_.clear();
    data_.shrink_to_fit();
  }
  return consumed;
}

std::uint32_t MulBlank::DataSize() {
  if (!AsRead()) dataSize_ = SizeOfRun(xfs().size(), 2);
  return dataSize_;
}

std::uint32_t MulBlank::RecordSize() {
  DataSize();
  return SizeWithHeaders();
}

std::uint32_t MulBlank::Write(std::span<std::uint8_t> out, std::size_t pos) {
  const bool asRead = AsRead();
  PrepareData();
  const std::span<std::uint8_t> data(data_);
  bool complete = WriteRunFields(data, row_, column_);
  const std::span<const std::uint16_t> xfs = this->xfs();
  for (std::size_t i = 0; i < xfs.size() && complete; ++i) {
    complete = kEntriesAt + 2 * i + 2 <= data.size() - 2 &&
               LittleEndian::Write(data, xfs[i], kEntriesAt + 2 * i);
  }
  complete = complete && data.size() >= kFixedBytes &&
             LittleEndian::Write(data, lastColumn_, data.size() - 2);
  const std::uint32_t written = Record::Write(out, pos);
  if (!complete || written != RecordSize()) WriteLog(0, 0, "Error writing MulBlank Record", true);
  if (!asRead) {
    data_.clear();
    data_.shrink_to_fit();
  }
  return written;
}

bool MulBlank::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return ValidateHeader(
      stream, pos, kCode, kFixedBytes + 2, true,
      "Exception in Worksheet::CellTable::RowBlock::CellBlock::MulBlank::Validate");
}

// ---- MULRK ----------------------------------------------------------------------------

double MulRK::XFRK::value() const { return RkToDouble(rk_); }

MulRK::MulRK() : CellRecord(kCode, kFixedBytes) {}

void MulRK::Reset() { *this = MulRK(); }

std::span<const MulRK::XFRK> MulRK::entries() const {
  return entries_ ? std::span<const XFRK>(*entries_) : std::span<const XFRK>();
}

void MulRK::SetEntries(std::vector<XFRK> entries) {
  if (!entries.empty()) lastColumn_ = static_cast<std::uint16_t>(column_ + entries.size() - 1);
  entries_ = Boxed<std::vector<XFRK>>(std::move(entries));
  data_.clear();
  continueIndices_.clear();
}

std::uint32_t MulRK::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  constexpr std::string_view kError = "Error reading MulRK Record";
  const std::uint32_t consumed = Record::Read(stream, pos);
  if (consumed == 0) {
    WriteLog(0, 0, kError, true);
    return 0;
  }
  entries_.reset();
  if (!ReadRunFields(data_, row_, column_, lastColumn_)) {
    WriteLog(0, 0, kError, true);
    return consumed;
  }
  const std::size_t claimed = SpanCells(column_, lastColumn_);
  const std::size_t held = (data_.size() - kFixedBytes) / 6;
  const bool sound = claimed != 0 && SizeOfRun(claimed, 6) == dataSize_;
  if (!sound) WriteLog(0, 0, kError, true);
  // An entry the span claims but the data does not hold is not there to read.
  if (claimed > held) WriteLog(0, 0, "Error reading MulRK::XFRK Record", true);
  const std::size_t count = std::min(claimed, held);
  if (count > 0) {
    std::vector<XFRK> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
      entries[i].xf_ = LittleEndian::U16(data_, kEntriesAt + 6 * i);
      entries[i].rk_ = LittleEndian::U32(data_, kEntriesAt + 6 * i + 2);
    }
    entries_ = Boxed<std::vector<XFRK>>(std::move(entries));
  }
  if (sound) {
    data_.clear();
    data_.shrink_to_fit();
  }
  return consumed;
}

std::uint32_t MulRK::DataSize() {
  if (!AsRead()) dataSize_ = SizeOfRun(entries().size(), 6);
  return dataSize_;
}

std::uint32_t MulRK::RecordSize() {
  DataSize();
  return SizeWithHeaders();
}

std::uint32_t MulRK::Write(std::span<std::uint8_t> out, std::size_t pos) {
  const bool asRead = AsRead();
  PrepareData();
  const std::span<std::uint8_t> data(data_);
  bool complete = WriteRunFields(data, row_, column_);
  const std::span<const XFRK> entries = this->entries();
  for (std::size_t i = 0; i < entries.size() && complete; ++i) {
    const std::size_t at = kEntriesAt + 6 * i;
    complete = at + 6 <= data.size() - 2 && LittleEndian::Write(data, entries[i].xf_, at) &&
               LittleEndian::Write(data, entries[i].rk_, at + 2);
    if (!complete) WriteLog(0, 0, "Error writing MulRK::XFRK Record", true);
  }
  complete = complete && data.size() >= kFixedBytes &&
             LittleEndian::Write(data, lastColumn_, data.size() - 2);
  const std::uint32_t written = Record::Write(out, pos);
  if (!complete || written != RecordSize()) WriteLog(0, 0, "Error writing MulRK Record", true);
  if (!asRead) {
    data_.clear();
    data_.shrink_to_fit();
  }
  return written;
}

bool MulRK::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return ValidateHeader(stream, pos, kCode, kFixedBytes + 6, true,
                        "Exception in Worksheet::CellTable::RowBlock::CellBlock::MulRK::Validate");
}

}  // namespace tabulix::cells
