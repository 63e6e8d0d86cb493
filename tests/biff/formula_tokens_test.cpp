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
ByteBuilder& FuncVar(ByteBuilder& b, std::uint8_t arguments, std::uint16_t function) {
  return b.U8(0x22).U8(arguments).U16(function);
}

struct Case {
  std::string name;
  Bytes tokens;
  Bytes extra;
  bool shared = false;
};

std::vector<Case> OneOfEachKind() {
  std::vector<Case> cases;
  const auto add = [&](std::string name, const ByteBuilder& b, Bytes extra = {},
                       bool shared = false) {
    cases.push_back({std::move(name), b.bytes(), std::move(extra), shared});
  };
  ByteBuilder b;
  add("PtgInt", Int(b, 7));
  add("PtgNum", ByteBuilder().U8(0x1F).U32(0).U32(0x3FF00000));
  add("PtgBool", ByteBuilder().U8(0x1D).U8(1));
  add("PtgErr", ByteBuilder().U8(0x1C).U8(0x2A));
  add("PtgMissArg", ByteBuilder().U8(0x16));
  add("PtgStr 8-bit", ByteBuilder().U8(0x17).U8(3).U8(0).Raw({'a', 'b', 'c'}));
  add("PtgStr 16-bit", ByteBuilder().U8(0x17).U8(2).U8(1).U16(0x3A9).U16('b'));
  for (std::uint8_t op = 0x03; op <= 0x11; ++op) {
    ByteBuilder t;
    Int(t);
    Int(t).U8(op);
    add("binary operator " + std::to_string(op), t);
  }
  for (std::uint8_t op = 0x12; op <= 0x15; ++op) {
    // Not last: a formula without its last unary operator is still a formula.
    ByteBuilder t;
    Int(t).U8(op);
    Int(t).U8(0x03);
    add("unary operator " + std::to_string(op), t);
  }
  {
    ByteBuilder t;
    Int(t).U8(0x21).U16(24);  // ABS: one argument
    add("PtgFunc", t);
  }
  {
    ByteBuilder t;
    Int(t);
    Int(t);
    FuncVar(t, 2, 4);  // SUM of two
    add("PtgFuncVar", t);
  }
  {
    // A function called by name: the name is its first argument.
    ByteBuilder t;
    t.U8(0x23).U16(1).U16(0);
    Int(t);
    FuncVar(t, 2, 255);
    add("PtgFuncVar by name", t);
  }
  // The operand tokens in each of their three reference classes.
  struct Operand {
    const char* name;
    std::uint8_t kind;
    std::size_t dataBytes;
    bool shared;
  };
  for (const Operand& o : {Operand{"PtgName", 0x23, 4, false},
                           {"PtgRef", 0x24, 4, false},
                           {"PtgArea", 0x25, 8, false},
                           {"PtgRefErr", 0x2A, 4, false},
                           {"PtgAreaErr", 0x2B, 8, false},
                           {"PtgRefN", 0x2C, 4, true},
                           {"PtgAreaN", 0x2D, 8, true},
                           {"PtgNameX", 0x39, 6, false},
                           {"PtgRef3d", 0x3A, 6, false},
                           {"PtgArea3d", 0x3B, 10, false},
                           {"PtgRefErr3d", 0x3C, 6, false},
                           {"PtgAreaErr3d", 0x3D, 10, false}}) {
    for (const std::uint8_t classBits : {0x00, 0x20, 0x40}) {
      ByteBuilder t;
      t.U8(static_cast<std::uint8_t>(o.kind + classBits));
      for (std::size_t i = 0; i < o.dataBytes; ++i) t.U8(0);
      add(std::string(o.name) + " class " + std::to_string(classBits), t, {}, o.shared);
    }
  }
  add("PtgArray", ByteBuilder().U8(0x40).Fill(7),
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
          .bytes());
  add("PtgMemArea", ByteBuilder().U8(0x26).U32(0).U16(9).U8(0x25).U16(0).U16(3).U16(0).U16(2),
      ByteBuilder().U16(1).U16(0).U16(3).U16(0).U16(2).bytes());
  add("PtgMemErr", ByteBuilder().U8(0x47).U32(0).U16(5).U8(0x2A).U32(0));
  add("PtgMemNoMem", ByteBuilder().U8(0x68).U32(0).U16(5).U8(0x24).U16(0).U16(0));
  add("PtgMemFunc", ByteBuilder().U8(0x29).U16(5).U8(0x24).U16(0).U16(0));
  {
    ByteBuilder t;
    t.U8(0x19).U8(0x01).U16(0);       // volatile
    Int(t).U8(0x19).U8(0x10).U16(0);  // SUM of one
    add("PtgAttr volatile and sum", t);
  }
  {
    ByteBuilder t;
    t.U8(0x19).U8(0x40).U8(0).U8(2);  // two spaces before the next token
    Int(t);
    add("PtgAttr space", t);
  }
  {
    // IF(1, 2, 3): condition, jump to the second branch, the first, jump to the end, ...
    ByteBuilder t;
    Int(t, 1).U8(0x19).U8(0x02).U16(7);
    Int(t, 2).U8(0x19).U8(0x08).U16(10);
    Int(t, 3).U8(0x19).U8(0x08).U16(3);
    FuncVar(t, 3, 1);
    add("PtgAttr if and goto", t);
  }
  {
    // CHOOSE(1, 2, 3): the jump table holds one offset per choice and one past the last.
    ByteBuilder t;
    Int(t, 1).U8(0x19).U8(0x04).U16(2).U16(6).U16(13).U16(20);
    Int(t, 2).U8(0x19).U8(0x08).U16(10);
    Int(t, 3).U8(0x19).U8(0x08).U16(3);
    FuncVar(t, 3, 100);
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
    // One byte short: the last token is cut, or (a one-byte operator) the values are not
    // brought together.
    const Bytes cut(c.tokens.begin(), c.tokens.end() - 1);
    EXPECT_FALSE(CheckFormulaTokens(cut, c.extra, c.shared).sound);
    // One byte more: a token kind that must be followed by its fields, or an extra value.
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
    ByteBuilder t;
    Int(t).U8(kind).Fill(12);
    const FormulaTokenCheck check = CheckFormulaTokens(t.bytes(), {});
    EXPECT_FALSE(check.sound) << int{kind};
  }
  ByteBuilder natural;
  Int(natural).U8(0x18).U8(0x0A).U32(0);
  EXPECT_EQ(CheckFormulaTokens(natural.bytes(), {}).reason, "unknown token 0x18 at 3");

  const auto function = [](std::uint8_t kind, std::uint16_t index) {
    ByteBuilder t;
    Int(t);
    t.U8(kind);
    if ((kind & 0x1F) == 0x02) t.U8(1);  // the argument count of the variable form
    t.U16(index);
    return CheckFormulaTokens(t.bytes(), {});
  };
  EXPECT_TRUE(function(0x21, 24).sound);    // ABS
  EXPECT_TRUE(function(0x41, 378).sound);   // THAIYEAR, value class
  EXPECT_TRUE(function(0x62, 379).sound);   // RTD, the last index, array class
  EXPECT_FALSE(function(0x21, 380).sound);  // past the last index
  EXPECT_FALSE(function(0x21, 202).sound);  // an index no function has
  EXPECT_FALSE(function(0x22, 217).sound);
  EXPECT_FALSE(function(0x22, 0x8000 | 24).sound);  // a macro command
  // SUM takes its argument count from the token: the fixed-count form cannot say it.
  EXPECT_FALSE(function(0x21, 4).sound);
  EXPECT_TRUE(function(0x22, 4).sound);
}

