#pragma once
// The single-cell records of a worksheet: BLANK, BOOLERR, LABELSST, NUMBER and RK, and the
// base they share. A worksheet may hold a million of them, so once a record is decoded its
// data bytes are let go whenever the fields hold every byte of it; Write encodes the fields
// again. A record of an odd length (short or with extra bytes) keeps its bytes, so that
// what the fields do not cover is written back as it was read.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "biff/record.hpp"

namespace tabulix::cells {

class CellRecord : public Record {
 public:
  // The bytes Write produces: a record read in one piece longer than 8224 bytes (a damaged
  // length) is written in several, so the size as read would not do.
  std::uint32_t RecordSize() override;

  std::uint16_t row_ = 0;
  std::uint16_t column_ = 0;
  std::uint16_t xf_ = 0;

 protected:
  CellRecord(std::uint16_t code, std::uint32_t dataSize);
  // Back to the defaults: the code, the fixed size, the fields 0, no data or split points.
  void ResetCell(std::uint16_t code, std::uint32_t dataSize);
  // Decodes row, column and XF from data_; false when data_ is shorter than 6 bytes (the
  // fields it does not hold keep their values).
  bool ReadCellFields();
  bool ReadCellFields(std::span<const std::uint8_t> data);
  bool WriteCellFields();
  bool WriteCellFields(std::span<std::uint8_t> data);
  // True when the record at `pos` is whole in `stream`, exactly `size` data bytes long and
  // not followed by a CONTINUE: its fields can be decoded in place.
  static bool ExactRecordAt(std::span<const std::uint8_t> stream, std::size_t pos,
                            std::uint32_t size);
  // Takes the frame of such a record: its code, `size` data bytes, no data part kept.
  void TakeExactFrame(std::uint16_t code, std::uint32_t size);
  // When the record is `size` data bytes in one piece with no data part of its own, and
  // `out` has room at `pos`: writes its header and a zeroed data part there for the fields
  // to be encoded into, and says true. Otherwise writes nothing.
  bool WritesExactly(std::span<std::uint8_t> out, std::size_t pos, std::uint32_t size);
  // Lets data_ go when the record is exactly `size` bytes long: the fields hold it all.
  void ReleaseData(std::uint32_t size);
  // The header check shared by the cell records: the code and a length of exactly `size`
  // (or at least `size` when `atLeast`).
  static bool ValidateHeader(std::span<const std::uint8_t> stream, std::size_t pos,
                             std::uint16_t code, std::uint32_t size, bool atLeast,
                             std::string_view message);
};

class Blank : public CellRecord {
 public:
  static constexpr std::uint16_t kCode = 0x0201;
  static constexpr std::uint32_t kDataSize = 6;
  Blank();
  void Reset();
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);
};

class BoolErr : public CellRecord {
 public:
  static constexpr std::uint16_t kCode = 0x0205;
  static constexpr std::uint32_t kDataSize = 8;
  BoolErr();
  void Reset();
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  bool IsError() const { return error_ != 0; }
  bool BoolValue() const { return value_ != 0; }
  std::uint8_t ErrorCode() const { return value_; }

  std::uint8_t value_ = 0;  // the boolean (0 or 1) or the error code
  std::uint8_t error_ = 0;  // 1: value_ is an error code
};

class LabelSST : public CellRecord {
 public:
  static constexpr std::uint16_t kCode = 0x00FD;
  static constexpr std::uint32_t kDataSize = 10;
  LabelSST();
  void Reset();
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::uint32_t sstIndex_ = 0;  // index into the shared string table
};

class Number : public CellRecord {
 public:
  static constexpr std::uint16_t kCode = 0x0203;
  static constexpr std::uint32_t kDataSize = 14;
  Number();
  void Reset();
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  double value() const;
  void SetValue(double value);

  std::uint64_t bits_ = 0;  // the IEEE 754 double, kept as its 8 bytes (NaN patterns stay)
};

class RK : public CellRecord {
 public:
  static constexpr std::uint16_t kCode = 0x027E;
  static constexpr std::uint32_t kDataSize = 10;
  RK();
  void Reset();
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  double value() const;

  std::uint32_t rk_ = 0;
};

}  // namespace tabulix::cells
