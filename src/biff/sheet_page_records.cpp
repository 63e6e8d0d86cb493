#include "biff/sheet_page_records.hpp"

#include "base/little_endian.hpp"

namespace tabulix::sheet {

namespace {

constexpr std::uint32_t kStringHeader = 3;  // count and flags

std::size_t CharacterCount(const LargeString& text) {
  return text.IsWide() ? text.wide_.size() : text.narrow_.size();
}

}  // namespace

template <std::uint16_t Code, ClassName Name>
std::uint32_t PageText<Code, Name>::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    LogRecordError(Texts().read);
    return 0;
  }
  text_ = LargeString();
  if (dataSize_ == 0) return consumed;
  text_.Read(data_, 0);
  // A count that the data cannot hold: the characters that are there stay.
  if (dataSize_ < kStringHeader || LittleEndian::U16(data_, 0) != CharacterCount(text_)) {
    LogRecordError(Texts().read);
  }
  RecordSize();
  return consumed;
}

template <std::uint16_t Code, ClassName Name>
std::uint32_t PageText<Code, Name>::Write(std::span<std::uint8_t> out, std::size_t pos) {
  RecordSize();
  PrepareData();
  bool complete = true;
  if (dataSize_ != 0) complete = text_.Write(data_, 0) == dataSize_;
  const std::uint32_t written = Record::Write(out, pos);
  if (!complete || written != recordSize_) LogRecordError(Texts().write);
  return written;
}

template <std::uint16_t Code, ClassName Name>
std::uint32_t PageText<Code, Name>::DataSize() {
  if (dataSize_ != 0) dataSize_ = kStringHeader + text_.StringSize();
  FitContinues(dataSize_);
  return dataSize_;
}

template <std::uint16_t Code, ClassName Name>
bool PageText<Code, Name>::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return HeaderInRange(stream, pos, Code, 0, 0xFFFF, Texts().validate) &&
         (LittleEndian::U16(stream, pos + 2) == 0 ||
          LittleEndian::U16(stream, pos + 2) >= kStringHeader);
}

template <std::uint16_t Code, ClassName Name>
void PageText<Code, Name>::SetText(std::string_view utf8) {
  text_ = LargeString();
  continueIndices_.clear();
  if (utf8.empty()) {
    dataSize_ = 0;
  } else {
    text_.Assign(utf8);
    dataSize_ = kStringHeader;  // any length but 0: DataSize() computes the real one
  }
  RecordSize();
}

template class PageText<0x0014, "Header">;
template class PageText<0x0015, "Footer">;

}  // namespace tabulix::sheet