TEST(FormulaTokens, AFormulaCutInsideAStringOrAJumpTableIsNotSound) {
  // A string token whose count says more than the formula holds.
  EXPECT_FALSE(
      CheckFormulaTokens(ByteBuilder().U8(0x17).U8(10).U8(0).Raw({'a', 'b'}).bytes(), {}).sound);
  // 16-bit characters: the count is of characters, not bytes.
  EXPECT_FALSE(
      CheckFormulaTokens(ByteBuilder().U8(0x17).U8(2).U8(1).Raw({'a', 'b'}).bytes(), {}).sound);
  // A choose token announcing five choices with the table of two.
  ByteBuilder t;
  Int(t).U8(0x19).U8(0x04).U16(5).U16(6).U16(13);
  const FormulaTokenCheck cut = CheckFormulaTokens(t.bytes(), {});
  EXPECT_FALSE(cut.sound);
  EXPECT_NE(cut.reason.find("PtgAttrChoose at 3"), std::string::npos) << cut.reason;
  // A jump out of the formula.
  ByteBuilder far;
  Int(far).U8(0x19).U8(0x04).U16(0).U16(200);
  Int(far);
  FuncVar(far, 2, 100);
  EXPECT_FALSE(CheckFormulaTokens(far.bytes(), {}).sound);
  ByteBuilder farIf;
  Int(farIf).U8(0x19).U8(0x02).U16(50);
  Int(farIf);
  FuncVar(farIf, 2, 1);
  EXPECT_FALSE(CheckFormulaTokens(farIf.bytes(), {}).sound);
  // Flags no attribute token has, and a space of a kind that does not exist.
  EXPECT_FALSE(CheckFormulaTokens(Int(ByteBuilder().U8(0x19).U8(0x03).U16(0)).bytes(), {}).sound);
  EXPECT_FALSE(
      CheckFormulaTokens(Int(ByteBuilder().U8(0x19).U8(0x40).U8(7).U8(1)).bytes(), {}).sound);
}

