#include "cli/preview_command.hpp"

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "base/display_width.hpp"
#include "base/notifier.hpp"
#include "cli/console.hpp"
#include "document/cell_text.hpp"
#include "document/xls_document.hpp"

namespace tabulix::cli {

namespace {

// The sheet the user asked for: a name first (a sheet may be named "2"), then a number.
std::optional<std::size_t> ChooseSheet(const RecoveryReport& report, const std::string& wanted) {
  if (wanted.empty()) {
    for (std::size_t i = 0; i < report.sheets_.size(); ++i) {
      if (report.sheets_[i].IsWorksheet()) return i;
    }
    return report.sheets_.empty() ? std::nullopt : std::optional<std::size_t>(0);
  }
  for (std::size_t i = 0; i < report.sheets_.size(); ++i) {
    if (report.sheets_[i].name_ == wanted) return i;
  }
  std::size_t number = 0;
  const auto [end, error] = std::from_chars(wanted.data(), wanted.data() + wanted.size(), number);
  if (error == std::errc() && end == wanted.data() + wanted.size() && number >= 1 &&
      number <= report.sheets_.size()) {
    return number - 1;
  }
  return std::nullopt;
}

// `text` padded with spaces to `width` display columns, on the right or the left.
std::string Pad(const std::string& text, std::size_t width, bool right) {
  const std::size_t used = DisplayWidth(text);
  const std::string fill(used < width ? width - used : 0, ' ');
  return right ? fill + text : text + fill;
}

// `text` cut to `width` display columns, an ellipsis marking the cut.
std::string Fit(const std::string& text, std::size_t width) {
  if (DisplayWidth(text) <= width) return text;
  if (width == 0) return {};
  return std::string(FitToWidth(text, width - 1)) + "\xE2\x80\xA6";
}

// Control characters (a line break inside a cell, a tab) would break the table's lines.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return text;
}

}  // namespace

std::string ColumnName(std::uint32_t column) {
  std::string name;
  for (std::uint32_t n = column + 1; n > 0; n = (n - 1) / 26) {
    name.insert(name.begin(), static_cast<char>('A' + (n - 1) % 26));
  }
  return name;
}

int RunPreview(const PreviewOptions& options, std::ostream& out, std::ostream& err) {
  Console console(out, err, false, 1);
  ConsoleNotifier notifier(console);
  Notifier* previous = SetNotifier(&notifier);
  XlsDocument document;
  const bool loaded = document.Load(options.input);
  SetNotifier(previous);
  const RecoveryReport& report = document.report();
  if (!loaded || report.sheets_.empty()) {
    err << "tabulix: could not recover '" << options.input << "'\n";
    return report.passwordProtected_ ? kExitPasswordProtected : kExitFailed;
  }
  const std::optional<std::size_t> chosen = ChooseSheet(report, options.sheet);
  if (!chosen) {
    err << "tabulix: '" << options.input << "' has no sheet '" << options.sheet
        << "'; its sheets are:\n";
    for (std::size_t i = 0; i < report.sheets_.size(); ++i) {
      err << "  " << (i + 1) << ". " << report.sheets_[i].name_ << "\n";
    }
    return kExitUsage;
  }
  const std::size_t index = *chosen;
  const RecoveryReport::Sheet& sheet = report.sheets_[index];
  out << "Sheet " << (index + 1) << " of " << report.sheets_.size() << ": " << sheet.name_;
  if (!sheet.IsWorksheet()) {
    out << " (" << SubstreamTypeName(sheet.type_) << ", kept as it stood: no cells to show)\n";
    return kExitRecovered;
  }
  out << " (" << sheet.valueCells_ << " cells, " << (sheet.intact_ ? "intact" : "rebuilt") << ")\n";

  // One row and one column more than shown tell whether the sheet goes on beyond them.
  const WorksheetView view(document.workbook(), document.worksheets()[index],
                           static_cast<std::uint32_t>(index), options.rows + 1,
                           options.columns + 1);
  const std::uint32_t rows = std::min(view.RowCount(), options.rows);
  const std::uint32_t columns = std::min(view.ColumnCount(), options.columns);
  if (rows == 0 || columns == 0) {
    out << "(no cells)\n";
    return kExitRecovered;
  }

  struct Shown {
    std::string text;
    bool number = false;
  };
  std::vector<std::vector<Shown>> table(rows, std::vector<Shown>(columns));
  std::vector<std::size_t> widths(columns);
  for (std::uint32_t c = 0; c < columns; ++c) widths[c] = ColumnName(c).size();
  for (std::uint32_t r = 0; r < rows; ++r) {
    for (std::uint32_t c = 0; c < columns; ++c) {
      const ViewCell* cell = view.CellAt(r, c);
      if (cell == nullptr) continue;
      const std::optional<std::string> text = PreviewCellText(document.workbook(), *cell);
      if (!text) continue;
      Shown& shown = table[r][c];
      shown.text = Fit(OneLine(*text), options.cellWidth);
      shown.number = cell->Type() == ViewCell::kInteger || cell->Type() == ViewCell::kDouble;
      widths[c] = std::max(widths[c], DisplayWidth(shown.text));
    }
  }
  const std::size_t rowWidth = std::to_string(rows).size();
  std::string line = std::string(rowWidth, ' ');
  std::string rule = std::string(rowWidth, '-');
  for (std::uint32_t c = 0; c < columns; ++c) {
    line += " | " + Pad(ColumnName(c), widths[c], false);
    rule += "-+-" + std::string(widths[c], '-');
  }
  line.erase(line.find_last_not_of(' ') + 1);
  out << line << "\n" << rule << "\n";
  for (std::uint32_t r = 0; r < rows; ++r) {
    line = Pad(std::to_string(r + 1), rowWidth, true);
    for (std::uint32_t c = 0; c < columns; ++c) {
      line += " | " + Pad(table[r][c].text, widths[c], table[r][c].number);
    }
    // Trailing spaces would only make the lines harder to compare.
    line.erase(line.find_last_not_of(' ') + 1);
    out << line << "\n";
  }
  if (view.RowCount() > rows || view.ColumnCount() > columns) {
    out << "(the sheet goes on beyond row " << rows << " or column " << ColumnName(columns - 1)
        << "; --rows and --cols show more)\n";
  }
  return kExitRecovered;
}

}  // namespace tabulix::cli
