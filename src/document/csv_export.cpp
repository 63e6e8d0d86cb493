// The CSV export: one file per recovered worksheet, written into a hidden temporary folder
// beside the target folder, which takes the target's place once every file is complete.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "base/log.hpp"
#include "biff/text_encoding.hpp"
#include "document/export_cells.hpp"
#include "document/export_files.hpp"
#include "document/export_formats.hpp"
#include "format/name_folding.hpp"

namespace tabulix {

namespace {

namespace fs = std::filesystem;
using exporting::DateKind;
using exporting::ExportCell;

constexpr std::string_view kLineEnd = "\r\n";

// A number as the shortest text that reads back as the same double: 3, 0.1, 1e+20.
std::string NumberText(double value) {
  if (!std::isfinite(value)) return "#NUM!";
  if (value == 0) return "0";  // -0 too
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// A field as RFC 4180 wants it: quoted, with its quotes doubled, when it holds a comma, a
// quote or a line break.
void AppendField(std::string& out, std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += field;
    return;
  }
  out += '"';
  for (const char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

struct Field {
  std::uint16_t row;
  std::uint16_t column;
  std::string text;
};

std::string FieldText(const ExportCell& cell, const exporting::NumberFormats& numbers,
                      bool date1904) {
  switch (cell.kind_) {
    case ExportCell::Kind::Number: {
      const DateKind kind = numbers.KindOfXf(cell.xf_);
      if (kind != DateKind::None) {
        if (auto date = exporting::SerialToIsoText(cell.number_, date1904, kind)) return *date;
      }
      return NumberText(cell.number_);
    }
    case ExportCell::Kind::Text:
    case ExportCell::Kind::Error:
      return cell.text_;
    case ExportCell::Kind::Boolean:
      return cell.boolean_ ? "TRUE" : "FALSE";
    case ExportCell::Kind::Blank:
      break;
  }
  return {};
}

// The CSV text of one worksheet: rows 0 to the last row with a value, each with the
// fields of columns 0 to the last column with a value.
std::string SheetCsv(const Workbook& globals, const Worksheet& sheet,
                     const exporting::NumberFormats& numbers, bool date1904) {
  std::vector<Field> fields;
  exporting::ForEachCell(globals, sheet, [&](const ExportCell& cell) {
    if (cell.kind_ == ExportCell::Kind::Blank) return;
    fields.push_back({cell.row_, cell.column_, FieldText(cell, numbers, date1904)});
  });
  if (fields.empty()) return {};
  // The table need not be in row order; a place held twice (which the load does not
  // leave) gives its first cell.
  std::stable_sort(fields.begin(), fields.end(), [](const Field& a, const Field& b) {
    return a.row != b.row ? a.row < b.row : a.column < b.column;
  });
  std::uint32_t lastColumn = 0;
  for (const Field& field : fields) lastColumn = std::max<std::uint32_t>(lastColumn, field.column);
  const std::uint32_t lastRow = fields.back().row;

  std::string out;
  std::size_t next = 0;
  for (std::uint32_t row = 0; row <= lastRow; ++row) {
    const std::size_t lineStart = out.size();
    for (std::uint32_t column = 0; column <= lastColumn; ++column) {
      if (column != 0) out += ',';
      if (next < fields.size() && fields[next].row == row && fields[next].column == column) {
        AppendField(out, fields[next].text);
        ++next;
        while (next < fields.size() && fields[next].row == row && fields[next].column == column)
          ++next;
      }
    }
    // A line with nothing on it is skipped by many readers, which would move every row
    // after it up: a row of one empty field says so.
    if (out.size() == lineStart) out += "\"\"";
    out += kLineEnd;
  }
  return out;
}

// The sheet name as a file name every common file system takes, unique among `taken`
// without regard to case.
std::string FileNameFor(const std::string& sheetName, std::set<std::u16string>& taken) {
  std::u16string name = text::Utf8ToUtf16(sheetName);
  for (char16_t& c : name) {
    if (c < 0x20 || c == 0x7F || c == u'/' || c == u'\\' || c == u':' || c == u'*' || c == u'?' ||
        c == u'"' || c == u'<' || c == u'>' || c == u'|') {
      c = u'_';
    }
  }
  // A leading dot would hide the file.
  if (!name.empty() && name.front() == u'.') name.front() = u'_';
  if (name.empty()) name = u"Sheet";
  std::u16string candidate = name;
  for (std::size_t k = 2; taken.contains(FoldedName(candidate)); ++k) {
    candidate = name + u" (";
    for (const char c : std::to_string(k)) candidate.push_back(static_cast<char16_t>(c));
    candidate += u')';
  }
  taken.insert(FoldedName(candidate));
  return text::Utf16ToUtf8(candidate) + ".csv";
}

}  // namespace

bool SaveCsvFolder(const XlsDocument& document, const fs::path& folder, std::string& error,
                   const XlsDocument::SaveProgress& progress) {
  const FlushLogRepeatsAtEnd flushLogs;
  error.clear();
  try {
    if (!document.report().loaded_) {
      error = "no recovered workbook to export";
      return false;
    }
    exporting::TemporaryFolder temp;
    if (!temp.Begin(folder, error)) {
      WriteLog(0, 0, "Failed to export " + folder.string() + ": " + error, true);
      return false;
    }
    if (progress) progress(0);
    const Workbook& globals = document.workbook();
    const exporting::NumberFormats numbers(globals);
    const bool date1904 = globals.date1904_.value_ != 0;
    const std::vector<exporting::ExportedSheet> sheets = exporting::ExportedSheets(document);
    std::set<std::u16string> taken;
    std::size_t written = 0;
    for (const exporting::ExportedSheet& sheet : sheets) {
      const std::string text =
          SheetCsv(globals, document.worksheets()[sheet.index_], numbers, date1904);
      if (!temp.Add(FileNameFor(sheet.name_, taken), text, error)) {
        WriteLog(0, 0, "Failed to export " + folder.string() + ": " + error, true);
        return false;
      }
      ++written;
      if (progress) progress(static_cast<int>(100 * written / sheets.size()));
    }
    if (!temp.Commit(error)) {
      WriteLog(0, 0, "Failed to export " + folder.string() + ": " + error, true);
      return false;
    }
    if (progress && sheets.empty()) progress(100);
    WriteLog(0, 0, "Exported " + std::to_string(written) + " CSV files into " + folder.string(),
             false);
    return true;
  } catch (...) {
    WriteLog(0, 0, "Exception while exporting CSV files", true);
  }
  exporting::SetUnexpectedStop(error);
  return false;
}

}  // namespace tabulix
