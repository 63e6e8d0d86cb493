#include "document/preview_format.hpp"

#include <algorithm>
#include <array>

#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"

namespace tabulix {

namespace {

// Palette entries 8 to 63 of a new workbook, 0xRRGGBB.
constexpr std::array<std::uint32_t, 56> kDefaultPalette = {
    0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF, 0x00FFFF,
    0x800000, 0x008000, 0x000080, 0x808000, 0x800080, 0x008080, 0xC0C0C0, 0x808080,
    0x9999FF, 0x993366, 0xFFFFCC, 0xCCFFFF, 0x660066, 0xFF8080, 0x0066CC, 0xCCCCFF,
    0x000080, 0xFF00FF, 0xFFFF00, 0x00FFFF, 0x800080, 0x800000, 0x008080, 0x0000FF,
    0x00CCFF, 0xCCFFFF, 0xCCFFCC, 0xFFFF99, 0x99CCFF, 0xFF99CC, 0xCC99FF, 0xFFCC99,
    0x3366FF, 0x33CCCC, 0x99CC00, 0xFFCC00, 0xFF9900, 0xFF6600, 0x666699, 0x969696,
    0x003366, 0x339966, 0x003300, 0x333300, 0x993300, 0x993366, 0x333399, 0x333333};
constexpr std::size_t kFixedColours = 8;
constexpr std::size_t kPaletteColours = kFixedColours + kDefaultPalette.size();

// The font list has no entry 4: it stands for the program's own default font.
constexpr std::uint16_t kMissingFont = 4;
constexpr std::uint16_t kBoldWeight = 700;
constexpr std::uint16_t kBoldFlag = 0x0001;

// A BIFF8 sheet has 256 columns.
constexpr std::uint32_t kSheetColumns = 256;
constexpr std::uint32_t kWidthStep = 1300;
constexpr std::uint32_t kTwipsPerStep = 600;
constexpr std::uint32_t kNarrowTwips = 300;

}  // namespace

std::optional<std::uint32_t> PaletteRgb(const Workbook& workbook, std::uint16_t index) {
  if (index >= kPaletteColours) return std::nullopt;
  if (index >= kFixedColours && workbook.palette_.Present()) {
    const auto& custom = workbook.palette_.colours_;
    const std::size_t entry = index - kFixedColours;
    if (entry < custom.size()) {
      // Stored red first, with a reserved byte on top that is no part of the colour.
      const std::uint32_t c = custom[entry];
      return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
    }
  }
  return DefaultPaletteRgb(index);
}

namespace {

const Workbook::Font* FontOf(const Workbook& workbook, std::uint16_t index) {
  if (index == kMissingFont) return nullptr;
  const std::size_t at = index < kMissingFont ? index : std::size_t{index} - 1;
  return at < workbook.fonts_.size() ? &workbook.fonts_[at] : nullptr;
}

std::int16_t GridAlignment(std::uint8_t xfAlignment) {
  switch (xfAlignment & 0x07) {
    case 1:
      return kPreviewAlignLeft;
    case 2:
      return kPreviewAlignCentre;
    case 3:
      return kPreviewAlignRight;
    default:
      // General, fill, justified and the rest: the grid has no such alignment.
      return 0;
  }
}

}  // namespace

std::uint32_t DefaultPaletteRgb(std::size_t index) {
  if (index >= kPaletteColours) return 0;
  return kDefaultPalette[index < kFixedColours ? index : index - kFixedColours];
}

PreviewFormat PreviewFormatOf(const Workbook& workbook, std::uint16_t xfIndex) {
  PreviewFormat format;
  if (xfIndex >= workbook.xfs_.size()) return format;
  const Workbook::XF& xf = workbook.xfs_[xfIndex];

  const std::uint32_t pattern = (xf.borderColours_ >> 26) & 0x3F;
  if (pattern != 0) format.fill = PaletteRgb(workbook, xf.fillColours_ & 0x7F);
  format.alignment = GridAlignment(xf.alignment_);
  if (const Workbook::Font* font = FontOf(workbook, xf.fontIndex_)) {
    format.text = PaletteRgb(workbook, font->colour_);
    // Heavier weights than bold (extra bold, black) show as bold too.
    format.bold = font->weight_ >= kBoldWeight || (font->options_ & kBoldFlag) != 0;
  }
  return format;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> PreviewColumnWidths(const Worksheet& sheet,
                                                                         std::uint32_t maxColumns) {
  const std::uint32_t shown = std::min(maxColumns, kSheetColumns);
  std::vector<std::uint32_t> widths(shown, 0);  // 0: no record sizes the column
  for (const Worksheet::ColInfo& info : sheet.colInfos_) {
    if (info.firstColumn_ >= shown) continue;
    const std::uint32_t last = std::min<std::uint32_t>(info.lastColumn_, shown - 1);
    const std::uint32_t steps = info.width_ / kWidthStep;
    const std::uint32_t twips = steps > 0 ? steps * kTwipsPerStep : kNarrowTwips;
    for (std::uint32_t column = info.firstColumn_; column <= last; ++column) widths[column] = twips;
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> sized;
  for (std::uint32_t column = 0; column < shown; ++column) {
    if (widths[column] != 0) sized.emplace_back(column, widths[column]);
  }
  return sized;
}

}  // namespace tabulix
