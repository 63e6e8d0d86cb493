#include "biff/globals_sst_records.hpp"

#include <algorithm>
#include <cstring>

#include "biff/fixed_record.hpp"
#include "biff/globals_base_records.hpp"

namespace tabulix::globals {

namespace {

constexpr std::uint8_t kWideFlag = 0x01;
constexpr std::uint8_t kPhoneticFlag = 0x04;
constexpr std::uint8_t kRichTextFlag = 0x08;
// Every string takes its count and flags at least.
constexpr std::size_t kMinStringSize = 3;
// A string that would start with fewer bytes than this left in a piece starts a new one.
constexpr std::uint32_t kMinSplitRoom = 12;

std::size_t CharsRead(const LargeString& text) {
  return text.IsWide() ? text.wide_.size() : text.narrow_.size();
}

bool HoldsNul(const LargeString& text) {
  return text.IsWide() ? text.wide_.find(u'\0') != std::u16string::npos
                       : text.narrow_.find('\0') != std::string::npos;
}

}  // namespace

// ---- SST ----

SST::SST() {
  code_ = kCode;
  dataSize_ = 8;
  recordSize_ = 8 + kRecordHeaderSize;
}

void SST::Reset() { *this = SST(); }

std::uint32_t SST::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "SST").read);
    return 0;
  }
  strings_.clear();
  lost_.clear();
  needsSalvage_ = false;
  salvaged_ = false;
  sourcePosition_ = pos;
  FieldReader reader(data_);
  reader(total_, 0);
  reader(unique_, 4);
  if (!reader.complete()) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "SST").read);
    return consumed;
  }
  const std::size_t room = (data_.size() - 8) / kMinStringSize;
  bool lied = unique_ > room;
  strings_.resize(std::min<std::size_t>(unique_, room));

  std::size_t q = 8;
  std::size_t split = 0;
  std::size_t read = 0;
  bool zeroed = false;
  for (; read < strings_.size(); ++read) {
    // A CONTINUE that begins at or before the string carries no flags byte for it.
    while (split < continueIndices_.size() && continueIndices_[split] <= q) ++split;
    if (data_.size() - q < kMinStringSize) break;
    const std::size_t after =
        std::min(ReadSplitString(data_, continueIndices_, strings_[read], q, split), data_.size());
    if (after <= q) break;  // not even the string's header was there
    zeroed = zeroed || HoldsNul(strings_[read]);
    q = after;
  }
  if (read < strings_.size()) {
    strings_.resize(read);
    lied = true;
  }
  // A sound table holds exactly its unique count and ends with its last string, and no
  // string of it holds U+0000, which zeroed bytes leave (none of the 82,771 strings of
  // the real files we test with has one).
  needsSalvage_ = read < unique_ || q != data_.size() || zeroed;
  if (lied) LogRecordError(StandardTexts(Scope::kWorkbook, "SST").read);
  return consumed;
}

std::size_t SST::LostCount() const {
  return static_cast<std::size_t>(std::count(lost_.begin(), lost_.end(), std::uint8_t{1}));
}

std::size_t SST::ReadSplitString(std::span<const std::uint8_t> data,
                                 std::span<const std::uint32_t> splits, LargeString& text,
                                 std::size_t q, std::size_t& split) {
  const std::uint16_t count = LittleEndian::U16(data, q);
  const std::uint8_t flags = data[q + 2];
  const std::size_t width = (flags & kWideFlag) != 0 ? 2 : 1;
  std::size_t header = 3;
  if ((flags & kRichTextFlag) != 0) header += 2;
  if ((flags & kPhoneticFlag) != 0) header += 4;
  const std::size_t charsEnd = q + header + count * width;
  if (count == 0 || split >= splits.size() || splits[split] >= charsEnd)
    return q + text.Read(data, q);

  // The characters cross at least one split point: read them piece by piece.
  if (text.ReadHeader(data, q) == 0) return data.size();
  const std::size_t boundary = splits[split];
  const std::size_t charsAt = q + header;
  std::size_t inPiece =
      boundary > charsAt ? std::min<std::size_t>(count, (boundary - charsAt) / width) : 0;
  std::size_t next = q + 2 + text.ContinueRead(data, q + 2, static_cast<std::uint32_t>(inPiece));
  std::size_t left = count - inPiece;
  while (left > 0) {
    if (split >= splits.size()) break;
    const std::size_t at = splits[split++];
    if (at >= data.size()) break;
    const std::size_t pieceWidth = (data[at] & kWideFlag) != 0 ? 2 : 1;
    // The last piece takes the rest (ContinueRead stops at the end of the data).
    inPiece = left;
    if (split < splits.size()) {
      const std::size_t limit = splits[split];
      inPiece = limit > at + 1 ? std::min(left, (limit - at - 1) / pieceWidth) : 0;
    }
    next = at + text.ContinueRead(data, at, static_cast<std::uint32_t>(inPiece));
    left -= inPiece;
    if (CharsRead(text) < count - left) break;  // the data ended inside the characters
  }
  return next;
}

