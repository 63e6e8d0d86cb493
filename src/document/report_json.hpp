#pragma once
// The recovery report as JSON, in the shape documented by docs/report.schema.json. The
// command line writes one such object per file (JSON Lines); other front ends hand the
// same object to their users. A change of shape that a reader could trip over raises
// kReportSchemaVersion.

#include <nlohmann/json.hpp>
#include <string>

#include "document/recovery_report.hpp"

namespace tabulix {

inline constexpr int kReportSchemaVersion = 1;

// A report lists at most this many substreams and messages: a hostile file can hold
// hundreds of thousands of BOF records, and one line of JSON per file must stay readable.
// What is left out is counted ("substreams_omitted", "messages_omitted").
inline constexpr std::size_t kReportListLimit = 10000;

// The core's account of one load: the file, the route and why earlier routes failed, the
// stream, the substreams, the sheets and the totals, password protection and messages.
nlohmann::ordered_json ReportToJson(const RecoveryReport& report);

// What a front end asked of one file and what came of it, ahead of the core's report in
// a report line. Empty texts are written as null.
struct ReportRequest {
  std::string command;  // "recover" or "inspect"
  std::string input;    // the file as the user named it
  std::string output;   // what was written
  std::string format;   // "xls", "xlsx" or "csv"; empty for inspect
  std::string status;   // "recovered", "inspected", "failed" or "password-protected"
  std::string error;    // why it failed, in words for a person
  double seconds = 0;
};

// One report: the schema and program versions, the request, then the core's report.
nlohmann::ordered_json ReportLine(const ReportRequest& request, const RecoveryReport& report);

}  // namespace tabulix
