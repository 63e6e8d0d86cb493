// The recovery passes. The whole-stream pass also tells the worksheets apart by their BOF
// records, which the slice passes learn from the substream boundaries instead. A pass that
// may take globals records ends by salvaging a damaged shared string table it took: the
// salvage needs the slice the table was read from, and the bucket index read after it.
//
// The scratch lists of a worksheet are not reserved ahead: a stream of nothing but BOF
// records would otherwise reserve room for thousands of cells per sheet, for up to 65536
// sheets. They grow with what is taken.

#include "recovery/recovery_passes.hpp"

#include <algorithm>
#include <exception>
#include <string_view>

#include "base/diagnostics.hpp"
#include "base/little_endian.hpp"
#include "base/log.hpp"
#include "recovery/selector_support.hpp"

namespace tabulix {

namespace {

constexpr std::string_view kWorkbookSelectorFailed =
    "1)index 2)code - WorkbookRecordSelector::Exception at this point";
constexpr std::string_view kWorksheetSelectorFailed =
    "1)index 2)code - worksheetRecordSelector::Exception at this point";
constexpr std::string_view kRecordFailed = "1)index 2)code - Exception at this point";
constexpr std::string_view kPassFailed = "Exception in Read function";

// A record header longer than any record may be is damage, not a record.
constexpr std::int16_t kSizeLimit = 8226;

// Calls offer(j, p, code, size) for every surviving candidate j at offset p whose header
// lies in `slice` and whose code and length are sound as signed 16-bit values.
template <class Offer>
void OfferCandidates(const RecordScan& scan, std::span<const std::uint8_t> slice, Offer&& offer) {
  const auto& positions = scan.objPositions_;
  for (std::size_t j = 0; j < positions.size(); ++j) {
    const std::uint32_t p = positions[j];
    if (std::uint64_t{p} + 4 > slice.size()) continue;
    std::int16_t code = 0;
    std::int16_t size = 0;
    LittleEndian::Read(slice, code, p);
    LittleEndian::Read(slice, size, std::size_t{p} + 2);
    if (code < 0 || size < 0 || size >= kSizeLimit) continue;
    offer(j, p, code, size);
  }
}

// Steps over substreams nested in the one being recovered: a chart embedded in a worksheet
// stands between the sheet's records with a BOF and EOF of its own, and its cached series
// values are NUMBER and LABEL records that would land on the sheet's empty cells.
class NestedSubstreams {
 public:
  // Whether the record at `p` belongs to a nested substream (its BOF and EOF included).
  // The slice's own BOF at offset 0, and a worksheet or globals BOF anywhere (a new
  // substream of the whole stream, whose predecessor lost its EOF), end any nesting.
  bool Skip(std::span<const std::uint8_t> slice, std::uint32_t p, std::int16_t code) {
    const auto ucode = static_cast<std::uint16_t>(code);
    if (ucode == BOF::kCode) {
      const std::uint16_t type = selector::BofType(slice, p);
      if (p == 0 || type == BOF::kWorksheet || type == BOF::kWorkbookGlobals) {
        depth_ = 0;
        return false;
      }
      ++depth_;
      return true;
    }
    if (ucode == Eof::kCode && depth_ > 0) {
      --depth_;
      return true;
    }
    return depth_ > 0;
  }