std::uint32_t SST::DataSize() {
  // Pieces of at most 8224 data bytes. A string is placed whole where it fits; else it is
  // split (16-bit characters on a whole character), each further piece opening with a
  // flags byte, unless fewer than 12 bytes are left, in which case it starts a new piece.
  continueIndices_.clear();
  std::uint64_t s = 8;
  std::uint64_t e = kMaxRecordData;
  for (const LargeString& text : strings_) {
    std::uint64_t c = text.StringSize();
    const bool wide = text.IsWide();
    if (s + 3 + c <= e) {
      s += 3 + c;
      continue;
    }
    if (e - s < kMinSplitRoom) {
      continueIndices_.push_back(static_cast<std::uint32_t>(s));
      e = s + kMaxRecordData;
      if (s + 3 + c <= e) {
        s += 3 + c;
        continue;
      }
    }
    if (wide && (e - s) % 2 == 0) --e;
    continueIndices_.push_back(static_cast<std::uint32_t>(e));
    c -= e - s - 3;
    s = e;
    // Full continuation pieces: a flags byte and as many whole characters as fit. A string
    // that ends exactly at a piece's end opens no further (empty) piece.
    const std::uint64_t perPiece = wide ? kMaxRecordData - 2 : kMaxRecordData - 1;
    while (1 + c > kMaxRecordData) {
      c -= perPiece;
      s += 1 + perPiece;
      continueIndices_.push_back(static_cast<std::uint32_t>(s));
    }
    e = s + kMaxRecordData;
    s += 1 + c;
  }
  dataSize_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(s, 0xFFFFFFFFu));
  return dataSize_;
}

std::uint32_t SST::RecordSize() { return SizeWithHeaders(); }

std::uint32_t SST::Write(std::span<std::uint8_t> out, std::size_t pos) {
  unique_ = static_cast<std::uint32_t>(strings_.size());
  data_.assign(DataSize(), 0);
  FieldWriter writer(data_);
  writer(total_, 0);
  writer(unique_, 4);
  bool complete = writer.complete();

  std::vector<std::uint8_t> encoded;
  std::size_t q = 8;
  std::size_t split = 0;
  for (LargeString& text : strings_) {
    while (split < continueIndices_.size() && continueIndices_[split] <= q) ++split;
    encoded.assign(3 + std::size_t{text.StringSize()}, 0);
    text.Write(encoded, 0);
    // Copy the string piece by piece; each split point inside it gets the flags byte.
    std::size_t from = 0;
    while (from < encoded.size() && q < data_.size()) {
      const std::size_t limit = std::max(
          q, split < continueIndices_.size() ? std::size_t{continueIndices_[split]} : data_.size());
      const std::size_t take = std::min({encoded.size() - from, limit - q, data_.size() - q});
      std::memcpy(data_.data() + q, encoded.data() + from, take);
      q += take;
      from += take;
      if (from < encoded.size() && q < data_.size() && split < continueIndices_.size()) {
        data_[q++] = encoded[2];
        ++split;
      }
    }
    if (from < encoded.size()) {
      complete = false;
      break;
    }
  }
  const std::uint32_t written = Record::Write(out, pos);
  if (!complete || q != data_.size() || written != RecordSize())
    LogRecordError(StandardTexts(Scope::kWorkbook, "SST").write);
  return written;
}

bool SST::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  std::uint16_t code = 0;
  std::uint16_t length = 0;
  std::uint32_t total = 0;
  std::uint32_t unique = 0;
  if (!ReadHeader(stream, pos, code, length) ||
      !LittleEndian::Read(stream, total, pos + kRecordHeaderSize) ||
      !LittleEndian::Read(stream, unique, pos + kRecordHeaderSize + 4)) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "SST").validate);
    return false;
  }
  return code == kCode && static_cast<std::int32_t>(unique) >= 0 && total >= unique &&
         length >= 8 + 4 * std::uint64_t{unique};
}

std::string SST::Text(std::size_t i) const {
  return i < strings_.size() ? strings_[i].ToUtf8() : std::string();
}

// ---- ExtSST ----

ExtSST::ExtSST() {
  code_ = kCode;
  dataSize_ = 2;
  recordSize_ = 2 + kRecordHeaderSize;
}

void ExtSST::Reset() { *this = ExtSST(); }

std::uint32_t ExtSST::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "ExtSST").read);
    return 0;
  }
  FieldReader reader(data_);
  reader(stringsPerBucket_, 0);
  buckets_.resize(data_.size() >= 2 ? (data_.size() - 2) / 8 : 0);
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    reader(buckets_[i].streamPosition, 2 + 8 * i);
    reader(buckets_[i].pieceOffset, 6 + 8 * i);
    reader(buckets_[i].reserved, 8 + 8 * i);
  }
  if (!reader.complete()) LogRecordError(StandardTexts(Scope::kWorkbook, "ExtSST").read);
  return consumed;
}

std::uint32_t ExtSST::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  FieldWriter writer(data_);
  writer(stringsPerBucket_, 0);
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    writer(buckets_[i].streamPosition, 2 + 8 * i);
    writer(buckets_[i].pieceOffset, 6 + 8 * i);
    writer(buckets_[i].reserved, 8 + 8 * i);
  }
  const std::uint32_t written = Record::Write(out, pos);
  if (!writer.complete() || written != RecordSize())
    LogRecordError(StandardTexts(Scope::kWorkbook, "ExtSST").write);
  return written;
}

std::uint32_t ExtSST::DataSize() {
  return detail::StoreDataSize(*this, static_cast<std::uint32_t>(2 + 8 * buckets_.size()));
}

std::uint32_t ExtSST::RecordSize() { return SizeWithHeaders(); }

bool ExtSST::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  std::uint16_t code = 0;
  std::uint16_t length = 0;
  if (!ReadHeader(stream, pos, code, length)) {
    LogRecordError(StandardTexts(Scope::kWorkbook, "ExtSST").validate);
    return false;
  }
  return code == kCode && length >= 2 && (length - 2) % 8 == 0;
}

}  // namespace tabulix::globals
