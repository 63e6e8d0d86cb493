#pragma once
// What the workbook-globals records share. Most of them are a fixed run of little-endian
// fields; such a class lists its fields once (a Fields member template that names each
// field with its data offset) and FixedRecord derives reading, writing, the reset and the
// header check from that one list. The classes with strings and lists use the helpers of
// `detail` for their log texts and header checks.

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "biff/large_string.hpp"
#include "biff/record.hpp"
#include "biff/small_string.hpp"
#include "compound/little_endian.hpp"

namespace tabulix::globals {

// A record's class name as a template argument (it goes into the log texts).
template <std::size_t N>
struct RecordName {
  constexpr RecordName(const char (&text)[N]) { std::copy_n(text, N, chars); }  // NOLINT
  constexpr std::string_view view() const { return {chars, N - 1}; }
  char chars[N]{};
};

namespace detail {

// The texts of the common pattern, for class `name` in the Workbook scope.
std::string ValidateText(std::string_view name);  // "Exception in Workbook::<name>::Validate"
std::string ReadText(std::string_view name);      // "Exception reading in Workbook::<name>::Read"
std::string WriteText(std::string_view name);     // "Exception writing in Workbook::<name>::Write"
void LogError(std::string_view text);

// The base read of `record`. When the record is not all in `stream` the base read would
// leave the header's code and length over the old contents; this one leaves the record
// as it was.
std::uint32_t ReadFrame(Record& record, std::span<const std::uint8_t> stream, std::size_t pos);

// Stores a data length computed from a record's fields. Split points read from the source
// only fit the length they were read with, so a changed length drops them (the record is
// then split by the 8224-byte rule).
std::uint32_t StoreDataSize(Record& record, std::uint32_t size);

// The code and length of the header at `pos`; false (and nothing set) when the four
// header bytes are not all in `stream`.
bool ReadHeader(std::span<const std::uint8_t> stream, std::size_t pos, std::uint16_t& code,
                std::uint16_t& length);

// True when the header at `pos` has `code` and a length from `minLength` to `maxLength`;
// a header not all in `stream` logs the Validate text of class `name`.
bool HeaderInRange(std::span<const std::uint8_t> stream, std::size_t pos, std::uint16_t code,
                   std::uint32_t minLength, std::uint32_t maxLength, std::string_view name);

// Read the string at `at` of a record's data when its count and flags are there (else the
// string keeps its text). False when the string is missing or its characters run past
// the data (those before the end are kept).
bool ReadShortString(std::span<const std::uint8_t> data, std::size_t at, SmallString& text);
bool ReadLongString(std::span<const std::uint8_t> data, std::size_t at, LargeString& text);

// Decodes the fields that `data` holds; a field past its end keeps its value.
class FieldReader {
 public:
  explicit FieldReader(std::span<const std::uint8_t> data) : data_(data) {}
  template <std::integral T>
  void operator()(T& field, std::size_t at) {
    T value = 0;
    if (LittleEndian::Read(data_, value, at))
      field = value;
    else
      complete_ = false;
  }
  bool complete() const { return complete_; }

 private:
  std::span<const std::uint8_t> data_;
  bool complete_ = true;
};

// Encodes the fields that fit in `data` (a record read shorter than its layout is written
// back as short as it was read).
class FieldWriter {
 public:
  explicit FieldWriter(std::span<std::uint8_t> data) : data_(data) {}
  template <std::integral T>
  void operator()(const T& field, std::size_t at) {
    if (!LittleEndian::Write(data_, field, at)) complete_ = false;
  }
  bool complete() const { return complete_; }

 private:
  std::span<std::uint8_t> data_;
  bool complete_ = true;
};

}  // namespace detail

// Base of the fixed-layout records. `Self` provides kCode, kDataSize, kName and
// `template <class Visit> void Fields(Visit& visit)` calling visit(field, offset) per field;
// it may hide ReadText/WriteText/ValidateText when its log texts differ from the pattern,
// and Reset when a new workbook's values differ from a constructed object's.
template <class Self>
class FixedRecord : public Record {
 public:
  // Returns the stream bytes consumed (0 when the record is not all in `stream`). A record
  // shorter than its layout keeps the fields it does not hold and is logged.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override {
    const std::uint32_t consumed = detail::ReadFrame(*this, stream, pos);
    if (consumed == 0) {
      detail::LogError(Self::ReadText());
      return 0;
    }
    detail::FieldReader reader(data_);
    self().Fields(reader);
    if (!reader.complete()) detail::LogError(Self::ReadText());
    return consumed;
  }

  // Writes the record as long as it was read (its default length for a new one).
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override {
    PrepareData();
    detail::FieldWriter writer(data_);
    self().Fields(writer);
    const std::uint32_t written = Record::Write(out, pos);
    if (!writer.complete() || written != RecordSize()) detail::LogError(Self::WriteText());
    return written;
  }

  // One header per piece: a record read longer than 8224 bytes in one piece is written
  // split by the 8224-byte rule.
  std::uint32_t RecordSize() override { return SizeWithHeaders(); }

  // The header at `pos` carries this record's code and layout length.
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
    std::uint16_t code = 0;
    std::uint16_t length = 0;
    if (!detail::ReadHeader(stream, pos, code, length)) {
      detail::LogError(Self::ValidateText());
      return false;
    }
    return code == Self::kCode && length == Self::kDataSize;
  }

  // Back to the values of a constructed object.
  void Reset() { self() = Self(); }

  static std::string ReadText() { return detail::ReadText(Self::kName); }
  static std::string WriteText() { return detail::WriteText(Self::kName); }
  static std::string ValidateText() { return detail::ValidateText(Self::kName); }

 protected:
  FixedRecord() {
    code_ = Self::kCode;
    dataSize_ = Self::kDataSize;
    recordSize_ = Self::kDataSize + kRecordHeaderSize;
  }

 private:
  Self& self() { return static_cast<Self&>(*this); }
};

// A record whose data is one unsigned 16-bit value.
template <std::uint16_t Code, std::uint16_t Default, RecordName Name>
class ValueRecord : public FixedRecord<ValueRecord<Code, Default, Name>> {
 public:
  static constexpr std::uint16_t kCode = Code;
  static constexpr std::uint32_t kDataSize = 2;
  static constexpr std::uint16_t kDefault = Default;
  static constexpr std::string_view kName = Name.view();

  template <class Visit>
  void Fields(Visit& visit) {
    visit(value_, 0);
  }

  std::uint16_t value_ = Default;
};

// A record without data.
template <std::uint16_t Code, RecordName Name>
class EmptyRecord : public FixedRecord<EmptyRecord<Code, Name>> {
 public:
  static constexpr std::uint16_t kCode = Code;
  static constexpr std::uint32_t kDataSize = 0;
  static constexpr std::string_view kName = Name.view();

  template <class Visit>
  void Fields(Visit&) {}
};

}  // namespace tabulix::globals
