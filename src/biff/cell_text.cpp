#include "biff/cell_text.hpp"

#include <algorithm>

#include "base/little_endian.hpp"
#include "base/log.hpp"

namespace tabulix::cells {

namespace {

constexpr std::uint8_t kWideFlag = 0x01;
constexpr std::uint8_t kPhoneticFlag = 0x04;
constexpr std::uint8_t kRichTextFlag = 0x08;

}  // namespace

bool ReadPiecedString(std::span<const std::uint8_t> data, std::size_t pos,
                      std::span<const std::uint32_t> continueIndices, LargeString& text,
                      std::size_t& end) {
  end = pos;
  const std::uint32_t header = text.ReadHeader(data, pos);
  if (header == 0) return false;
  std::size_t remaining = LittleEndian::U16(data, pos);
  const std::uint8_t flags = LittleEndian::U8(data, pos + 2);
  std::size_t trailing = 0;
  if ((flags & kRichTextFlag) != 0) trailing += std::size_t{4} * LittleEndian::U16(data, pos + 3);
  if ((flags & kPhoneticFlag) != 0) {
    trailing += LittleEndian::U32(data, pos + 3 + ((flags & kRichTextFlag) != 0 ? 2 : 0));
  }

  // Each piece runs to the next split point; a split point at or behind the first
  // character opens a piece with a flags byte of its own, which may change the width.
  const std::size_t firstChar = pos + header;
  auto split = std::lower_bound(continueIndices.begin(), continueIndices.end(), firstChar);
  std::size_t flagsAt = pos + 2;
  std::size_t charsAt = firstChar;
  std::uint8_t pieceFlags = flags;
  std::size_t at = firstChar;
  for (bool first = true;; first = false) {
    const std::size_t pieceEnd = split == continueIndices.end() ? data.size() : *split;
    const std::size_t width = (pieceFlags & kWideFlag) != 0 ? 2 : 1;
    const std::size_t room = pieceEnd > charsAt ? pieceEnd - charsAt : 0;
    const std::size_t count = std::min(remaining, room / width);
    // The first call is made even for no characters: it consumes the header fields.
    if (first || count > 0) {
      text.ContinueRead(data.first(std::min(pieceEnd, data.size())), flagsAt,
                        static_cast<std::uint32_t>(count));
    }
    at = charsAt + count * width;
    remaining -= count;
    if (remaining == 0 || split == continueIndices.end() || *split >= data.size()) break;
    flagsAt = *split;
    pieceFlags = LittleEndian::U8(data, flagsAt);
    charsAt = flagsAt + 1;
    ++split;
  }
  if (remaining > 0) {
    end = at;
    return false;
  }
  end = at + trailing;
  if (end > data.size()) {
    end = data.size();
    return false;
  }
  return true;
}

Label::Label() : CellRecord(kCode, kFixedBytes + 3) {}

void Label::Reset() { *this = Label(); }

std::uint32_t Label::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  constexpr std::string_view kError = "Error reading Label Record";
  const std::uint32_t consumed = Record::Read(stream, pos);
  if (consumed == 0) {
    WriteLog(0, 0, kError, true);
    return 0;
  }
  readCode_ = code_;
  text_ = LargeString();
  tail_.clear();
  bool sound = ReadCellFields();
  if (sound) {
    std::size_t end = 0;
    sound = ReadPiecedString(data_, kFixedBytes, continueIndices_, text_, end);
    if (code_ == kRichCode) {
      // An RSTRING's formatting runs follow its string: a 16-bit count and 4 bytes a run.
      const std::size_t runs = LittleEndian::U16(data_, end);
      sound = sound && end + 2 + 4 * runs == data_.size();
    } else if (sound && end < data_.size()) {
      tail_.assign(data_.begin() + static_cast<std::ptrdiff_t>(end), data_.end());
    }
  }
  if (!sound) WriteLog(0, 0, kError, true);
  // The text is held in the fields; the record is written again as a plain LABEL, split
  // (should it ever be that long) by the size rule.
  code_ = kCode;
  continueIndices_.clear();
  data_.clear();
  data_.shrink_to_fit();
  return consumed;
}

std::uint32_t Label::DataSize() {
  // Written without formatting runs or phonetic data (the string writer drops them).
  dataSize_ = static_cast<std::uint32_t>(kFixedBytes + 3 + text_.StringSize() + tail_.size());
  return dataSize_;
}

std::uint32_t Label::RecordSize() {
  // Split points of the source belong to the record as read; a LABEL built again is split
  // by the size rule.
  DataSize();
  return SizeWithHeaders();
}

std::uint32_t Label::Write(std::span<std::uint8_t> out, std::size_t pos) {
  code_ = kCode;
  continueIndices_.clear();
  PrepareData();
  const std::uint32_t stringBytes = text_.Write(data_, kFixedBytes);
  const bool complete = WriteCellFields() && stringBytes == dataSize_ - kFixedBytes - tail_.size();
  std::copy(tail_.begin(), tail_.end(),
            data_.begin() + static_cast<std::ptrdiff_t>(kFixedBytes + stringBytes));
  const std::uint32_t written = Record::Write(out, pos);
  if (!complete || written != RecordSize()) WriteLog(0, 0, "Error writing Label Record", true);
  data_.clear();
  data_.shrink_to_fit();
  return written;
}

bool Label::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  const bool rich = LittleEndian::U16(stream, pos) == kRichCode;
  return ValidateHeader(stream, pos, rich ? kRichCode : kCode, kFixedBytes + (rich ? 5 : 3), true,
                        "Exception in Worksheet::CellTable::RowBlock::CellBlock::Label::Validate");
}

}  // namespace tabulix::cells
