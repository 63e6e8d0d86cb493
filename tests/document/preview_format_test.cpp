#include "document/preview_format.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"

namespace tabulix {
namespace {

constexpr std::uint32_t kSolidFill = 1u << 26;  // fill pattern 1 in the XF's colour word
constexpr std::uint16_t kAutomatic = 0x7FFF;    // a font's "automatic" colour

// An XF with a solid fill of palette colour `fill` and font `font`.
Workbook::XF FilledXf(std::uint16_t fill, std::uint16_t font = 0) {
  Workbook::XF xf;
  xf.borderColours_ = kSolidFill;
  xf.fillColours_ = static_cast<std::uint16_t>((0x41 << 7) | fill);
  xf.fontIndex_ = font;
  return xf;
}

Workbook::Font FontWith(std::uint16_t colour, std::uint16_t weight = 400,
                        std::uint16_t options = 0) {
  Workbook::Font font;
  font.colour_ = colour;
  font.weight_ = weight;
  font.options_ = options;
  return font;
}

TEST(PreviewFormat, FillsComeFromTheFixedTheDefaultAndTheWorkbooksOwnPalette) {
  // The default palette: 0-7 repeat 8-15; beyond 63 there is none.
  EXPECT_EQ(DefaultPaletteRgb(8), 0x000000u);
  EXPECT_EQ(DefaultPaletteRgb(10), 0xFF0000u);
  EXPECT_EQ(DefaultPaletteRgb(22), 0xC0C0C0u);
  EXPECT_EQ(DefaultPaletteRgb(63), 0x333333u);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(DefaultPaletteRgb(i), DefaultPaletteRgb(i + 8));
  EXPECT_EQ(DefaultPaletteRgb(64), 0u);

  Workbook workbook;
  for (const std::uint16_t colour : {2, 10, 22, 63, 64, 65})
    workbook.xfs_.push_back(FilledXf(colour));
  const auto fill = [&](std::uint16_t xf) { return PreviewFormatOf(workbook, xf).fill; };
  EXPECT_EQ(fill(0), 0xFF0000u);
  EXPECT_EQ(fill(1), 0xFF0000u);
  EXPECT_EQ(fill(2), 0xC0C0C0u);
  EXPECT_EQ(fill(3), 0x333333u);
  EXPECT_EQ(fill(4), std::nullopt);  // the system's colours set nothing
  EXPECT_EQ(fill(5), std::nullopt);

  // The workbook's own palette starts at colour 8 and is stored red first; the reserved
  // top byte is no part of the colour. Colours it does not hold come from the default, and
  // the fixed ones never change.
  workbook.palette_.code_ = Workbook::Palette::kCode;
  workbook.palette_.colours_ = {0xFF000000, 0x00000000, 0x00563412};
  workbook.palette_.count_ = 3;
  workbook.xfs_.push_back(FilledXf(8));
  EXPECT_EQ(fill(0), 0xFF0000u);  // fixed colour 2
  EXPECT_EQ(fill(1), 0x123456u);  // entry 2
  EXPECT_EQ(fill(2), 0xC0C0C0u);  // beyond the three entries
  EXPECT_EQ(fill(6), 0x000000u);  // entry 0, reserved byte set

  // A cell with no fill pattern shows the grid's background, whatever the colour field
  // holds.
  Workbook::XF none = FilledXf(10);
  none.borderColours_ = 0;
  workbook.xfs_.push_back(none);
  EXPECT_EQ(fill(8), std::nullopt);
}

TEST(PreviewFormat, FontsSkipIndexFourAndGiveTextColourAndWeight) {
  Workbook workbook;
  // List positions 0-5 stand for font indexes 0, 1, 2, 3, 5 and 6.
  workbook.fonts_ = {FontWith(kAutomatic),      FontWith(10, 700), FontWith(12, 400, 0x0001),
                     FontWith(17, 400, 0x0002), FontWith(20, 900), FontWith(63, 401)};
  for (const std::uint16_t font : {0, 1, 2, 3, 4, 5, 6, 7, 0x8000})
    workbook.xfs_.push_back(FilledXf(64, font));

  struct Expected {
    std::optional<std::uint32_t> text;
    bool bold;
  };
  const std::vector<Expected> expected = {
      {std::nullopt, false},  // "automatic" colour sets none
      {0xFF0000, true},       // weight 700
      {0x0000FF, true},       // the bold flag
      {0x008000, false},      // italic is not bold
      {std::nullopt, false},  // there is no font 4
      {0x800080, true},       // index 5 is list position 4; heavier than bold
      {0x333333, false},      // index 6 is list position 5
      {std::nullopt, false},  // beyond the list
      {std::nullopt, false},
  };
  for (std::uint16_t xf = 0; xf < expected.size(); ++xf) {
    const PreviewFormat format = PreviewFormatOf(workbook, xf);
    EXPECT_EQ(format.text, expected[xf].text) << "XF " << xf;
    EXPECT_EQ(format.bold, expected[xf].bold) << "XF " << xf;
    EXPECT_EQ(format.fill, std::nullopt) << "XF " << xf;
  }
}

TEST(PreviewFormat, AlignmentMapsOntoTheGridsValuesAndUnknownXfsSetNothing) {
  Workbook workbook;
  workbook.fonts_ = {FontWith(10, 700)};
  for (std::uint8_t h = 0; h < 8; ++h) {
    Workbook::XF xf = FilledXf(10);
    xf.alignment_ = static_cast<std::uint8_t>(0x20 | h);  // vertical alignment bottom
    workbook.xfs_.push_back(xf);
  }
  const std::vector<std::int16_t> grid = {
      0, kPreviewAlignLeft, kPreviewAlignCentre, kPreviewAlignRight, 0, 0, 0, 0};
  for (std::uint16_t h = 0; h < 8; ++h)
    EXPECT_EQ(PreviewFormatOf(workbook, h).alignment, grid[h]) << "alignment " << h;

  for (const std::uint16_t outside : {8, 0x7FFF, 0xFFFF}) {
    const PreviewFormat format = PreviewFormatOf(workbook, outside);
    EXPECT_FALSE(format.fill || format.text || format.bold || format.alignment != 0) << outside;
  }
}

TEST(PreviewFormat, ColumnWidthsComeInStepsAndStayWithinTheShownColumns) {
  Worksheet sheet;
  const auto info = [](std::uint16_t first, std::uint16_t last, std::uint16_t width) {
    Worksheet::ColInfo record;
    record.firstColumn_ = first;
    record.lastColumn_ = last;
    record.width_ = width;
    return record;
  };
  using Widths = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  sheet.colInfos_ = {info(0, 1, 2600), info(3, 3, 1000), info(4, 4, 1299), info(5, 5, 65535),
                     info(7, 6, 5000)};  // the last names no column at all
  EXPECT_EQ(PreviewColumnWidths(sheet),
            (Widths{{0, 1200}, {1, 1200}, {3, 300}, {4, 300}, {5, 30000}}));
  EXPECT_EQ(PreviewColumnWidths(sheet, 2), (Widths{{0, 1200}, {1, 1200}}));
  EXPECT_TRUE(PreviewColumnWidths(sheet, 0).empty());

  // A later record over the same columns wins; columns past the shown ones are not
  // visited, however far a damaged record claims to reach.
  sheet.colInfos_ = {info(0, 65535, 3900), info(2, 2, 0), info(25, 65535, 2600),
                     info(26, 65535, 1300)};
  const Widths widths = PreviewColumnWidths(sheet);
  ASSERT_EQ(widths.size(), 26u);
  EXPECT_EQ(widths[0], (std::pair<std::uint32_t, std::uint32_t>{0, 1800}));
  EXPECT_EQ(widths[2].second, 300u);
  EXPECT_EQ(widths[25], (std::pair<std::uint32_t, std::uint32_t>{25, 1200}));

  // Thousands of records that each claim every column, asked for more columns than a
  // sheet has: one width per column that exists.
  sheet.colInfos_.assign(20000, info(0, 65535, 2600));
  EXPECT_EQ(PreviewColumnWidths(sheet, 0xFFFFFFFF).size(), 256u);
}

}  // namespace
}  // namespace tabulix
