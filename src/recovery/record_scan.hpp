#pragma once
// The record position scan. A damaged stream cannot be walked record by record from its
// start: one bad length sends the walk astray for the rest of the stream. So every byte
// offset of a slice is tried as a record header, the offsets whose code and length are
// sound and whose following bytes look like more records are kept as candidates, and the
// candidates that overlap each other are pruned until a consistent set of record positions
// is left. The record selectors then read the records at those positions.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "recovery/record_scan_tables.hpp"

namespace tabulix {

// Dump files of the scan in the diagnostics folder: one per recovery pass, and the two
// that validation writes.
inline constexpr std::string_view kCompleteDataPositionsDump = "ObjPositionsCompleteData.txt";
inline constexpr std::string_view kWorkbookPositionsDump = "ObjPositionsWorkbook.txt";
inline constexpr std::string_view kWorkSheetPositionsDump = "ObjPositionsWorkSheet.txt";
inline constexpr std::string_view kGeneralPositionsDump = "ObjPositionsGeneral.txt";
inline constexpr std::string_view kValidPositionsDump = "ValidObjPositions.txt";
inline constexpr std::string_view kDeletedPositionsDump = "InValidDeletedObjPositions.txt";

// The candidate record headers of the slice being recovered: three parallel lists in
// ascending offset order. Validation leaves only the offsets; the selectors read code and
// length from the slice again.
class RecordScan {
 public:
  std::vector<std::uint32_t> objPositions_;  // offsets from the start of the slice
  std::vector<std::int16_t> objCodes_;
  std::vector<std::int16_t> objSizes_;
  // The bytes each candidate spans with its header and the CONTINUE records right behind
  // it (a long shared-string table goes on in CONTINUE records, and only behind the last of
  // them does the next record start), and for a FORMULA with the records it brings along. Filled by
  // the scan; when its length differs from the other lists' (filled by hand), validation takes each
  // record as size + 4 bytes.
  std::vector<std::uint32_t> objExtents_;

  // Clears the lists and tries every offset i of `slice` (i + 4 <= its length) as a
  // header: kept when `table` accepts its code and length, the record and a next header
  // fit in the slice, and NextHeaderPlausible holds for what follows the record. Writes
  // the candidates to `dumpFile` in the diagnostics folder when that folder exists (an
  // empty name writes nothing). Returns the number of candidates.
  //
  // Offsets are 32-bit: a slice longer than 4 GiB - 1 is scanned up to that length.
  std::size_t ScanObjectPositions(std::span<const std::uint8_t> slice, ScanTable table,
                                  std::string_view dumpFile);

  // Prunes the candidates in place so that no two survivors contradict each other, writes
  // the dropped and the surviving candidates to their dump files (diagnostics folder
  // only), and empties objCodes_ and objSizes_. Returns false, doing nothing, when there
  // are no candidates.
  //
  // The last candidate has no successor to vouch for it; it is treated like one followed
  // by a gap: kept unless it starts inside the extent of the candidate before it.
  bool ValidateObjectPositions();
};

}  // namespace tabulix
