#pragma once
// A substream that was read whole is saved as its own bytes: every record the model does not
// interpret (defined names, comments, hyperlinks, drawings, embedded charts, validation,
// conditional formats, filters...) stays where it stood, byte for byte. Only the stream
// positions a record holds are moved to where the save puts things: the sheet entries'
// BOF positions and the EXTSST bucket positions in the globals, the DBCELL positions of a
// worksheet's INDEX.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tabulix::kept {

// The bytes of the substream whose BOF header is at `pos`, through the EOF that closes it
// (substreams nested in it, such as embedded charts, included), following the record
// lengths. Empty when the lengths run out of `stream` before that EOF.
std::span<const std::uint8_t> SubstreamBytes(std::span<const std::uint8_t> stream, std::size_t pos);

// A sheet entry (BOUNDSHEET) of kept globals.
struct SheetEntry {
  std::size_t offset = 0;       // of the record's header in the globals
  std::uint32_t position = 0;   // the stream position of the BOF it names
  std::uint8_t visibility = 0;  // 0 visible, 1 hidden, 2 very hidden
  std::uint8_t type = 0;        // 0 worksheet, 1 macro sheet, 2 chart, 6 Visual Basic module
};
// The sheet entries of `globals`, in order; those too short to hold a position are left out.
std::vector<SheetEntry> SheetEntries(std::span<const std::uint8_t> globals);

// Copies kept globals that stood at stream position `oldStart` to `out` at `at`, giving
// sheet entry i the position positions[i] (entries beyond `positions` keep theirs) and
// moving each EXTSST bucket position along with the globals. Returns the bytes written,
// 0 when `out` is too small.
std::size_t WriteGlobals(std::span<const std::uint8_t> globals, std::uint32_t oldStart,
                         std::span<const std::uint32_t> positions, std::span<std::uint8_t> out,
                         std::size_t at);

// Copies a kept worksheet (or chart or macro sheet) that stood at stream position
// `oldStart` to `out` at `at`, moving its INDEX record's DBCELL positions along with it.
// Returns the bytes written, 0 when `out` is too small.
std::size_t WriteSheet(std::span<const std::uint8_t> sheet, std::uint32_t oldStart,
                       std::span<std::uint8_t> out, std::size_t at);

// The kinds of record the model does not interpret that a user would miss, counted in a
// substream. Chart sheets, macro sheets and the other streams of the document are counted
// by the caller, which knows them.
enum class Kind : std::uint8_t {
  DefinedNames,        // NAME
  ExternalReferences,  // SUPBOOK, EXTERNSHEET, EXTERNNAME
  Comments,            // NOTE
  Hyperlinks,          // HLINK
  Drawings,            // MSODRAWINGGROUP, MSODRAWING, OBJ, TXO
  EmbeddedCharts,      // a chart substream inside a worksheet
  DataValidation,      // DVAL, DV
  ConditionalFormats,  // CONDFMT, CF
  AutoFilters,         // AUTOFILTERINFO, AUTOFILTER, FILTERMODE
  Count,
};
inline constexpr std::size_t kKinds = static_cast<std::size_t>(Kind::Count);
using KindCounts = std::array<std::size_t, kKinds>;

// "defined names", "external references", "comments", ...
std::string_view KindName(Kind kind);

// Adds the records of each kind in the substream `bytes` (from its BOF) to `counts`. The
// walk follows the lengths and stops where they leave the bytes.
void CountKinds(std::span<const std::uint8_t> bytes, KindCounts& counts);

}  // namespace tabulix::kept
