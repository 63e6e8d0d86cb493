#pragma once
// The recovery passes. Each scans one slice of the stream for candidate record headers,
// prunes the candidates to a consistent set, and offers the survivors, in stream order, to
// the record selectors.

#include <cstdint>
#include <span>

#include "recovery/recovery_state.hpp"

namespace tabulix {

// The whole stream, when its substreams could not be told apart: globals records go to the
// globals, the rest to the worksheet that the last worksheet BOF opened.
void WholeStreamPass(std::span<const std::uint8_t> stream, WorkbookModel& model,
                     RecoveryState& state);
// A slice that opens with the globals' BOF: globals records only.
void GlobalsSlicePass(std::span<const std::uint8_t> slice, Workbook& globals, RecoveryState& state);
// A slice that opens with a worksheet's BOF: worksheet records only, into `sheet`.
void WorksheetSlicePass(std::span<const std::uint8_t> slice, Worksheet& sheet,
                        RecoveryState& state);
// A slice whose type is uncertain: both selectors (the globals only while they have not
// been read or recovered). A substream that turns out to be no worksheet is marked
// unrecovered.
void MixedSlicePass(std::span<const std::uint8_t> slice, Workbook& globals, Worksheet& sheet,
                    RecoveryState& state);

}  // namespace tabulix
