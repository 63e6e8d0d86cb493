#pragma once
// The records that frame the cells of a worksheet: ROW (one per used row), DBCELL (closes a
// row block and tells a reader where its rows and cells start) and INDEX (one per sheet:
// the used rows and the stream position of every DBCELL). The DBCELL and INDEX positions
// are filled by the position fix-up before a workbook is written.
//
// Row numbers are unsigned 16-bit values (0 to 65535) and are compared as such.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "biff/record.hpp"

namespace tabulix::cells {

class Row : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x0208;
  static constexpr std::uint32_t kDataSize = 16;
  Row();
  void Reset();
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  // The bytes Write produces (a damaged, overlong ROW is written in pieces).
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::uint16_t row_ = 0;
  std::uint16_t firstColumn_ = 0;
  std::uint16_t lastColumn_ = 0;  // last column + 1
  std::uint16_t height_ = 255;
  std::uint16_t reserved1_ = 0;
  std::uint16_t reserved2_ = 0;
  std::uint32_t options_ = 0;
};

class DBCell : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x00D7;
  DBCell();
  void Reset();
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  // Bytes from the start of this DBCELL back to the start of the block's first ROW.
  std::uint32_t firstRowOffset_ = 0;
  // Per ROW of the block: the offset from the second ROW (for the first) or from the
  // previous row's first cell, to the row's first cell.
  std::vector<std::uint16_t> offsets_;
};

// INDEX (0x020B): a worksheet record, reachable as Workbook::Index by its traditional name.
class Index : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x020B;
  static constexpr std::uint32_t kFixedBytes = 16;
  Index();
  void Reset();
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::uint32_t reserved1_ = 0;
  std::uint32_t firstRow_ = 0;  // first row with cells
  std::uint32_t lastRow_ = 0;   // last row with cells + 1
  std::uint32_t reserved2_ = 0;
  // The stream position of each DBCELL, from the start of the workbook stream.
  std::vector<std::uint32_t> positions_{0};
};

}  // namespace tabulix::cells
