#pragma once
// What a file is when it is not an Excel 97-2003 workbook: people bring .xlsx, OpenDocument
// and zip files, web pages, XML spreadsheets, CSV files and older Excel versions under a
// .xls name, and deserve to hear what they brought rather than that nothing was recovered.
//
// Each test looks at the bytes only; the load decides when a finding may stop it. A
// signature that no damage to a workbook leaves behind (a zip header at the start, a web
// page with no workbook record anywhere, nothing but zeros) stops it before any route to
// the workbook stream runs; what needs the routes' verdict (plain text, an older version)
// waits for it, so that a damaged workbook is never refused on a guess.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tabulix {

enum class FileKind {
  Workbook,        // nothing else recognised: an Excel 97-2003 workbook, or unknown bytes
  Empty,           // no bytes at all
  Zeros,           // nothing but zero bytes
  Xlsx,            // an Excel 2007 or later workbook (.xlsx, .xlsm, .xlsb: a zip archive)
  OpenDocument,    // an OpenDocument spreadsheet (.ods: a zip archive)
  Zip,             // any other zip archive
  Html,            // a web page (what "Save as Web Page" and many web exports write)
  XmlSpreadsheet,  // an Excel 2003 XML spreadsheet
  Xml,             // any other XML document
  Text,            // plain text: CSV, tab-separated values, a report
  Biff5,           // an Excel 5.0/95 workbook
  OldBiff,         // an Excel 2.x, 3.0 or 4.0 file
};

// The bytes that are looked at for signatures; only the test for zeros reads further.
inline constexpr std::size_t kIdentifyPrefix = 64 * 1024;

// What the file's bytes look like. Bounded: reads at most the first kIdentifyPrefix bytes,
// except that a file starting with a zero byte is scanned to its end for the test for
// zeros. A compound document is told an Excel 5.0/95 one by the records in that prefix,
// which is a guess the load confirms on the stream itself (IdentifyStream).
FileKind IdentifyFile(std::span<const std::uint8_t> bytes);

// The kind when the signature alone settles that the file holds no Excel 97-2003
// workbook, however damaged: empty, zeros, a zip archive, or XML or HTML text in which no
// BIFF8 BOF stands anywhere. Workbook otherwise (then the routes must decide). Linear in
// the size of the file.
FileKind IdentifyBeyondDoubt(std::span<const std::uint8_t> bytes);

// Biff5 or OldBiff when the workbook stream a route gave was written by an older version
// of Excel, Workbook otherwise. `fromContainer`: the stream was read by a compound
// document's directory, so it begins with the records its writer began it with, and its
// globals' BOF may decide (when the globals hold none of the records only Excel 97-2003
// and later write: a damaged BOF is outvoted by the records behind it). Otherwise an
// older version is concluded only when no BIFF8 BOF stands anywhere in the stream. Linear
// in its size.
FileKind IdentifyStream(std::span<const std::uint8_t> stream, bool fromContainer);

// A stable token for reports: "xls", "empty", "zeros", "xlsx", "ods", "zip", "html",
// "xml-spreadsheet", "xml", "text", "biff5" or "biff2-4".
std::string_view FileKindName(FileKind kind);

// What the file is, in words for the user: "an empty file", "an Excel 2007 or later
// workbook (.xlsx, a zip archive)", ...
std::string_view FileKindDescription(FileKind kind);

// The one sentence the load tells the user when it refuses a file of `kind` (with what to
// do instead where there is something); empty for Workbook.
std::string FileKindRefusal(FileKind kind);

}  // namespace tabulix
