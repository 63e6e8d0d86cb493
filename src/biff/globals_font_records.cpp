#include "biff/globals_font_records.hpp"

#include <algorithm>

#include "base/log.hpp"
#include "biff/fixed_record.hpp"
#include "biff/globals_base_records.hpp"

namespace tabulix::globals {

namespace {

// The bytes a long string takes as this system writes it: count, flags and characters.
std::uint32_t WrittenSize(const LargeString& text) { return 3 + text.StringSize(); }

}  // namespace

// ---- Font ----

Font::Font() {
  code_ = kCode;
  name_.Assign(u"Arial");
  DataSize();
  RecordSize();
}

void Font::Reset() { *this = Font(); }

std::uint32_t Font::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    WriteLog(0, 0, "Exception in Workbook::Font::Read", true);
    return 0;
  }
  FieldReader reader(data_);
  reader(height_, 0);
  reader(options_, 2);
  reader(colour_, 4);
  reader(weight_, 6);
  reader(escapement_, 8);
  reader(underline_, 10);
  reader(family_, 11);
  reader(charset_, 12);
  reader(reserved_, 13);
  // A record too short for a name keeps the name it had.
  const bool named = detail::ReadShortString(data_, kFixedSize, name_);
  if (!reader.complete() || !named) WriteLog(0, 0, "Exception in Workbook::Font::Read", true);
  return name_.StringSize() == 0 ? 0 : consumed;
}

std::uint32_t Font::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  FieldWriter writer(data_);
  writer(height_, 0);
  writer(options_, 2);
  writer(colour_, 4);
  writer(weight_, 6);
  writer(escapement_, 8);
  writer(underline_, 10);
  writer(family_, 11);
  writer(charset_, 12);
  writer(reserved_, 13);
  const bool named = name_.Write(data_, kFixedSize) == name_.DataSize();
  const std::uint32_t written = Record::Write(out, pos);
  if (!writer.complete() || !named || written != RecordSize())
    WriteLog(0, 0, "Exception in Workbook::Font::Write", true);
  return written;
}

std::uint32_t Font::DataSize() {
  return detail::StoreDataSize(*this, kFixedSize + name_.DataSize());
}

std::uint32_t Font::RecordSize() { return SizeWithHeaders(); }

bool Font::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  // The fixed fields, then a short string of at most 255 16-bit characters.
  return HeaderInRange(stream, pos, kCode, kFixedSize + 2, kFixedSize + 2 + 2 * 255,
                       StandardTexts(Scope::kWorkbook, "Font").validate);
}

// ---- Format ----

Format::Format() {
  code_ = kCode;
  text_.Assign(std::string_view());
  DataSize();
  RecordSize();
}

void Format::Reset() { *this = Format(); }

std::uint32_t Format::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    WriteLog(0, 0, "Exception in Workbook::Format::Read", true);
    return 0;
  }
  FieldReader reader(data_);
  reader(index_, 0);
  if (!reader.complete() || !detail::ReadLongString(data_, 2, text_))
    WriteLog(0, 0, "Exception in Workbook::Format::Read", true);
  return consumed;
}

std::uint32_t Format::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  FieldWriter writer(data_);
  writer(index_, 0);
  const bool complete = text_.Write(data_, 2) == WrittenSize(text_);
  const std::uint32_t written = Record::Write(out, pos);
  if (!writer.complete() || !complete || written != RecordSize())
    WriteLog(0, 0, "Exception in Workbook::Format::Write", true);
  return written;
}

std::uint32_t Format::DataSize() { return detail::StoreDataSize(*this, 2 + WrittenSize(text_)); }

std::uint32_t Format::RecordSize() { return SizeWithHeaders(); }

bool Format::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return HeaderInRange(stream, pos, kCode, 5, 0xFFFF,
                       StandardTexts(Scope::kWorkbook, "Format").validate);
}

// ---- Style ----

Style::Style() {
  code_ = kCode;
  DataSize();
  RecordSize();
}

void Style::Reset() { *this = Style(); }

std::uint32_t Style::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    WriteLog(0, 0, "Exception in Workbook::Style::Read", true);
    return 0;
  }
  FieldReader reader(data_);
  reader(xfIndex_, 0);
  bool complete = reader.complete();
  if (complete && IsBuiltIn()) {
    reader(builtInId_, 2);
    reader(outlineLevel_, 3);
    complete = reader.complete();
  } else if (complete) {
    complete = detail::ReadLongString(data_, 2, name_);
  }
  if (!complete) WriteLog(0, 0, "Exception in Workbook::Style::Read", true);
  return consumed;
}

std::uint32_t Style::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  FieldWriter writer(data_);
  writer(xfIndex_, 0);
  bool complete = true;
  if (IsBuiltIn()) {
    writer(builtInId_, 2);
    writer(outlineLevel_, 3);
  } else {
    complete = name_.Write(data_, 2) == WrittenSize(name_);
  }
  const std::uint32_t written = Record::Write(out, pos);
  if (!writer.complete() || !complete || written != RecordSize())
    WriteLog(0, 0, "Exception writing in Workbook::Style::Write", true);
  return written;
}

std::uint32_t Style::DataSize() {
  return detail::StoreDataSize(*this, IsBuiltIn() ? 4 : 2 + WrittenSize(name_));
}

std::uint32_t Style::RecordSize() { return SizeWithHeaders(); }

bool Style::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return HeaderInRange(stream, pos, kCode, 4, 0xFFFF,
                       StandardTexts(Scope::kWorkbook, "Style").validate);
}

// ---- Palette ----

Palette::Palette() {
  code_ = 0;  // absent until read
  DataSize();
  RecordSize();
}

void Palette::Reset() { *this = Palette(); }

std::uint32_t Palette::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::uint32_t consumed = ReadFrame(*this, stream, pos);
  if (consumed == 0) {
    WriteLog(0, 0, "Exception in Workbook::Palette::Read", true);
    return 0;
  }
  FieldReader reader(data_);
  reader(count_, 0);
  // The count comes from the file: only the colours the data holds are taken, and a count
  // that claims more is cut to them rather than written back as a run of black.
  const std::size_t held = data_.size() >= 2 ? (data_.size() - 2) / 4 : 0;
  colours_.resize(std::min<std::size_t>(count_, held));
  for (std::size_t i = 0; i < colours_.size(); ++i)
    colours_[i] = LittleEndian::U32(data_, 2 + 4 * i);
  if (!reader.complete() || colours_.size() < count_) {
    count_ = static_cast<std::uint16_t>(colours_.size());
    WriteLog(0, 0, "Exception in Workbook::Palette::Read", true);
  }
  return consumed;
}

std::uint32_t Palette::Write(std::span<std::uint8_t> out, std::size_t pos) {
  PrepareData();
  FieldWriter writer(data_);
  writer(count_, 0);
  for (std::size_t i = 0; i < count_; ++i)
    writer(i < colours_.size() ? colours_[i] : std::uint32_t{0}, 2 + 4 * i);
  const std::uint32_t written = Record::Write(out, pos);
  if (!writer.complete() || written != RecordSize())
    WriteLog(0, 0, "Exception writing in Workbook::Palette::Write", true);
  return written;
}

std::uint32_t Palette::DataSize() {
  return detail::StoreDataSize(*this, 2 + 4 * std::uint32_t{count_});
}

std::uint32_t Palette::RecordSize() { return SizeWithHeaders(); }

bool Palette::Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
  return HeaderInRange(stream, pos, kCode, 2, 0xFFFF,
                       StandardTexts(Scope::kWorkbook, "Palette").validate);
}

}  // namespace tabulix::globals
