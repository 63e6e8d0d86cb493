#include "biff/formula_tokens.hpp"

#include <array>
#include <cstdio>

#include "base/little_endian.hpp"

namespace tabulix::cells {

namespace {

using Bytes = std::span<const std::uint8_t>;

// What a token does besides taking its bytes.
enum class Action : std::uint8_t {
  Unknown,  // no BIFF8 token has this kind
  Operand,  // pushes one value
  Unary,    // takes one value, gives one
  Binary,   // takes two values, gives one
  Exp,      // points at a shared formula or an array: alone at the start only
  Table,    // points at a data table: alone at the start only
  String,   // a short string follows the kind byte
  Attr,     // spacing, jumps and hints; the choose form carries a jump table
  Func,     // a function of a fixed number of arguments
  FuncVar,  // a function with its argument count in the token
  Array,    // an array constant: its values stand in the extra data
  MemArea,  // a sub-expression whose ranges stand in the extra data
  Mem,      // a sub-expression with nothing in the extra data
};

// Which records a token needs beside the formula.
enum class Needs : std::uint8_t { None, Names, ExternSheet };

struct TokenKind {
  const char* name;
  std::uint8_t size;  // bytes with the kind byte; for String and Attr the fixed part only
  Action action;
  // Data offsets of the column fields a reference token carries (0: none). Bits 0 to 13 of
  // such a field hold the column; bits 14 and 15 say which parts are relative.
  std::uint8_t column1;
  std::uint8_t column2;
  Needs needs;
  bool relative;  // a reference relative to the cell: in a shared formula only
};

// PtgNameX's place in the table below.
constexpr std::size_t kNameXIndex = 0x39;

// Indexed by the kind with the reference class folded away: kinds 0x00 to 0x1F stand as
// they are, kinds 0x20 to 0x7F (three classes of 32) at 0x20 + (kind & 0x1F).
constexpr std::array<TokenKind, 0x40> kTokens = [] {
  std::array<TokenKind, 0x40> t{};
  for (TokenKind& k : t) k = {"unknown", 1, Action::Unknown, 0, 0, Needs::None, false};
  t[0x01] = {"PtgExp", 5, Action::Exp, 0, 0, Needs::None, false};
  t[0x02] = {"PtgTbl", 5, Action::Table, 0, 0, Needs::None, false};
  constexpr const char* kBinary[] = {"PtgAdd",    "PtgSub", "PtgMul",   "PtgDiv",   "PtgPower",
                                     "PtgConcat", "PtgLt",  "PtgLe",    "PtgEq",    "PtgGe",
                                     "PtgGt",     "PtgNe",  "PtgIsect", "PtgUnion", "PtgRange"};
  for (std::size_t i = 0; i < std::size(kBinary); ++i)
    t[0x03 + i] = {kBinary[i], 1, Action::Binary, 0, 0, Needs::None, false};
  t[0x12] = {"PtgUplus", 1, Action::Unary, 0, 0, Needs::None, false};
  t[0x13] = {"PtgUminus", 1, Action::Unary, 0, 0, Needs::None, false};
  t[0x14] = {"PtgPercent", 1, Action::Unary, 0, 0, Needs::None, false};
  t[0x15] = {"PtgParen", 1, Action::Unary, 0, 0, Needs::None, false};
  t[0x16] = {"PtgMissArg", 1, Action::Operand, 0, 0, Needs::None, false};
  t[0x17] = {"PtgStr", 3, Action::String, 0, 0, Needs::None, false};
  t[0x19] = {"PtgAttr", 4, Action::Attr, 0, 0, Needs::None, false};
  t[0x1C] = {"PtgErr", 2, Action::Operand, 0, 0, Needs::None, false};
  t[0x1D] = {"PtgBool", 2, Action::Operand, 0, 0, Needs::None, false};
  t[0x1E] = {"PtgInt", 3, Action::Operand, 0, 0, Needs::None, false};
  t[0x1F] = {"PtgNum", 9, Action::Operand, 0, 0, Needs::None, false};
  t[0x20] = {"PtgArray", 8, Action::Array, 0, 0, Needs::None, false};
  t[0x21] = {"PtgFunc", 3, Action::Func, 0, 0, Needs::None, false};
  t[0x22] = {"PtgFuncVar", 4, Action::FuncVar, 0, 0, Needs::None, false};
  t[0x23] = {"PtgName", 5, Action::Operand, 0, 0, Needs::Names, false};
  t[0x24] = {"PtgRef", 5, Action::Operand, 3, 0, Needs::None, false};
  t[0x25] = {"PtgArea", 9, Action::Operand, 5, 7, Needs::None, false};
  t[0x26] = {"PtgMemArea", 7, Action::MemArea, 0, 0, Needs::None, false};
  t[0x27] = {"PtgMemErr", 7, Action::Mem, 0, 0, Needs::None, false};
  t[0x28] = {"PtgMemNoMem", 7, Action::Mem, 0, 0, Needs::None, false};
  t[0x29] = {"PtgMemFunc", 3, Action::Mem, 0, 0, Needs::None, false};
  t[0x2A] = {"PtgRefErr", 5, Action::Operand, 0, 0, Needs::None, false};
  t[0x2B] = {"PtgAreaErr", 9, Action::Operand, 0, 0, Needs::None, false};
  t[0x2C] = {"PtgRefN", 5, Action::Operand, 3, 0, Needs::None, true};
  t[0x2D] = {"PtgAreaN", 9, Action::Operand, 5, 7, Needs::None, true};
  t[kNameXIndex] = {"PtgNameX", 7, Action::Operand, 0, 0, Needs::ExternSheet, false};
  t[0x3A] = {"PtgRef3d", 7, Action::Operand, 5, 0, Needs::ExternSheet, false};
  t[0x3B] = {"PtgArea3d", 11, Action::Operand, 7, 9, Needs::ExternSheet, false};
  t[0x3C] = {"PtgRefErr3d", 7, Action::Operand, 0, 0, Needs::ExternSheet, false};
  t[0x3D] = {"PtgAreaErr3d", 11, Action::Operand, 0, 0, Needs::ExternSheet, false};
  return t;
}();

// The built-in functions by index: the fixed number of arguments, kVariable for a function
// that takes a count in its token, kNone for an index no function has. Index 255 calls a
// function by name (an add-in or a macro); the name is its first argument.
constexpr std::int8_t kVariable = -1;
constexpr std::int8_t kNone = -2;
constexpr std::int8_t V = kVariable;
constexpr std::int8_t X = kNone;
// clang-format off
constexpr std::array<std::int8_t, 380> kFunctionArguments = {
    V, V, 1, 1, V, V, V, V, V, V,  // 0 COUNT IF ISNA ISERROR SUM AVERAGE MIN MAX ROW COLUMN
    0, V, V, V, V, 1, 1, 1, 1, 0,  // 10 NA NPV STDEV DOLLAR FIXED SIN COS TAN ATAN PI
    1, 1, 1, 1, 1, 1, 1, 2, V, V,  // 20 SQRT EXP LN LOG10 ABS INT SIGN ROUND LOOKUP INDEX
    2, 3, 1, 1, 0, 0, V, V, 1, 2,  // 30 REPT MID LEN VALUE TRUE FALSE AND OR NOT MOD
    3, 3, 3, 3, 3, 3, V, 3, 2, V,  // 40 DCOUNT DSUM DAVERAGE DMIN DMAX DSTDEV VAR DVAR TEXT ...
    V, V, V, 1, V, V, V, V, V, V,  // 50 TREND LOGEST GROWTH GOTO HALT RETURN PV FV NPER PMT
    V, 3, V, 0, V, 3, 3, 1, 1, 1,  // 60 RATE MIRR IRR RAND MATCH DATE TIME DAY MONTH YEAR
    V, 1, 1, 1, 0, 1, 1, 1, V, 2,  // 70 WEEKDAY HOUR MINUTE SECOND NOW AREAS ROWS COLUMNS OFFSET
    2, V, V, 1, V, 0, 1, V, V, 0,  // 80 RELREF ARGUMENT SEARCH TRANSPOSE ERROR STEP TYPE ECHO ...
    1, V, V, V, 0, 0, V, 2, 1, 1,  // 90 DEREF WINDOWS SERIES DOCUMENTS ... RESULT ATAN2 ASIN ACOS
    V, V, V, V, V, 1, 1, V, 2, V,  // 100 CHOOSE HLOOKUP VLOOKUP LINKS INPUT ISREF ... LOG
    V, 1, 1, 1, 1, V, V, 2, 1, 4,  // 110 EXEC CHAR LOWER UPPER PROPER LEFT RIGHT EXACT TRIM ...
    V, 1, V, V, V, V, 1, 1, 1, 1,  // 120 SUBSTITUTE CODE NAMES DIRECTORY FIND CELL ISERR ...
    1, 1, V, 1, 1, 1, 2, 2, 2, V,  // 130 T N FOPEN FCLOSE FSIZE FREADLN FREAD FWRITELN FWRITE FPOS
    1, 1, 3, 4, V, V, V, V, V, V,  // 140 DATEVALUE TIMEVALUE SLN SYD DDB ... INDIRECT ...
    V, V, V, V, V, V, V, V, V, V,  // 150 CALL and menu commands
    V, 1, 1, 1, 1, 2, V, V, V, V,  // 160 ... CLEAN MDETERM MINVERSE MMULT FILES IPMT PPMT COUNTA
    V, V, 1, 0, 0, 2, 2, 3, 2, 1,  // 170 CANCEL.KEY FOR WHILE BREAK NEXT INITIATE ... TERMINATE
    V, V, V, V, 1, V, 1, V, V, 3,  // 180 RESTART HELP GET.BAR PRODUCT FACT GET.CELL ... DPRODUCT
    1, V, V, V, V, 3, 3, V, 1, 3,  // 190 ISNONTEXT ... STDEVP VARP DSTDEVP DVARP TRUNC ISLOGICAL
    1, 1, X, X, V, V, V, 4, V, V,  // 200 DELETE.BAR UNREGISTER - - USDOLLAR FINDB SEARCHB ...
    3, 1, 2, 2, 1, 1, V, X, X, V,  // 210 MIDB LENB ROUNDUP ROUNDDOWN ASC DBCS RANK - - ADDRESS
    V, 0, V, 0, 1, 0, V, V, V, 1,  // 220 DAYS360 TODAY VDB ELSE ELSE.IF END.IF FOR.CELL MEDIAN ...
    1, 1, 1, 1, 1, 3, V, V, 0, V,  // 230 COSH TANH ASINH ACOSH ATANH DGET CREATE.OBJECT ...
    V, V, V, V, 1, 0, V, V, V, X,  // 240 ... INFO GROUP GET.OBJECT DB PAUSE -
    X, V, 2, V, 1, V, 1, 1, V, V,  // 250 - RESUME FREQUENCY ADD.TOOLBAR ... (by name) ... EVALUATE
    V, 1, V, V, V, 3, 3, V, V, V,  // 260 SPELLING.CHECK ERROR.TYPE ... GET.WORKBOOK AVEDEV
    V, 1, V, 4, 2, 2, 2, 3, 3, 1,  // 270 BETADIST GAMMALN BETAINV BINOMDIST CHIDIST ... EVEN
    3, 3, 3, 1, 1, 2, 4, 3, 2, 4,  // 280 EXPONDIST FDIST FINV FISHER ... CEILING HYPGEOMDIST
    3, 3, 3, 4, 1, 3, 1, 3, 1, 2,  // 290 LOGNORMDIST LOGINV NEGBINOMDIST NORMDIST ... ODD PERMUT
    3, 3, 4, 2, 2, 2, 2, 2, 2, 3,  // 300 POISSON TDIST WEIBULL SUMXMY2 ... COVAR FORECAST
    2, 2, 2, 2, 2, 2, 4, V, V, V,  // 310 FTEST INTERCEPT PEARSON RSQ STEYX SLOPE TTEST PROB ...
    V, V, V, V, V, 2, 2, 2, 2, V,  // 320 HARMEAN SUMSQ KURT SKEW ZTEST LARGE SMALL ... PERCENTRANK
    V, 2, 2, X, V, V, V, 2, V, V,  // 330 MODE TRIMMEAN TINV - ... CONCATENATE POWER ...
    V, V, 1, 1, V, V, 2, 1, V, 1,  // 340 ... RADIANS DEGREES SUBTOTAL SUMIF COUNTIF COUNTBLANK ...
    4, 3, 1, 2, V, V, V, V, V, V,  // 350 ISPMT DATEDIF DATESTRING NUMBERSTRING ROMAN ... HYPERLINK
    1, V, V, V, V, V, V, V, 1, 1,  // 360 PHONETIC AVERAGEA MAXA MINA ... VARA BAHTTEXT ...
    1, 1, 1, 1, 1, 1, 1, 1, 1, V,  // 370 THAIDIGIT ... THAIYEAR RTD
};
// clang-format on

// The error codes a formula may hold.
bool IsErrorCode(std::uint8_t code) {
  switch (code) {
    case 0x00:  // #NULL!
    case 0x07:  // #DIV/0!
    case 0x0F:  // #VALUE!
    case 0x17:  // #REF!
    case 0x1D:  // #NAME?
    case 0x24:  // #NUM!
    case 0x2A:  // #N/A
      return true;
    default:
      return false;
  }
}

// The kinds of PtgAttr by their flags byte; a space token's first data byte says which
// space it is (0 to 6).
constexpr std::uint8_t kAttrSemi = 0x01;  // volatile
constexpr std::uint8_t kAttrIf = 0x02;
constexpr std::uint8_t kAttrChoose = 0x04;
constexpr std::uint8_t kAttrGoto = 0x08;
constexpr std::uint8_t kAttrSum = 0x10;
constexpr std::uint8_t kAttrBaxcel = 0x20;
constexpr std::uint8_t kAttrSpace = 0x40;
constexpr std::uint8_t kLastSpaceKind = 6;
// The argument count of a function taken from the token: bit 7 asks the user (macros).
constexpr std::uint8_t kArgumentCountMask = 0x7F;
// Bit 15 of a function index: a macro command, never in a cell's formula.
constexpr std::uint16_t kCommandBit = 0x8000;
constexpr std::uint16_t kMaxColumn = 0xFF;
constexpr std::uint16_t kColumnMask = 0x3FFF;

// Array constants: a type byte, then 8 bytes, or a long string for text.
constexpr std::uint8_t kConstantEmpty = 0x00;
constexpr std::uint8_t kConstantNumber = 0x01;
constexpr std::uint8_t kConstantString = 0x02;
constexpr std::uint8_t kConstantBoolean = 0x04;
constexpr std::uint8_t kConstantError = 0x10;

std::string Hex(unsigned value, int digits = 2) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

class TokenWalk {
 public:
  TokenWalk(Bytes tokens, Bytes extra, FormulaSite site, FormulaLinks* links)
      : tokens_(tokens), extra_(extra), site_(site), links_(links) {}