TEST(FormulaTokens, ArrayConstantsAndMemoryRangesMustBeInTheExtraData) {
  // Two arrays: their constants stand one after the other in token order.
  ByteBuilder t;
  t.U8(0x60).Fill(7).U8(0x60).Fill(7).U8(0x03);
  ByteBuilder extra;
  extra.U8(1).U16(0);                                // 2 columns, 1 row
  extra.U8(0x02).U16(2).U8(1).U16('h').U16(0x5B57);  // a 16-bit string
  extra.U8(0x04).U8(1).Fill(7);                      // TRUE
  extra.U8(0).U16(1);                                // 1 column, 2 rows
  extra.U8(0x10).U8(0x07).Fill(7).U8(0x00).Fill(8);  // #DIV/0!, empty
  EXPECT_TRUE(CheckFormulaTokens(t.bytes(), extra.bytes()).sound);
  // Extra data behind what the tokens announce is passed over.
  Bytes more = extra.bytes();
  more.push_back(0xEE);
  EXPECT_TRUE(CheckFormulaTokens(t.bytes(), more).sound);
  // The second array's last value cut short.
  Bytes cut = extra.bytes();
  cut.pop_back();
  const FormulaTokenCheck check = CheckFormulaTokens(t.bytes(), cut);
  EXPECT_FALSE(check.sound);
  EXPECT_NE(check.reason.find("PtgArray at 8"), std::string::npos) << check.reason;
  // A value type no constant has.
  Bytes badType = extra.bytes();
  badType[3] = 0x03;
  EXPECT_FALSE(CheckFormulaTokens(t.bytes(), badType).sound);
  // A count of columns × rows far beyond the data ends with the data.
  EXPECT_FALSE(CheckFormulaTokens(ByteBuilder().U8(0x20).Fill(7).bytes(),
                                  ByteBuilder().U8(255).U16(0xFFFF).U8(1).Fill(8).bytes())
                   .sound);

  // A memory area with a range past column 255, and one announcing more ranges than held.
  const Bytes memArea = ByteBuilder().U8(0x26).U32(0).U16(5).U8(0x24).U16(0).U16(0).bytes();
  EXPECT_TRUE(
      CheckFormulaTokens(memArea, ByteBuilder().U16(1).U16(0).U16(0).U16(0).U16(255).bytes())
          .sound);
  EXPECT_FALSE(
      CheckFormulaTokens(memArea, ByteBuilder().U16(1).U16(0).U16(0).U16(0).U16(256).bytes())
          .sound);
  EXPECT_FALSE(
      CheckFormulaTokens(memArea, ByteBuilder().U16(2).U16(0).U16(0).U16(0).U16(1).bytes()).sound);
  // A sub-expression longer than the tokens behind the memory token.
  EXPECT_FALSE(
      CheckFormulaTokens(ByteBuilder().U8(0x29).U16(6).U8(0x24).U16(0).U16(0).bytes(), {}).sound);
}

