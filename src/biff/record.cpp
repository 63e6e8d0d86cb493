#include "biff/record.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/little_endian.hpp"
#include "base/log.hpp"

namespace tabulix {

namespace {

constexpr std::string_view kReadError = "Error reading 'Record' Record";
constexpr std::string_view kWriteError = "Error writing 'Record' Record";

// Bytes of `buffer` from `pos` to its end (0 when `pos` lies past it).
std::size_t Available(std::size_t bufferSize, std::size_t pos) {
  return pos < bufferSize ? bufferSize - pos : 0;
}

// Writes one header and its data run at `at`, or nothing when the piece does not fit.
bool WritePiece(std::span<std::uint8_t> out, std::size_t at, std::uint16_t code,
                std::span<const std::uint8_t> run) {
  if (run.size() > 0xFFFF || Available(out.size(), at) < kRecordHeaderSize + run.size()) {
    return false;
  }
  LittleEndian::Write(out, code, at);
  LittleEndian::Write(out, static_cast<std::uint16_t>(run.size()), at + 2);
  if (!run.empty()) std::memcpy(out.data() + at + kRecordHeaderSize, run.data(), run.size());
  return true;
}

}  // namespace

std::uint32_t Record::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::size_t available = Available(stream.size(), pos);
  if (available < kRecordHeaderSize) {
    WriteLog(0, 0, kReadError, true);
    return 0;
  }
  code_ = LittleEndian::U16(stream, pos);
  dataSize_ = LittleEndian::U16(stream, pos + 2);
  if (available - kRecordHeaderSize < dataSize_) {
    WriteLog(0, 0, kReadError, true);
    return 0;
  }
  const std::uint8_t* first = stream.data() + pos + kRecordHeaderSize;
  data_.assign(first, first + dataSize_);
  recordSize_ = dataSize_ + kRecordHeaderSize;
  continueIndices_.clear();

  // Every CONTINUE joined consumes at least its 4-byte header, so this ends within the
  // stream. A CONTINUE that runs past the end is left out: the record stands as it is.
  while (available - recordSize_ >= 2 &&
         LittleEndian::U16(stream, pos + recordSize_) == kContinueCode) {
    const std::size_t header = pos + recordSize_;
    if (available - recordSize_ < kRecordHeaderSize) break;
    const std::uint16_t length = LittleEndian::U16(stream, header + 2);
    if (available - recordSize_ - kRecordHeaderSize < length) break;
    if (std::numeric_limits<std::uint32_t>::max() - recordSize_ < kRecordHeaderSize + length) break;
    continueIndices_.push_back(dataSize_);
    const std::uint8_t* run = stream.data() + header + kRecordHeaderSize;
    data_.insert(data_.end(), run, run + length);
    dataSize_ += length;
    recordSize_ += kRecordHeaderSize + length;
  }
  return recordSize_;
}

std::uint32_t Record::Write(std::span<std::uint8_t> out, std::size_t pos) {
  // A derived class sizes data_ before it calls us; a record whose data fell short of its
  // length (a failed read) has nothing sound to write.
  if (data_.size() < dataSize_) {
    WriteLog(0, 0, kWriteError, true);
    return 0;
  }
  const std::span<const std::uint8_t> data(data_.data(), dataSize_);
  std::size_t written = 0;
  auto put = [&](std::uint16_t code, std::size_t from, std::size_t to) {
    if (!WritePiece(out, pos + written, code, data.subspan(from, to - from))) return false;
    written += kRecordHeaderSize + (to - from);
    return true;
  };

  if (continueIndices_.empty()) {
    std::size_t from = 0;
    std::uint16_t code = code_;
    while (dataSize_ - from > kMaxRecordData) {
      if (!put(code, from, from + kMaxRecordData)) {
        WriteLog(0, 0, kWriteError, true);
        return static_cast<std::uint32_t>(written);
      }
      from += kMaxRecordData;
      code = kContinueCode;
    }
    if (!put(code, from, dataSize_)) WriteLog(0, 0, kWriteError, true);
    return static_cast<std::uint32_t>(written);
  }

  // Split points kept from the source (or laid out by the owner) must rise through data_;
  // anything else would write pieces of negative or impossible length.
  std::uint32_t previous = 0;
  for (std::uint32_t index : continueIndices_) {
    if (index < previous || index > dataSize_ || index - previous > 0xFFFF) {
      WriteLog(0, 0, kWriteError, true);
      return 0;
    }
    previous = index;
  }
  if (dataSize_ - previous > 0xFFFF) {
    WriteLog(0, 0, kWriteError, true);
    return 0;
  }
  std::size_t from = 0;
  std::uint16_t code = code_;
  for (std::size_t i = 0; i <= continueIndices_.size(); ++i) {
    const std::size_t to = i < continueIndices_.size() ? continueIndices_[i] : dataSize_;
    if (!put(code, from, to)) {
      WriteLog(0, 0, kWriteError, true);
      break;
    }
    from = to;
    code = kContinueCode;
  }
  return static_cast<std::uint32_t>(written);
}

std::uint32_t Record::DataSize() { return dataSize_; }

std::uint32_t Record::RecordSize() { return recordSize_; }

std::uint32_t Record::SizeWithHeaders() {
  const std::uint32_t dataSize = DataSize();
  const std::uint64_t total =
      std::uint64_t{dataSize} +
      std::uint64_t{kRecordHeaderSize} * RecordPieceCount(dataSize, continueIndices_.size());
  recordSize_ = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(total, std::numeric_limits<std::uint32_t>::max()));
  return recordSize_;
}

void Record::PrepareData() { data_.resize(DataSize()); }

}  // namespace tabulix
