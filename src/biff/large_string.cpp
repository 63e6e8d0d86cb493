#include "biff/large_string.hpp"

#include <algorithm>
#include <optional>

#include "base/little_endian.hpp"
#include "base/log.hpp"
#include "biff/text_encoding.hpp"

namespace tabulix {

namespace {

constexpr std::string_view kReadError = "Error reading LargeString Record";
constexpr std::string_view kContinueError = "Error reading LargeString::ContinueRead Record";
constexpr std::string_view kWriteError = "Error writing LargeString Record";

constexpr std::uint8_t kWideFlag = 0x01;
constexpr std::uint8_t kPhoneticFlag = 0x04;
constexpr std::uint8_t kRichTextFlag = 0x08;

std::size_t Available(std::size_t size, std::size_t pos) { return pos < size ? size - pos : 0; }

// Counts are unsigned on disk; the members are signed only by tradition.
std::uint32_t RunCount(std::int16_t richtext) { return static_cast<std::uint16_t>(richtext); }
std::uint32_t PhoneticBytes(std::int32_t phonetic) { return static_cast<std::uint32_t>(phonetic); }

}  // namespace

std::uint32_t LargeString::ReadHeader(std::span<const std::uint8_t> data, std::size_t pos) {
  narrow_.clear();
  wide_.clear();
  headerPending_ = false;
  charsLeft_ = 0;
  std::uint16_t count = 0;
  std::uint8_t flags = 0;
  if (!LittleEndian::Read(data, count, pos) || !LittleEndian::Read(data, flags, pos + 2)) {
    WriteLog(0, 0, kReadError, true);
    return 0;
  }
  unicode_ = flags;
  richtext_ = 0;
  phonetic_ = 0;
  std::size_t size = 3;
  if ((flags & kRichTextFlag) != 0) {
    std::uint16_t runs = 0;
    if (!LittleEndian::Read(data, runs, pos + size)) {
      WriteLog(0, 0, kReadError, true);
      return 0;
    }
    richtext_ = static_cast<std::int16_t>(runs);
    size += 2;
  }
  if ((flags & kPhoneticFlag) != 0) {
    std::uint32_t phonetic = 0;
    if (!LittleEndian::Read(data, phonetic, pos + size)) {
      WriteLog(0, 0, kReadError, true);
      return 0;
    }
    phonetic_ = static_cast<std::int32_t>(phonetic);
    size += 4;
  }
  headerPending_ = true;
  charsLeft_ = count;
  return static_cast<std::uint32_t>(size);
}

std::uint32_t LargeString::Read(std::span<const std::uint8_t> data, std::size_t pos) {
  const std::uint32_t header = ReadHeader(data, pos);
  if (header == 0) return 0;
  if (charsLeft_ > 0) return 2 + ContinueRead(data, pos + 2, charsLeft_);

  // An empty string still carries the runs and phonetic block it announces.
  headerPending_ = false;
  bool cut = false;
  const std::uint32_t trailing = TakeTrailing(data, pos + header, cut);
  if (cut) WriteLog(0, 0, kReadError, true);
  return header + trailing;
}

std::uint32_t LargeString::ContinueRead(std::span<const std::uint8_t> data, std::size_t pos,
                                        std::uint32_t count) {
  const bool first = headerPending_ || unicode_ == kUnknownWidth;
  headerPending_ = false;
  if (count == 0) return 0;

  std::uint8_t flags = 0;
  if (!LittleEndian::Read(data, flags, pos)) {
    WriteLog(0, 0, kContinueError, true);
    richtext_ = 0;
    phonetic_ = 0;
    charsLeft_ = 0;
    return 0;
  }
  if (unicode_ == kUnknownWidth) unicode_ = flags;
  std::size_t start = 1;
  if (first) {
    if ((flags & kRichTextFlag) != 0) start += 2;
    if ((flags & kPhoneticFlag) != 0) start += 4;
  }
  const std::size_t width = (flags & kWideFlag) != 0 ? 2 : 1;
  const std::size_t room = Available(data.size(), pos + start);
  const std::size_t fit = std::min<std::size_t>(count, room / width);
  const std::size_t at = pos + start;

  if (width == 2 && (unicode_ & kWideFlag) == 0) {
    // A 16-bit piece behind 8-bit ones: narrowing would destroy every character above
    // U+00FF, so the whole text becomes 16-bit instead.
    wide_ = text::Latin1ToUtf16(narrow_);
    narrow_.clear();
    unicode_ = static_cast<std::uint8_t>(unicode_ | kWideFlag);
  }
  if ((unicode_ & kWideFlag) != 0) {
    wide_.reserve(wide_.size() + fit);
    for (std::size_t i = 0; i < fit; ++i) {
      wide_.push_back(width == 2 ? static_cast<char16_t>(LittleEndian::U16(data, at + 2 * i))
                                 : static_cast<char16_t>(data[at + i]));
    }
  } else if (fit > 0) {
    narrow_.append(reinterpret_cast<const char*>(data.data() + at), fit);
  }

  std::uint32_t consumed =
      static_cast<std::uint32_t>(std::min(start, Available(data.size(), pos)) + fit * width);
  bool failed = fit < count;
  if (failed) {
    // The data ends inside the characters: nothing of the runs or phonetic block is there.
    richtext_ = 0;
    phonetic_ = 0;
    charsLeft_ = 0;
  } else {
    charsLeft_ = charsLeft_ <= fit ? 0 : charsLeft_ - static_cast<std::uint32_t>(fit);
  }
  if (!failed && charsLeft_ == 0) {
    bool cut = false;
    consumed += TakeTrailing(data, pos + consumed, cut);
    failed = failed || cut;
  }
  if (failed) WriteLog(0, 0, kContinueError, true);
  return consumed;
}

std::uint32_t LargeString::TakeTrailing(std::span<const std::uint8_t> data, std::size_t at,
                                        bool& cut) {
  std::size_t room = Available(data.size(), at);
  std::size_t runBytes = std::size_t{4} * RunCount(richtext_);
  if (runBytes > room) {
    richtext_ = static_cast<std::int16_t>(room / 4);
    runBytes = std::size_t{4} * RunCount(richtext_);
    cut = true;
  }
  room -= runBytes;
  std::size_t phoneticBytes = PhoneticBytes(phonetic_);
  if (phoneticBytes > room) {
    phonetic_ = static_cast<std::int32_t>(room);
    phoneticBytes = room;
    cut = true;
  }
  return static_cast<std::uint32_t>(runBytes + phoneticBytes);
}

std::uint32_t LargeString::Write(std::span<std::uint8_t> data, std::size_t pos) {
  unicode_ = IsWide() ? 1 : 0;
  const bool wide = unicode_ != 0;
  const std::size_t count = wide ? wide_.size() : narrow_.size();
  if (count > kMaxChars || !LittleEndian::Write(data, static_cast<std::uint16_t>(count), pos) ||
      !LittleEndian::Write(data, unicode_, pos + 2)) {
    WriteLog(0, 0, kWriteError, true);
    return 0;
  }
  std::size_t written = 3;
  for (std::size_t i = 0; i < count; ++i) {
    const bool fits =
        wide ? LittleEndian::Write(data, static_cast<std::uint16_t>(wide_[i]), pos + written)
             : LittleEndian::Write(data, static_cast<std::uint8_t>(narrow_[i]), pos + written);
    if (!fits) {
      WriteLog(0, 0, kWriteError, true);
      break;
    }
    written += wide ? 2 : 1;
  }
  return static_cast<std::uint32_t>(written);
}

bool LargeString::IsWide() const {
  // A new string has no width yet; whichever text was filled decides.
  if (unicode_ == kUnknownWidth) return narrow_.empty() && !wide_.empty();
  return (unicode_ & kWideFlag) != 0;
}

std::uint32_t LargeString::StringSize() const {
  return static_cast<std::uint32_t>(IsWide() ? 2 * wide_.size() : narrow_.size());
}

std::uint32_t LargeString::DataSize() const {
  std::uint64_t size = 3 + std::uint64_t{StringSize()};
  if (richtext_ != 0) size += 2 + 4 * std::uint64_t{RunCount(richtext_)};
  if (phonetic_ != 0) size += 4 + std::uint64_t{PhoneticBytes(phonetic_)};
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(size, 0xFFFFFFFFu));
}

void LargeString::Assign(std::string_view utf8) {
  if (std::optional<std::string> latin1 = text::Utf8ToLatin1(utf8)) {
    narrow_ = std::move(*latin1);
    if (narrow_.size() > kMaxChars) narrow_.resize(kMaxChars);
    wide_.clear();
    unicode_ = 0;
    richtext_ = 0;
    phonetic_ = 0;
    headerPending_ = false;
    charsLeft_ = 0;
  } else {
    Assign(text::Utf8ToUtf16(utf8));
  }
}

void LargeString::Assign(std::u16string_view utf16) {
  wide_.assign(utf16);
  if (wide_.size() > kMaxChars) {
    wide_.resize(kMaxChars);
    if (wide_.back() >= 0xD800 && wide_.back() <= 0xDBFF) wide_.pop_back();
  }
  narrow_.clear();
  unicode_ = 1;
  richtext_ = 0;
  phonetic_ = 0;
  headerPending_ = false;
  charsLeft_ = 0;
}

std::string LargeString::ToUtf8() const {
  return IsWide() ? text::Utf16ToUtf8(wide_) : text::Latin1ToUtf8(narrow_);
}

}  // namespace tabulix
