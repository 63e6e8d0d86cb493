#pragma once
// The recovery stages that turn a workbook stream into a consistent model, as functions
// over the stream, the model and the recovery state. The workbook object runs them in
// order: NewDefault, LocateSheets, RecoverSheets, DropUnrecoveredSheets.

#include <cstddef>
#include <cstdint>
#include <span>

#include "recovery/recovery_state.hpp"

namespace tabulix {

// A new workbook with `count` empty worksheets: where recovery starts. Nothing of an
// earlier model survives.
void NewDefault(WorkbookModel& model, std::size_t count);

// Finds the substream boundaries and, when they pair up, reads the intact substreams
// whole. False only when the workbook is password protected.
bool LocateSheets(std::span<const std::uint8_t> stream, WorkbookModel& model, RecoveryState& state);

// Offers the records of every substream not read whole (or of the whole stream when the
// substreams could not be told apart) to the record selectors, repairs the format
// references and rebuilds the cell tables of the recovered worksheets.
void RecoverSheets(std::span<const std::uint8_t> stream, WorkbookModel& model,
                   RecoveryState& state);

// Points XF records at font 0 or format 0 when their font or (custom) format is gone.
void FixXFReferences(Workbook& globals);
// Points cells at XF 0 when their XF record is gone (`xfCount` XF records exist).
void FixCellXFIndices(Worksheet& sheet, std::size_t xfCount);

// Erases every worksheet nothing was recovered into, and the sheet entries of the new
// workbook that no entry from the stream replaced.
void DropUnrecoveredSheets(WorkbookModel& model);

}  // namespace tabulix
