// FORMULA cells with the records that travel with them, and the STRING result record.

#include <gtest/gtest.h>

#include <bit>
#include <vector>

#include "biff/cell_block.hpp"
#include "biff/formula_records.hpp"
#include "byte_builder.hpp"
#include "cell_test_util.hpp"
#include "support/test_support.hpp"

namespace tabulix::cells {
namespace {

using test::ByteBuilder;
using test::LogCapture;
using test::WrittenBytes;
using Bytes = std::vector<std::uint8_t>;

// A FORMULA whose result bytes are `result` and whose tokens are 5 bytes.
ByteBuilder& AddFormula(ByteBuilder& b, std::uint16_t row, std::uint64_t result) {
  b.Header(0x0006, 18 + 7).U16(row).U16(2).U16(15).U32(static_cast<std::uint32_t>(result));
  b.U32(static_cast<std::uint32_t>(result >> 32)).U16(0x0008).U16(0xABCD);
  return b.U16(0x1234).U16(3).Raw({0x1E, 0x05, 0x00});
}

constexpr std::uint64_t kStringResult = 0xFFFF000000000000ull;

TEST(CellFormula, WithSharedFormulaAndStringWritesBackByteIdentical) {
  LogCapture log;
  ByteBuilder b;
  AddFormula(b, 50000, kStringResult);
  b.Header(0x00BC, 8 + 4).U16(50000).U16(50010).U8(2).U8(2).U16(0x0A00).Raw({1, 2, 3, 4});
  b.Header(0x0207, 3 + 5).U16(5).U8(0).Raw({'h', 'e', 'l', 'l', 'o'});
  b.Header(0x023E, 0);  // the next record, not the formula's
  const Bytes bytes = b.bytes();

  Formula formula;
  const std::uint32_t taken = formula.Read(bytes, 0);
  ASSERT_EQ(taken, bytes.size() - 4);
  EXPECT_EQ(formula.row_, 50000);
  EXPECT_EQ(formula.kind_, ShrFmla::kCode);
  EXPECT_EQ(formula.shrFmla_.firstRow_, 50000);
  EXPECT_EQ(formula.shrFmla_.lastRow_, 50010);
  EXPECT_EQ(formula.shrFmla_.formula_, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(formula.formula_.size(), 7u);
  EXPECT_TRUE(formula.hasString_);
  EXPECT_EQ(formula.resultKind(), Formula::ResultKind::String);
  EXPECT_EQ(formula.resultString(), "hello");
  EXPECT_EQ(formula.RecordSize(), taken);
  EXPECT_EQ(WrittenBytes(formula), Bytes(bytes.begin(), bytes.end() - 4));
  EXPECT_TRUE(log.ErrorLines().empty());

  // Copies are deep: the copy's companion is its own.
  Formula copy = formula;
  copy.shrFmla_.formula_.clear();
  EXPECT_EQ(formula.shrFmla_.formula_.size(), 4u);
}

TEST(CellFormula, CachedResultKinds) {
  const auto kindOf = [](std::uint64_t result) {
    ByteBuilder b;
    AddFormula(b, 1, result);
    Formula formula;
    EXPECT_EQ(formula.Read(b.bytes(), 0), b.size());
    return formula;
  };
  const Formula number = kindOf(std::bit_cast<std::uint64_t>(-2.5));
  EXPECT_EQ(number.resultKind(), Formula::ResultKind::Number);
  EXPECT_EQ(number.resultNumber(), -2.5);
  const Formula boolean = kindOf(0xFFFF000000010001ull);
  EXPECT_EQ(boolean.resultKind(), Formula::ResultKind::Boolean);
  EXPECT_TRUE(boolean.resultBoolean());
  const Formula error = kindOf(0xFFFF000000070002ull);
  EXPECT_EQ(error.resultKind(), Formula::ResultKind::Error);
  EXPECT_EQ(error.resultError(), 0x07);
  EXPECT_EQ(kindOf(0xFFFF000000000003ull).resultKind(), Formula::ResultKind::EmptyString);
  EXPECT_FALSE(kindOf(0xFFFF000000000003ull).hasString_);
}

TEST(CellFormula, ArrayAndTableCompanionsAndAnEmptyString) {
  LogCapture log;
  ByteBuilder b;
  AddFormula(b, 1, kStringResult);
  b.Header(0x0221, 12 + 3).U16(1).U16(4).U8(0).U8(3).U16(1).U32(0).Raw({9, 8, 7});
  b.Header(0x0207, 0);  // an empty STRING: still the formula's, still written back
  const Bytes withArray = b.bytes();
  Formula formula;
  ASSERT_EQ(formula.Read(withArray, 0), withArray.size());
  EXPECT_EQ(formula.kind_, Array::kCode);
  EXPECT_EQ(formula.array_.lastColumn_, 3);
  EXPECT_EQ(WrittenBytes(formula), withArray);

  ByteBuilder t;
  AddFormula(t, 1, 0);
  t.Header(0x0036, 16).U16(1).U16(2).U8(3).U8(4).U16(5).U16(6).U16(7).U16(8).U16(9);
  const Bytes withTable = t.bytes();
  ASSERT_EQ(formula.Read(withTable, 0), withTable.size());
  EXPECT_EQ(formula.kind_, Table::kCode);
  EXPECT_FALSE(formula.hasString_) << "reading again replaces everything";
  EXPECT_EQ(formula.table_.inputColumn2_, 9);
  EXPECT_EQ(WrittenBytes(formula), withTable);
  // The empty STRING is not sound text: it is reported, once, when read.
  EXPECT_EQ(log.CountError("Error reading  Record"), 1);
}

TEST(CellFormula, TableUnderItsBiff8CodeAndFormulasUnderOlderCodesAreKept) {
  LogCapture log;
  // TABLE as BIFF8 writers code it (0x0236), then the formula's STRING: both the formula's.
  ByteBuilder b;
  AddFormula(b, 26, kStringResult);
  b.Header(0x0236, 16).U16(26).U16(27).U8(2).U8(4).U16(4).U16(25).U16(1).U16(0xFFFF).U16(0);
  b.Header(0x0207, 7).U16(4).U8(0).Raw({'1', '0', '3', 'a'});
  const Bytes bytes = b.bytes();
  CellBlock cell;
  ASSERT_EQ(cell.Read(bytes, 0), bytes.size());
  const Formula* formula = cell.As<Formula>();
  ASSERT_NE(formula, nullptr);
  EXPECT_EQ(formula->kind_, Table::kBiff8Code);
  EXPECT_EQ(formula->table_.inputColumn1_, 1);
  EXPECT_EQ(formula->resultString(), "103a");
  EXPECT_EQ(WrittenBytes(cell), bytes);

  // A FORMULA under the BIFF4 code: a cell of the table, written back as it came.
  ByteBuilder old;
  AddFormula(old, 3, std::bit_cast<std::uint64_t>(3.0));
  Bytes formula4 = old.bytes();
  formula4[1] = 0x04;
  EXPECT_TRUE(IsCellCode(0x0406));
  ASSERT_EQ(cell.Read(formula4, 0), formula4.size());
  EXPECT_EQ(cell.type_, 0x0406);
  EXPECT_EQ(cell.As<Formula>()->resultNumber(), 3.0);
  EXPECT_EQ(WrittenBytes(cell), formula4);
  EXPECT_TRUE(log.ErrorLines().empty());
}

TEST(CellFormula, StringRecordsDecodeAsFarAsTheyGoAndWriteBackUnchanged) {
  LogCapture log;
  {
    // 16-bit text split over a CONTINUE whose piece is 8-bit: read whole, kept as bytes.
    const Bytes bytes = ByteBuilder()
                            .Header(0x0207, 7)
                            .U16(4)
                            .U8(1)
                            .U16(0x0416)
                            .U16('x')
                            .Header(0x003C, 3)
                            .U8(0)
                            .U8('y')
                            .U8('z')
                            .bytes();
    String string;
    ASSERT_EQ(string.Read(bytes, 0), bytes.size());
    EXPECT_TRUE(string.IsSound());
    EXPECT_EQ(string.Text(), "\xD0\x96xyz");
    EXPECT_EQ(WrittenBytes(string), bytes);
    EXPECT_TRUE(log.ErrorLines().empty());
  }
  {
    // 16-bit characters cut in half (an odd count of character bytes): reported, and the
    // whole characters decoded; the bytes go back as they came.
    const Bytes bytes = ByteBuilder().Header(0x0207, 6).U16(2).U8(1).U16('q').U8(0x41).bytes();
    String string;
    ASSERT_EQ(string.Read(bytes, 0), bytes.size());
    EXPECT_EQ(log.CountError("Error reading  Record"), 1);
    EXPECT_EQ(string.Text(), "q");
    EXPECT_EQ(WrittenBytes(string), bytes);
  }
  {
    // A count that lies far beyond the data.
    const Bytes bytes = ByteBuilder().Header(0x0207, 5).U16(60000).U8(0).U8('o').U8('k').bytes();
    String string;
    ASSERT_EQ(string.Read(bytes, 0), bytes.size());
    EXPECT_EQ(log.CountError("Error reading  Record"), 2);
    EXPECT_EQ(string.Text(), "ok");
    EXPECT_EQ(WrittenBytes(string), bytes);
  }
  {
    String string;
    string.SetText("\xE6\x97\xA5");
    const Bytes written = WrittenBytes(string);
    EXPECT_EQ(written, ByteBuilder().Header(0x0207, 5).U16(1).U8(1).U16(0x65E5).bytes());
  }
}

TEST(CellFormula, DamagedFormulasKeepTheWalkAligned) {
  LogCapture log;
  // Too short for its fields: kept as read, written back unchanged.
  const Bytes shortFormula = ByteBuilder().Header(0x0006, 10).U16(1).U16(2).U16(3).U32(4).bytes();
  Formula formula;
  ASSERT_EQ(formula.Read(shortFormula, 0), shortFormula.size());
  EXPECT_TRUE(formula.asRead_);
  EXPECT_EQ(formula.RecordSize(), shortFormula.size());
  EXPECT_EQ(WrittenBytes(formula), shortFormula);
  EXPECT_EQ(log.CountError("Error reading Formula Record"), 1);

  // A companion whose length runs past the stream is not taken; the formula stands.
  ByteBuilder b;
  AddFormula(b, 1, 0);
  b.Header(0x00BC, 40).U16(1);
  ASSERT_EQ(formula.Read(b.bytes(), 0), 4u + 25);
  EXPECT_EQ(formula.kind_, 0);
  EXPECT_EQ(log.CountError("Error reading Formula::ShrFmla Record"), 1);

  // Through a cell block, the formula is boxed and reachable by its type.
  CellBlock cell;
  ASSERT_EQ(cell.Read(b.bytes(), 0), 29u);
  EXPECT_EQ(cell.type_, Formula::kCode);
  ASSERT_NE(cell.As<Formula>(), nullptr);
  EXPECT_EQ(cell.As<Number>(), nullptr);
  EXPECT_EQ(cell.Row(), 1);
  EXPECT_EQ(cell.Column(), 2);
}

}  // namespace
}  // namespace tabulix::cells
