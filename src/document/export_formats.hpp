#pragma once
// The recovered workbook in the formats other programs read without an .xls reader: an
// Excel 2007+ workbook (.xlsx) and a folder of CSV files, one per worksheet. Both hold the
// worksheets the load recovered, in order and under the names the .xls save gives them;
// chart and macro sheets, which hold no cells here, are left out. A formula gives the value
// it last had, never its tokens, and a cell whose text the damage destroyed shows the
// placeholder the .xls save writes.
//
// Both are all or nothing: they are written beside their target under a hidden temporary
// name and renamed into place only once complete, so a failed or interrupted run leaves an
// existing target as it was.

#include <filesystem>
#include <string>

#include "document/xls_document.hpp"

namespace tabulix {

// Writes the recovered worksheets of a loaded document as an Excel 2007+ workbook at
// `path`: every cell with a value (formulas as their last value, error codes as their
// text), number formats (dates stay dates), fonts, fills, borders, alignment, column
// widths, row heights and merged ranges. An existing file at `path` is replaced (and keeps
// its permission bits); the caller decides whether it may be. `progress` hears 0, then
// 90 (i + 1) / n after worksheet i of n is laid out, and 100 once the file is in place.
// False with `error` in words for the user when it could not be written.
bool SaveXlsx(const XlsDocument& document, const std::filesystem::path& path, std::string& error,
              const XlsDocument::SaveProgress& progress = {});

// Writes one UTF-8 CSV file per recovered worksheet into the folder `folder`, which is
// created: written first as a hidden temporary folder beside it, then renamed into place.
// An existing folder of that name is replaced, but only when it holds nothing but CSV
// files (what an earlier export left), so that a mistyped name never costs the user a
// folder of other files. File names: the sheet name with "/" "\" ":" "*" "?" "\"" "<" ">"
// "|" and control characters made "_", no leading dot, unique without regard to case,
// then ".csv". Fields follow RFC 4180 (comma-separated, quoted where needed, lines ending
// in CR LF); numbers are their shortest exact text, booleans TRUE and FALSE, errors their
// text, and numbers in a date or time format ISO dates ("2024-03-01", "2024-03-01
// 12:30:00", "12:30:00") in the workbook's date system. `progress` hears 0, then
// 100 (i + 1) / n after worksheet i of n. False with `error` when it could not be written.
bool SaveCsvFolder(const XlsDocument& document, const std::filesystem::path& folder,
                   std::string& error, const XlsDocument::SaveProgress& progress = {});

}  // namespace tabulix
