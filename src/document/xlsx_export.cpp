// The .xlsx export: the recovered worksheets written through libxlsxwriter into a hidden
// temporary file beside the target, which is renamed over it once complete.
//
// The workbook is built in libxlsxwriter's normal mode, which holds each sheet's cells in
// memory until the file is written: its constant-memory mode takes cells in row order only
// (a table read whole keeps its writer's order, which goes back to earlier rows) and has
// no merged ranges. Its temporary data goes where the library puts it by default: files in
// the system's temporary folder that lose their names the moment they are made, so that
// they vanish with the process however it ends.

#include <xlsxwriter.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/log.hpp"
#include "document/export_cells.hpp"
#include "document/export_files.hpp"
#include "document/export_formats.hpp"
#include "document/preview_format.hpp"

namespace tabulix {

namespace {

namespace fs = std::filesystem;
using exporting::DateKind;
using exporting::ExportCell;
using exporting::NumberFormats;

// The system's window background colour (64 is its window text colour, and 0x7FFF a
// font's "automatic").
constexpr std::uint16_t kSystemBackground = 65;
// libxlsxwriter keeps its strings in fields of this many bytes, the NUL included; a longer
// one would be cut, perhaps inside a character.
constexpr std::size_t kFieldBytes = 128;
// A cell holds at most this many UTF-16 units of text in the spreadsheet programs.
constexpr std::size_t kMaxCellUnits = 32767;
// Days from the 1900 system's day 0 to the 1904 system's.
constexpr double kDays1900To1904 = 1462;
// What a new column is wide in pixels (at the default font's 7-pixel digits, plus the
// 5 pixels of padding every column has).
constexpr double kDigitPixels = 7;
constexpr double kColumnPadding = 5;
constexpr std::uint16_t kBuiltInFormatsKnown = 49;
constexpr std::uint16_t kLastBuiltInDateTime = 22;
constexpr std::uint16_t kFirstLaterBuiltIn = 37;

// libxlsxwriter reads 0 as "no colour": black has a value of its own.
lxw_color_t ToLxw(std::uint32_t rgb) {
  return rgb == 0 ? static_cast<lxw_color_t>(LXW_COLOR_BLACK) : rgb;
}

class Palette {
 public:
  explicit Palette(const Workbook& globals) : globals_(globals) {}

  // The colour of entry `index`; nothing for the system colours and "automatic".
  std::optional<lxw_color_t> Of(std::uint16_t index) const {
    if (const std::optional<std::uint32_t> rgb = PaletteRgb(globals_, index)) return ToLxw(*rgb);
    return std::nullopt;
  }

  // A fill's colour: the system colours are the window's text and background.
  lxw_color_t FillOf(std::uint16_t index) const {
    if (index == kSystemBackground) return LXW_COLOR_WHITE;
    return Of(index).value_or(LXW_COLOR_BLACK);
  }

 private:
  const Workbook& globals_;
};

// "_x0041_" in a cell's text: the form the new format gives a character, which readers
// decode.
bool IsCharacterEscape(std::string_view text, std::size_t at) {
  if (text.size() - at < 7 || text[at] != '_' || (text[at + 1] | 0x20) != 'x' ||
      text[at + 6] != '_')
    return false;
  for (std::size_t k = at + 2; k < at + 6; ++k) {
    if (!std::isxdigit(static_cast<unsigned char>(text[k]))) return false;
  }
  return true;
}

// A text as a cell of the new workbook holds it: at most 32767 UTF-16 units (`cut` tells
// whether it had more), no character XML cannot carry at all (U+0000, U+FFFE and U+FFFF
// become U+FFFD), and text that reads like an escaped character escaped itself, so that
// readers show it as it was.
std::string CellText(std::string_view text, bool& cut) {
  constexpr std::string_view kEscapedUnderscore = "_x005F";
  std::string out;
  std::size_t units = 0;
  cut = false;
  for (std::size_t i = 0; i < text.size();) {
    if (IsCharacterEscape(text, i)) {
      units += kEscapedUnderscore.size();
      cut = units > kMaxCellUnits;
      if (cut) break;
      out += kEscapedUnderscore;
    }
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    const std::size_t take = std::min(length, text.size() - i);
    units += length == 4 ? 2 : 1;
    cut = units > kMaxCellUnits;
    if (cut) break;
    const std::string_view piece = text.substr(i, take);
    if (piece == std::string_view("\0", 1) || piece == "\xEF\xBF\xBE" || piece == "\xEF\xBF\xBF") {
      out += "\xEF\xBF\xBD";
    } else {
      out += piece;
    }
    i += take;
  }
  return out;
}

bool FitsField(const std::string& text) {
  return !text.empty() && text.size() < kFieldBytes && text.find('\0') == std::string::npos;
}

// The cell formats of the new workbook, one per XF record used, made when first asked for.
class XfFormats {
 public:
  XfFormats(lxw_workbook* book, const Workbook& globals, const NumberFormats& numbers)
      : book_(book),
        globals_(globals),
        numbers_(numbers),
        palette_(globals),
        formats_(globals.xfs_.size(), nullptr),
        made_(globals.xfs_.size(), 0) {}

