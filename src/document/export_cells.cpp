#include "document/export_cells.hpp"

#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "biff/bof.hpp"
#include "biff/cell_block.hpp"
#include "biff/rk.hpp"
#include "recovery/well_formed.hpp"

namespace tabulix::exporting {

namespace {

using cells::CellBlock;

// Error codes a cell may hold and their texts.
constexpr std::array<std::pair<std::uint8_t, std::string_view>, 7> kErrorTexts = {{
    {0x00, "#NULL!"},
    {0x07, "#DIV/0!"},
    {0x0F, "#VALUE!"},
    {0x17, "#REF!"},
    {0x1D, "#NAME?"},
    {0x24, "#NUM!"},
    {0x2A, "#N/A"},
}};

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, and back.
constexpr std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

constexpr CivilDate CivilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned shifted = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * shifted + 2) / 5 + 1;
  const unsigned month = shifted < 10 ? shifted + 3 : shifted - 9;
  const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

// Day 0 of each date system. The 1900 system counts a 29 February 1900 that never was
// (day 60), so from day 61 on its days lie one later than the calendar's.
constexpr std::int64_t kDay0Of1900 = DaysFromCivil(1899, 12, 31);
constexpr std::int64_t kDay0Of1904 = DaysFromCivil(1904, 1, 1);
constexpr std::int64_t kMissingLeapDay = 60;
static_assert(CivilFromDays(kDay0Of1900 + 59).month == 2 &&
              CivilFromDays(kDay0Of1900 + 61 - 1).month == 3);

constexpr std::int64_t kSecondsPerDay = 86400;
// 9999-12-31 in the 1900 system, the last day the programs show.
constexpr double kLastSerial = 2958465.0;

bool StartsWithFolded(std::string_view text, std::size_t at, std::string_view word) {
  if (text.size() - at < word.size()) return false;
  for (std::size_t k = 0; k < word.size(); ++k) {
    if (std::tolower(static_cast<unsigned char>(text[at + k])) != word[k]) return false;
  }
  return true;
}

// A bracketed part made of one of h, m or s repeated: elapsed time.
bool IsElapsedPart(std::string_view inner) {
  if (inner.empty()) return false;
  const auto first = static_cast<char>(std::tolower(static_cast<unsigned char>(inner[0])));
  if (first != 'h' && first != 'm' && first != 's') return false;
  for (const char c : inner) {
    if (std::tolower(static_cast<unsigned char>(c)) != first) return false;
  }
  return true;
}

ExportCell At(const cells::CellRecord& record, ExportCell::Kind kind) {
  ExportCell cell;
  cell.kind_ = kind;
  cell.row_ = record.row_;
  cell.column_ = record.column_;
  cell.xf_ = record.xf_;
  return cell;
}

void SetError(ExportCell& cell, std::uint8_t code) {
  cell.kind_ = ExportCell::Kind::Error;
  cell.text_ = ErrorText(code);
}

// A formula goes out as the value it last had.
ExportCell FormulaValue(const cells::Formula& formula) {
  ExportCell cell;
  cell.row_ = formula.row_;
  cell.column_ = formula.column_;
  cell.xf_ = formula.xf_;
  switch (formula.resultKind()) {
    case cells::Formula::ResultKind::Number:
      cell.kind_ = ExportCell::Kind::Number;
      cell.number_ = formula.resultNumber();
      break;
    case cells::Formula::ResultKind::String:
      cell.kind_ = ExportCell::Kind::Text;
      // A text result whose STRING the damage took shows what the .xls save writes.
      cell.text_ = formula.hasString_ ? formula.string_.Text() : std::string(kLostFormulaText);
      break;
    case cells::Formula::ResultKind::Boolean:
      cell.kind_ = ExportCell::Kind::Boolean;
      cell.boolean_ = formula.resultBoolean();
      break;
    case cells::Formula::ResultKind::Error:
      SetError(cell, formula.resultError());
      break;
    case cells::Formula::ResultKind::EmptyString:
      cell.kind_ = ExportCell::Kind::Text;
      break;
    case cells::Formula::ResultKind::Other:
      break;
  }
  return cell;
}

}  // namespace

