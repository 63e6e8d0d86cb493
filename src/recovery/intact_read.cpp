#include "recovery/intact_read.hpp"

#include <algorithm>
#include <exception>

#include "biff/bof.hpp"

namespace tabulix {

IntactReadResult ReadIntactSheets(std::span<const std::uint8_t> stream, SheetBoundaries& boundaries,
                                  Workbook& workbook, std::vector<Worksheet>& worksheets,
                                  bool& globalsRead) {
  globalsRead = false;
  auto& flags = boundaries.intactFlags_;
  const auto& startPos = boundaries.startPos_;
  if (flags.size() > kMaxSubstreams) {
    std::fill(flags.begin() + kMaxSubstreams, flags.end(), std::uint8_t{0});
  }
  for (std::size_t i = 0; i < flags.size() && i < kMaxSubstreams; ++i) {
    // Tested before each substream, so the stop comes with the substream after the
    // globals. Telling the user is left to the caller, which sees passwordProtected_.
    if (workbook.passwordProtected_) return IntactReadResult::PasswordProtected;
    try {
      if (worksheets.size() <= i) {
        // Every substream index gets its worksheet, which the per-substream recovery
        // relies on.
        worksheets.resize(i + 1);
        worksheets.back().Reset();
      }
      Worksheet& sheet = worksheets[i];
      sheet.recovered_ = 0;
      if (flags[i] != 1) continue;
      // The flags were set where a BOF header stands, but i may lie beyond the starts when
      // the lists were tampered with: such a substream is simply not intact.
      if (i >= startPos.size()) {
        flags[i] = 0;
        continue;
      }
      BOF bof;
      bof.Read(stream, startPos[i]);  // a failed read leaves type 0: demoted below
      if (bof.type_ == BOF::kWorksheet && i > 0) {
        // What the read gets stays, even when it stops early.
        sheet.Read(stream, startPos[i]);
        sheet.recovered_ = 1;
        sheet.sourcePosition_ = startPos[i];
      } else if (bof.type_ == BOF::kWorkbookGlobals && i == 0) {
        globalsRead = true;
        workbook.Read(stream, startPos[i]);
      } else {
        // A worksheet in the globals' place, globals in a sheet's place, a chart, a macro
        // sheet, a Visual Basic module, a workspace: left to the recovery passes.
        flags[i] = 0;
      }
    } catch (const std::exception&) {
      // The readers log their own failures; what they read before stays.
      flags[i] = 0;
    }
  }
  return IntactReadResult::Done;
}

}  // namespace tabulix
