#pragma once
// The FORMULA cell and the records that travel with it: ARRAY, SHRFMLA (and its variant
// code SHRFMLA1) or TABLE right behind it, then STRING when the formula's result is text.
// The formula tokens are kept as opaque bytes: the system rescues formulas, it does not
// evaluate them.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "biff/record.hpp"

namespace tabulix::cells {

// A record of fixed fields followed by formula bytes. A record too short for its fixed
// fields keeps its bytes as read (asRead_) and is written back unchanged.
class FormulaPart : public Record {
 public:
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override { return OwnRecordSize(); }

  std::vector<std::uint8_t> formula_;  // the bytes behind the fixed fields
  bool asRead_ = false;

 protected:
  FormulaPart(std::uint16_t code, std::uint32_t fixedBytes, const char* name);
  // The size of this record alone, all headers included.
  std::uint32_t OwnRecordSize();
  // Fixed fields from/to data that holds at least fixedBytes_.
  virtual void ReadFields(std::span<const std::uint8_t> data) = 0;
  virtual void WriteFields(std::span<std::uint8_t> data) const = 0;

 private:
  std::uint32_t fixedBytes_;
  const char* name_;  // "Formula", "Formula::Array", ... for the log lines
};

// A cell range at the head of ARRAY, SHRFMLA and TABLE.
struct CellRange {
  std::uint16_t firstRow_ = 0;
  std::uint16_t lastRow_ = 0;
  std::uint8_t firstColumn_ = 0;
  std::uint8_t lastColumn_ = 0;
};

class Array : public FormulaPart, public CellRange {
 public:
  static constexpr std::uint16_t kCode = 0x0221;
  Array();
  void Reset();
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);
  std::uint16_t options_ = 0;
  std::uint32_t reserved_ = 0;

 protected:
  void ReadFields(std::span<const std::uint8_t> data) override;
  void WriteFields(std::span<std::uint8_t> data) const override;
};

class ShrFmla : public FormulaPart, public CellRange {
 public:
  static constexpr std::uint16_t kCode = 0x00BC;
  ShrFmla();
  void Reset();
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);
  std::uint16_t reserved_ = 0;

 protected:
  ShrFmla(std::uint16_t code, const char* name);
  void ReadFields(std::span<const std::uint8_t> data) override;
  void WriteFields(std::span<std::uint8_t> data) const override;
};

// The same record under the code some writers give it.
class ShrFmla1 : public ShrFmla {
 public:
  static constexpr std::uint16_t kCode = 0x04BC;
  ShrFmla1();
  void Reset();
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);
};

// Read under either code it is found with (0x0236 is the one BIFF8 writers use) and written
// back under the code it was read with.
class Table : public FormulaPart, public CellRange {
 public:
  static constexpr std::uint16_t kCode = 0x0036;
  static constexpr std::uint16_t kBiff8Code = 0x0236;
  Table();
  void Reset();
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);
  std::uint16_t options_ = 0;
  std::uint16_t inputRow1_ = 0;
  std::uint16_t inputColumn1_ = 0;
  std::uint16_t inputRow2_ = 0;
  std::uint16_t inputColumn2_ = 0;

 protected:
  void ReadFields(std::span<const std::uint8_t> data) override;
  void WriteFields(std::span<std::uint8_t> data) const override;
};

// The text result of the formula before it. Its bytes (a long string: 16-bit count, flags,
// characters, possibly going on in CONTINUE records) are kept as read, so that a STRING is
// written back unchanged; the text is decoded on demand.
class String : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x0207;
  String();
  void Reset();
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t RecordSize() override { return SizeWithHeaders(); }
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  // The text as UTF-8, as far as the data holds it.
  std::string Text() const;
  // True when the count, the flags and the characters agree with the record's length.
  bool IsSound() const;
  void SetText(std::string_view utf8);
};

class Formula : public FormulaPart {
 public:
  using Array = cells::Array;
  using ShrFmla = cells::ShrFmla;
  using ShrFmla1 = cells::ShrFmla1;
  using Table = cells::Table;
  using String = cells::String;

  static constexpr std::uint16_t kCode = 0x0006;
  // Codes of earlier BIFF versions that some writers still give a FORMULA in BIFF8 files;
  // such a record is read as a FORMULA and written back under its own code.
  static constexpr std::uint16_t kBiff3Code = 0x0206;
  static constexpr std::uint16_t kBiff4Code = 0x0406;
  static constexpr std::uint32_t kFixedBytes = 18;

  // What the 8 cached result bytes hold.
  enum class ResultKind { Number, String, Boolean, Error, EmptyString, Other };

  Formula();
  void Reset();
  // Reads the FORMULA and the records that belong to it; returns the bytes of all of them.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  // The FORMULA's size plus its companion's and its STRING's.
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  ResultKind resultKind() const;
  double resultNumber() const;       // for Number
  bool resultBoolean() const;        // for Boolean
  std::uint8_t resultError() const;  // for Error
  std::string resultString() const;  // for String: the STRING record's text

  std::uint16_t row_ = 0;
  std::uint16_t column_ = 0;
  std::uint16_t xf_ = 0;
  std::uint64_t result_ = 0;  // the 8 result bytes, little-endian
  std::uint16_t options_ = 0;
  std::uint16_t reserved_ = 0;  // the first half of the reserved field; the rest is in formula_

  // The code of the companion that follows (ARRAY, SHRFMLA, SHRFMLA1 or TABLE under either
  // of its codes), 0 for none.
  std::uint16_t kind_ = 0;
  Array array_;
  ShrFmla shrFmla_;
  ShrFmla1 shrFmla1_;
  Table table_;
  String string_;
  // A STRING was read (or set) behind the formula; kept even when empty, so that the
  // record is written back and the stream stays as long as it was.
  bool hasString_ = false;

 protected:
  void ReadFields(std::span<const std::uint8_t> data) override;
  void WriteFields(std::span<std::uint8_t> data) const override;

 private:
  FormulaPart* Companion();
};

}  // namespace tabulix::cells
