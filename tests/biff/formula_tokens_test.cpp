// The formula token check on formulas built token by token: each kind of token at its exact
// size, and the faults damage leaves in formulas (a token cut short, a kind no token has, a
// function no index names, a column past the sheet, a pointer token out of place, extra data
// shorter than the tokens announce).

#include "biff/formula_tokens.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "biff/formula_records.hpp"
#include "byte_builder.hpp"
#include "support/test_support.hpp"

namespace tabulix::cells {
namespace {

using test::ByteBuilder;
using Bytes = std::vector<std::uint8_t>;

// Tokens by hand: the kind byte, then the fields.
ByteBuilder& Int(ByteBuilder& b, std::uint16_t value = 1) { return b.U8(0x1E).U16(value); }
ByteBuilder Int(ByteBuilder&& b, std::uint16_t value = 1) { return Int(b, value); }
ByteBuilder& FuncVar(ByteBuilder& b, std::uint8_t arguments, std::uint16_t function) {
  return b.U8(0x22).U8(arguments).U16(function);
}
FormulaTokenCheck Check(const ByteBuilder& tokens, const Bytes& extra = {}, bool shared = false) {
  return CheckFormulaTokens(tokens.bytes(), extra, shared);
}

enum class Needs { None, Names, ExternSheet };
struct Case {
  std::string name;
  Bytes tokens;
  Bytes extra = {};
  bool shared = false;
  Needs needs = Needs::None;
};

std::vector<Case> OneOfEachKind() {
  std::vector<Case> cases = {
      {"PtgInt", {0x1E, 7, 0}},
      {"PtgNum", ByteBuilder().U8(0x1F).U32(0).U32(0x3FF00000).bytes()},
      {"PtgBool", {0x1D, 1}},
      {"PtgErr", {0x1C, 0x2A}},
      {"PtgMissArg", {0x16}},
      {"PtgStr 8-bit", {0x17, 3, 0, 'a', 'b', 'c'}},
      {"PtgStr 16-bit", {0x17, 2, 1, 0xA9, 0x03, 'b', 0}},
      {"PtgArray", ByteBuilder().U8(0x40).Fill(7).bytes(),  // one number, one string
       ByteBuilder()
           .U8(1)
           .U16(0)
           .U8(0x01)
           .U32(0)
           .U32(0x40080000)
           .U8(0x02)
           .U16(1)
           .U8(0)
           .U8('x')
           .bytes()},
      {"PtgMemArea",
       ByteBuilder().U8(0x26).U32(0).U16(9).U8(0x25).U16(0).U16(3).U16(0).U16(2).bytes(),
       ByteBuilder().U16(1).U16(0).U16(3).U16(0).U16(2).bytes()},
      {"PtgMemErr", ByteBuilder().U8(0x47).U32(0).U16(5).U8(0x2A).U32(0).bytes()},
      {"PtgMemNoMem", ByteBuilder().U8(0x68).U32(0).U16(5).U8(0x24).U16(0).U16(0).bytes()},
      {"PtgMemFunc", ByteBuilder().U8(0x29).U16(5).U8(0x24).U16(0).U16(0).bytes()},
  };
  const auto add = [&](std::string name, const ByteBuilder& b) {
    cases.push_back({std::move(name), b.bytes()});
  };
  for (std::uint8_t op = 0x03; op <= 0x11; ++op) {
    ByteBuilder t;
    Int(Int(t)).U8(op);
    add("binary operator " + std::to_string(op), t);
  }
  for (std::uint8_t op = 0x12; op <= 0x15; ++op) {
    // Not last: a formula without its last unary operator is still a formula.
    ByteBuilder t;
    Int(Int(t).U8(op)).U8(0x03);
    add("unary operator " + std::to_string(op), t);
  }
  add("PtgFunc", Int(ByteBuilder()).U8(0x21).U16(24));  // ABS: one argument
  {
    ByteBuilder t;
    FuncVar(Int(Int(t)), 2, 4);  // SUM of two
    add("PtgFuncVar", t);
    ByteBuilder byName;  // a function called by name: the name is its first argument
    FuncVar(Int(byName.U8(0x23).U16(1).U16(0)), 2, 255);
    cases.push_back({"PtgFuncVar by name", byName.bytes(), {}, false, Needs::Names});
  }
  // The operand tokens in each of their three reference classes.
  struct Operand {
    const char* name;
    std::uint8_t kind;
    std::size_t dataBytes;
    bool shared;
    Needs needs;
  };
  for (const Operand& o : {Operand{"PtgName", 0x23, 4, false, Needs::Names},
                           {"PtgRef", 0x24, 4, false, Needs::None},
                           {"PtgArea", 0x25, 8, false, Needs::None},
                           {"PtgRefErr", 0x2A, 4, false, Needs::None},
                           {"PtgAreaErr", 0x2B, 8, false, Needs::None},
                           {"PtgRefN", 0x2C, 4, true, Needs::None},
                           {"PtgAreaN", 0x2D, 8, true, Needs::None},
                           {"PtgNameX", 0x39, 6, false, Needs::ExternSheet},
                           {"PtgRef3d", 0x3A, 6, false, Needs::ExternSheet},
                           {"PtgArea3d", 0x3B, 10, false, Needs::ExternSheet},
                           {"PtgRefErr3d", 0x3C, 6, false, Needs::ExternSheet},
                           {"PtgAreaErr3d", 0x3D, 10, false, Needs::ExternSheet}}) {
    for (const std::uint8_t classBits : {0x00, 0x20, 0x40}) {
      Bytes t(o.dataBytes + 1, 0);
      t[0] = static_cast<std::uint8_t>(o.kind + classBits);
      cases.push_back(
          {std::string(o.name) + " class " + std::to_string(classBits), t, {}, o.shared, o.needs});
    }
  }
  {
    ByteBuilder t;
    Int(t.U8(0x19).U8(0x01).U16(0)).U8(0x19).U8(0x10).U16(0);  // volatile; SUM of one
    add("PtgAttr volatile and sum", t);
    add("PtgAttr space", Int(ByteBuilder().U8(0x19).U8(0x40).U8(0).U8(2)));  // two spaces
  }
  {
    // IF(1, 2, 3): condition, jump to the second branch, the first, jump to the end, ...
    ByteBuilder t;
    Int(t, 1).U8(0x19).U8(0x02).U16(7);
    Int(t, 2).U8(0x19).U8(0x08).U16(10);
    FuncVar(Int(t, 3).U8(0x19).U8(0x08).U16(3), 3, 1);
    add("PtgAttr if and goto", t);
  }
  {
    // CHOOSE(1, 2, 3): the jump table holds one offset per choice and one past the last.
    ByteBuilder t;
    Int(t, 1).U8(0x19).U8(0x04).U16(2).U16(6).U16(13).U16(20);
    Int(t, 2).U8(0x19).U8(0x08).U16(10);
    FuncVar(Int(t, 3).U8(0x19).U8(0x08).U16(3), 3, 100);
    add("PtgAttr choose", t);
  }
  return cases;
}

TEST(FormulaTokens, EachKindAtItsExactSizeAndNotOneByteShort) {
  for (const Case& c : OneOfEachKind()) {
    SCOPED_TRACE(c.name);
    const FormulaTokenCheck whole = CheckFormulaTokens(c.tokens, c.extra, c.shared);
    EXPECT_TRUE(whole.sound) << whole.reason;
    EXPECT_TRUE(whole.reason.empty());
    EXPECT_EQ(whole.needsNames, c.needs == Needs::Names);
    EXPECT_EQ(whole.needsExternSheet, c.needs == Needs::ExternSheet);
    // One byte short: the last token is cut, or (a one-byte operator) the values are not
    // brought together. One byte more: a token kind without its fields.
    const Bytes cut(c.tokens.begin(), c.tokens.end() - 1);
    EXPECT_FALSE(CheckFormulaTokens(cut, c.extra, c.shared).sound);
    Bytes longer = c.tokens;
    longer.push_back(0x1E);
    EXPECT_FALSE(CheckFormulaTokens(longer, c.extra, c.shared).sound);
    if (!c.extra.empty()) {
      const Bytes shortExtra(c.extra.begin(), c.extra.end() - 1);
      EXPECT_FALSE(CheckFormulaTokens(c.tokens, shortExtra, c.shared).sound);
    }
  }
}

TEST(FormulaTokens, UnknownKindsAndFunctionsAreNotSound) {
  for (const std::uint8_t kind :
       {0x00, 0x18, 0x1A, 0x1B, 0x2E, 0x2F, 0x30, 0x38, 0x3E, 0x3F, 0x4E, 0x7F, 0x80, 0xFF}) {
    EXPECT_FALSE(Check(Int(ByteBuilder()).U8(kind).Fill(12)).sound) << int{kind};
  }
  EXPECT_EQ(Check(Int(ByteBuilder()).U8(0x18).U8(0x0A).U32(0)).reason, "unknown token 0x18 at 3");

  const auto function = [](std::uint8_t kind, std::uint16_t index) {
    ByteBuilder t;
    Int(t).U8(kind);
    if ((kind & 0x1F) == 0x02) t.U8(1);  // the argument count of the variable form
    return Check(t.U16(index)).sound;
  };
  EXPECT_TRUE(function(0x21, 24));    // ABS
  EXPECT_TRUE(function(0x41, 378));   // THAIYEAR, value class
  EXPECT_TRUE(function(0x62, 379));   // RTD, the last index, array class
  EXPECT_FALSE(function(0x21, 380));  // past the last index
  EXPECT_FALSE(function(0x21, 202));  // indices no function has
  EXPECT_FALSE(function(0x22, 217));
  EXPECT_FALSE(function(0x22, 0x8000 | 24));  // a macro command
  // SUM takes its argument count from the token: the fixed-count form cannot say it.
  EXPECT_FALSE(function(0x21, 4));
  EXPECT_TRUE(function(0x22, 4));
}

TEST(FormulaTokens, JumpsAndTheirTablesStayInsideTheFormula) {
  // A choose token announcing five choices with a table of two.
  const FormulaTokenCheck cut = Check(Int(ByteBuilder()).U8(0x19).U8(0x04).U16(5).U16(6).U16(13));
  EXPECT_FALSE(cut.sound);
  EXPECT_NE(cut.reason.find("PtgAttrChoose at 3"), std::string::npos) << cut.reason;
  // Jumps out of the formula, from a choose table and from an if.
  ByteBuilder far;
  FuncVar(Int(Int(far).U8(0x19).U8(0x04).U16(0).U16(200)), 2, 100);
  EXPECT_FALSE(Check(far).sound);
  ByteBuilder farIf;
  FuncVar(Int(Int(farIf).U8(0x19).U8(0x02).U16(50)), 2, 1);
  EXPECT_FALSE(Check(farIf).sound);
  // Flags no attribute token has, and a space of a kind that does not exist.
  EXPECT_FALSE(Check(Int(ByteBuilder().U8(0x19).U8(0x03).U16(0))).sound);
  EXPECT_FALSE(Check(Int(ByteBuilder().U8(0x19).U8(0x40).U8(7).U8(1))).sound);
}

TEST(FormulaTokens, ArrayConstantsAndMemoryRangesMustBeInTheExtraData) {
  // Two arrays: their constants stand one after the other in token order.
  const ByteBuilder t = ByteBuilder().U8(0x60).Fill(7).U8(0x60).Fill(7).U8(0x03);
  ByteBuilder extra;
  extra.U8(1).U16(0);                                // 2 columns, 1 row
  extra.U8(0x02).U16(2).U8(1).U16('h').U16(0x5B57);  // a 16-bit string
  extra.U8(0x04).U8(1).Fill(7);                      // TRUE
  extra.U8(0).U16(1);                                // 1 column, 2 rows
  extra.U8(0x10).U8(0x07).Fill(7).U8(0x00).Fill(8);  // #DIV/0!, empty
  EXPECT_TRUE(Check(t, extra.bytes()).sound);
  Bytes more = extra.bytes();  // data behind what the tokens announce is passed over
  more.push_back(0xEE);
  EXPECT_TRUE(Check(t, more).sound);
  Bytes cut = extra.bytes();  // the second array's last value cut short
  cut.pop_back();
  EXPECT_NE(Check(t, cut).reason.find("PtgArray at 8"), std::string::npos);
  Bytes badType = extra.bytes();  // a value type no constant has
  badType[3] = 0x03;
  EXPECT_FALSE(Check(t, badType).sound);
  // A count of columns × rows far beyond the data ends with the data.
  EXPECT_FALSE(
      Check(ByteBuilder().U8(0x20).Fill(7), ByteBuilder().U8(255).U16(0xFFFF).U8(1).Fill(8).bytes())
          .sound);
  // A memory area with a range past column 255, and one announcing more ranges than held.
  const ByteBuilder memArea = ByteBuilder().U8(0x26).U32(0).U16(5).U8(0x24).U16(0).U16(0);
  EXPECT_FALSE(Check(memArea, ByteBuilder().U16(1).U16(0).U16(0).U16(0).U16(256).bytes()).sound);
  EXPECT_FALSE(Check(memArea, ByteBuilder().U16(2).U16(0).U16(0).U16(0).U16(1).bytes()).sound);
  // A sub-expression longer than the tokens behind the memory token.
  EXPECT_FALSE(Check(ByteBuilder().U8(0x29).U16(6).U8(0x24).U16(0).U16(0)).sound);
}

TEST(FormulaTokens, PointersToSharedFormulasAndTablesStandAloneInACellsFormula) {
  const ByteBuilder exp = ByteBuilder().U8(0x01).U16(700).U16(12);
  const FormulaTokenCheck alone = Check(exp);
  EXPECT_TRUE(alone.sound && alone.isExp && !alone.isTable) << alone.reason;
  EXPECT_EQ(alone.expRow, 700);
  EXPECT_EQ(alone.expColumn, 12);
  const FormulaTokenCheck table = Check(ByteBuilder().U8(0x02).U16(3).U16(4));
  EXPECT_TRUE(table.sound && table.isTable && table.expRow == 3 && table.expColumn == 4);

  EXPECT_FALSE(Check(Int(ByteBuilder()).U8(0x01).U16(0).U16(0).U8(0x03)).sound);  // behind one
  EXPECT_FALSE(Check(Int(ByteBuilder().U8(0x02).U16(0).U16(0))).sound);           // before one
  // Not in a shared formula, nor in an array's own formula.
  EXPECT_FALSE(Check(exp, {}, true).sound);
  EXPECT_FALSE(
      CheckFormulaField(ByteBuilder().U16(5).U8(0x01).U16(0).U16(0).bytes(), FormulaSite::Array)
          .sound);
}

TEST(FormulaTokens, ColumnsPastTheSheetAndRelativeReferencesOutsideSharedFormulas) {
  const auto ref = [](std::uint8_t kind, std::uint16_t column, bool shared = false) {
    return Check(ByteBuilder().U8(kind).U16(5).U16(column), {}, shared);
  };
  EXPECT_TRUE(ref(0x44, 0xC0FF).sound);  // both relative flags on column 255
  EXPECT_FALSE(ref(0x64, 0xC100).sound);
  EXPECT_EQ(ref(0x24, 300).reason, "column 300 past 255 in PtgRef at 0");
  // The second column of an area, and the column of a 3-D area.
  EXPECT_FALSE(Check(ByteBuilder().U8(0x25).U16(0).U16(1).U16(0).U16(256)).sound);
  EXPECT_FALSE(Check(ByteBuilder().U8(0x3B).U16(0).U16(0).U16(1).U16(0).U16(0x4100)).sound);
  // References relative to the cell belong to shared formulas only.
  EXPECT_FALSE(ref(0x2C, 0xC001).sound);
  EXPECT_TRUE(ref(0x2C, 0xC001, true).sound);
  EXPECT_FALSE(ref(0x4C, 0x01FF, true).sound);
  EXPECT_FALSE(CheckFormulaField(ByteBuilder().U16(9).U8(0x2D).U16(0).U16(1).U16(0).U16(1).bytes(),
                                 FormulaSite::Array)
                   .sound);
}

TEST(FormulaTokens, TheTokensMustLeaveExactlyOneValue) {
  EXPECT_EQ(Check(Int(Int(ByteBuilder()))).reason, "the tokens leave 2 values, not one");
  EXPECT_FALSE(Check(Int(ByteBuilder()).U8(0x03)).sound);
  ByteBuilder few;
  FuncVar(Int(few), 3, 4);
  EXPECT_FALSE(Check(few).sound);
  EXPECT_FALSE(Check(ByteBuilder().U8(0x21).U16(27)).sound);  // ROUND()
  EXPECT_EQ(CheckFormulaTokens({}, {}).reason, "no tokens");
  // Values no error or boolean token holds.
  EXPECT_FALSE(Check(ByteBuilder().U8(0x1C).U8(0x08)).sound);
  EXPECT_FALSE(Check(ByteBuilder().U8(0x1D).U8(2)).sound);
}

TEST(FormulaTokens, TheRecordsAsTheModelHoldsThem) {
  test::LogCapture log;
  // FORMULA: row, column, XF, result, options, reserved, token length 3, PtgInt.
  ByteBuilder f;
  Int(f.Header(0x0006, 25).U16(1).U16(2).U16(15).U32(0).U32(0).U16(0).U32(0).U16(3));
  Formula formula;
  ASSERT_EQ(formula.Read(f.bytes(), 0), f.size());
  EXPECT_TRUE(CheckFormulaTokens(formula).sound);
  formula.formula_[2] = 4;  // the token length now runs past the record
  EXPECT_FALSE(CheckFormulaTokens(formula).sound);
  formula.asRead_ = true;
  EXPECT_FALSE(CheckFormulaTokens(formula).sound);
  // SHRFMLA and ARRAY with a reference relative to the cell: sound in the first only.
  ByteBuilder s;
  s.Header(0x00BC, 15).U16(1).U16(9).U8(2).U8(2).U16(0x0900).U16(5).U8(0x2C).U16(0).U16(0xC000);
  ShrFmla shared;
  ASSERT_EQ(shared.Read(s.bytes(), 0), s.size());
  EXPECT_TRUE(CheckFormulaTokens(shared).sound);
  ByteBuilder a;
  a.Header(0x0221, 19).U16(1).U16(9).U8(2).U8(2).U16(0).U32(0).U16(5).U8(0x2C).U16(0).U16(0xC000);
  Array array;
  ASSERT_EQ(array.Read(a.bytes(), 0), a.size());
  EXPECT_FALSE(CheckFormulaTokens(array).sound);
  Table table;
  EXPECT_TRUE(CheckFormulaTokens(table).sound);
  table.asRead_ = true;
  EXPECT_FALSE(CheckFormulaTokens(table).sound);
}

}  // namespace
}  // namespace tabulix::cells