  FormulaTokenCheck Run() {
    if (tokens_.empty()) return Fail("no tokens");
    std::size_t pos = 0;
    while (pos < tokens_.size()) {
      const std::size_t at = pos;
      if (!Token(pos)) return std::move(check_);
      if (check_.isExp || check_.isTable) {
        if (at != 0 || pos != tokens_.size()) {
          return Fail(std::string(check_.isExp ? "PtgExp" : "PtgTbl") + " at " +
                      std::to_string(at) + " is not alone at the start");
        }
      }
    }
    if (!check_.isExp && !check_.isTable && depth_ != 1) {
      return Fail("the tokens leave " + std::to_string(depth_) + " values, not one");
    }
    check_.sound = true;
    return std::move(check_);
  }

 private:
  FormulaTokenCheck Fail(std::string reason) {
    check_.sound = false;
    check_.reason = std::move(reason);
    return std::move(check_);
  }
  bool Stop(std::string reason) {
    check_.sound = false;
    check_.reason = std::move(reason);
    return false;
  }
  bool Cut(const char* name, std::size_t at, std::size_t needed) {
    return Stop(std::string(name) + " at " + std::to_string(at) + " needs " +
                std::to_string(needed) + " bytes, " + std::to_string(tokens_.size() - at) +
                " left");
  }
  bool Fits(std::size_t at, std::size_t size) const {
    return at <= tokens_.size() && tokens_.size() - at >= size;
  }
  // Takes `count` values and gives one; false when the stack holds fewer.
  bool Apply(const char* name, std::size_t at, std::size_t count) {
    if (depth_ < count) {
      return Stop(std::string(name) + " at " + std::to_string(at) + " takes " +
                  std::to_string(count) + " values, " + std::to_string(depth_) + " there");
    }
    depth_ = depth_ - count + 1;
    return true;
  }

