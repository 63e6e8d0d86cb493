#pragma once
// The worksheet records about columns, the used range and the window: COLINFO,
// DIMENSIONS, WINDOW2, SELECTION and MERGEDCELLS.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "biff/sheet_fixed_records.hpp"

namespace tabulix::sheet {

// Width, format and options of a run of columns.
class ColInfo : public FixedLayout<ColInfo> {
 public:
  static constexpr std::uint16_t kCode = 0x007D;
  static constexpr std::uint32_t kDataSize = 12;

  static RecordTexts Texts() {
    return {"Exception in Worksheet::ColInfo::Validate", "Error reading ColInfo Record",
            "Error writing ColInfo Record"};
  }
  std::array<Field, 6> Fields() {
    return {Field(0, firstColumn_), Field(2, lastColumn_), Field(4, width_),
            Field(6, xf_),          Field(8, flags_),      Field(10, reserved_)};
  }

  std::uint16_t firstColumn_ = 0;
  std::uint16_t lastColumn_ = 0;
  std::uint16_t width_ = 0;  // 1/256 of a character
  std::uint16_t xf_ = 0;
  std::uint16_t flags_ = 0;
  std::uint16_t reserved_ = 0;
};

// The used range: rows [firstRow_, lastRowPlus1_), columns [firstColumn_, lastColumnPlus1_).
class Dimensions : public FixedLayout<Dimensions> {
 public:
  static constexpr std::uint16_t kCode = 0x0200;
  static constexpr std::uint32_t kDataSize = 14;

  static RecordTexts Texts() {
    return {"Exception in Worksheet::Dimensions::Validate", "Error reading Dimensions Record",
            "Error writing Dimensions Record"};
  }
  std::array<Field, 5> Fields() {
    return {Field(0, firstRow_), Field(4, lastRowPlus1_), Field(8, firstColumn_),
            Field(10, lastColumnPlus1_), Field(12, reserved_)};
  }

  std::uint32_t firstRow_ = 0;
  std::uint32_t lastRowPlus1_ = 0;
  std::uint16_t firstColumn_ = 0;
  std::uint16_t lastColumnPlus1_ = 0;
  std::uint16_t reserved_ = 0;
};

class Window2 : public FixedLayout<Window2> {
 public:
  static constexpr std::uint16_t kCode = 0x023E;
  static constexpr std::uint32_t kDataSize = 18;

  static RecordTexts Texts() {
    return {"Exception in Worksheet::Window2::Validate", "Error reading Window2 Record",
            "Error writing Window2 Record"};
  }
  std::array<Field, 8> Fields() {
    return {Field(0, flags_),          Field(2, firstRow_),     Field(4, firstColumn_),
            Field(6, gridColour_),     Field(8, reserved_),     Field(10, previewZoom_),
            Field(12, normalZoom_),    Field(14, reserved2_)};
  }

  std::uint16_t flags_ = 0x06B6;
  std::uint16_t firstRow_ = 0;  // first visible row
  std::uint16_t firstColumn_ = 0;
  std::uint16_t gridColour_ = 64;  // palette index
  std::uint16_t reserved_ = 0;
  std::uint16_t previewZoom_ = 0;  // page-break preview
  std::uint16_t normalZoom_ = 0;
  std::uint32_t reserved2_ = 0;
};

// The selected ranges of one pane and its active cell.
class Selection : public SheetRecord {
 public:
  static constexpr std::uint16_t kCode = 0x001D;
  static constexpr std::uint32_t kHeaderSize = 9;

  // One selected range.
  struct SELECTION_REF {
    static constexpr std::uint32_t kSize = 6;
    // Reads the reference at `pos` of `data`; a reference cut by the end of `data` keeps
    // the fields it does not reach and answers false.
    bool Read(std::span<const std::uint8_t> data, std::size_t pos);
    bool Write(std::span<std::uint8_t> data, std::size_t pos) const;

    std::uint16_t firstRow_ = 0;
    std::uint16_t lastRow_ = 0;
    std::uint8_t firstColumn_ = 0;
    std::uint8_t lastColumn_ = 0;
  };

  Selection();
  void Reset() { *this = Selection(); }

  // Reads the stored number of references (at least one is kept when it is 0), as far as
  // the data holds them.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  // Writes the held references with their number as the count.
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;  // 9 + 6 per reference
  std::uint32_t RecordSize() override { return SizeWithHeaders(); }

  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::uint8_t pane_ = 3;
  std::uint16_t activeRow_ = 0;
  std::uint16_t activeColumn_ = 0;
  std::uint16_t activeRef_ = 0;  // index into refs_
  std::vector<SELECTION_REF> refs_;
};

// Merged ranges. A sheet may hold several of these records.
class MergedCells : public SheetRecord {
 public:
  static constexpr std::uint16_t kCode = 0x00E5;

  struct Range {
    static constexpr std::uint32_t kSize = 8;
    std::uint16_t firstRow_ = 0;
    std::uint16_t lastRow_ = 0;
    std::uint16_t firstColumn_ = 0;
    std::uint16_t lastColumn_ = 0;
  };

  MergedCells();
  void Reset() { *this = MergedCells(); }

  // Replaces the list with the stored ranges, as many as the data holds whole.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  // Writes the held ranges with their number as the count.
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;  // 2 + 8 per range
  std::uint32_t RecordSize() override { return SizeWithHeaders(); }

  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::vector<Range> ranges_;
};

}  // namespace tabulix::sheet
