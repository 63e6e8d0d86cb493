#pragma once
// Where each substream of a workbook stream starts and ends. A damaged stream cannot be
// trusted to chain its record lengths from one sheet to the next, so three independent
// witnesses are gathered by a plain byte search (BOUNDSHEET records, BOF headers, EOF
// headers) and each is kept only when another one confirms it. When the confirmed starts
// and ends pair up into a contiguous run of substreams, those whose record chain leads
// exactly from their BOF to their EOF are marked intact and can be read whole.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tabulix {

// Formulas and the sheet list name a sheet by a 16-bit index, so no workbook holds more
// sheets than that. A worksheet model costs a few kilobytes while a BOF and EOF pair costs
// 24 bytes of stream: without this bound a stream of empty substreams would ask for a
// hundred times its own size in memory. Substreams beyond it are not recovered.
inline constexpr std::size_t kMaxSubstreams = 0x10000;

// The boundary state the workbook object carries from the marker search to the intact
// read and the recovery passes. Offsets count from the start of the stream.
struct SheetBoundaries {
  // Offsets of the 16-bit values 0x0085, 0x0809 and 0x000A, ascending. After
  // FindBoundaries only the validated markers remain.
  std::vector<std::uint32_t> boundMarker_;
  std::vector<std::uint32_t> BOFMarker_;
  std::vector<std::uint32_t> EOFMarker_;
  // Offset of the BOF header that opens substream i (0 is meant to be the globals) and
  // of the EOF header that closes it; ascending, without duplicates.
  std::vector<std::uint32_t> startPos_;
  std::vector<std::uint32_t> endPos_;
  // One byte per entry of startPos_: 1 when the substream was read whole and needs no
  // recovery.
  std::vector<std::uint8_t> intactFlags_;
  // The starts and ends pair up into contiguous substreams beginning at offset 0.
  bool boundariesConsistent_ = false;
  // What to add to a position the sheet list names to find it in this stream: 0 in a
  // stream read from its container, the container's header and whatever lies between the
  // stream's sectors when the file's raw bytes are the stream. Measured where worksheet
  // BOFs stand near named positions.
  std::int64_t namedShift_ = 0;
  // The positions the sheet list names, ascending, with namedShift_ added (those that land
  // outside the stream left out); empty when no worksheet BOF stands where one is named.
  std::vector<std::uint32_t> namedStarts_;

  void Clear();
};

// One pass over `stream`: fills the three marker lists with every byte offset at which the
// little-endian 16-bit value is 0x0085, 0x0809 or 0x000A.
void FindMarkers(std::span<const std::uint8_t> stream, SheetBoundaries& boundaries);

// Validates the markers, lets them confirm each other, fills startPos_ and endPos_ and
// sets boundariesConsistent_. Writes "Boundaries_before.csv", "Boundaries_After.csv",
// "Boundaries_Start-End_flags.csv" and "Boundaries_Start-End.csv" when the diagnostics
// folder exists.
void FindBoundaries(std::span<const std::uint8_t> stream, SheetBoundaries& boundaries);

// A sheet start the sheet list names this close to a boundary or BOF that was found is
// taken for that one: a stream that lost or gained a few bytes moves every named position.
inline constexpr std::uint32_t kNamedStartSlack = 256;

// Whether `sorted` (ascending) holds an offset within `slack` bytes of `p`.
bool NearAny(const std::vector<std::uint32_t>& sorted, std::uint32_t p,
             std::uint32_t slack = kNamedStartSlack);

// Measures namedShift_ from the positions the sheet list names (`named`, ascending) and
// the worksheet BOFs found, and fills namedStarts_. FindBoundaries calls it.
void PlaceNamedStarts(std::span<const std::uint8_t> stream, const std::vector<std::uint32_t>& named,
                      SheetBoundaries& boundaries);

// The consistency test alone: the starts and ends pair up into substreams that begin at
// offset 0 and follow each other without a gap; the last one ends at the previous end + 4
// or at `lastEof`, the stream's last EOF header (none when `haveLastEof` is false).
bool BoundariesPairUp(const std::vector<std::uint32_t>& startPos,
                      const std::vector<std::uint32_t>& endPos, bool haveLastEof,
                      std::uint32_t lastEof);

// Sets intactFlags_ to one byte per start: 1 where a BOF stands at the start, an EOF at the
// end, and the record lengths chain from the one to the other.
void MarkIntactSheets(std::span<const std::uint8_t> stream, SheetBoundaries& boundaries);

// True when the record chain beginning at `start` reaches `end` exactly, following only
// the length fields (taken as signed 16-bit: a length of 0x8000 or more breaks the chain).
bool jumpthroughSheet(std::span<const std::uint8_t> stream, std::uint32_t start, std::uint32_t end);

}  // namespace tabulix
