#pragma once
// How the preview dresses a cell and sizes its columns: the fill, text colour, alignment
// and weight a cell's XF gives it, and the widths of the first columns, worked out from
// the recovered model so that the front ends only paint what they are handed.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tabulix {

class Workbook;
class Worksheet;

// The grid's own alignment values.
inline constexpr std::int16_t kPreviewAlignCentre = 3;
inline constexpr std::int16_t kPreviewAlignRight = 4;
inline constexpr std::int16_t kPreviewAlignLeft = 6;

// What the preview sets on a cell. Colours are 0xRRGGBB; nothing means the grid's own
// colour stays. alignment is one of the grid values above, 0 when the XF leaves the grid's
// default (general alignment and the others the grid does not have).
struct PreviewFormat {
  std::optional<std::uint32_t> fill;
  std::optional<std::uint32_t> text;
  std::int16_t alignment = 0;
  bool bold = false;
};

// The look of a cell whose XF index is `xfIndex`: nothing set for an index outside the
// workbook's XFs.
//
// Font and colour indexes are read as the spreadsheet program writes them, not as plain
// positions in the lists, since read as positions they give the wrong font and colour in
// every real file: there is no font 4 (5 and above name the list's entry one lower);
// colours 0-7 are fixed, 8-63 are the workbook's own palette from its entry 0 when it has
// one with that entry and the default palette otherwise, and 64 and above are the system's
// colours, which set nothing. A fill is set only when the XF has a fill pattern: a cell
// with none shows the grid's background, whatever colour the unused field holds.
PreviewFormat PreviewFormatOf(const Workbook& workbook, std::uint16_t xfIndex);

// Entry `index` (0-63) of the default palette as 0xRRGGBB: 8-63 as a new workbook has
// them, 0-7 the same as 8-15. 0 (black) for an index beyond the palette.
std::uint32_t DefaultPaletteRgb(std::size_t index);

// The colour of palette index `index` in `workbook` as 0xRRGGBB: 0-7 fixed, 8-63 the
// workbook's own PALETTE entry when it has one, else the default; nothing for the system
// colours (64 and above). The preview and the .xlsx export colour cells alike.
std::optional<std::uint32_t> PaletteRgb(const Workbook& workbook, std::uint16_t index);

// (column, width in twips) for each column below `maxColumns` (at most 256, all a sheet
// has) that a column-information record of `sheet` sizes, in ascending column order; where
// records overlap, the later one wins. A record's width w (1/256 of a character) gives
// w / 1300 steps of 600 twips, and 300 twips when that is no step. However wide a range a
// damaged record claims, only the shown columns are visited.
std::vector<std::pair<std::uint32_t, std::uint32_t>> PreviewColumnWidths(
    const Worksheet& sheet, std::uint32_t maxColumns = 26);

}  // namespace tabulix
