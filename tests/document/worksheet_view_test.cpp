#include "document/worksheet_view.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "biff/byte_builder.hpp"
#include "biff/cell_block.hpp"
#include "biff/large_string.hpp"
#include "biff/workbook.hpp"
#include "biff/worksheet.hpp"

namespace tabulix {
namespace {

using test::ByteBuilder;

// Cell records, one field per call.
ByteBuilder NumberRecord(std::uint16_t row, std::uint16_t column, std::uint16_t xf, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  return ByteBuilder()
      .Header(0x0203, 14)
      .U16(row)
      .U16(column)
      .U16(xf)
      .U32(static_cast<std::uint32_t>(bits))         // IEEE double, low half
      .U32(static_cast<std::uint32_t>(bits >> 32));  // high half
}
ByteBuilder RkRecord(std::uint16_t row, std::uint16_t column, std::uint16_t xf, std::uint32_t rk) {
  return ByteBuilder().Header(0x027E, 10).U16(row).U16(column).U16(xf).U32(rk);
}
ByteBuilder BoolErrRecord(std::uint16_t row, std::uint16_t column, std::uint16_t xf,
                          std::uint8_t value, std::uint8_t isError) {
  return ByteBuilder().Header(0x0205, 8).U16(row).U16(column).U16(xf).U8(value).U8(isError);
}
ByteBuilder LabelSstRecord(std::uint16_t row, std::uint16_t column, std::uint16_t xf,
                           std::uint32_t index) {
  return ByteBuilder().Header(0x00FD, 10).U16(row).U16(column).U16(xf).U32(index);
}
ByteBuilder BlankRecord(std::uint16_t row, std::uint16_t column, std::uint16_t xf) {
  return ByteBuilder().Header(0x0201, 6).U16(row).U16(column).U16(xf);
}
// A formula "=1" with its cached result 1.0, under `code`.
ByteBuilder FormulaRecord(std::uint16_t code, std::uint16_t row, std::uint16_t column,
                          std::uint16_t xf) {
  return ByteBuilder()
      .Header(code, 25)
      .U16(row)
      .U16(column)
      .U16(xf)
      .U32(0)
      .U32(0x3FF00000)           // result 1.0
      .U16(0)                    // options
      .U32(0)                    // reserved
      .U16(3)                    // token bytes
      .Raw({0x1E, 0x01, 0x00});  // ptgInt 1
}
struct XfRk {
  std::uint16_t xf;
  std::uint32_t rk;
};
ByteBuilder MulRkRecord(std::uint16_t row, std::uint16_t firstColumn, std::vector<XfRk> entries) {
  ByteBuilder b;
  b.Header(0x00BD, static_cast<std::uint16_t>(6 + 6 * entries.size())).U16(row).U16(firstColumn);
  for (const XfRk& entry : entries) b.U16(entry.xf).U32(entry.rk);
  return b.U16(static_cast<std::uint16_t>(firstColumn + entries.size() - 1));  // last column
}

// RK numbers: an integer (bit 1), optionally in hundredths (bit 0), or the upper 30 bits
// of a double.
constexpr std::uint32_t IntegerRk(std::int32_t value, bool hundredths = false) {
  return (static_cast<std::uint32_t>(value) << 2) | 0x2 | (hundredths ? 0x1 : 0x0);
}
std::uint32_t DoubleRk(double value) {
  return static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(value) >> 32) & ~0x3u;
}

cells::CellBlock CellOf(const ByteBuilder& record) {
  cells::CellBlock cell;
  EXPECT_EQ(cell.Read(record.bytes(), 0), record.size());
  return cell;
}

// A sheet whose DIMENSIONS give `rows` and `columns` (last used plus one) and whose cell
// table holds `blocks` of cell records.
Worksheet SheetOf(std::uint32_t rows, std::uint16_t columns,
                  const std::vector<std::vector<ByteBuilder>>& blocks) {
  Worksheet sheet;
  sheet.Reset();
  sheet.dimensions_.lastRowPlus1_ = rows;
  sheet.dimensions_.lastColumnPlus1_ = columns;
  for (const auto& records : blocks) {
    auto& block = sheet.cellTable_.rowBlocks_.emplace_back();
    for (const ByteBuilder& record : records) block.cellBlocks_.push_back(CellOf(record));
  }
  return sheet;
}

LargeString StringOf(const ByteBuilder& bytes) {
  LargeString text;
  EXPECT_EQ(text.Read(bytes.bytes(), 0), bytes.size());
  return text;
}

// Globals whose shared strings are "Café" in 8-bit characters (Latin-1 0xE9) and "Мир" in
// 16-bit ones.
Workbook GlobalsWithStrings() {
  Workbook globals;
  globals.sst_.strings_.push_back(StringOf(ByteBuilder()
                                               .U16(4)  // characters
                                               .U8(0)   // flags: 8-bit
                                               .Raw({'C', 'a', 'f', 0xE9})));
  globals.sst_.strings_.push_back(StringOf(ByteBuilder()
                                               .U16(3)  // characters
                                               .U8(1)   // flags: 16-bit
                                               .U16(0x041C)
                                               .U16(0x0438)
                                               .U16(0x0440)));
  return globals;
}

TEST(ViewCell, HoldsOneValueAtATime) {
  ViewCell cell;
  EXPECT_EQ(cell.Type(), ViewCell::kEmpty);
  EXPECT_EQ(cell.GetInteger(), 0);
  EXPECT_EQ(cell.GetDouble(), 0.0);
  EXPECT_FALSE(cell.GetString());
  EXPECT_FALSE(cell.GetWString());
  EXPECT_FALSE(cell.TextUtf8());

  cell.SetString("abc");
  EXPECT_EQ(cell.Type(), ViewCell::kNarrow);
  EXPECT_EQ(cell.GetString(), "abc");
  EXPECT_EQ(cell.GetInteger(), 0);

  cell.SetWString(u"Мир");
  EXPECT_EQ(cell.Type(), ViewCell::kWide);
  EXPECT_FALSE(cell.GetString());
  EXPECT_EQ(cell.GetWString(), u"Мир");
  EXPECT_EQ(cell.TextUtf8(), "Мир");

  cell.SetInteger(-7);
  EXPECT_EQ(cell.Type(), ViewCell::kInteger);
  EXPECT_EQ(cell.GetDouble(), -7.0);
  EXPECT_FALSE(cell.GetWString());
  EXPECT_FALSE(cell.TextUtf8());

  // An empty text empties the cell, whatever it held.
  cell.SetString("");
  EXPECT_EQ(cell.Type(), ViewCell::kEmpty);
  cell.SetInteger(1);
  cell.SetWString(u"");
  EXPECT_EQ(cell.Type(), ViewCell::kEmpty);

  // Doubles truncate toward zero, and the ones no 32-bit integer holds saturate.
  cell.SetDouble(-2.9);
  EXPECT_EQ(cell.Type(), ViewCell::kDouble);
  EXPECT_EQ(cell.GetInteger(), -2);
  cell.SetDouble(std::nan(""));
  EXPECT_EQ(cell.GetInteger(), 0);
  cell.SetDouble(1e300);
  EXPECT_EQ(cell.GetInteger(), std::numeric_limits<std::int32_t>::max());
  cell.SetDouble(-1e300);
  EXPECT_EQ(cell.GetInteger(), std::numeric_limits<std::int32_t>::min());
}

TEST(WorksheetView, EachCellRecordFillsItsCell) {
  const Workbook globals = GlobalsWithStrings();
  const Worksheet sheet =
      SheetOf(10, 26,
              {{
                   NumberRecord(3, 2, 21, 2.5), NumberRecord(3, 3, 22, -2.5),
                   RkRecord(4, 0, 23, IntegerRk(7)), RkRecord(4, 1, 23, DoubleRk(1.5)),
                   RkRecord(4, 2, 23, IntegerRk(123, true)),  // 1.23
                   RkRecord(4, 3, 23, IntegerRk(500, true)),  // 5
                   BoolErrRecord(5, 0, 24, 1, 0),             // TRUE
                   BoolErrRecord(5, 1, 24, 0, 0),             // FALSE
                   BoolErrRecord(5, 2, 25, 0x07, 1),          // #DIV/0!
               },
               {
                   FormulaRecord(0x0006, 6, 0, 26),
                   FormulaRecord(0x0206, 6, 1, 27),  // the BIFF3 code some writers keep
                   LabelSstRecord(7, 0, 28, 0),
                   LabelSstRecord(7, 1, 29, 1),
                   LabelSstRecord(7, 2, 29, 2),  // beyond the table
                   BlankRecord(7, 3, 30),
                   // Columns 24 to 30 of a 26-column view; the second entry's XF is 0.
                   MulRkRecord(8, 24,
                               {{31, IntegerRk(1)},
                                {0, IntegerRk(2)},
                                {32, IntegerRk(3)},
                                {32, IntegerRk(4)},
                                {32, IntegerRk(5)},
                                {32, IntegerRk(6)},
                                {32, IntegerRk(7)}}),
               }});
  const WorksheetView view(globals, sheet, 4);
  EXPECT_EQ(view.SheetIndex(), 4u);
  ASSERT_EQ(view.RowCount(), 10u);
  ASSERT_EQ(view.ColumnCount(), 26u);
  const auto at = [&](std::uint32_t row, std::uint32_t column) -> const ViewCell& {
    const ViewCell* cell = view.CellAt(row, column);
    EXPECT_NE(cell, nullptr) << row << "," << column;
    static const ViewCell kNone;
    return cell != nullptr ? *cell : kNone;
  };

  EXPECT_EQ(at(3, 2).Type(), ViewCell::kDouble);
  EXPECT_EQ(at(3, 2).GetDouble(), 2.5);
  EXPECT_EQ(at(3, 2).GetInteger(), 2);
  EXPECT_EQ(at(3, 2).formatIndex_, 21);
  EXPECT_EQ(at(3, 3).GetInteger(), -2);
  EXPECT_EQ(at(3, 3).formatIndex_, 22);

  EXPECT_EQ(at(4, 0).Type(), ViewCell::kInteger);
  EXPECT_EQ(at(4, 0).GetInteger(), 7);
  EXPECT_EQ(at(4, 0).formatIndex_, 23);
  EXPECT_EQ(at(4, 1).Type(), ViewCell::kDouble);
  EXPECT_EQ(at(4, 1).GetDouble(), 1.5);
  // Hundredths in the integer form are no integer: 1.23 must not show as 1.
  EXPECT_EQ(at(4, 2).Type(), ViewCell::kDouble);
  EXPECT_DOUBLE_EQ(at(4, 2).GetDouble(), 1.23);
  EXPECT_EQ(at(4, 3).Type(), ViewCell::kInteger);
  EXPECT_EQ(at(4, 3).GetInteger(), 5);

  EXPECT_EQ(at(5, 0).Type(), ViewCell::kInteger);
  EXPECT_EQ(at(5, 0).GetInteger(), 1);
  EXPECT_EQ(at(5, 0).formatIndex_, 24);
  EXPECT_EQ(at(5, 1).Type(), ViewCell::kInteger);
  EXPECT_EQ(at(5, 1).GetInteger(), 0);
  EXPECT_EQ(at(5, 2).Type(), ViewCell::kEmpty);
  EXPECT_EQ(at(5, 2).formatIndex_, 0);

  EXPECT_EQ(at(6, 0).GetString(), "#FORMULA");
  EXPECT_EQ(at(6, 0).formatIndex_, 26);
  EXPECT_EQ(at(6, 1).GetString(), "#FORMULA");
  EXPECT_EQ(at(6, 1).formatIndex_, 27);

  // 8-bit shared strings are Latin-1 and come out as UTF-8; 16-bit ones stay wide.
  EXPECT_EQ(at(7, 0).Type(), ViewCell::kNarrow);
  EXPECT_EQ(at(7, 0).GetString(), "Caf\xC3\xA9");
  EXPECT_EQ(at(7, 0).formatIndex_, 28);
  EXPECT_EQ(at(7, 1).Type(), ViewCell::kWide);
  EXPECT_EQ(at(7, 1).GetWString(), u"Мир");
  EXPECT_EQ(at(7, 1).formatIndex_, 29);
  EXPECT_EQ(at(7, 2).Type(), ViewCell::kEmpty);
  EXPECT_EQ(at(7, 3).Type(), ViewCell::kEmpty);

  EXPECT_EQ(at(8, 24).GetInteger(), 1);
  EXPECT_EQ(at(8, 24).formatIndex_, 31);
  // An integer under XF 0 (where the repair points cells whose XF is gone) still shows.
  EXPECT_EQ(at(8, 25).Type(), ViewCell::kInteger);
  EXPECT_EQ(at(8, 25).GetInteger(), 2);
  EXPECT_EQ(view.CellAt(8, 26), nullptr);
}

TEST(WorksheetView, ItsSizeComesFromTheDimensionsAndIsCappedToTheCorner) {
  const Workbook globals;
  {
    // 5,000 rows and 40 columns: the corner of 101 by 26, nothing beyond it read.
    const Worksheet sheet = SheetOf(5000, 40,
                                    {{NumberRecord(0, 26, 15, 1), NumberRecord(100, 25, 15, 2)},
                                     {NumberRecord(101, 0, 15, 3)},
                                     // Back to an earlier row, as some writers do.
                                     {NumberRecord(2, 0, 15, 4)}});
    const WorksheetView view(globals, sheet, 0);
    EXPECT_EQ(view.RowCount(), 101u);
    EXPECT_EQ(view.ColumnCount(), 26u);
    ASSERT_NE(view.CellAt(100, 25), nullptr);
    EXPECT_EQ(view.CellAt(100, 25)->GetInteger(), 2);
    EXPECT_EQ(view.CellAt(0, 26), nullptr);
    EXPECT_EQ(view.CellAt(101, 0), nullptr);
    EXPECT_EQ(view.CellAt(2, 0)->GetInteger(), 4);
  }
  {
    // Rows are unsigned: DIMENSIONS of 40,001 rows hold 101, and a cell in row 40,000
    // (negative as a signed 16-bit value) lies beyond the corner, not before it.
    const Worksheet sheet =
        SheetOf(40001, 2, {{NumberRecord(40000, 0, 15, 2), NumberRecord(5, 1, 15, 1)}});
    const WorksheetView view(globals, sheet, 0);
    EXPECT_EQ(view.RowCount(), 101u);
    EXPECT_EQ(view.ColumnCount(), 2u);
    EXPECT_EQ(view.CellAt(5, 1)->GetInteger(), 1);
  }
  {
    // A sheet using its last row and last column states 65,536 rows and 256 columns:
    // sound sizes, capped like any other.
    const Worksheet sheet = SheetOf(65536, 256, {{NumberRecord(0, 0, 15, 1)}});
    const WorksheetView view(globals, sheet, 0);
    EXPECT_EQ(view.RowCount(), 101u);
    EXPECT_EQ(view.ColumnCount(), 26u);
    EXPECT_EQ(view.CellAt(0, 0)->GetInteger(), 1);
  }
  {
    // Sizes no sheet can have: an empty view, no cell filled.
    const Worksheet tooManyRows = SheetOf(70000, 10, {{NumberRecord(0, 0, 15, 1)}});
    const WorksheetView rowless(globals, tooManyRows, 0);
    EXPECT_EQ(rowless.RowCount(), 0u);
    EXPECT_EQ(rowless.ColumnCount(), 10u);
    EXPECT_EQ(rowless.CellAt(0, 0), nullptr);

    const Worksheet tooManyColumns = SheetOf(10, 257, {{NumberRecord(0, 0, 15, 1)}});
    const WorksheetView columnless(globals, tooManyColumns, 0);
    EXPECT_EQ(columnless.RowCount(), 10u);
    EXPECT_EQ(columnless.ColumnCount(), 0u);
    EXPECT_EQ(columnless.CellAt(0, 0), nullptr);
  }
}

TEST(WorksheetView, CellGrowsTheViewAndCellAtNeverDoes) {
  const Workbook globals;
  const Worksheet sheet = SheetOf(5000, 40, {{NumberRecord(3, 2, 15, 2.5)}});
  WorksheetView view(globals, sheet, 0);
  ASSERT_EQ(view.RowCount(), 101u);
  ASSERT_EQ(view.ColumnCount(), 26u);

  EXPECT_EQ(view.Cell(3, 2), view.CellAt(3, 2));
  EXPECT_EQ(view.CellAt(200, 30), nullptr);
  EXPECT_EQ(view.RowCount(), 101u);

  const ViewCell* grown = view.Cell(200, 30);
  ASSERT_NE(grown, nullptr);
  EXPECT_EQ(grown->Type(), ViewCell::kEmpty);
  EXPECT_EQ(view.RowCount(), 201u);
  EXPECT_EQ(view.ColumnCount(), 31u);
  // The old rows got the new columns, the new rows have every column.
  ASSERT_NE(view.CellAt(0, 30), nullptr);
  EXPECT_EQ(view.CellAt(0, 30)->Type(), ViewCell::kEmpty);
  ASSERT_NE(view.CellAt(150, 0), nullptr);
  EXPECT_EQ(view.CellAt(3, 2)->GetDouble(), 2.5);

  EXPECT_EQ(view.Cell(70000, 0), nullptr);
  EXPECT_EQ(view.Cell(65536, 0), nullptr);
  EXPECT_EQ(view.Cell(0, 256), nullptr);
  EXPECT_EQ(view.RowCount(), 201u);
  EXPECT_EQ(view.ColumnCount(), 31u);
}

}  // namespace
}  // namespace tabulix
