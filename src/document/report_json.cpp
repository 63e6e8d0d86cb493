#include "document/report_json.hpp"

#include <string>

#include "document/file_kind.hpp"

namespace tabulix {

namespace {

using json = nlohmann::ordered_json;

// Texts from damaged files may hold bytes that are not UTF-8 (a name read as Latin-1 and
// cut, a message quoting a path): the JSON library would throw on them. They are written
// with U+FFFD in their place.
json Text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (byte < 0x80) {
      length = 1;
      code = byte;
    } else if ((byte & 0xE0) == 0xC0) {
      length = 2;
      code = byte & 0x1Fu;
    } else if ((byte & 0xF0) == 0xE0) {
      length = 3;
      code = byte & 0x0Fu;
    } else if ((byte & 0xF8) == 0xF0) {
      length = 4;
      code = byte & 0x07u;
    }
    bool valid = length > 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8 either.
    static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && code >= kLeast[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    if (valid) {
      out.append(text.substr(i, length));
      i += length;
    } else {
      out.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  return out;
}

std::string_view RouteToken(StreamRoute route) {
  switch (route) {
    case StreamRoute::None:
      return "none";
    case StreamRoute::Storage:
      return "storage";
    case StreamRoute::Compound:
      return "compound-repair";
    case StreamRoute::Reassembled:
      return "reassembly";
    case StreamRoute::Raw:
      return "raw";
  }
  return "none";
}

json Route(StreamRoute route) {
  return {{"id", RouteToken(route)}, {"name", StreamRouteName(route)}};
}

json Reassembly(const RecoveryReport::Reassembly& pieces) {
  if (!pieces.done_) return nullptr;
  json joins = json::array();
  for (const auto& join : pieces.joins_) {
    joins.push_back({{"stream_offset", join.streamOffset_},
                     {"expected", join.expected_},
                     {"taken", join.taken_}});
    if (joins.size() >= kReportListLimit) break;
  }
  json shifts = json::array();
  for (const auto& shift : pieces.shifts_) {
    shifts.push_back({{"file_offset", shift.fileOffset_}, {"bytes", shift.bytes_}});
    if (shifts.size() >= kReportListLimit) break;
  }
  return {{"piece_bytes", pieces.unit_},
          {"start", pieces.start_},
          {"chain_bytes", pieces.chainBytes_},
          {"complete", pieces.complete_},
          {"leftover_bytes", pieces.leftoverBytes_},
          {"joins", std::move(joins)},
          {"shifts", std::move(shifts)}};
}

json Sheet(const RecoveryReport::Sheet& sheet) {
  return {{"name", Text(sheet.name_)},
          {"type", SubstreamTypeName(sheet.type_)},
          {"rows", sheet.rows_},
          {"columns", sheet.columns_},
          {"cells", sheet.valueCells_},
          {"intact", sheet.intact_},
          {"kept_whole", sheet.keptWhole_},
          {"lost_text", sheet.lostText_},
          {"formulas_as_values", sheet.formulasAsValues_},
          {"dropped_out_of_range", sheet.droppedOutOfRange_},
          {"dropped_unreadable", sheet.droppedUnreadable_},
          {"strings_repaired", sheet.stringsRepaired_}};
}

}  // namespace

nlohmann::ordered_json ReportToJson(const RecoveryReport& report) {
  json failures = json::array();
  for (const auto& failure : report.routeFailures_) {
    json entry = Route(failure.route_);
    entry["reason"] = Text(failure.reason_);
    failures.push_back(std::move(entry));
  }
  json repairs = json::array();
  for (const std::string& repair : report.containerRepairs_) {
    if (repairs.size() >= kReportListLimit) break;
    repairs.push_back(Text(repair));
  }
  json substreams = json::array();
  for (const auto& substream : report.substreams_) {
    if (substreams.size() >= kReportListLimit) break;
    substreams.push_back({{"start", substream.start_},
                          {"end", substream.end_ == 0 ? json(nullptr) : json(substream.end_)},
                          {"type", SubstreamTypeName(substream.type_)},
                          {"intact", substream.intact_}});
  }
  json sheets = json::array();
  for (const auto& sheet : report.sheets_) sheets.push_back(Sheet(sheet));
  json kept = json::array();
  for (const auto& kind : report.keptRecords_) {
    kept.push_back({{"kind", Text(kind.kind_)}, {"kept", kind.kept_}, {"dropped", kind.dropped_}});
  }
  json messages = json::array();
  for (const std::string& message : report.messages_) {
    if (messages.size() >= kReportListLimit) break;
    messages.push_back(Text(message));
  }

  json out;
  out["input"] = Text(report.file_);
  out["loaded"] = report.loaded_;
  out["file_kind"] = FileKindName(report.fileKind_);
  out["file_bytes"] = report.fileBytes_;
  out["route"] = Route(report.route_);
  out["stream_name"] = report.streamName_.empty() ? json(nullptr) : Text(report.streamName_);
  out["route_failures"] = std::move(failures);
  out["container_repairs"] = std::move(repairs);
  out["stream_bytes"] = report.streamBytes_;
  out["reassembly"] = Reassembly(report.reassembly_);
  out["boundaries_consistent"] = report.boundariesConsistent_;
  out["substreams"] = std::move(substreams);
  out["substreams_omitted"] = report.substreams_.size() - out["substreams"].size();
  out["intact_substreams"] = report.IntactSubstreams();
  out["sheets"] = std::move(sheets);
  out["cells"] = report.ValueCells();
  out["lost_text"] = report.LostTextCells();
  out["formulas_as_values"] = report.FormulasAsValues();
  out["dropped_cells"] = report.DroppedCells();
  out["strings_repaired"] = report.StringsRepaired();
  out["shared_strings_lost"] = report.sharedStringsLost_;
  out["password_protected"] = report.passwordProtected_;
  out["kept_records"] = std::move(kept);
  out["kept_records_note"] =
      report.keptRecordsNote_.empty() ? json(nullptr) : Text(report.keptRecordsNote_);
  out["messages"] = std::move(messages);
  out["messages_omitted"] = report.messages_.size() - out["messages"].size();
  return out;
}

json ReportLine(const ReportRequest& request, const RecoveryReport& report) {
  // Paths and texts go in as they are; the line's writer replaces what is not UTF-8.
  const auto textOrNull = [](const std::string& text) {
    return text.empty() ? json(nullptr) : json(text);
  };
  json line;
  line["schema_version"] = kReportSchemaVersion;
  line["tabulix_version"] = TABULIX_VERSION;
  line["command"] = request.command;
  line["input"] = textOrNull(request.input);
  line["output"] = textOrNull(request.output);
  line["format"] = textOrNull(request.format);
  line["status"] = request.status;
  line["error"] = textOrNull(request.error);
  line["seconds"] = request.seconds;
  json core = ReportToJson(report);
  for (auto& [key, value] : core.items()) {
    if (!line.contains(key)) line[key] = std::move(value);
  }
  return line;
}

}  // namespace tabulix