TEST(FormulaTokens, PointersToSharedFormulasAndTablesStandAloneInACellsFormula) {
  const Bytes exp = ByteBuilder().U8(0x01).U16(700).U16(12).bytes();
  const FormulaTokenCheck alone = CheckFormulaTokens(exp, {});
  EXPECT_TRUE(alone.sound) << alone.reason;
  EXPECT_TRUE(alone.isExp);
  EXPECT_FALSE(alone.isTable);
  EXPECT_EQ(alone.expRow, 700);
  EXPECT_EQ(alone.expColumn, 12);
  const FormulaTokenCheck table =
      CheckFormulaTokens(ByteBuilder().U8(0x02).U16(3).U16(4).bytes(), {});
  EXPECT_TRUE(table.sound);
  EXPECT_TRUE(table.isTable);
  EXPECT_EQ(table.expRow, 3);

  ByteBuilder after;
  Int(after).U8(0x01).U16(0).U16(0).U8(0x03);
  EXPECT_FALSE(CheckFormulaTokens(after.bytes(), {}).sound);
  ByteBuilder followed;
  Int(followed.U8(0x02).U16(0).U16(0));
  EXPECT_FALSE(CheckFormulaTokens(followed.bytes(), {}).sound);
  // Not in a shared formula, nor in an array's own formula.
  EXPECT_FALSE(CheckFormulaTokens(exp, {}, true).sound);
  EXPECT_FALSE(
      CheckFormulaField(ByteBuilder().U16(5).U8(0x01).U16(0).U16(0).bytes(), FormulaSite::Array)
          .sound);
}

TEST(FormulaTokens, ColumnsPastTheSheetAndRelativeReferencesOutsideSharedFormulas) {
  const auto ref = [](std::uint8_t kind, std::uint16_t column, bool shared = false) {
    return CheckFormulaTokens(ByteBuilder().U8(kind).U16(5).U16(column).bytes(), {}, shared);
  };
  EXPECT_TRUE(ref(0x24, 255).sound);
  EXPECT_TRUE(ref(0x44, 0xC0FF).sound);  // both relative flags on column 255
  EXPECT_FALSE(ref(0x24, 256).sound);
  EXPECT_FALSE(ref(0x64, 0xC100).sound);
  const FormulaTokenCheck wide = ref(0x24, 300);
  EXPECT_EQ(wide.reason, "column 300 past 255 in PtgRef at 0");
  // The second column of an area, and the column of a 3-D area.
  EXPECT_FALSE(
      CheckFormulaTokens(ByteBuilder().U8(0x25).U16(0).U16(1).U16(0).U16(256).bytes(), {}).sound);
  EXPECT_FALSE(
      CheckFormulaTokens(ByteBuilder().U8(0x3B).U16(0).U16(0).U16(1).U16(0).U16(0x4100).bytes(), {})
          .sound);
  // References relative to the cell belong to shared formulas only.
  EXPECT_FALSE(ref(0x2C, 0xC001).sound);
  EXPECT_TRUE(ref(0x2C, 0xC001, true).sound);
  EXPECT_FALSE(ref(0x4C, 0x01FF, true).sound);
  EXPECT_FALSE(CheckFormulaField(ByteBuilder().U16(9).U8(0x2D).U16(0).U16(1).U16(0).U16(1).bytes(),
                                 FormulaSite::Array)
                   .sound);
}

