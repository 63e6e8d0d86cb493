#include "biff/sheet_view_records.hpp"

#include <algorithm>

#include "base/little_endian.hpp"

namespace tabulix::sheet {

namespace {

constexpr std::string_view kSelectionValidate = "Exception in Worksheet::Selection::Validate";
constexpr std::string_view kSelectionRead = "Exception in Worksheet::Selection::Read";
constexpr std::string_view kSelectionWrite = "Exception in Worksheet::Selection::Write";
constexpr std::string_view kRefRead = "Exception in Worksheet::Selection::SELECTION_REF::Read";
constexpr std::string_view kRefWrite = "Exception in Worksheet::Selection::SELECTION_REF::Write";

constexpr std::string_view kMergedValidate = "Exception in Worksheet::MergedCells::Validate";
constexpr std::string_view kMergedRead = "Error reading MergedCell Record";
constexpr std::string_view kMergedWrite = "Error writing MergedCell Record";
constexpr std::string_view kRangeRead = "Error reading MergedCells::AddList Record";
constexpr std::string_view kRangeWrite = "Error writing MergedCells::AddList Record";

// Reads `field` at `at` only when `data` holds it.
template <typename T>
bool ReadInto(std::span<const std::uint8_t> data, T& field, std::size_t at) {
  T value = 0;
  if (!LittleEndian::Read(data, value, at)) return false;
  field = value;
  return true;
}

std::uint32_t ListSize(std::uint32_t header, std::size_t count, std::uint32_t itemSize) {
  const std::uint64_t size = header + std::uint64_t{itemSize} * count;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(size, 0xFFFFFFFFu));
}

}  // namespace

// --- Selection ------------------------------------------------------------------------

bool Selection::SELECTION_REF::Read(std::span<const std::uint8_t> data, std::size_t pos) {
  const bool complete = ReadInto(data, firstRow_, pos) && ReadInto(data, lastRow_, pos + 2) &&
                        ReadInto(data, firstColumn_, pos + 4) &&
                        ReadInto(data, lastColumn_, pos + 5);
  if (!complete) LogRecordError(kRefRead);
  return complete;
}

bool Selection::SELECTION_REF::Write(std::span<std::uint8_t> data, std::size_t pos) const {
  const bool complete = LittleEndian::Write(data, firstRow_, pos) &&
                        LittleEndian::Write(data, lastRow_, pos + 2) &&
                        LittleEndian::Write(data, firstColumn_, pos + 4) &&
                        LittleEndian::Write(data, lastColumn_, pos + 5);
  if (!complete) LogRecordError(kRefWrite);
  return complete;
}

Selection::Selection() : SheetRecord(kCode, kHeaderSize + SELECTION_REF::kSize), refs_(1) {}

std::uint32_t Selection::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    LogRecordError(kSelectionRead);
    return 0;
  }
  const std::span<const std::uint8_t> data(data_);
  std::uint16_t count = 0;
  const bool header = ReadInto(data, pane_, 0) && ReadInto(data, activeRow_, 1) &&
                      ReadInto(data, activeColumn_, 3) && ReadInto(data, activeRef_, 5) &&
                      ReadInto(data, count, 7);
  if (!header) {
    LogRecordError(kSelectionRead);
    return consumed;
  }
  // A count of 0 leaves the held list (a sheet always has a selection) and rereads its
  // first reference when the data holds one.
  const std::size_t wanted = count > 0 ? count : 1;
  if (count > 0) refs_.clear();
  std::size_t read = 0;
  for (std::size_t at = kHeaderSize; read < wanted && at < data.size();
       at += SELECTION_REF::kSize, ++read) {
    if (read == refs_.size()) refs_.emplace_back();
    refs_[read].Read(data, at);
  }
  // A count that the data does not bear out: the references that are there stay.
  if (count > 0 && read < count) LogRecordError(kSelectionRead);
  if (refs_.empty()) refs_.emplace_back();
  RecordSize();
  return consumed;
}

