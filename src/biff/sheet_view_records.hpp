#pragma once
// The worksheet records about columns, the used range and the window: COLINFO,
// DIMENSIONS, WINDOW2, SELECTION and MERGEDCELLS.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "biff/sheet_fixed_records.hpp"

namespace tabulix::sheet {

// Width, format and options of a run of columns.
class ColInfo : public FixedRecord<ColInfo, Scope::kWorksheet> {
 public:
  static constexpr std::uint16_t kCode = 0x007D;
  static constexpr std::uint32_t kDataSize = 12;
  static constexpr std::string_view kName = "ColInfo";

  static RecordTexts Texts() {
    return {"Exception in Worksheet::ColInfo::Validate", "Error reading ColInfo Record",
            "Error writing ColInfo Record"};
  }
  template <class Visit>
  void Fields(Visit& visit) {
    visit(firstColumn_, 0);
    visit(lastColumn_, 2);
    visit(width_, 4);
    visit(xf_, 6);
    visit(flags_, 8);
    visit(reserved_, 10);
  }

  std::uint16_t firstColumn_ = 0;
  std::uint16_t lastColumn_ = 0;
  std::uint16_t width_ = 0;  // 1/256 of a character
  std::uint16_t xf_ = 0;
  std::uint16_t flags_ = 0;
  std::uint16_t reserved_ = 0;
};

// The used range: rows [firstRow_, lastRowPlus1_), columns [firstColumn_, lastColumnPlus1_).
class Dimensions : public FixedRecord<Dimensions, Scope::kWorksheet> {
 public:
  static constexpr std::uint16_t kCode = 0x0200;
  static constexpr std::uint32_t kDataSize = 14;
  static constexpr std::string_view kName = "Dimensions";

  static RecordTexts Texts() {
    return {"Exception in Worksheet::Dimensions::Validate", "Error reading Dimensions Record",
            "Error writing Dimensions Record"};
  }
  template <class Visit>
  void Fields(Visit& visit) {
    visit(firstRow_, 0);
    visit(lastRowPlus1_, 4);
    visit(firstColumn_, 8);
    visit(lastColumnPlus1_, 10);
    visit(reserved_, 12);
  }

  std::uint32_t firstRow_ = 0;
  std::uint32_t lastRowPlus1_ = 0;
  std::uint16_t firstColumn_ = 0;
  std::uint16_t lastColumnPlus1_ = 0;
  std::uint16_t reserved_ = 0;
};

class Window2 : public FixedRecord<Window2, Scope::kWorksheet> {
 public:
  static constexpr std::uint16_t kCode = 0x023E;
  static constexpr std::uint32_t kDataSize = 18;
  static constexpr std::string_view kName = "Window2";

  static RecordTexts Texts() {
    return {"Exception in Worksheet::Window2::Validate", "Error reading Window2 Record",
            "Error writing Window2 Record"};
  }
  template <class Visit>
  void Fields(Visit& visit) {
    visit(flags_, 0);
    visit(firstRow_, 2);
    visit(firstColumn_, 4);
    visit(gridColour_, 6);
    visit(reserved_, 8);
    visit(previewZoom_, 10);
    visit(normalZoom_, 12);
    visit(reserved2_, 14);
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