  // Reads the token at `pos` and moves `pos` past it; false (with the reason) when the
  // token is not sound.
  bool Token(std::size_t& pos) {
    const std::size_t at = pos;
    const std::uint8_t kind = tokens_[at];
    const std::size_t index = kind < 0x20 ? kind : (kind < 0x80 ? 0x20 + (kind & 0x1F) : 0);
    const TokenKind& token = kTokens[index];
    if (token.action == Action::Unknown) {
      return Stop("unknown token " + Hex(kind) + " at " + std::to_string(at));
    }
    if (!Fits(at, token.size)) return Cut(token.name, at, token.size);
    const Bytes data = tokens_.subspan(at + 1, token.size - 1u);
    pos = at + token.size;

    for (const std::uint8_t offset : {token.column1, token.column2}) {
      if (offset == 0) continue;
      const std::uint16_t column = LittleEndian::U16(tokens_, at + offset) & kColumnMask;
      if (column > kMaxColumn) {
        return Stop("column " + std::to_string(column) + " past 255 in " + token.name + " at " +
                    std::to_string(at));
      }
    }
    if (token.relative && site_ != FormulaSite::Shared && site_ != FormulaSite::Name) {
      return Stop(std::string(token.name) + " at " + std::to_string(at) +
                  " is relative to a cell outside a shared formula");
    }
    if (token.needs == Needs::Names) check_.needsNames = true;
    if (token.needs == Needs::ExternSheet) check_.needsExternSheet = true;
    if (links_ != nullptr) Link(token, index, data);

    switch (token.action) {
      case Action::Operand:
        if (index == 0x1C && !IsErrorCode(data[0])) {
          return Stop("error code " + Hex(data[0]) + " at " + std::to_string(at));
        }
        if (index == 0x1D && data[0] > 1) {
          return Stop("boolean " + std::to_string(data[0]) + " at " + std::to_string(at));
        }
        ++depth_;
        return true;
      case Action::Unary:
        return Apply(token.name, at, 1);
      case Action::Binary:
        return Apply(token.name, at, 2);
      case Action::Exp:
      case Action::Table:
        if (site_ != FormulaSite::Cell) {
          return Stop(std::string(token.name) + " at " + std::to_string(at) +
                      " outside a cell's formula");
        }
        (token.action == Action::Exp ? check_.isExp : check_.isTable) = true;
        check_.expRow = LittleEndian::U16(data, 0);
        check_.expColumn = LittleEndian::U16(data, 2);
        return true;
      case Action::String:
        return ShortString(pos, at);
      case Action::Attr:
        return Attr(pos, at, data);
      case Action::Func:
      case Action::FuncVar:
        return Function(token, at, data);
      case Action::Array:
        if (!ArrayConstants(at)) return false;
        ++depth_;
        return true;
      case Action::MemArea:
        if (!MemAreaRanges(at)) return false;
        return SubExpression(token, at, LittleEndian::U16(data, 4));
      case Action::Mem:
        return SubExpression(token, at, LittleEndian::U16(data, token.size == 3 ? 0 : 4));
      case Action::Unknown:
        break;
    }
    return Stop("unknown token " + Hex(kind) + " at " + std::to_string(at));
  }

