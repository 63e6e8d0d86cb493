#pragma once
// The multi-cell records: MULBLANK (a run of blank cells of one row) and MULRK (a run of RK
// numbers of one row). Their last two bytes repeat the last column, so the run length is
// stated twice; a damaged record whose column span disagrees with its length keeps its
// bytes as read, is written back unchanged and reports its full stream length, so that a
// walk over the stream stays aligned. Entries are never taken from beyond the data.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "biff/cell_box.hpp"
#include "biff/cell_records.hpp"

namespace tabulix::cells {

class MulBlank : public CellRecord {
 public:
  static constexpr std::uint16_t kCode = 0x00BE;
  MulBlank();
  void Reset();
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  // column_ is the first column; xf_ is not used (each cell has its own XF index). The XF
  // index of each cell, first column first.
  std::span<const std::uint16_t> xfs() const;
  // Replaces the run; lastColumn_ follows it.
  void SetXfs(std::vector<std::uint16_t> xfs);

  std::uint16_t lastColumn_ = 0;
  // True when the record was read with a span that disagrees with its length: its bytes
  // are kept (data_ is not empty) and written back as read.
  bool AsRead() const { return !data_.empty(); }

 private:
  Boxed<std::vector<std::uint16_t>> xfs_;
};

class MulRK : public CellRecord {
 public:
  static constexpr std::uint16_t kCode = 0x00BD;
  struct XFRK {
    std::uint16_t xf_ = 0;
    std::uint32_t rk_ = 0;
    double value() const;
  };

  MulRK();
  void Reset();
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  // column_ is the first column; xf_ is not used. One entry per cell, first column first.
  std::span<const XFRK> entries() const;
  void SetEntries(std::vector<XFRK> entries);

  std::uint16_t lastColumn_ = 0;
  bool AsRead() const { return !data_.empty(); }  // as in MulBlank

 private:
  Boxed<std::vector<XFRK>> entries_;
};

}  // namespace tabulix::cells
