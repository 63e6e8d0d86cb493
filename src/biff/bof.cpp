#include "biff/bof.hpp"

#include "base/little_endian.hpp"
#include "base/log.hpp"

namespace tabulix {

namespace {

// Field offsets inside the BOF data.
constexpr std::size_t kVersionAt = 0;
constexpr std::size_t kTypeAt = 2;
constexpr std::size_t kBuildIdAt = 4;
constexpr std::size_t kBuildYearAt = 6;
constexpr std::size_t kFileHistoryAt = 8;
constexpr std::size_t kLowestVersionAt = 12;

// Reads a field only when `data` holds it, so that a short BOF keeps its other values.
template <typename T>
bool ReadField(LittleEndian::Bytes data, T& field, std::size_t at) {
  T value = 0;
  if (!LittleEndian::Read(data, value, at)) return false;
  field = value;
  return true;
}

bool KnownSubstreamType(std::uint16_t type) {
  switch (type) {
    case BOF::kWorkbookGlobals:
    case BOF::kVisualBasicModule:
    case BOF::kWorksheet:
    case BOF::kChart:
    case BOF::kMacroSheet:
    case BOF::kWorkspace:
      return true;
    default:
      return false;
  }
}

}  // namespace

BOF::BOF() {
  code_ = kCode;
  dataSize_ = kDataSize;
  recordSize_ = kDataSize + kRecordHeaderSize;
}

void BOF::Reset() {
  code_ = kCode;
  version_ = kBiff8;
  buildId_ = 0x15EC;
  buildYear_ = 0x07CD;
  fileHistory_ = 0xC0C1;
  lowestVersion_ = 0x0306;
  data_.clear();
  continueIndices_.clear();
  dataSize_ = kDataSize;
  recordSize_ = kDataSize + kRecordHeaderSize;
}

std::uint32_t BOF::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  // A record that is not there has consumed nothing; answering the size of the previous
  // contents would move the caller past bytes it never read.
  if (Record::Read(stream, pos) == 0) {
    WriteLog(0, 0, "Error reading BOF record", true);
    return 0;
  }
  const LittleEndian::Bytes data(data_);
  // A short BOF keeps the fields it does not carry.
  const bool complete = ReadField(data, version_, kVersionAt) && ReadField(data, type_, kTypeAt) &&
                        ReadField(data, buildId_, kBuildIdAt) &&
                        ReadField(data, buildYear_, kBuildYearAt) &&
                        ReadField(data, fileHistory_, kFileHistoryAt) &&
                        ReadField(data, lowestVersion_, kLowestVersionAt);
  if (!complete) WriteLog(0, 0, "Error reading BOF record", true);
  return RecordSize();
}

std::uint32_t BOF::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  const LittleEndian::MutableBytes data(data_);
  // A BOF read shorter than 16 bytes is written back as it was read.
  const bool complete = LittleEndian::Write(data, version_, kVersionAt) &&
                        LittleEndian::Write(data, type_, kTypeAt) &&
                        LittleEndian::Write(data, buildId_, kBuildIdAt) &&
                        LittleEndian::Write(data, buildYear_, kBuildYearAt) &&
                        LittleEndian::Write(data, fileHistory_, kFileHistoryAt) &&
                        LittleEndian::Write(data, lowestVersion_, kLowestVersionAt);
  const std::uint32_t written = Record::Write(out, pos);
  if (!complete || written != RecordSize()) WriteLog(0, 0, "Error writing BOF record", true);
  return written;
}

bool BOF::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  if (pos > stream.size() || stream.size() - pos < kRecordHeaderSize) {
    WriteLog(0, 0, "Exception in BOF::Validate", true);
    return false;
  }
  return LittleEndian::U16(stream, pos) == kCode &&
         LittleEndian::U16(stream, pos + 2) == kDataSize && Validate_Biff8(stream, pos);
}

bool BOF::Validate_Biff8(std::span<const std::uint8_t> stream, std::size_t pos) {
  std::uint16_t version = 0;
  std::uint16_t type = 0;
  if (pos > stream.size() ||
      !LittleEndian::Read(stream, version, pos + kRecordHeaderSize + kVersionAt) ||
      !LittleEndian::Read(stream, type, pos + kRecordHeaderSize + kTypeAt)) {
    WriteLog(0, 0, "Exception in BOF::Validate_Biff8", true);
    return false;
  }
  return version == kBiff8 && KnownSubstreamType(type);
}

Eof::Eof() { code_ = kCode; }

void Eof::Reset() {
  code_ = kCode;
  data_.clear();
  continueIndices_.clear();
  dataSize_ = 0;
  recordSize_ = kRecordHeaderSize;
}

bool Eof::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  if (pos > stream.size() || stream.size() - pos < kRecordHeaderSize) {
    WriteLog(0, 0, "Exception in EOF::Validate", true);
    return false;
  }
  // Only a header that claims an empty EOF is worth the read that joins its CONTINUEs.
  if (LittleEndian::U16(stream, pos) != kCode || LittleEndian::U16(stream, pos + 2) != 0)
    return false;
  Record scratch;
  return scratch.Read(stream, pos) != 0 && scratch.code_ == kCode && scratch.dataSize_ == 0;
}

}  // namespace tabulix
