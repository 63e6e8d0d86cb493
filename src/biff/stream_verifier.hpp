#pragma once
// The strict verifier of a workbook stream as the system saves it. Where the recovery is
// tolerant by design, this check is not: it walks the record chain without skipping
// anything and names every invariant a saved workbook breaks (a record of the wrong size,
// a cell out of order or past column 255, a shared string index past the table, a formula
// whose text result has no STRING, a formula that points at a shared formula that is not
// there, text with half a surrogate pair, a name token past the NAME records, a comment
// whose object is not in its sheet...). Those are the faults that make other readers refuse
// a file or read it wrong, so an output with no finding is one they can read.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tabulix {

// At most this many findings are listed, and at most kMaxFindingsPerInvariant of one
// invariant (so that a thousand formulas without their NAME records do not hide the one
// cell past column 255); a last line says how many more of each there were.
inline constexpr std::size_t kMaxStreamFindings = 100;
inline constexpr std::size_t kMaxFindingsPerInvariant = 10;

// One line per broken invariant, in stream order: "<invariant> at <offset>: <what>", the
// offset being that of the record header in the stream (for instance "sst-index at 5120:
// LABELSST at row 4, column 2 names string 40 of an SST of 39"), then, when some were left
// out, "... and <n> more: <invariant> <n>, ..." (most first). The walk ends at the first
// record that does not fit the stream. Empty when the stream is well-formed.
std::vector<std::string> VerifyWorkbookStream(std::span<const std::uint8_t> stream);

}  // namespace tabulix
