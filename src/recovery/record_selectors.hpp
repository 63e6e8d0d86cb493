#pragma once
// The record selectors: each decides whether one candidate record of a damaged stream can be
// taken into the recovered model (the globals, or the worksheet being recovered) and reads
// it in. They are plain functions over the slice, the model they fill and a little state
// of their own, so that a recovery pass, or a test, calls them without a workbook object.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"

namespace tabulix {

// The running positions of the workbook record selector in the globals' lists: where the
// next FONT, FORMAT, XF, STYLE and BOUNDSHEET record goes. One set per recovery pass, all
// zero at its start, so the recovered lists keep the order the records stood in.
struct GlobalsCounters {
  std::size_t font = 0;
  std::size_t format = 0;
  std::size_t xf = 0;
  std::size_t style = 0;
  std::size_t boundSheet = 0;
};

// Whether a selector has taken a record since the flag was last cleared. While none has,
// a rejected record is logged, and only the first: a damaged stretch would otherwise log
// every candidate in it.
struct SelectorLog {
  std::uint8_t recordTaken_ = 0;

  // Logs a record a selector's test turned down, while nothing has been taken yet.
  void NoteRejected(std::string_view prefix, std::uint32_t offset, std::int16_t code,
                    std::int16_t size);
};

// Takes the candidate record at `offset` of `slice` into `globals` when its code is a
// globals record's, it fits, and a plausible header follows it. False only when reading
// it failed.
bool WorkbookRecordSelector(std::span<const std::uint8_t> slice, Workbook& globals,
                            std::uint32_t offset, std::int16_t code, std::int16_t size,
                            GlobalsCounters& counters, SelectorLog& log);

// The same for a worksheet record into `sheet`; also indexes ROW and cell records for
// the cell-table rebuild. `colInfoCounter` is where the next COLINFO record goes.
bool worksheetRecordSelector(std::span<const std::uint8_t> slice, Worksheet& sheet,
                             std::uint32_t offset, std::int16_t code, std::int16_t size,
                             std::size_t& colInfoCounter, SelectorLog& log);

// Registers the cell last appended to the sheet's scratch cell list in its indexes and
// bounds.
void IndexCell(Worksheet& sheet);

}  // namespace tabulix