  // Notes where a name token or a 3-D reference points: a name token holds the NAME's
  // index; the others open with their EXTERNSHEET entry, and an external name's index
  // follows it.
  void Link(const TokenKind& token, std::size_t index, Bytes data) {
    if (token.needs == Needs::Names) {
      links_->names.push_back(LittleEndian::U16(data, 0));
    } else if (token.needs == Needs::ExternSheet) {
      const std::uint16_t entry = LittleEndian::U16(data, 0);
      links_->externSheets.push_back(entry);
      if (index == kNameXIndex) links_->externNames.push_back({entry, LittleEndian::U16(data, 2)});
    }
  }

  // PtgStr: a count byte, a flags byte (bit 0: 16-bit characters) and the characters.
  bool ShortString(std::size_t& pos, std::size_t at) {
    const std::size_t count = tokens_[at + 1];
    const std::size_t width = (tokens_[at + 2] & 0x01) != 0 ? 2 : 1;
    const std::size_t size = 3 + count * width;
    if (!Fits(at, size)) return Cut("PtgStr", at, size);
    pos = at + size;
    ++depth_;
    return true;
  }

  bool Attr(std::size_t& pos, std::size_t at, Bytes data) {
    const std::uint8_t flags = data[0];
    const std::uint16_t value = LittleEndian::U16(data, 1);
    const std::size_t after = at + 4;
    const std::size_t left = tokens_.size() - after;
    switch (flags) {
      case kAttrSemi:
      case kAttrBaxcel:
      case kAttrBaxcel | kAttrSemi:
        return true;
      case kAttrSpace:
      case kAttrSpace | kAttrSemi:
        if ((value & 0xFF) > kLastSpaceKind) {
          return Stop("space kind " + std::to_string(value & 0xFF) + " in PtgAttr at " +
                      std::to_string(at));
        }
        return true;
      case kAttrSum:
        return Apply("PtgAttrSum", at, 1);
      case kAttrIf:
      case kAttrGoto:
        // A jump stays inside the formula (a jump to its very end lands one byte short of
        // it: the distance counts to the last byte of the function that ends the branch).
        if (value > left) {
          return Stop("PtgAttr at " + std::to_string(at) + " jumps " + std::to_string(value) +
                      " bytes, " + std::to_string(left) + " left");
        }
        return true;
      case kAttrChoose: {
        // A jump table of value + 1 offsets from its own start, the last past the choices.
        const std::size_t table = (std::size_t{value} + 1) * 2;
        if (!Fits(after, table)) return Cut("PtgAttrChoose", at, 4 + table);
        for (std::size_t i = 0; i <= value; ++i) {
          const std::uint16_t offset = LittleEndian::U16(tokens_, after + 2 * i);
          if (offset > left) {
            return Stop("PtgAttrChoose at " + std::to_string(at) + " jumps " +
                        std::to_string(offset) + " bytes, " + std::to_string(left) + " left");
          }
        }
        pos = after + table;
        return true;
      }
      default:
        return Stop("unknown PtgAttr " + Hex(flags) + " at " + std::to_string(at));
    }
  }

