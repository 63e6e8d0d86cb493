#pragma once
// Putting a workbook stream back together when the container no longer says where its
// pieces lie, or says it wrongly: an allocation table or a directory destroyed, sectors
// swapped, bytes inserted into or lost from the file. Every piece of the stream is still
// in the file; only the order is lost. The records themselves say what the order was: a
// record that runs past the end of one piece fixes where the next piece must begin, since
// its remaining bytes must end exactly on a sound record header there.
//
// The walk follows the record chain from the globals BOF. Where the chain breaks at the
// end of a piece, it looks for the piece that continues it (first the ones the table or
// the file order puts next, then any piece whose sound headers start at the right place,
// found through an index of the headers near each piece's start); where it breaks inside
// a piece but walks on a few bytes away, bytes were inserted or lost there and the walk
// goes on from the corrected place. The work is bounded: every piece is taken at most
// once, every join tries a fixed number of candidates, and the index is built once per
// grid in one pass over the file.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tabulix {

// What the container still says of the stream, when anything.
struct ReassemblyHints {
  // The file offset of the stream's first byte (its first sector, or its first small
  // block where the small-block container's place is known).
  std::optional<std::uint64_t> start_;
  // The stream's size as its directory entry gives it.
  std::optional<std::uint64_t> size_;
  // The file offsets of the stream's pieces in the order its allocation table gives
  // them; empty when no table was read.
  std::vector<std::uint64_t> order_;
  // The bytes in a piece when known: 512 or 4096 for a sector, 64 for a small block.
  std::uint32_t unit_ = 0;
  // Whether bytes may have been inserted into or lost from the file. Not where a container
  // route read the stream through sound tables: its breaks are damage inside pieces or
  // pieces out of order, and a shift would only paper over them.
  bool shifts_ = true;
  // Whether a break where a piece ends is taken for a shift before a wrong piece. The
  // reassembly walks that way round by itself too where the other leaves the chain short
  // of the last sheet.
  bool shiftsFirst_ = false;
};

struct Reassembly {
  // A piece taken out of the order the table (or the file) gave.
  struct Join {
    std::uint64_t streamOffset_ = 0;  // where in the stream the piece begins
    std::uint64_t expected_ = 0;      // file offset of the piece the order put there
    std::uint64_t taken_ = 0;         // file offset of the piece the records chose
  };
  // Bytes found inserted into the file (positive) or lost from it (negative).
  struct Shift {
    std::uint64_t fileOffset_ = 0;  // where the chain walked on again
    std::int32_t bytes_ = 0;
  };

  // A chain was walked from a globals BOF; stream_ holds it (and what follows it).
  bool found_ = false;
  std::vector<std::uint8_t> stream_;
  // The stream's leading bytes the record chain walks through, and their records.
  std::uint64_t chainBytes_ = 0;
  std::size_t chainRecords_ = 0;
  // The chain ends on the EOF of the last sheet the globals list; nothing is appended.
  bool complete_ = false;
  std::uint64_t start_ = 0;  // file offset of the globals BOF the chain starts from
  std::uint32_t unit_ = 0;   // the piece size the walk used
  std::vector<Join> joins_;
  std::vector<Shift> shifts_;
  // Bytes of pieces no chain took, appended behind the chain for the record scan.
  std::uint64_t leftoverBytes_ = 0;
  // The file starts with a globals BOF: a bare record stream, with no pieces to order.
  bool bare_ = false;
};

// How far the record chain walks through `stream` from its start: the bytes and records
// of the leading run of sound records.
struct ChainWalk {
  std::uint64_t bytes_ = 0;
  std::size_t records_ = 0;
  bool complete_ = false;  // ends on the EOF of the last sheet the globals list
};
ChainWalk WalkRecordChain(std::span<const std::uint8_t> stream);

// Rebuilds the workbook stream from the file's pieces. found_ is false when no globals
// BOF starts a chain anywhere in the file.
Reassembly ReassembleWorkbookStream(std::span<const std::uint8_t> file,
                                    const ReassemblyHints& hints);

}  // namespace tabulix