  // The format of XF `xf`; nullptr for an XF that is not there.
  lxw_format* For(std::uint16_t xf) {
    if (xf >= formats_.size()) return nullptr;
    if (made_[xf] == 0) {
      formats_[xf] = Make(globals_.xfs_[xf]);
      made_[xf] = 1;
    }
    return formats_[xf];
  }

  // Whether a cell of XF `xf` shows anything with no value: a fill or a border.
  bool Visible(std::uint16_t xf) const {
    if (xf >= globals_.xfs_.size()) return false;
    const Workbook::XF& record = globals_.xfs_[xf];
    return ((record.borderColours_ >> 26) & 0x3F) != 0 || (record.borderLines_ & 0xFFFF) != 0;
  }

 private:
  const Workbook::Font* FontOf(std::uint16_t index) const {
    // The font list has no entry 4: indexes from 5 on name the list's entry one lower.
    const auto& fonts = globals_.fonts_;
    const std::size_t at = index < 4 ? index : index == 4 ? 0 : std::size_t{index} - 1;
    if (at < fonts.size()) return &fonts[at];
    return fonts.empty() ? nullptr : &fonts.front();
  }

  void SetNumberFormat(lxw_format* format, std::uint16_t index) {
    if (const std::string* text = numbers_.Text(index)) {
      if (FitsField(*text)) {
        format_set_num_format(format, text->c_str());
        return;
      }
    }
    // A built-in format (or one whose text is too long to carry) by its index, where
    // readers know it; the dates of East Asian locales as a plain date or time.
    if (index != 0 && (index <= kLastBuiltInDateTime ||
                       (index >= kFirstLaterBuiltIn && index <= kBuiltInFormatsKnown))) {
      format_set_num_format_index(format, static_cast<std::uint8_t>(index));
      return;
    }
    switch (numbers_.KindOf(index)) {
      case DateKind::Date:
        format_set_num_format(format, "yyyy\\-mm\\-dd");
        break;
      case DateKind::Time:
        format_set_num_format(format, "hh:mm:ss");
        break;
      case DateKind::DateTime:
        format_set_num_format(format, "yyyy\\-mm\\-dd hh:mm:ss");
        break;
      case DateKind::None:
        break;
    }
  }

  void SetFont(lxw_format* format, const Workbook::Font& font) {
    const std::string name = font.name_.ToUtf8();
    if (FitsField(name)) format_set_font_name(format, name.c_str());
    const double points = font.height_ / 20.0;
    if (points >= LXW_MIN_FONT_SIZE && points <= LXW_MAX_FONT_SIZE)
      format_set_font_size(format, points);
    if (font.weight_ >= 600) format_set_bold(format);
    if ((font.options_ & 0x02) != 0) format_set_italic(format);
    if ((font.options_ & 0x08) != 0) format_set_font_strikeout(format);
    switch (font.underline_) {
      case 0x01:
        format_set_underline(format, LXW_UNDERLINE_SINGLE);
        break;
      case 0x02:
        format_set_underline(format, LXW_UNDERLINE_DOUBLE);
        break;
      case 0x21:
        format_set_underline(format, LXW_UNDERLINE_SINGLE_ACCOUNTING);
        break;
      case 0x22:
        format_set_underline(format, LXW_UNDERLINE_DOUBLE_ACCOUNTING);
        break;
      default:
        break;
    }
    if (font.escapement_ == 1) format_set_font_script(format, LXW_FONT_SUPERSCRIPT);
    if (font.escapement_ == 2) format_set_font_script(format, LXW_FONT_SUBSCRIPT);
    if (const auto colour = palette_.Of(font.colour_)) format_set_font_color(format, *colour);
  }

