#include "biff/small_string.hpp"

#include <algorithm>
#include <optional>

#include "base/little_endian.hpp"
#include "base/log.hpp"
#include "biff/text_encoding.hpp"

namespace tabulix {

namespace {

constexpr std::string_view kReadError = "Error reading SmallString Record";
constexpr std::string_view kWriteError = "Error writing SmallString Record";

// Cuts `text` to `limit` code units without leaving half of a surrogate pair behind.
void CutUtf16(std::u16string& text, std::size_t limit) {
  if (text.size() <= limit) return;
  text.resize(limit);
  if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
}

}  // namespace

std::uint32_t SmallString::Read(std::span<const std::uint8_t> data, std::size_t pos) {
  narrow_.clear();
  wide_.clear();
  std::uint8_t count = 0;
  std::uint8_t flags = 0;
  if (!LittleEndian::Read(data, count, pos) || !LittleEndian::Read(data, flags, pos + 1)) {
    WriteLog(0, 0, kReadError, true);
    return 0;
  }
  unicode_ = flags & 0x01;
  if (count == 0) return 0;

  const std::size_t first = pos + 2;
  const std::size_t room = data.size() - first;
  std::size_t read = 0;
  if (unicode_ != 0) {
    read = std::min<std::size_t>(count, room / 2);
    wide_.resize(read);
    for (std::size_t i = 0; i < read; ++i)
      wide_[i] = static_cast<char16_t>(LittleEndian::U16(data, first + 2 * i));
  } else {
    read = std::min<std::size_t>(count, room);
    narrow_.assign(reinterpret_cast<const char*>(data.data() + first), read);
  }
  if (read < count) WriteLog(0, 0, kReadError, true);
  return static_cast<std::uint32_t>(2 + read * (unicode_ != 0 ? 2 : 1));
}

std::uint32_t SmallString::Write(std::span<std::uint8_t> data, std::size_t pos) const {
  // A text longer than the count can say is cut rather than written with a wrong count.
  const std::size_t count = std::min<std::size_t>(StringSize(), kMaxChars);
  if (!LittleEndian::Write(data, static_cast<std::uint8_t>(count), pos) ||
      !LittleEndian::Write(data, unicode_, pos + 1)) {
    WriteLog(0, 0, kWriteError, true);
    return 0;
  }
  std::size_t written = 2;
  for (std::size_t i = 0; i < count; ++i) {
    const bool fits =
        unicode_ != 0
            ? LittleEndian::Write(data, static_cast<std::uint16_t>(wide_[i]), pos + written)
            : LittleEndian::Write(data, static_cast<std::uint8_t>(narrow_[i]), pos + written);
    if (!fits) break;
    written += unicode_ != 0 ? 2 : 1;
  }
  if (written != DataSize()) WriteLog(0, 0, kWriteError, true);
  return static_cast<std::uint32_t>(written);
}

std::uint32_t SmallString::StringSize() const {
  return static_cast<std::uint32_t>(unicode_ != 0 ? wide_.size() : narrow_.size());
}

std::uint32_t SmallString::DataSize() const { return 2 + StringSize() * (unicode_ != 0 ? 2 : 1); }

void SmallString::Assign(std::string_view utf8) {
  if (std::optional<std::string> latin1 = text::Utf8ToLatin1(utf8)) {
    narrow_ = std::move(*latin1);
    if (narrow_.size() > kMaxChars) narrow_.resize(kMaxChars);
    wide_.clear();
    unicode_ = 0;
  } else {
    Assign(text::Utf8ToUtf16(utf8));
  }
}

void SmallString::Assign(std::u16string_view utf16) {
  wide_.assign(utf16);
  CutUtf16(wide_, kMaxChars);
  narrow_.clear();
  unicode_ = 1;
}

std::string SmallString::ToUtf8() const {
  return unicode_ != 0 ? text::Utf16ToUtf8(wide_) : text::Latin1ToUtf8(narrow_);
}

}  // namespace tabulix
