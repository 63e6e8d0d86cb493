#pragma once
// What the records of both substreams share. Most of them are a fixed run of little-endian
// integer fields; such a class lists its fields once (a Fields member template that names
// each field with its data offset) and FixedRecord derives reading, writing, the reset and
// the header check from that one list. The records with strings and lists use the helpers
// here for their frame reads, header checks and log texts.
//
// A record read shorter than its layout keeps the fields it does not hold and is written
// back as short as it was read; one read longer keeps its extra bytes. Either way a read
// followed by a write gives the bytes that were read.

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/little_endian.hpp"
#include "biff/record.hpp"

namespace tabulix {

// A record's class name as a template argument (it goes into the log texts).
template <std::size_t N>
struct ClassName {
  constexpr ClassName(const char (&text)[N]) { std::copy_n(text, N, chars); }  // NOLINT
  constexpr std::string_view view() const { return {chars, N - 1}; }
  char chars[N]{};
};

// The substream a record class belongs to; it names the class in the log texts.
enum class Scope { kWorkbook, kWorksheet };

// The three failure lines of a record class.
struct RecordTexts {
  std::string validate;
  std::string read;
  std::string write;
};

// "Exception in <scope>::<name>::Validate", "Exception reading in <scope>::<name>::Read"
// and "Exception writing in <scope>::<name>::Write", <scope> being Workbook or Worksheet.
RecordTexts StandardTexts(Scope scope, std::string_view name);

void LogRecordError(std::string_view text);

// The base read of `record`. When the record is not all in `stream` the base read would
// leave the header's code and length over the old contents, describing bytes that are not
// there; this one leaves the record as it was, so that it still writes what it held.
std::uint32_t ReadFrame(Record& record, std::span<const std::uint8_t> stream, std::size_t pos);

// The code and length of the header at `pos`; false (and nothing set) when the four
// header bytes are not all in `stream`.
bool ReadHeader(std::span<const std::uint8_t> stream, std::size_t pos, std::uint16_t& code,
                std::uint16_t& length);

// True when the header at `pos` has `code` and a length from `minLength` to `maxLength`;
// logs `failure` when no whole header is there.
bool HeaderInRange(std::span<const std::uint8_t> stream, std::size_t pos, std::uint16_t code,
                   std::uint32_t minLength, std::uint32_t maxLength, std::string_view failure);

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

// Base of the fixed-layout records of substream `kScope`. `Self` provides kCode, kDataSize,
// kName and `template <class Visit> void Fields(Visit& visit)` calling visit(field, offset)
// per field. Defaults are `Self`'s member initialisers. It may hide Texts when its log
// texts differ from the standard ones, and Reset when a new file's values differ from a
// constructed object's.
template <class Self, Scope kScope>
class FixedRecord : public Record {
 public:
  // Returns the stream bytes consumed (0 when the record is not all in `stream`). A record
  // shorter than its layout keeps the fields it does not hold and is logged.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override {
    const std::uint32_t consumed = ReadFrame(*this, stream, pos);
    if (consumed == 0) {
      LogRecordError(Self::Texts().read);
      return 0;
    }
    FieldReader reader(data_);
    self().Fields(reader);
    if (!reader.complete()) LogRecordError(Self::Texts().read);
    return consumed;
  }

  // Writes the record as long as it was read (its layout length for a new one).
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override {
    PrepareData();
    FieldWriter writer(data_);
    self().Fields(writer);
    const std::uint32_t written = Record::Write(out, pos);
    if (!writer.complete() || written != RecordSize()) LogRecordError(Self::Texts().write);
    return written;
  }

  // What Write produces: a damaged record read longer than one record may carry is
  // written in several pieces, each with its own header.
  std::uint32_t RecordSize() override { return SizeWithHeaders(); }

  // The header at `pos` carries this record's code and layout length.
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
    std::uint16_t code = 0;
    std::uint16_t length = 0;
    if (!ReadHeader(stream, pos, code, length)) {
      LogRecordError(Self::Texts().validate);
      return false;
    }
    return code == Self::kCode && length == Self::kDataSize;
  }

  // Back to the values of a constructed object.
  void Reset() { self() = Self(); }

  static RecordTexts Texts() { return StandardTexts(kScope, Self::kName); }

 protected:
  FixedRecord() {
    code_ = Self::kCode;
    dataSize_ = Self::kDataSize;
    recordSize_ = Self::kDataSize + kRecordHeaderSize;
  }

 private:
  Self& self() { return static_cast<Self&>(*this); }
};

// A record whose data is one integer value.
template <std::integral Value, std::uint16_t Code, Value Default, ClassName Name, Scope kScope>
class ValueRecord : public FixedRecord<ValueRecord<Value, Code, Default, Name, kScope>, kScope> {
 public:
  static constexpr std::uint16_t kCode = Code;
  static constexpr std::uint32_t kDataSize = sizeof(Value);
  static constexpr Value kDefault = Default;
  static constexpr std::string_view kName = Name.view();

  template <class Visit>
  void Fields(Visit& visit) {
    visit(value_, 0);
  }

  Value value_ = Default;
};

// A record without data.
template <std::uint16_t Code, ClassName Name, Scope kScope>
class EmptyRecord : public FixedRecord<EmptyRecord<Code, Name, kScope>, kScope> {
 public:
  static constexpr std::uint16_t kCode = Code;
  static constexpr std::uint32_t kDataSize = 0;
  static constexpr std::string_view kName = Name.view();

  template <class Visit>
  void Fields(Visit&) {}
};

}  // namespace tabulix