  void SetAlignment(lxw_format* format, const Workbook::XF& xf) {
    // The horizontal alignments have the same numbers in both formats.
    const std::uint8_t horizontal = xf.alignment_ & 0x07;
    if (horizontal != 0) format_set_align(format, horizontal);
    if ((xf.alignment_ & 0x08) != 0) format_set_text_wrap(format);
    switch ((xf.alignment_ >> 4) & 0x07) {
      case 0:
        format_set_align(format, LXW_ALIGN_VERTICAL_TOP);
        break;
      case 1:
        format_set_align(format, LXW_ALIGN_VERTICAL_CENTER);
        break;
      case 3:
        format_set_align(format, LXW_ALIGN_VERTICAL_JUSTIFY);
        break;
      case 4:
        format_set_align(format, LXW_ALIGN_VERTICAL_DISTRIBUTED);
        break;
      default:
        break;  // bottom, the default
    }
    // 1 to 90: degrees up; 91 to 180: degrees down, past 90; 255: letters stacked.
    const std::uint8_t rotation = xf.rotation_;
    if (rotation >= 1 && rotation <= 90) format_set_rotation(format, rotation);
    if (rotation >= 91 && rotation <= 180)
      format_set_rotation(format, static_cast<std::int16_t>(90 - rotation));
    if (rotation == 255) format_set_rotation(format, 270);
    const std::uint8_t indent = xf.indentShrinkMerge_ & 0x0F;
    if (indent != 0) format_set_indent(format, indent);
    if ((xf.indentShrinkMerge_ & 0x10) != 0) format_set_shrink(format);
  }

  void SetBorders(lxw_format* format, const Workbook::XF& xf) {
    // The line styles have the same numbers in both formats, up to 13.
    auto style = [](std::uint32_t value) {
      const auto line = static_cast<std::uint8_t>(value & 0x0F);
      return line <= LXW_BORDER_SLANT_DASH_DOT ? line : static_cast<std::uint8_t>(LXW_BORDER_THIN);
    };
    auto colour = [this](std::uint32_t value) {
      return palette_.Of(static_cast<std::uint16_t>(value & 0x7F));
    };
    const std::uint32_t lines = xf.borderLines_;
    const std::uint32_t colours = xf.borderColours_;
    if (const std::uint8_t left = style(lines); left != 0) {
      format_set_left(format, left);
      if (const auto c = colour(lines >> 16)) format_set_left_color(format, *c);
    }
    if (const std::uint8_t right = style(lines >> 4); right != 0) {
      format_set_right(format, right);
      if (const auto c = colour(lines >> 23)) format_set_right_color(format, *c);
    }
    if (const std::uint8_t top = style(lines >> 8); top != 0) {
      format_set_top(format, top);
      if (const auto c = colour(colours)) format_set_top_color(format, *c);
    }
    if (const std::uint8_t bottom = style(lines >> 12); bottom != 0) {
      format_set_bottom(format, bottom);
      if (const auto c = colour(colours >> 7)) format_set_bottom_color(format, *c);
    }
    const bool down = (lines & 0x40000000u) != 0;
    const bool up = (lines & 0x80000000u) != 0;
    const std::uint8_t diagonal = style(colours >> 21);
    if ((down || up) && diagonal != 0) {
      format_set_diag_type(format, up && down ? LXW_DIAGONAL_BORDER_UP_DOWN
                                   : up       ? LXW_DIAGONAL_BORDER_UP
                                              : LXW_DIAGONAL_BORDER_DOWN);
      format_set_diag_border(format, diagonal);
      if (const auto c = colour(colours >> 14)) format_set_diag_color(format, *c);
    }
  }

  void SetFill(lxw_format* format, const Workbook::XF& xf) {
    const auto pattern = static_cast<std::uint8_t>((xf.borderColours_ >> 26) & 0x3F);
    const auto foreground = static_cast<std::uint16_t>(xf.fillColours_ & 0x7F);
    const auto background = static_cast<std::uint16_t>((xf.fillColours_ >> 7) & 0x7F);
    if (pattern == LXW_PATTERN_SOLID) {
      // A solid fill is its pattern colour; libxlsxwriter calls that the background.
      format_set_pattern(format, LXW_PATTERN_SOLID);
      format_set_bg_color(format, palette_.FillOf(foreground));
    } else if (pattern > LXW_PATTERN_SOLID && pattern <= LXW_PATTERN_GRAY_0625) {
      // The patterns have the same numbers in both formats.
      format_set_pattern(format, pattern);
      format_set_fg_color(format, palette_.FillOf(foreground));
      format_set_bg_color(format, palette_.FillOf(background));
    }
  }

