#include "app/workbook_preview.hpp"

#include <gtest/gtest.h>

#include <QLabel>
#include <QTabBar>
#include <memory>
#include <string>
#include <vector>

#include "app/flex_grid.hpp"
#include "app/sheet_preview.hpp"
#include "document/cell_text.hpp"
#include "document/preview_format.hpp"
#include "document/xls_document.hpp"
#include "support/test_support.hpp"

namespace tabulix::app {
namespace {

std::unique_ptr<XlsDocument> LoadReal(const std::string& name) {
  auto document = std::make_unique<XlsDocument>();
  if (!document->Load((test::CorpusDir() / "real" / name).string())) return nullptr;
  return document;
}

// Names the tabs as the main window does and shows the first page.
void ShowWorkbook(WorkbookPreview& preview, const XlsDocument& document) {
  preview.DeleteAllItems();
  const auto sheets = WorkbookPreview::PreviewSheets(document);
  for (std::size_t i = 0; i < sheets.size(); ++i)
    preview.InsertItem(static_cast<int>(i), sheets[i].second);
  preview.SetWorkbook(&document);
  preview.SetCurSel(0);
  preview.ShowPage();
}

// Selects tab `index` as the user does.
void ClickTab(WorkbookPreview& preview, int index) {
  preview.findChild<QTabBar*>()->setCurrentIndex(index);
}

void ExpectHeadersOnly(CMSFlexGrid& grid) {
  EXPECT_EQ(grid.GetTextMatrix(0, 0), QStringLiteral(" "));
  EXPECT_EQ(grid.GetColWidth(0), 400);
  for (int j = 1; j <= 26; ++j) {
    EXPECT_EQ(grid.GetTextMatrix(0, j), QString(QChar(u'A' + j - 1)));
    EXPECT_TRUE(grid.CellFontBoldAt(0, j));
    EXPECT_EQ(grid.CellAlignmentAt(0, j), kPreviewAlignCentre);
    EXPECT_EQ(grid.GetColWidth(j), 1000);
  }
  for (int j = 1; j <= 100; ++j) {
    EXPECT_EQ(grid.GetTextMatrix(j, 0), QString::number(j));
    EXPECT_TRUE(grid.CellFontBoldAt(j, 0));
    EXPECT_EQ(grid.CellAlignmentAt(j, 0), kPreviewAlignCentre);
  }
  int texts = 0;
  for (int r = 1; r <= 100; ++r) {
    for (int c = 1; c <= 26; ++c) texts += grid.GetTextMatrix(r, c).isEmpty() ? 0 : 1;
  }
  EXPECT_EQ(texts, 0);
}

// How many shown cells got each kind of formatting.
struct Looks {
  int texts = 0;
  int fills = 0;
  int colours = 0;
  int bold = 0;
  int aligned = 0;
};

// Every shown cell of `page` against the view of report sheet `sheet`: the shared text
// and look, in grid cell (r + 1, c + 1); and the widths its column records give.
Looks ExpectPageShows(WorkbookPreview& preview, int page, const XlsDocument& document,
                      std::size_t sheet) {
  Looks looks;
  CMSFlexGrid& grid = preview.Grid(page);
  const WorksheetView& view = document.sheetViews().at(sheet);
  for (std::uint32_t r = 0; r < 100; ++r) {
    for (std::uint32_t c = 0; c < 26; ++c) {
      const int row = static_cast<int>(r) + 1;
      const int col = static_cast<int>(c) + 1;
      const ViewCell* cell = view.CellAt(r, c);
      const auto text =
          cell != nullptr ? PreviewCellText(document.workbook(), *cell) : std::nullopt;
      if (!text) {
        EXPECT_TRUE(grid.GetTextMatrix(row, col).isEmpty()) << r << "," << c;
        continue;
      }
      ++looks.texts;
      EXPECT_EQ(grid.GetTextMatrix(row, col), QString::fromStdString(*text)) << r << "," << c;
      const PreviewFormat format = PreviewFormatOf(document.workbook(), cell->formatIndex_);
      const auto gridColour = [](std::optional<std::uint32_t> rgb) {
        return rgb ? std::optional<std::uint32_t>(GridColour(*rgb)) : std::nullopt;
      };
      EXPECT_EQ(grid.CellBackColorAt(row, col), gridColour(format.fill)) << r << "," << c;
      EXPECT_EQ(grid.CellForeColorAt(row, col), gridColour(format.text)) << r << "," << c;
      EXPECT_EQ(grid.CellFontBoldAt(row, col), format.bold) << r << "," << c;
      EXPECT_EQ(grid.CellAlignmentAt(row, col), format.alignment) << r << "," << c;
      looks.fills += format.fill ? 1 : 0;
      looks.colours += format.text ? 1 : 0;
      looks.bold += format.bold ? 1 : 0;
      looks.aligned += format.alignment != 0 ? 1 : 0;
    }
  }
  std::vector<int> widths(27, 1000);
  widths[0] = 400;
  for (const auto& [column, twips] : PreviewColumnWidths(document.worksheets().at(sheet)))
    widths.at(column + 1) = static_cast<int>(twips);
  for (int col = 0; col < 27; ++col) EXPECT_EQ(grid.GetColWidth(col), widths[col]) << col;
  return looks;
}

TEST(WorkbookPreview, GridsShowOnlyTheirHeadersUntilAWorkbookFillsThem) {
  test::LogCapture logs;
  WorkbookPreview preview;
  preview.Prepare();
  EXPECT_FALSE(preview.Busy());
  for (int p = 0; p < WorkbookPreview::kPageCount; ++p) {
    EXPECT_FALSE(preview.PageFilled(p));
    ExpectHeadersOnly(preview.Grid(p));
  }
  const auto* page = qobject_cast<const SheetPreview2*>(preview.Grid(0).parentWidget());
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->Note().text(),
            QStringLiteral("NOTE:The preview is partial and with limited functionality. The "
                           "recovered file will have all formating preserved."));
  // No workbook: nothing to fill from, and the page stays unfilled for the next one.
  preview.FillPage(0);
  EXPECT_FALSE(preview.PageFilled(0));