  bool Function(const TokenKind& token, std::size_t at, Bytes data) {
    const bool variable = token.action == Action::FuncVar;
    const std::uint16_t index = LittleEndian::U16(data, variable ? 1 : 0);
    if ((index & kCommandBit) != 0 || index >= kFunctionArguments.size() ||
        kFunctionArguments[index] == kNone) {
      return Stop("function " + std::to_string(index) + " in " + token.name + " at " +
                  std::to_string(at) + " is no built-in function");
    }
    if (variable) return Apply(token.name, at, data[0] & kArgumentCountMask);
    if (kFunctionArguments[index] == kVariable) {
      return Stop("function " + std::to_string(index) + " in PtgFunc at " + std::to_string(at) +
                  " takes a variable number of arguments");
    }
    return Apply(token.name, at, static_cast<std::size_t>(kFunctionArguments[index]));
  }

  // The sub-expression of a memory token stands in the tokens right behind it; it gives
  // the one value the token stands for.
  bool SubExpression(const TokenKind& token, std::size_t at, std::size_t length) {
    const std::size_t after = at + token.size;
    if (!Fits(after, length)) {
      return Stop(std::string(token.name) + " at " + std::to_string(at) + " announces " +
                  std::to_string(length) + " bytes of sub-expression, " +
                  std::to_string(tokens_.size() - after) + " left");
    }
    return true;
  }

