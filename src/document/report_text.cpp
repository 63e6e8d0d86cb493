#include "document/report_text.hpp"

#include <string_view>

namespace tabulix {

std::string Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

std::string LoadFailure(const RecoveryReport& report) {
  for (auto it = report.messages_.rbegin(); it != report.messages_.rend(); ++it) {
    std::string text = Trimmed(*it);
    if (!text.empty()) return text;
  }
  return "nothing could be recovered";
}

namespace {

// What making the saved workbook well-formed changed on a sheet, after its cell count;
// nothing for a sheet it left alone.
std::string SheetRepairs(const RecoveryReport::Sheet& sheet) {
  std::string text;
  auto add = [&text](std::size_t count, std::string_view what) {
    if (count == 0) return;
    text += "; " + std::to_string(count) + " " + std::string(what);
  };
  add(sheet.lostText_, "with lost text");
  add(sheet.formulasAsValues_,
      sheet.formulasAsValues_ == 1 ? "formula saved as its value" : "formulas saved as values");
  add(sheet.droppedOutOfRange_, "dropped out of range");
  add(sheet.droppedUnreadable_, "dropped as unreadable");
  add(sheet.stringsRepaired_, sheet.stringsRepaired_ == 1 ? "string repaired" : "strings repaired");
  return text;
}

// What the saved workbook keeps and drops of the records and sheets the preview does not
// show: "Kept: 3 defined names, 2 comments" and "Dropped: ... (why)".
void PrintKeptRecords(const RecoveryReport& report, std::ostream& out) {
  std::string kept;
  std::string dropped;
  for (const RecoveryReport::KeptKind& kind : report.keptRecords_) {
    auto add = [&kind](std::string& line, std::size_t count) {
      if (count == 0) return;
      line += (line.empty() ? "" : ", ") + std::to_string(count) + " " + kind.kind_;
    };
    add(kept, kind.kept_);
    add(dropped, kind.dropped_);
  }
  if (!kept.empty()) out << "Kept:   " << kept << "\n";
  if (!dropped.empty()) {
    out << "Dropped: " << dropped;
    if (!report.keptRecordsNote_.empty()) out << " (" << report.keptRecordsNote_ << ")";
    out << "\n";
  }
}

}  // namespace

void PrintLoadReport(const RecoveryReport& report, const std::string& input, std::ostream& out) {
  out << "File:   " << input << "\n"
      << "Route:  " << StreamRouteName(report.route_);
  if (!report.streamName_.empty()) out << " (stream \"" << report.streamName_ << "\")";
  out << "\n"
      << "Stream: " << report.streamBytes_ << " bytes\n";
  if (const RecoveryReport::Reassembly& pieces = report.reassembly_; pieces.done_) {
    out << "Reassembled: " << pieces.unit_ << "-byte pieces, record chain of " << pieces.chainBytes_
        << " bytes from file offset " << pieces.start_
        << (pieces.complete_ ? " to the last sheet" : ", broken before the last sheet") << "; "
        << pieces.joins_.size() << " pieces reordered, " << pieces.shifts_.size()
        << " shifts corrected";
    if (pieces.leftoverBytes_ > 0)
      out << "; " << pieces.leftoverBytes_ << " bytes of other pieces scanned";
    out << "\n";
  }
  out << "Substreams: " << report.substreams_.size() << " found ("
      << (report.boundariesConsistent_ ? "boundaries pair up" : "boundaries damaged") << "), "
      << report.IntactSubstreams() << " intact\n"
      << "Worksheets recovered: " << report.sheets_.size() << " (" << report.ValueCells()
      << " cells with values)\n";
}

void PrintSheetReport(const RecoveryReport& report, std::ostream& out, bool cellsOnly) {
  for (std::size_t i = 0; i < report.sheets_.size(); ++i) {
    const RecoveryReport::Sheet& sheet = report.sheets_[i];
    out << "  " << (i + 1) << ". " << sheet.name_ << ": ";
    if (!sheet.IsWorksheet()) {
      out << SubstreamTypeName(sheet.type_) << (cellsOnly ? ", left out" : ", kept as it stood")
          << "\n";
      continue;
    }
    out << sheet.valueCells_ << " cells, " << (sheet.intact_ ? "intact" : "rebuilt")
        << SheetRepairs(sheet) << "\n";
  }
  if (!cellsOnly) PrintKeptRecords(report, out);
  if (report.sharedStringsLost_ > 0 || report.globalStringsRepaired_ > 0) {
    out << "Shared strings: " << report.sharedStringsLost_
        << " lost (their cells show \"#LOST TEXT n\"); " << report.globalStringsRepaired_
        << " workbook texts repaired\n";
  }
}

void PrintDetails(const RecoveryReport& report, std::ostream& out) {
  for (const RecoveryReport::RouteFailure& failure : report.routeFailures_) {
    out << "  Route " << StreamRouteName(failure.route_) << " failed: " << failure.reason_ << "\n";
  }
  for (const std::string& repair : report.containerRepairs_) {
    out << "  Container repaired: " << repair << "\n";
  }
  for (const RecoveryReport::Substream& substream : report.substreams_) {
    out << "  Substream at " << substream.start_;
    if (substream.end_ != 0) {
      out << "-" << substream.end_;
    } else {
      out << " (no end found)";
    }
    out << ": " << SubstreamTypeName(substream.type_) << ", "
        << (substream.intact_ ? "intact" : "recovered record by record") << "\n";
  }
  for (const std::string& message : report.messages_) {
    if (const std::string line = Trimmed(message); !line.empty()) {
      out << "  Message: " << line << "\n";
    }
  }
}

}  // namespace tabulix