std::vector<ExportedSheet> ExportedSheets(const XlsDocument& document) {
  const auto& worksheets = document.worksheets();
  const auto& described = document.report().sheets_;
  std::vector<ExportedSheet> sheets;
  for (std::size_t w = 0; w < worksheets.size(); ++w) {
    // Chart and macro sheets are kept as their own bytes; they have no cells to give.
    const std::uint16_t type = w < described.size() ? described[w].type_ : worksheets[w].bof_.type_;
    if (type != BOF::kWorksheet || worksheets[w].bof_.type_ != BOF::kWorksheet) continue;
    ExportedSheet& sheet = sheets.emplace_back();
    sheet.index_ = w;
    if (w < described.size()) sheet.name_ = described[w].name_;
    if (sheet.name_.empty()) sheet.name_ = "Sheet" + std::to_string(w + 1);
  }
  return sheets;
}

std::string_view ErrorText(std::uint8_t code) {
  for (const auto& [value, text] : kErrorTexts) {
    if (value == code) return text;
  }
  return "#N/A";
}

void ForEachCell(const Workbook& globals, const Worksheet& sheet,
                 const std::function<void(const ExportCell&)>& visit) {
  const auto& strings = globals.sst_.strings_;
  // Rows are 16-bit; a column past the grid (which the load does not leave) is skipped.
  auto emit = [&visit](const ExportCell& cell) {
    if (cell.column_ < kSheetColumns) visit(cell);
  };
  for (const auto& block : sheet.cellTable_.rowBlocks_) {
    for (const CellBlock& record : block.cellBlocks_) {
      switch (record.type_) {
        case cells::Blank::kCode:
          if (const auto* blank = record.As<cells::Blank>())
            emit(At(*blank, ExportCell::Kind::Blank));
          break;
        case cells::BoolErr::kCode:
          if (const auto* boolErr = record.As<cells::BoolErr>()) {
            ExportCell cell = At(*boolErr, ExportCell::Kind::Boolean);
            if (boolErr->IsError()) {
              SetError(cell, boolErr->ErrorCode());
            } else {
              cell.boolean_ = boolErr->BoolValue();
            }
            emit(cell);
          }
          break;
        case cells::Number::kCode:
          if (const auto* number = record.As<cells::Number>()) {
            ExportCell cell = At(*number, ExportCell::Kind::Number);
            cell.number_ = number->value();
            emit(cell);
          }
          break;
        case cells::RK::kCode:
          if (const auto* rk = record.As<cells::RK>()) {
            ExportCell cell = At(*rk, ExportCell::Kind::Number);
            cell.number_ = cells::RkToDouble(rk->rk_);
            emit(cell);
          }
          break;
        case cells::LabelSST::kCode:
          if (const auto* label = record.As<cells::LabelSST>()) {
            ExportCell cell = At(*label, ExportCell::Kind::Text);
            // The load names every lost string by its placeholder; an index past the table
            // would be answered the same way by the .xls save.
            cell.text_ = label->sstIndex_ < strings.size() ? strings[label->sstIndex_].ToUtf8()
                                                           : LostTextPlaceholder(label->sstIndex_);
            emit(cell);
          }
          break;
        case cells::Label::kCode:
          if (const auto* label = record.As<cells::Label>()) {
            ExportCell cell = At(*label, ExportCell::Kind::Text);
            cell.text_ = label->Text();
            emit(cell);
          }
          break;
        case cells::Formula::kCode:
        case cells::Formula::kBiff3Code:
        case cells::Formula::kBiff4Code:
          if (const auto* formula = record.As<cells::Formula>()) emit(FormulaValue(*formula));
          break;
        case cells::MulRK::kCode:
          if (const auto* mulRk = record.As<cells::MulRK>()) {
            ExportCell cell = At(*mulRk, ExportCell::Kind::Number);
            std::uint32_t column = mulRk->column_;
            for (const auto& entry : mulRk->entries()) {
              if (column > mulRk->lastColumn_ || column >= kSheetColumns) break;
              cell.column_ = static_cast<std::uint16_t>(column++);
              cell.xf_ = entry.xf_;
              cell.number_ = cells::RkToDouble(entry.rk_);
              emit(cell);
            }
          }
          break;
        case cells::MulBlank::kCode:
          if (const auto* mulBlank = record.As<cells::MulBlank>()) {
            ExportCell cell = At(*mulBlank, ExportCell::Kind::Blank);
            std::uint32_t column = mulBlank->column_;
            for (const std::uint16_t xf : mulBlank->xfs()) {
              if (column > mulBlank->lastColumn_ || column >= kSheetColumns) break;
              cell.column_ = static_cast<std::uint16_t>(column++);
              cell.xf_ = xf;
              emit(cell);
            }
          }
          break;
        default:
          break;
      }
    }
  }
}