std::uint32_t Selection::Write(std::span<std::uint8_t> out, std::size_t pos) {
  RecordSize();
  PrepareData();
  const std::span<std::uint8_t> data(data_);
  const std::uint16_t count =
      static_cast<std::uint16_t>(std::min<std::size_t>(refs_.size(), 0xFFFF));
  bool complete = LittleEndian::Write(data, pane_, 0) && LittleEndian::Write(data, activeRow_, 1) &&
                  LittleEndian::Write(data, activeColumn_, 3) &&
                  LittleEndian::Write(data, activeRef_, 5) && LittleEndian::Write(data, count, 7);
  for (std::size_t i = 0; i < count && complete; ++i) {
    complete = refs_[i].Write(data, kHeaderSize + SELECTION_REF::kSize * i);
  }
  const std::uint32_t written = Record::Write(out, pos);
  if (!complete || written != recordSize_) LogRecordError(kSelectionWrite);
  return written;
}

std::uint32_t Selection::DataSize() {
  dataSize_ =
      ListSize(kHeaderSize, std::min<std::size_t>(refs_.size(), 0xFFFF), SELECTION_REF::kSize);
  FitContinues(dataSize_);
  return dataSize_;
}

bool Selection::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  if (!HeaderInRange(stream, pos, kCode, kHeaderSize + SELECTION_REF::kSize, 0xFFFF,
                     kSelectionValidate)) {
    return false;
  }
  return (LittleEndian::U16(stream, pos + 2) - kHeaderSize) % SELECTION_REF::kSize == 0;
}

// --- MergedCells ----------------------------------------------------------------------

MergedCells::MergedCells() : SheetRecord(kCode, 2) {}

std::uint32_t MergedCells::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    LogRecordError(kMergedRead);
    return 0;
  }
  const std::span<const std::uint8_t> data(data_);
  ranges_.clear();
  std::uint16_t count = 0;
  if (!ReadInto(data, count, 0)) {
    LogRecordError(kMergedRead);
    return consumed;
  }
  const std::size_t whole = (data.size() - 2) / Range::kSize;
  ranges_.reserve(std::min<std::size_t>(count, whole));
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = 2 + Range::kSize * i;
    if (i >= whole) {
      // The count runs past the data: a range cut short is no range.
      LogRecordError(kRangeRead);
      LogRecordError(kMergedRead);
      break;
    }
    Range& range = ranges_.emplace_back();
    range.firstRow_ = LittleEndian::U16(data, at);
    range.lastRow_ = LittleEndian::U16(data, at + 2);
    range.firstColumn_ = LittleEndian::U16(data, at + 4);
    range.lastColumn_ = LittleEndian::U16(data, at + 6);
  }
  RecordSize();
  return consumed;
}

std::uint32_t MergedCells::Write(std::span<std::uint8_t> out, std::size_t pos) {
  RecordSize();
  PrepareData();
  const std::span<std::uint8_t> data(data_);
  const std::size_t count = std::min<std::size_t>(ranges_.size(), 0xFFFF);
  bool complete = LittleEndian::Write(data, static_cast<std::uint16_t>(count), 0);
  for (std::size_t i = 0; i < count && complete; ++i) {
    const std::size_t at = 2 + Range::kSize * i;
    const Range& range = ranges_[i];
    complete = LittleEndian::Write(data, range.firstRow_, at) &&
               LittleEndian::Write(data, range.lastRow_, at + 2) &&
               LittleEndian::Write(data, range.firstColumn_, at + 4) &&
               LittleEndian::Write(data, range.lastColumn_, at + 6);
    if (!complete) LogRecordError(kRangeWrite);
  }
  const std::uint32_t written = Record::Write(out, pos);
  if (!complete || written != recordSize_) LogRecordError(kMergedWrite);
  return written;
}

std::uint32_t MergedCells::DataSize() {
  dataSize_ = ListSize(2, std::min<std::size_t>(ranges_.size(), 0xFFFF), Range::kSize);
  FitContinues(dataSize_);
  return dataSize_;
}

bool MergedCells::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  if (!HeaderInRange(stream, pos, kCode, 2, 0xFFFF, kMergedValidate)) return false;
  return (LittleEndian::U16(stream, pos + 2) - 2u) % Range::kSize == 0;
}

}  // namespace tabulix::sheet
