#pragma once
// What the .xlsx and CSV exports read from the recovered model, in one place so that both
// give a cell the same value: the worksheets that go out and their names, each cell's value
// as a reader of another format sees it (a formula's last value, an error code's text),
// and which number formats make a number a date or a time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"
#include "document/xls_document.hpp"

namespace tabulix::exporting {

// Rows and columns a worksheet of the old format has.
inline constexpr std::uint32_t kSheetRows = 0x10000;
inline constexpr std::uint32_t kSheetColumns = 0x100;

// One worksheet that goes out: its place among document.worksheets() and its name.
struct ExportedSheet {
  std::size_t index_ = 0;
  std::string name_;  // UTF-8
};

// The worksheets of the document that hold cells, in order, with the names the .xls save
// gives them; chart and macro sheets are left out.
std::vector<ExportedSheet> ExportedSheets(const XlsDocument& document);

// One cell as the exports see it.
struct ExportCell {
  enum class Kind { Blank, Number, Text, Boolean, Error };
  Kind kind_ = Kind::Blank;
  std::uint16_t row_ = 0;
  std::uint16_t column_ = 0;
  std::uint16_t xf_ = 0;
  double number_ = 0;     // Number; may be NaN or infinite, as the file had it
  bool boolean_ = false;  // Boolean
  std::string text_;      // Text, and the text of an Error ("#DIV/0!")
};

// Calls `visit` for every cell of `sheet` (blanks included, each cell of a MULRK or
// MULBLANK on its own) in the cell table's order, which need not be row order. Cells off
// the grid are skipped. `globals` gives the shared strings.
void ForEachCell(const Workbook& globals, const Worksheet& sheet,
                 const std::function<void(const ExportCell&)>& visit);

// "#NULL!", "#DIV/0!", "#VALUE!", "#REF!", "#NAME?", "#NUM!" or "#N/A" (any other code).
std::string_view ErrorText(std::uint8_t code);

// What a number format shows of a number: nothing of a date (None), a date, a time of
// day, or both. A format of elapsed time ("[h]:mm") is None: it shows a duration.
enum class DateKind { None, Date, Time, DateTime };

// The kind of a format text: its date and time codes outside quoted text, escaped
// characters and bracketed parts (colours, conditions, locales).
DateKind ClassifyFormat(std::string_view text);

// The number formats of a workbook: FORMAT records by index (the first of an index wins),
// and the built-in ones a reader knows by their index alone.
class NumberFormats {
 public:
  explicit NumberFormats(const Workbook& globals);

  // The text of the FORMAT record with `index`, or nullptr when none was recovered.
  const std::string* Text(std::uint16_t index) const;
  // What the format with `index` shows of a number.
  DateKind KindOf(std::uint16_t index) const;
  // What the format of XF `xf` shows; None for an XF that is not there.
  DateKind KindOfXf(std::uint16_t xf) const;

  // Built-in formats of East Asian locales, which readers of other locales may not know.
  static bool IsLocaleDateIndex(std::uint16_t index);

 private:
  const Workbook& globals_;
  std::map<std::uint16_t, std::string> texts_;
};

// The date and time a serial number stands for, as ISO text: "YYYY-MM-DD" for a date (with
// " HH:MM:SS" when it holds a time of day too), "HH:MM:SS" for a time under a day, else
// "YYYY-MM-DD HH:MM:SS". `date1904`: the workbook counts days from 1904-01-01 rather than
// 1900-01-01 (1900 counted as a leap year, as the spreadsheet programs do). Nothing for a
// number no calendar date stands for (negative, past the year 9999, the 1900-02-29 that
// never was).
std::optional<std::string> SerialToIsoText(double serial, bool date1904, DateKind kind);

}  // namespace tabulix::exporting