  // A shown workbook, then a reset: the grids lose every cell, width and look again.
  const auto document = LoadReal("47245_test.xls");
  ASSERT_TRUE(document);
  preview.SetWorkbook(document.get());
  preview.FillPage(1);
  preview.Grid(1).SetColWidth(3, 2400);
  preview.SetWorkbook(nullptr);
  preview.ClearGrids();
  for (int p = 0; p < WorkbookPreview::kPageCount; ++p) {
    EXPECT_FALSE(preview.PageFilled(p));
    ExpectHeadersOnly(preview.Grid(p));
    EXPECT_FALSE(preview.Grid(p).CellBackColorAt(1, 1).has_value());
  }
}

TEST(WorkbookPreview, TheFirstPageShowsItsSheetsTextsColoursAndWidthsOnly) {
  test::LogCapture logs;
  const auto document = LoadReal("47245_test.xls");
  ASSERT_TRUE(document);
  WorkbookPreview preview;
  preview.Prepare();
  ShowWorkbook(preview, *document);
  EXPECT_TRUE(preview.PageFilled(0));
  for (int p = 1; p < WorkbookPreview::kPageCount; ++p) EXPECT_FALSE(preview.PageFilled(p)) << p;
  EXPECT_EQ(preview.VisiblePage(), 0);

  const Looks looks = ExpectPageShows(preview, 0, *document, 0);
  // Not a vacuous comparison: the sheet has every kind of look.
  EXPECT_GT(looks.texts, 100);
  EXPECT_GT(looks.fills, 0);
  EXPECT_GT(looks.colours, 0);
  EXPECT_GT(looks.bold, 0);
  EXPECT_GT(looks.aligned, 0);
  EXPECT_EQ(logs.CountError("Could Not Set data to grid"), 0);
  EXPECT_EQ(logs.CountError("Could Not Set column width"), 0);
}

TEST(WorkbookPreview, FiveTabsAndEachPageFillsOnceOnFirstSelectionWhenNotBusy) {
  test::LogCapture logs;
  const auto document = LoadReal("45538_classic_Footer.xls");  // seven worksheets
  ASSERT_TRUE(document);
  WorkbookPreview preview;
  preview.Prepare();
  ShowWorkbook(preview, *document);
  ASSERT_EQ(preview.ItemCount(), 5);
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(preview.ItemText(i), QString::fromStdString(document->report().sheets_[i].name_));

  // Selecting the fourth tab shows and fills its page.
  ClickTab(preview, 3);
  EXPECT_EQ(preview.VisiblePage(), 3);
  ASSERT_TRUE(preview.PageFilled(3));
  EXPECT_GT(ExpectPageShows(preview, 3, *document, 3).texts, 0);
  // Coming back to it does not fill it again: what the page shows stays.
  preview.Grid(3).SetTextMatrix(1, 1, QStringLiteral("kept"));
  ClickTab(preview, 1);
  EXPECT_EQ(preview.VisiblePage(), 1);
  ClickTab(preview, 3);
  EXPECT_EQ(preview.Grid(3).GetTextMatrix(1, 1), QStringLiteral("kept"));

  // While busy a tab only switches pages; once not, it fills on the next selection.
  preview.SetBusy(true);
  ClickTab(preview, 4);
  EXPECT_EQ(preview.VisiblePage(), 4);
  EXPECT_FALSE(preview.PageFilled(4));
  preview.SetBusy(false);
  ClickTab(preview, 0);
  ClickTab(preview, 4);
  EXPECT_TRUE(preview.PageFilled(4));
  ExpectPageShows(preview, 4, *document, 4);

  // Setting the tabs from the program selects nothing: the page shown stays.
  preview.SetCurSel(2);
  EXPECT_EQ(preview.VisiblePage(), 4);
  EXPECT_FALSE(preview.PageFilled(2));
  EXPECT_EQ(preview.GetCurSel(), 2);
  preview.DeleteAllItems();
  EXPECT_EQ(preview.GetCurSel(), -1);
  EXPECT_EQ(preview.VisiblePage(), 4);
}

TEST(WorkbookPreview, ABigSheetShowsRowsOneToHundredAndColumnsAToZ) {
  test::LogCapture logs;
  const auto document = LoadReal("36947.xls");  // 447 rows by 31 columns
  ASSERT_TRUE(document);
  const WorksheetView& view = document->sheetViews().at(0);
  ASSERT_EQ(view.RowCount(), 101u);  // the view holds one row more than is shown
  ASSERT_EQ(view.ColumnCount(), 26u);
  WorkbookPreview preview;
  preview.Prepare();
  ShowWorkbook(preview, *document);
  CMSFlexGrid& grid = preview.Grid(0);
  EXPECT_EQ(grid.rowCount(), 100);
  EXPECT_EQ(grid.columnCount(), 26);
  EXPECT_GT(ExpectPageShows(preview, 0, *document, 0).texts, 500);
  EXPECT_EQ(grid.GetTextMatrix(100, 0), QStringLiteral("100"));
  EXPECT_EQ(grid.GetTextMatrix(0, 26), QStringLiteral("Z"));
  EXPECT_EQ(logs.CountError("Could Not Set data to grid"), 0);
}

TEST(WorkbookPreview, TabsShowWorksheetsOnlyUnderTheirOwnNamesInAnyScript) {
  test::LogCapture logs;
  // Worksheet, two charts, worksheet, two charts, three worksheets: the second tab is the
  // fourth sheet, and its page shows that sheet's cells.
  const auto charts = LoadReal("34775.xls");
  ASSERT_TRUE(charts);
  const auto sheets = WorkbookPreview::PreviewSheets(*charts);
  std::vector<std::size_t> indexes;
  for (const auto& [index, name] : sheets) {
    indexes.push_back(index);
    EXPECT_EQ(name, QString::fromStdString(charts->report().sheets_.at(index).name_));
  }
  EXPECT_EQ(indexes, (std::vector<std::size_t>{0, 3, 6, 7, 8}));
  WorkbookPreview preview;
  preview.Prepare();
  ShowWorkbook(preview, *charts);
  ClickTab(preview, 1);
  ASSERT_TRUE(preview.PageFilled(1));
  EXPECT_GT(ExpectPageShows(preview, 1, *charts, 3).texts, 0);

  // A Japanese sheet name comes out as it is written, and so do its cells.
  const auto japanese = LoadReal("12561-1.xls");
  ASSERT_TRUE(japanese);
  ShowWorkbook(preview, *japanese);
  ASSERT_EQ(preview.ItemCount(), 1);
  EXPECT_EQ(preview.ItemText(0), QString::fromUtf16(u"\u4F5C\u696D\u30EA\u30B9\u30C8"));
  EXPECT_GT(ExpectPageShows(preview, 0, *japanese, 0).texts, 100);
  // A name with an ampersand is no keyboard shortcut.
  preview.InsertItem(1, QStringLiteral("R&D"));
  EXPECT_EQ(preview.ItemText(1), QStringLiteral("R&D"));
  EXPECT_EQ(preview.findChild<QTabBar*>()->tabText(1), QStringLiteral("R&&D"));
}

}  // namespace
}  // namespace tabulix::app