  bool ExtraCut(const char* name, std::size_t at, const char* what) {
    return Stop(std::string("the extra data ends inside the ") + what + " of " + name + " at " +
                std::to_string(at));
  }

  // PtgArray's constants, in the extra data in token order: columns − 1 (one byte), rows − 1
  // (two), then the values row by row. Each value takes at least 9 bytes, so the walk ends
  // with the data whatever the counts say.
  bool ArrayConstants(std::size_t at) {
    std::size_t& e = extraPos_;
    if (extra_.size() - e < 3) return ExtraCut("PtgArray", at, "size");
    const std::uint64_t columns = std::uint64_t{extra_[e]} + 1;
    const std::uint64_t rows = std::uint64_t{LittleEndian::U16(extra_, e + 1)} + 1;
    e += 3;
    for (std::uint64_t i = 0; i < columns * rows; ++i) {
      if (e >= extra_.size()) return ExtraCut("PtgArray", at, "values");
      const std::uint8_t type = extra_[e++];
      std::size_t size = 8;
      if (type == kConstantString) {
        if (extra_.size() - e < 3) return ExtraCut("PtgArray", at, "values");
        const std::size_t count = LittleEndian::U16(extra_, e);
        size = 3 + count * ((extra_[e + 2] & 0x01) != 0 ? 2 : 1);
      } else if (type != kConstantEmpty && type != kConstantNumber && type != kConstantBoolean &&
                 type != kConstantError) {
        return Stop("unknown constant type " + Hex(type) + " in PtgArray at " + std::to_string(at));
      }
      if (extra_.size() - e < size) return ExtraCut("PtgArray", at, "values");
      e += size;
    }
    return true;
  }