DateKind ClassifyFormat(std::string_view text) {
  bool date = false;
  bool time = false;
  bool monthOrMinute = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      const std::size_t end = text.find('"', i + 1);
      i = end == std::string_view::npos ? text.size() : end;
    } else if (c == '\\' || c == '_' || c == '*') {
      ++i;  // the character after is shown (or sized, or repeated), not a code
    } else if (c == '[') {
      const std::size_t end = text.find(']', i + 1);
      const std::string_view inner =
          text.substr(i + 1, end == std::string_view::npos ? std::string_view::npos : end - i - 1);
      if (IsElapsedPart(inner)) return DateKind::None;
      i = end == std::string_view::npos ? text.size() : end;
    } else if (StartsWithFolded(text, i, "am/pm")) {
      time = true;
      i += 4;
    } else if (StartsWithFolded(text, i, "a/p")) {
      time = true;
      i += 2;
    } else {
      switch (std::tolower(static_cast<unsigned char>(c))) {
        case 'y':
        case 'd':
          date = true;
          break;
        case 'h':
        case 's':
          time = true;
          break;
        case 'm':
          monthOrMinute = true;
          break;
        default:
          break;
      }
    }
  }
  // "m" is the minute beside hours or seconds and the month anywhere else.
  if (monthOrMinute && !time) date = true;
  if (date && time) return DateKind::DateTime;
  if (date) return DateKind::Date;
  if (time) return DateKind::Time;
  return DateKind::None;
}

NumberFormats::NumberFormats(const Workbook& globals) : globals_(globals) {
  for (const Workbook::Format& format : globals.formats_)
    texts_.try_emplace(format.index_, format.text_.ToUtf8());
}

const std::string* NumberFormats::Text(std::uint16_t index) const {
  const auto found = texts_.find(index);
  return found == texts_.end() ? nullptr : &found->second;
}

bool NumberFormats::IsLocaleDateIndex(std::uint16_t index) {
  return (index >= 27 && index <= 36) || (index >= 50 && index <= 58);
}

DateKind NumberFormats::KindOf(std::uint16_t index) const {
  if (const std::string* text = Text(index)) return ClassifyFormat(*text);
  if ((index >= 14 && index <= 17) || index == 22)
    return index == 22 ? DateKind::DateTime : DateKind::Date;
  if ((index >= 18 && index <= 21) || index == 45 || index == 47) return DateKind::Time;
  if (index == 32 || index == 33) return DateKind::Time;
  if (IsLocaleDateIndex(index)) return DateKind::Date;
  return DateKind::None;
}

DateKind NumberFormats::KindOfXf(std::uint16_t xf) const {
  if (xf >= globals_.xfs_.size()) return DateKind::None;
  return KindOf(globals_.xfs_[xf].formatIndex_);
}

std::optional<std::string> SerialToIsoText(double serial, bool date1904, DateKind kind) {
  if (kind == DateKind::None || !std::isfinite(serial) || serial < 0) return std::nullopt;
  if (serial > kLastSerial + 1) return std::nullopt;
  const auto seconds = static_cast<std::int64_t>(std::llround(serial * kSecondsPerDay));
  const std::int64_t day = seconds / kSecondsPerDay;
  const std::int64_t second = seconds % kSecondsPerDay;
  std::int64_t civilDay = 0;
  if (date1904) {
    civilDay = kDay0Of1904 + day;
  } else {
    if (day == kMissingLeapDay) return std::nullopt;
    civilDay = kDay0Of1900 + day - (day > kMissingLeapDay ? 1 : 0);
  }
  const CivilDate date = CivilFromDays(civilDay);
  if (date.year > 9999) return std::nullopt;

  char dateText[32];
  std::snprintf(dateText, sizeof dateText, "%04d-%02u-%02u", static_cast<int>(date.year),
                date.month, date.day);
  char timeText[32];
  std::snprintf(timeText, sizeof timeText, "%02d:%02d:%02d", static_cast<int>(second / 3600),
                static_cast<int>(second / 60 % 60), static_cast<int>(second % 60));
  const bool showDate = kind != DateKind::Time || day != 0;
  const bool showTime = kind != DateKind::Date || second != 0;
  if (showDate && showTime) return std::string(dateText) + " " + timeText;
  return std::string(showDate ? dateText : timeText);
}

}  // namespace tabulix::exporting