TEST(FormulaTokens, WhatAFormulaNeedsBesideItself) {
  const auto needs = [](std::uint8_t kind, std::size_t dataBytes) {
    ByteBuilder t;
    t.U8(kind);
    for (std::size_t i = 0; i < dataBytes; ++i) t.U8(0);
    return CheckFormulaTokens(t.bytes(), {});
  };
  for (const std::uint8_t kind : {0x23, 0x43, 0x63}) {
    const FormulaTokenCheck name = needs(kind, 4);
    EXPECT_TRUE(name.sound && name.needsNames && !name.needsExternSheet) << int{kind};
  }
  for (const auto& [kind, size] : {std::pair<std::uint8_t, std::size_t>{0x39, 6},
                                   {0x5A, 6},
                                   {0x7B, 10},
                                   {0x3C, 6},
                                   {0x3D, 10}}) {
    const FormulaTokenCheck other = needs(kind, size);
    EXPECT_TRUE(other.sound && other.needsExternSheet && !other.needsNames) << int{kind};
  }
  const FormulaTokenCheck plain = needs(0x24, 4);
  EXPECT_FALSE(plain.needsNames || plain.needsExternSheet);
}

TEST(FormulaTokens, TheTokensMustLeaveExactlyOneValue) {
  ByteBuilder two;
  Int(two);
  Int(two);
  EXPECT_EQ(CheckFormulaTokens(two.bytes(), {}).reason, "the tokens leave 2 values, not one");
  ByteBuilder lonely;
  Int(lonely).U8(0x03);
  EXPECT_FALSE(CheckFormulaTokens(lonely.bytes(), {}).sound);
  ByteBuilder few;
  Int(few);
  FuncVar(few, 3, 4);
  EXPECT_FALSE(CheckFormulaTokens(few.bytes(), {}).sound);
  EXPECT_FALSE(CheckFormulaTokens(ByteBuilder().U8(0x21).U16(27).bytes(), {}).sound);  // ROUND()
  EXPECT_EQ(CheckFormulaTokens({}, {}).reason, "no tokens");
  // Values no error or boolean token holds.
  EXPECT_FALSE(CheckFormulaTokens(ByteBuilder().U8(0x1C).U8(0x08).bytes(), {}).sound);
  EXPECT_FALSE(CheckFormulaTokens(ByteBuilder().U8(0x1D).U8(2).bytes(), {}).sound);
}

TEST(FormulaTokens, TheRecordsAsTheModelHoldsThem) {
  test::LogCapture log;
  // FORMULA: row, column, XF, result, options, reserved, token length 3, PtgInt.
  ByteBuilder f;
  f.Header(0x0006, 25).U16(1).U16(2).U16(15).U32(0).U32(0).U16(0).U32(0).U16(3);
  Int(f);
  Formula formula;
  ASSERT_EQ(formula.Read(f.bytes(), 0), f.size());
  EXPECT_TRUE(CheckFormulaTokens(formula).sound);
  formula.formula_[2] = 4;  // the token length now runs past the record
  EXPECT_FALSE(CheckFormulaTokens(formula).sound);
  formula.asRead_ = true;
  EXPECT_FALSE(CheckFormulaTokens(formula).sound);

  // SHRFMLA: range, reserved, token length, a reference relative to the cell.
  ByteBuilder s;
  s.Header(0x00BC, 8 + 7)
      .U16(1)
      .U16(9)
      .U8(2)
      .U8(2)
      .U16(0x0900)
      .U16(5)
      .U8(0x2C)
      .U16(0xFFFF)
      .U16(0xC000);
  ShrFmla shared;
  ASSERT_EQ(shared.Read(s.bytes(), 0), s.size());
  EXPECT_TRUE(CheckFormulaTokens(shared).sound);
  // ARRAY: range, options, reserved, token length, the same reference: not sound there.
  ByteBuilder a;
  a.Header(0x0221, 12 + 7)
      .U16(1)
      .U16(9)
      .U8(2)
      .U8(2)
      .U16(0)
      .U32(0)
      .U16(5)
      .U8(0x2C)
      .U16(0)
      .U16(0xC000);
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