  // PtgMemArea's ranges, in the extra data in token order: a count, then per range first
  // row, last row, first column and last column, two bytes each.
  bool MemAreaRanges(std::size_t at) {
    std::size_t& e = extraPos_;
    if (extra_.size() - e < 2) return ExtraCut("PtgMemArea", at, "ranges");
    const std::size_t count = LittleEndian::U16(extra_, e);
    e += 2;
    if ((extra_.size() - e) / 8 < count) return ExtraCut("PtgMemArea", at, "ranges");
    for (std::size_t i = 0; i < count; ++i, e += 8) {
      for (const std::size_t column : {e + 4, e + 6}) {
        const std::uint16_t value = LittleEndian::U16(extra_, column) & kColumnMask;
        if (value > kMaxColumn) {
          return Stop("column " + std::to_string(value) + " past 255 in a range of PtgMemArea at " +
                      std::to_string(at));
        }
      }
    }
    return true;
  }

  Bytes tokens_;
  Bytes extra_;
  FormulaSite site_;
  FormulaLinks* links_;
  FormulaTokenCheck check_;
  std::size_t extraPos_ = 0;
  std::size_t depth_ = 0;  // values on the evaluation stack
};

FormulaTokenCheck Unsound(std::string reason) {
  FormulaTokenCheck check;
  check.reason = std::move(reason);
  return check;
}

}  // namespace

FormulaTokenCheck CheckFormulaTokens(std::span<const std::uint8_t> tokens,
                                     std::span<const std::uint8_t> extra, bool shared) {
  return TokenWalk(tokens, extra, shared ? FormulaSite::Shared : FormulaSite::Cell, nullptr).Run();
}

FormulaTokenCheck CheckFormulaTokens(std::span<const std::uint8_t> tokens,
                                     std::span<const std::uint8_t> extra, FormulaSite site,
                                     FormulaLinks* links) {
  return TokenWalk(tokens, extra, site, links).Run();
}

FormulaTokenCheck CheckFormulaField(std::span<const std::uint8_t> field, FormulaSite site,
                                    FormulaLinks* links) {
  if (field.size() < 2) return Unsound("no token length");
  const std::size_t length = LittleEndian::U16(field, 0);
  if (field.size() - 2 < length) {
    return Unsound("a token length of " + std::to_string(length) + " with " +
                   std::to_string(field.size() - 2) + " bytes left in the record");
  }
  return TokenWalk(field.subspan(2, length), field.subspan(2 + length), site, links).Run();
}

namespace {

// The formula field of a record as the model holds it: formula_ from `skip` on (a FORMULA
// keeps the second half of its reserved field in front of the token length).
FormulaTokenCheck CheckPart(const FormulaPart& part, std::size_t skip, FormulaSite site) {
  if (part.asRead_) return Unsound("the record is too short for its fixed fields");
  const std::span<const std::uint8_t> bytes(part.formula_);
  if (bytes.size() < skip) return Unsound("no token length");
  return CheckFormulaField(bytes.subspan(skip), site);
}

}  // namespace

FormulaTokenCheck CheckFormulaTokens(const Formula& formula) {
  return CheckPart(formula, 2, FormulaSite::Cell);
}

FormulaTokenCheck CheckFormulaTokens(const ShrFmla& shared) {
  return CheckPart(shared, 0, FormulaSite::Shared);
}

FormulaTokenCheck CheckFormulaTokens(const Array& array) {
  return CheckPart(array, 0, FormulaSite::Array);
}

FormulaTokenCheck CheckFormulaTokens(const Table& table) {
  // Some writers put two bytes more behind the fields; readers pass over them.
  if (table.asRead_) return Unsound("the record is too short for its fixed fields");
  FormulaTokenCheck check;
  check.sound = true;
  return check;
}

}  // namespace tabulix::cells
