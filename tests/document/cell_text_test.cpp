#include "document/cell_text.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "biff/workbook.hpp"
#include "document/worksheet_view.hpp"
#include "document/xls_document.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

ViewCell Number(double value, std::uint16_t xf = 0, bool integer = false) {
  ViewCell cell;
  if (integer) {
    cell.SetInteger(static_cast<std::int32_t>(value));
  } else {
    cell.SetDouble(value);
  }
  cell.formatIndex_ = xf;
  return cell;
}

TEST(CellText, NumbersShowAsTheShortestTextThatReadsBack) {
  const Workbook workbook;  // no XFs: nothing is formatted
  const auto text = [&](double value) { return *PreviewCellText(workbook, Number(value)); };
  EXPECT_EQ(text(0.1), "0.1");
  EXPECT_EQ(text(1.0), "1");
  EXPECT_EQ(text(1.0 / 3.0), "0.3333333333333333");
  EXPECT_EQ(text(100000.0), "100000");  // not "1e+05"
  EXPECT_EQ(text(1e21), "1e+21");
  EXPECT_EQ(text(1e300), "1e+300");
  EXPECT_EQ(text(1e-7), "0.0000001");
  EXPECT_EQ(text(1.5e-8), "1.5e-08");
  EXPECT_EQ(text(-0.0), "0");
  EXPECT_EQ(text(std::numeric_limits<double>::quiet_NaN()), "#NUM!");
  EXPECT_EQ(PreviewCellText(workbook, Number(-2147483648.0, 0, true)), "-2147483648");

  // Every text reads back as the double it came from, over the whole range of magnitudes.
  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) {
    const double value = std::ldexp(static_cast<double>(random() >> 11) * (i % 2 ? -1 : 1),
                                    static_cast<int>(random() % 2000) - 1100);
    const std::string shown = text(value);
    double back = 0;
    const auto result = std::from_chars(shown.data(), shown.data() + shown.size(), back);
    ASSERT_TRUE(result.ec == std::errc() && result.ptr == shown.data() + shown.size()) << shown;
    ASSERT_EQ(back, value) << shown;
  }
}

TEST(CellText, DateAndTimeFormatsShowAPlaceholderAndTextsShowAsUtf8) {
  int dateFormats = 0;
  for (std::uint32_t index = 0; index <= 0xFFFF; ++index)
    dateFormats += IsDateTimeFormatIndex(static_cast<std::uint16_t>(index)) ? 1 : 0;
  EXPECT_EQ(dateFormats, 8 + 10 + 9 + 2);

  // XF i carries number format `formats[i]`; XF 7 does not exist.
  Workbook workbook;
  const std::vector<std::uint16_t> formats = {0, 14, 22, 1432, 2232, 47, 58};
  workbook.xfs_.resize(formats.size());
  for (std::size_t i = 0; i < formats.size(); ++i) workbook.xfs_[i].formatIndex_ = formats[i];
  const std::vector<bool> date = {false, true, false, true, true, false, true, false};
  for (std::uint16_t xf = 0; xf < date.size(); ++xf) {
    EXPECT_EQ(PreviewCellText(workbook, Number(45000.5, xf)), date[xf] ? "#DATE/TIME" : "45000.5");
    // A whole date is stored as an integer as often as a double.
    EXPECT_EQ(PreviewCellText(workbook, Number(45000, xf, true)),
              date[xf] ? "#DATE/TIME" : "45000");
  }

  ViewCell cell;
  EXPECT_EQ(PreviewCellText(workbook, cell), std::nullopt);
  cell.SetString("caf\xC3\xA9");
  cell.formatIndex_ = 1;  // texts are never dates
  EXPECT_EQ(PreviewCellText(workbook, cell), "caf\xC3\xA9");
  cell.SetWString(u"\u65E5 \U0001F600 \xD800");  // an unpaired surrogate at the end
  EXPECT_EQ(PreviewCellText(workbook, cell), "\xE6\x97\xA5 \xF0\x9F\x98\x80 \xEF\xBF\xBD");
}

// A real file with dates in view: every cell xlrd takes for a date (79, says the corpus
// manifest) shows as one, and a file without dates shows none.
TEST(CellText, DatesOfRealFilesShowAsDates) {
  test::LogCapture logs;
  for (const auto& [name, dates] : {std::pair{"12561-1.xls", 79}, std::pair{"12561-2.xls", 0}}) {
    XlsDocument document;
    ASSERT_TRUE(document.Load((test::CorpusDir() / "real" / name).string())) << name;
    int shown = 0;
    for (const WorksheetView& view : document.sheetViews()) {
      for (std::uint32_t r = 0; r < view.RowCount(); ++r) {
        for (std::uint32_t c = 0; c < view.ColumnCount(); ++c)
          shown += PreviewCellText(document.workbook(), *view.CellAt(r, c)) == "#DATE/TIME";
      }
    }
    EXPECT_EQ(shown, dates) << name;
  }
}

}  // namespace
}  // namespace tabulix
