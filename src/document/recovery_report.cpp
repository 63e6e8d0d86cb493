#include "document/recovery_report.hpp"

#include "biff/bof.hpp"

namespace tabulix {

std::string_view StreamRouteName(StreamRoute route) {
  switch (route) {
    case StreamRoute::None:
      return "none";
    case StreamRoute::Storage:
      return "structured storage";
    case StreamRoute::Compound:
      return "compound-document repair";
    case StreamRoute::Reassembled:
      return "sector reassembly";
    case StreamRoute::Raw:
      return "raw file bytes";
  }
  return "none";
}

std::string_view SubstreamTypeName(std::uint16_t type) {
  switch (type) {
    case BOF::kWorkbookGlobals:
      return "workbook globals";
    case BOF::kWorksheet:
      return "worksheet";
    case BOF::kChart:
      return "chart";
    case BOF::kMacroSheet:
      return "macro sheet";
    case BOF::kVisualBasicModule:
      return "Visual Basic module";
    case BOF::kWorkspace:
      return "workspace";
    default:
      return "unknown";
  }
}

std::size_t RecoveryReport::IntactSubstreams() const {
  std::size_t count = 0;
  for (const Substream& substream : substreams_) count += substream.intact_ ? 1 : 0;
  return count;
}

std::size_t RecoveryReport::ValueCells() const {
  std::size_t count = 0;
  for (const Sheet& sheet : sheets_) count += sheet.valueCells_;
  return count;
}

std::size_t RecoveryReport::LostTextCells() const {
  std::size_t count = 0;
  for (const Sheet& sheet : sheets_) count += sheet.lostText_;
  return count;
}

std::size_t RecoveryReport::FormulasAsValues() const {
  std::size_t count = 0;
  for (const Sheet& sheet : sheets_) count += sheet.formulasAsValues_;
  return count;
}

std::size_t RecoveryReport::DroppedCells() const {
  std::size_t count = 0;
  for (const Sheet& sheet : sheets_) count += sheet.droppedOutOfRange_ + sheet.droppedUnreadable_;
  return count;
}

std::size_t RecoveryReport::StringsRepaired() const {
  std::size_t count = globalStringsRepaired_;
  for (const Sheet& sheet : sheets_) count += sheet.stringsRepaired_;
  return count;
}

}  // namespace tabulix