 private:
  std::uint32_t depth_ = 0;
};

// Positions the sheet list names with no worksheet BOF near them, ascending. A stream
// that lost or gained a few bytes moves a named position a little: such a sheet kept its
// BOF, and is not taken for one that lost it.
std::vector<std::uint32_t> LostSheetStarts(const SheetBoundaries& boundaries) {
  std::vector<std::uint32_t> lost;
  for (const std::uint32_t position : boundaries.namedStarts_) {
    if (position < kNamedStartSlack || NearAny(boundaries.BOFMarker_, position)) continue;
    lost.push_back(position);
  }
  return lost;
}

// Whether the worksheet selector placed any ROW or cell record in `sheet`.
bool HoldsCells(const Worksheet& sheet) {
  return !sheet.scratch_.cellBlocks_.empty() || !sheet.scratch_.rows_.empty();
}

}  // namespace

void WholeStreamPass(std::span<const std::uint8_t> slice, WorkbookModel& model,
                     RecoveryState& state) {
  RecordScan& scan = state.scan_;
  std::vector<Worksheet>& worksheets = model.worksheets_;
  try {
    scan.ScanObjectPositions(slice, ScanTable::Both, kCompleteDataPositionsDump);
    if (!scan.ValidateObjectPositions()) return;

    GlobalsCounters counters;
    std::size_t colInfoCounter = 0;
    std::size_t next = 0;  // the worksheet the next worksheet BOF opens
    Worksheet* current = worksheets.empty() ? nullptr : &worksheets[0];
    NestedSubstreams nested;
    auto open = [&](std::uint32_t p) {
      // Cells met before the first worksheet BOF (a sheet whose own BOF is lost) keep the
      // first worksheet to themselves instead of being merged into the next. Stray
      // settings records in the globals' area do not count.
      if (next == 0 && current != nullptr && HoldsCells(*current)) next = 1;
      if (next >= worksheets.size()) worksheets.emplace_back();
      current = &worksheets[next];
      current->sourcePosition_ = p;
      colInfoCounter = 0;
      ++next;
    };
    // Where the sheet list says a worksheet began but no BOF is left: the cells behind
    // such a place belong to a sheet of their own, not to the one before it.
    const std::vector<std::uint32_t> lostStarts = LostSheetStarts(state.boundaries_);
    std::size_t nextLost = 0;

    OfferCandidates(scan, slice,
                    [&](std::size_t j, std::uint32_t p, std::int16_t code, std::int16_t size) {
                      const auto index = static_cast<std::int32_t>(j);
                      try {
                        while (nextLost < lostStarts.size() && lostStarts[nextLost] <= p) {
                          if (next < kMaxSubstreams) open(lostStarts[nextLost]);
                          ++nextLost;
                        }
                        if (nested.Skip(slice, p, code)) return;
                        if (static_cast<std::uint16_t>(code) == BOF::kCode) {
                          if (std::uint64_t{p} + 20 >= slice.size()) return;
                          const std::uint16_t type = selector::BofType(slice, p);
                          if (type == BOF::kWorkbookGlobals) {
                            model.workbook_.bof_.Read(slice, p);
                          } else if (type == BOF::kWorksheet && next < kMaxSubstreams) {
                            open(p);
                            current->bof_.Read(slice, p);
                          }
                          return;
                        }
                        state.selectorLog_.recordTaken_ = 0;
                        if (!WorkbookRecordSelector(slice, model.workbook_, p, code, size, counters,
                                                    state.selectorLog_))
                          WriteLog(index, code, kWorkbookSelectorFailed, true);
                        if (current == nullptr) {
                          worksheets.emplace_back();
                          current = &worksheets.back();
                        }
                        if (!worksheetRecordSelector(slice, *current, p, code, size, colInfoCounter,
                                                     state.selectorLog_))
                          WriteLog(index, code, kWorksheetSelectorFailed, true);
                      } catch (const std::exception&) {
                        WriteLog(index, code, kRecordFailed, false);
                      }
                    });
  } catch (const std::exception&) {
    WriteLog(0, 0, kPassFailed, true);
  }
  model.workbook_.SalvageSharedStrings(slice);
}

void GlobalsSlicePass(std::span<const std::uint8_t> slice, Workbook& globals,
                      RecoveryState& state) {
  RecordScan& scan = state.scan_;
  try {
    scan.ScanObjectPositions(slice, ScanTable::Globals, kWorkbookPositionsDump);
    if (!scan.ValidateObjectPositions()) return;
    GlobalsCounters counters;
    OfferCandidates(
        scan, slice, [&](std::size_t j, std::uint32_t p, std::int16_t code, std::int16_t size) {
          if (!WorkbookRecordSelector(slice, globals, p, code, size, counters, state.selectorLog_))
            WriteLog(static_cast<std::int32_t>(j), code, kWorkbookSelectorFailed, true);
        });
  } catch (const std::exception&) {
    WriteLog(0, 0, kPassFailed, true);
  }
  globals.SalvageSharedStrings(slice);
}

void WorksheetSlicePass(std::span<const std::uint8_t> slice, Worksheet& sheet,
                        RecoveryState& state) {
  RecordScan& scan = state.scan_;
  try {
    scan.ScanObjectPositions(slice, ScanTable::Worksheet, kWorkSheetPositionsDump);
    if (!scan.ValidateObjectPositions()) return;
    // Room for every record found to be a cell at once (most are): grown by doubling, the
    // list of a million cells was moved twice over. Room not used is never touched.
    auto& cellsTaken = sheet.scratch_.cellBlocks_;
    cellsTaken.reserve(cellsTaken.size() + scan.objPositions_.size());
    std::size_t colInfoCounter = 0;
    NestedSubstreams nested;
    OfferCandidates(
        scan, slice, [&](std::size_t j, std::uint32_t p, std::int16_t code, std::int16_t size) {
          if (nested.Skip(slice, p, code)) return;
          if (!worksheetRecordSelector(slice, sheet, p, code, size, colInfoCounter,
                                       state.selectorLog_))
            WriteLog(static_cast<std::int32_t>(j), code, kWorksheetSelectorFailed, true);
        });
  } catch (const std::exception&) {
    WriteLog(0, 0, kPassFailed, true);
  }
}

void MixedSlicePass(std::span<const std::uint8_t> slice, Workbook& globals, Worksheet& sheet,
                    RecoveryState& state) {
  RecordScan& scan = state.scan_;
  try {
    scan.ScanObjectPositions(slice, ScanTable::Both, kGeneralPositionsDump);
    if (!scan.ValidateObjectPositions()) return;
    GlobalsCounters counters;
    std::size_t colInfoCounter = 0;
    NestedSubstreams nested;
    OfferCandidates(
        scan, slice, [&](std::size_t j, std::uint32_t p, std::int16_t code, std::int16_t size) {
          const auto index = static_cast<std::int32_t>(j);
          if (nested.Skip(slice, p, code)) return;
          // Globals read or recovered already are not written over: a chart's data holds byte
          // runs that pass for FONT and XF records, and the counters of this pass start at the
          // first font.
          if (!state.globalsRead_ &&
              !WorkbookRecordSelector(slice, globals, p, code, size, counters, state.selectorLog_))
            WriteLog(index, code, kWorkbookSelectorFailed, true);
          if (!worksheetRecordSelector(slice, sheet, p, code, size, colInfoCounter,
                                       state.selectorLog_))
            WriteLog(index, code, kWorksheetSelectorFailed, true);
        });
  } catch (const std::exception&) {
    WriteLog(0, 0, kPassFailed, true);
  }
  // A shared string table taken in this pass was read from this slice.
  globals.SalvageSharedStrings(slice);
  // A chart, a macro sheet or a module shares page settings and window records with a
  // worksheet, and a chart caches its series values in cell records; none of that makes a
  // worksheet of it. A substream whose BOF is too damaged to say is kept for its cells.
  std::uint16_t code = 0;
  LittleEndian::Read(slice, code, 0);
  if (code == BOF::kCode ? selector::BofType(slice, 0) != BOF::kWorksheet : !HoldsCells(sheet))
    sheet.recovered_ = 0;
}

}  // namespace tabulix
