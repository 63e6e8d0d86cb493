#pragma once
// The worksheet records with a fixed layout of plain integer fields, and the machinery they
// share: a field list that decodes from and encodes into a record's data bytes, and one
// class template for the many records that carry a single 16-bit value.
//
// A record read shorter than its layout keeps the fields it does not carry and is written
// back at the length it was read with; one read longer than its layout keeps the extra
// bytes. Either way a read followed by a write gives the bytes that were read.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "biff/record.hpp"

namespace tabulix::sheet {

// The three failure lines of a record class.
struct RecordTexts {
  std::string validate;
  std::string read;
  std::string write;
};

// "Exception in Worksheet::<name>::Validate", "Exception reading in Worksheet::<name>::Read"
// and "Exception writing in Worksheet::<name>::Write".
RecordTexts StandardTexts(std::string_view name);

// One field of a fixed layout: its offset in the data bytes and the member that holds it.
// Its width is the member's width.
class Field {
 public:
  template <typename T>
  Field(std::size_t offset, T& member) : offset_(offset), member_(&member) {}

  // False (member unchanged) when the field lies beyond the end of `data`.
  bool Decode(std::span<const std::uint8_t> data) const;
  // False (nothing written) when the field lies beyond the end of `data`.
  bool Encode(std::span<std::uint8_t> data) const;

 private:
  std::size_t offset_;
  std::variant<std::uint8_t*, std::uint16_t*, std::int16_t*, std::uint32_t*, std::uint64_t*>
      member_;
};

// Helpers every worksheet record class uses.
class SheetRecord : public Record {
 protected:
  SheetRecord(std::uint16_t code, std::uint32_t dataSize);

  // Base Read; returns the stream bytes it took. When no record fits at `pos` (0), the
  // code and sizes are put back as they were, so that the record still writes what it held.
  // A record whose size is computed from its fields answers this, not RecordSize(), to
  // the walk that read it: its stored length may differ from the one it will write.
  std::uint32_t ReadFrame(std::span<const std::uint8_t> stream, std::size_t pos);

  // Split points kept from a read lie inside the data of that read; a record whose data
  // has since shrunk drops those beyond its new end.
  void FitContinues(std::uint32_t dataSize);

  // The header check: the code is `code` and the length lies in [minLength, maxLength].
  // Logs `failure` when no header fits at `pos`.
  static bool CheckHeader(std::span<const std::uint8_t> stream, std::size_t pos,
                          std::uint16_t code, std::uint32_t minLength,
                          std::uint32_t maxLength, std::string_view failure);
};

// A record made of the fields that `Self::Fields()` lists, with `Self::kCode`,
// `Self::kDataSize` and `Self::Texts()`. Defaults are `Self`'s member initialisers.
template <typename Self>
class FixedLayout : public SheetRecord {
 public:
  FixedLayout() : SheetRecord(Self::kCode, Self::kDataSize) {}

  // Back to the contents of a new sheet.
  void Reset() { static_cast<Self&>(*this) = Self(); }

  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override {
    const std::uint32_t consumed = ReadFrame(stream, pos);
    if (consumed == 0) {
      Log(Self::Texts().read);
      return 0;
    }
    bool complete = true;
    for (const Field& field : static_cast<Self&>(*this).Fields()) {
      complete = field.Decode(data_) && complete;
    }
    if (!complete) Log(Self::Texts().read);
    RecordSize();
    return consumed;
  }

  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override {
    PrepareData();
    bool complete = true;
    for (const Field& field : static_cast<Self&>(*this).Fields()) {
      complete = field.Encode(data_) && complete;
    }
    const std::uint32_t written = Record::Write(out, pos);
    if (!complete || written != RecordSize()) Log(Self::Texts().write);
    return written;
  }

  // What Write produces: a damaged record read longer than one record may carry is
  // written in several pieces, each with its own header.
  std::uint32_t RecordSize() override { return SizeWithHeaders(); }

  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos) {
    return CheckHeader(stream, pos, Self::kCode, Self::kDataSize, Self::kDataSize,
                       Self::Texts().validate);
  }

 private:
  static void Log(const std::string& text);
};

void LogSheetError(std::string_view text);

template <typename Self>
void FixedLayout<Self>::Log(const std::string& text) {
  LogSheetError(text);
}

// A record name usable as a template argument.
template <std::size_t N>
struct RecordName {
  constexpr RecordName(const char (&text)[N]) { std::copy_n(text, N, name); }
  constexpr std::string_view view() const { return {name, N - 1}; }
  char name[N];
};

// A record that holds one 16-bit value at offset 0.
template <typename Value, std::uint16_t Code, Value Default, RecordName Name>
class SingleValue : public FixedLayout<SingleValue<Value, Code, Default, Name>> {
 public:
  static constexpr std::uint16_t kCode = Code;
  static constexpr std::uint32_t kDataSize = 2;
  static constexpr Value kDefault = Default;

  static RecordTexts Texts() { return StandardTexts(Name.view()); }
  std::array<Field, 1> Fields() { return {Field(0, value_)}; }

  Value value_ = Default;
};

// Calculation mode: -1 automatic except tables, 0 manual, 1 automatic.
using CALCMODE = SingleValue<std::int16_t, 0x000D, 1, "CALCMODE">;
using CALCCOUNT = SingleValue<std::uint16_t, 0x000C, 100, "CALCCOUNT">;  // iterations
using REFMODE = SingleValue<std::uint16_t, 0x000F, 1, "REFMODE">;        // 1: A1 style
using ITERATION = SingleValue<std::uint16_t, 0x0011, 0, "ITERATION">;
using SAVERECALC = SingleValue<std::uint16_t, 0x005F, 1, "SAVERECALC">;
using PrintHeaders = SingleValue<std::uint16_t, 0x002A, 0, "PrintHeaders">;
using PrintGridlines = SingleValue<std::uint16_t, 0x002B, 0, "PrintGridlines">;
using Gridset = SingleValue<std::uint16_t, 0x0082, 1, "Gridset">;
using WSBool = SingleValue<std::uint16_t, 0x0081, 0x04C1, "WSBool">;
using HCenter = SingleValue<std::uint16_t, 0x0083, 0, "HCenter">;
using VCenter = SingleValue<std::uint16_t, 0x0084, 0, "VCenter">;
using DefColWidth = SingleValue<std::uint16_t, 0x0055, 8, "DefColWidth">;  // in characters

// The largest change of an iteration, an IEEE 754 double kept as its bit pattern so that
// it writes back exactly as read.
class DELTA : public FixedLayout<DELTA> {
 public:
  static constexpr std::uint16_t kCode = 0x0010;
  static constexpr std::uint32_t kDataSize = 8;
  static constexpr std::uint64_t kDefaultBits = 0x3F50624DD2F1A9FCull;  // 0.001

  static RecordTexts Texts() { return StandardTexts("DELTA"); }
  std::array<Field, 1> Fields() { return {Field(0, maxChangeBits_)}; }

  double MaxChange() const;
  void SetMaxChange(double value);

  std::uint64_t maxChangeBits_ = kDefaultBits;
};

}  // namespace tabulix::sheet
