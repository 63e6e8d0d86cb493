#include "document/cell_text.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

#include "biff/workbook.hpp"
#include "document/worksheet_view.hpp"

namespace tabulix {

namespace {

constexpr std::string_view kDateTimeText = "#DATE/TIME";
constexpr std::string_view kNotANumberText = "#NUM!";

// Plain notation is kept for the magnitudes people type; beyond them a number written out
// in full is mostly zeros.
constexpr double kSmallestPlain = 1e-7;
constexpr double kLargestPlain = 1e21;

std::string ShortestText(double value) {
  if (!std::isfinite(value)) return std::string(kNotANumberText);
  if (value == 0) return "0";  // and -0.0, which a spreadsheet shows as 0 too
  const double magnitude = std::fabs(value);
  const std::chars_format format = magnitude >= kSmallestPlain && magnitude < kLargestPlain
                                       ? std::chars_format::fixed
                                       : std::chars_format::scientific;
  // The shortest text that reads back as the same double is at most 24 characters in
  // exponent notation, and at most 21 digits before the point and 7 + 17 after it in plain.
  char buffer[64];
  const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof buffer, value, format);
  if (result.ec != std::errc()) return std::string(kNotANumberText);
  return std::string(buffer, result.ptr);
}

bool IsDateTime(const Workbook& workbook, const ViewCell& cell) {
  return cell.formatIndex_ < workbook.xfs_.size() &&
         IsDateTimeFormatIndex(workbook.xfs_[cell.formatIndex_].formatIndex_);
}

}  // namespace

bool IsDateTimeFormatIndex(std::uint16_t formatIndex) {
  return (formatIndex >= 14 && formatIndex <= 21) || (formatIndex >= 27 && formatIndex <= 36) ||
         (formatIndex >= 50 && formatIndex <= 58) || formatIndex == 1432 || formatIndex == 2232;
}

std::optional<std::string> PreviewCellText(const Workbook& workbook, const ViewCell& cell) {
  switch (cell.Type()) {
    case ViewCell::kInteger:
      // A whole date is written as an integer as often as a double: how the number was
      // stored must not decide whether it shows as a date.
      if (IsDateTime(workbook, cell)) return std::string(kDateTimeText);
      return std::to_string(cell.GetInteger());
    case ViewCell::kDouble:
      if (IsDateTime(workbook, cell)) return std::string(kDateTimeText);
      return ShortestText(cell.GetDouble());
    case ViewCell::kNarrow:
    case ViewCell::kWide:
      return cell.TextUtf8();
    default:
      return std::nullopt;
  }
}

}  // namespace tabulix