  lxw_format* Make(const Workbook::XF& xf) {
    lxw_format* format = workbook_add_format(book_);
    if (format == nullptr) throw std::bad_alloc();
    SetNumberFormat(format, xf.formatIndex_);
    if (const Workbook::Font* font = FontOf(xf.fontIndex_)) SetFont(format, *font);
    SetAlignment(format, xf);
    SetBorders(format, xf);
    SetFill(format, xf);
    if ((xf.typeProtection_ & 0x01) == 0) format_set_unlocked(format);
    if ((xf.typeProtection_ & 0x02) != 0) format_set_hidden(format);
    return format;
  }

  lxw_workbook* book_;
  const Workbook& globals_;
  const NumberFormats& numbers_;
  Palette palette_;
  std::vector<lxw_format*> formats_;
  std::vector<std::uint8_t> made_;
};

// Adds a worksheet named `name`, or, should libxlsxwriter refuse that name (its rules on
// names are its own), the first free "Sheet<n>".
lxw_worksheet* AddWorksheet(lxw_workbook* book, const std::string& name, std::size_t number) {
  if (workbook_validate_sheet_name(book, name.c_str()) == LXW_NO_ERROR)
    return workbook_add_worksheet(book, name.c_str());
  for (std::size_t k = 0; k < 1000; ++k) {
    std::string other = "Sheet" + std::to_string(number);
    if (k > 0) other += " (" + std::to_string(k + 1) + ")";
    if (workbook_validate_sheet_name(book, other.c_str()) == LXW_NO_ERROR) {
      WriteLog(0, 0, "Sheet \"" + name + "\" exported as \"" + other + "\"", true);
      return workbook_add_worksheet(book, other.c_str());
    }
  }
  return nullptr;
}

// Column widths, formats and visibility. COLINFO records may overlap on damage: the first
// to name a column is taken. Columns no record names take the sheet's default width when
// it is not the usual one.
void WriteColumns(lxw_worksheet* sheet, const Worksheet& source, XfFormats& formats) {
  struct Column {
    double pixels = 0;
    std::uint16_t xf = 0;
    bool hasXf = false;
    lxw_row_col_options options{};
  };
  constexpr std::uint16_t kUsualDefaultWidth = 8;
  std::array<std::optional<Column>, exporting::kSheetColumns> columns;
  for (const Worksheet::ColInfo& info : source.colInfos_) {
    const std::uint32_t last =
        std::min<std::uint32_t>(info.lastColumn_, exporting::kSheetColumns - 1);
    for (std::uint32_t c = info.firstColumn_; c <= last; ++c) {
      if (columns[c]) continue;
      Column& column = columns[c].emplace();
      // The width counts 1/256 of a digit, the padding included.
      column.pixels = std::round(info.width_ / 256.0 * kDigitPixels);
      column.xf = info.xf_;
      column.hasXf = formats.Visible(info.xf_);
      column.options.hidden = (info.flags_ & 0x0001) != 0 || info.width_ == 0 ? 1 : 0;
      column.options.level = static_cast<std::uint8_t>((info.flags_ >> 8) & 0x07);
      column.options.collapsed = (info.flags_ & 0x1000) != 0 ? 1 : 0;
    }
  }
  const std::uint16_t defaultWidth = source.defColWidth_.value_;
  if (defaultWidth != kUsualDefaultWidth && defaultWidth <= 255) {
    for (auto& column : columns) {
      if (!column) column.emplace().pixels = defaultWidth * kDigitPixels + kColumnPadding;
    }
  }
  // One call per run of equal columns.
  auto same = [](const Column& a, const Column& b) {
    return a.pixels == b.pixels && a.hasXf == b.hasXf && (!a.hasXf || a.xf == b.xf) &&
           a.options.hidden == b.options.hidden && a.options.level == b.options.level &&
           a.options.collapsed == b.options.collapsed;
  };
  for (std::uint32_t first = 0; first < columns.size();) {
    if (!columns[first]) {
      ++first;
      continue;
    }
    std::uint32_t last = first;
    while (last + 1 < columns.size() && columns[last + 1] &&
           same(*columns[first], *columns[last + 1]))
      ++last;
    Column& column = *columns[first];
    worksheet_set_column_pixels_opt(
        sheet, static_cast<lxw_col_t>(first), static_cast<lxw_col_t>(last),
        static_cast<std::uint32_t>(column.pixels), column.hasXf ? formats.For(column.xf) : nullptr,
        &column.options);
    first = last + 1;
  }
}

// Row heights, formats, visibility and outline levels, for the rows that have any.
void WriteRows(lxw_worksheet* sheet, const Worksheet& source, XfFormats& formats) {
  for (const auto& block : source.cellTable_.rowBlocks_) {
    for (const cells::Row& row : block.rows_) {
      const std::uint32_t flags = row.options_ & 0xFFFF;
      const auto xf = static_cast<std::uint16_t>((row.options_ >> 16) & 0x0FFF);
      const bool customHeight = (flags & 0x40) != 0;
      const bool hidden = (flags & 0x20) != 0;
      const bool formatted = (flags & 0x80) != 0 && formats.Visible(xf);
      lxw_row_col_options options{};
      options.hidden = hidden ? 1 : 0;
      options.level = static_cast<std::uint8_t>(flags & 0x07);
      options.collapsed = (flags & 0x10) != 0 ? 1 : 0;
      if (!customHeight && !hidden && !formatted && options.level == 0 && options.collapsed == 0)
        continue;
      const double height = customHeight ? (row.height_ & 0x7FFF) / 20.0 : LXW_DEF_ROW_HEIGHT;
      worksheet_set_row_opt(sheet, row.row_, height, formatted ? formats.For(xf) : nullptr,
                            &options);
    }
  }
}

// Merged ranges, each once: a range off the grid, of a single cell or overlapping one
// taken before would make the file one the spreadsheet programs repair on opening. The
// values are written after, so the range's first cell keeps its own.
void WriteMergedRanges(lxw_worksheet* sheet, const Worksheet& source) {
  // Per column, the row spans taken: first row -> last row.
  std::vector<std::map<std::uint16_t, std::uint16_t>> taken(exporting::kSheetColumns);
  auto overlaps = [&taken](const Worksheet::MergedCells::Range& range) {
    for (std::uint32_t c = range.firstColumn_; c <= range.lastColumn_; ++c) {
      const auto& spans = taken[c];
      auto next = spans.upper_bound(range.lastRow_);
      if (next != spans.begin() && std::prev(next)->second >= range.firstRow_) return true;
    }
    return false;
  };
  std::size_t dropped = 0;
  for (const Worksheet::MergedCells& merged : source.mergedCells_) {
    for (const auto& range : merged.ranges_) {
      if (range.firstRow_ > range.lastRow_ || range.firstColumn_ > range.lastColumn_ ||
          range.lastColumn_ >= exporting::kSheetColumns ||
          (range.firstRow_ == range.lastRow_ && range.firstColumn_ == range.lastColumn_)) {
        continue;
      }
      if (overlaps(range)) {
        ++dropped;
        continue;
      }
      for (std::uint32_t c = range.firstColumn_; c <= range.lastColumn_; ++c)
        taken[c].emplace(range.firstRow_, range.lastRow_);
      worksheet_merge_range(sheet, range.firstRow_, static_cast<lxw_col_t>(range.firstColumn_),
                            range.lastRow_, static_cast<lxw_col_t>(range.lastColumn_), "", nullptr);
    }
  }
  if (dropped != 0)
    WriteLog(0, 0,
             "Merged ranges overlapping others left out of the export: " + std::to_string(dropped),
             true);
}

// What the cells lost on their way into the new workbook, for the log.
struct CellLosses {
  std::size_t refused = 0;  // cells libxlsxwriter would not take
  std::size_t cut = 0;      // texts longer than a cell holds
};

lxw_error WriteCell(lxw_worksheet* sheet, const ExportCell& cell, XfFormats& formats,
                    CellLosses& losses, const NumberFormats& numbers, bool date1904) {
  lxw_format* format = formats.For(cell.xf_);
  const lxw_row_t row = cell.row_;
  const lxw_col_t column = cell.column_;
  switch (cell.kind_) {
    case ExportCell::Kind::Blank:
      if (!formats.Visible(cell.xf_)) return LXW_NO_ERROR;
      return worksheet_write_blank(sheet, row, column, format);
    case ExportCell::Kind::Number: {
      // The new format holds no NaN or infinity; the programs show such a result as #NUM!.
      if (!std::isfinite(cell.number_))
        return worksheet_write_string(sheet, row, column, "#NUM!", format);
      double value = cell.number_;
      // libxlsxwriter writes workbooks of the 1900 date system: a date of a 1904 workbook
      // keeps the day it shows. Times and plain numbers keep their values.
      const DateKind kind = numbers.KindOfXf(cell.xf_);
      if (date1904 && (kind == DateKind::Date || kind == DateKind::DateTime))
        value += kDays1900To1904;
      return worksheet_write_number(sheet, row, column, value, format);
    }
    case ExportCell::Kind::Text:
    case ExportCell::Kind::Error: {
      bool cut = false;
      const std::string text = CellText(cell.text_, cut);
      if (cut) ++losses.cut;
      if (text.empty())
        return format == nullptr ? LXW_NO_ERROR : worksheet_write_blank(sheet, row, column, format);
      return worksheet_write_string(sheet, row, column, text.c_str(), format);
    }
    case ExportCell::Kind::Boolean:
      return worksheet_write_boolean(sheet, row, column, cell.boolean_ ? 1 : 0, format);
  }
  return LXW_NO_ERROR;
}

struct BookDeleter {
  void operator()(lxw_workbook* book) const { lxw_workbook_free(book); }
};

// Builds the workbook at `temp`; false with `error` when it could not.
bool WriteWorkbook(const XlsDocument& document, const fs::path& temp, std::string& error,
                   const XlsDocument::SaveProgress& progress) {
  lxw_workbook_options options{};
  options.constant_memory = LXW_FALSE;
  options.tmpdir = nullptr;
  options.use_zip64 = LXW_FALSE;
  std::unique_ptr<lxw_workbook, BookDeleter> book(workbook_new_opt(temp.c_str(), &options));
  if (!book) {
    error = "cannot start the workbook (out of memory)";
    return false;
  }
  const Workbook& globals = document.workbook();
  const NumberFormats numbers(globals);
  XfFormats formats(book.get(), globals, numbers);
  const bool date1904 = globals.date1904_.value_ != 0;

  const std::vector<exporting::ExportedSheet> sheets = exporting::ExportedSheets(document);
  std::size_t written = 0;
  CellLosses losses;
  for (const exporting::ExportedSheet& exported : sheets) {
    const Worksheet& source = document.worksheets()[exported.index_];
    lxw_worksheet* sheet = AddWorksheet(book.get(), exported.name_, exported.index_ + 1);
    if (sheet == nullptr) {
      error = "cannot add the sheet \"" + exported.name_ + "\"";
      return false;
    }
    WriteColumns(sheet, source, formats);
    WriteRows(sheet, source, formats);
    WriteMergedRanges(sheet, source);
    exporting::ForEachCell(globals, source, [&](const ExportCell& cell) {
      const lxw_error status = WriteCell(sheet, cell, formats, losses, numbers, date1904);
      if (status == LXW_ERROR_MEMORY_MALLOC_FAILED) throw std::bad_alloc();
      if (status != LXW_NO_ERROR) ++losses.refused;
    });
    ++written;
    if (progress) progress(static_cast<int>(90 * written / sheets.size()));
  }
  if (losses.refused != 0) {
    WriteLog(0, 0, "Cells libxlsxwriter refused in the export: " + std::to_string(losses.refused),
             true);
  }
  if (losses.cut != 0) {
    WriteLog(0, 0,
             "Cell texts cut to the 32767 characters a cell holds in the export: " +
                 std::to_string(losses.cut),
             true);
  }

  errno = 0;
  const lxw_error status = workbook_close(book.release());
  if (status != LXW_NO_ERROR) {
    error = std::string("cannot write the workbook: ") + lxw_strerror(status);
    if (errno != 0) error += std::string(" (") + std::strerror(errno) + ")";
    return false;
  }
  return true;
}

}  // namespace

bool SaveXlsx(const XlsDocument& document, const fs::path& path, std::string& error,
              const XlsDocument::SaveProgress& progress) {
  const FlushLogRepeatsAtEnd flushLogs;
  error.clear();
  try {
    if (!document.report().loaded_) {
      error = "no recovered workbook to export";
      return false;
    }
    exporting::TemporaryFile temp;
    bool saved = temp.Begin(path, error);
    if (saved && progress) progress(0);
    saved = saved && WriteWorkbook(document, temp.path(), error, progress) && temp.Commit(error);
    if (!saved) {
      WriteLog(0, 0, "Failed to export " + path.string() + ": " + error, true);
      return false;
    }
    if (progress) progress(100);
    WriteLog(0, 0, "Exported the workbook as " + path.string(), false);
    return true;
  } catch (...) {
    WriteLog(0, 0, "Exception while exporting the workbook", true);
  }
  exporting::SetUnexpectedStop(error);
  return false;
}

}  // namespace tabulix
