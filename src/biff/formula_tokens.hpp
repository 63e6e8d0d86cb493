#pragma once
// Checks the tokens of a formula without evaluating it. The system keeps formula bytes as
// they were read, so a damaged formula would be saved as it stands; readers then stop on
// it (an unknown token, a token cut short, a reference to a NAME record the saved workbook
// does not hold). This check tells a formula that every reader can walk from one that must
// not be written as it is, and says what a written formula needs besides itself.
//
// A formula is a run of tokens in reverse Polish order, then (behind the tokens, in the
// same record) the data some tokens announce: the constants of an array token and the
// ranges of a memory-area token. Each token is one byte of kind (its reference class in
// bits 5 and 6) and a known number of bytes after it; only a string token and the choose
// token carry a length of their own.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "biff/formula_records.hpp"

namespace tabulix::cells {

struct FormulaTokenCheck {
  bool sound = false;             // every token known, every length inside the bytes given
  bool needsNames = false;        // a name token (any class): needs NAME records
  bool needsExternSheet = false;  // an external name or a 3-D reference: needs EXTERNSHEET
  bool isExp = false;             // the first token points at a shared formula or an array
  bool isTable = false;           // the first token points at a data table
  std::uint16_t expRow = 0;       // the cell the first token points at (isExp or isTable)
  std::uint16_t expColumn = 0;
  std::string reason;  // why not sound, for logs and the verifier ("unknown token 0x18 at 3")
};

// `tokens`: the formula's token bytes (as many as its token length says); `extra`: the bytes
// behind them in the record, where array constants and memory-area ranges stand. `shared`:
// the tokens of a SHRFMLA, where references relative to the cell (the N forms) belong.
FormulaTokenCheck CheckFormulaTokens(std::span<const std::uint8_t> tokens,
                                     std::span<const std::uint8_t> extra, bool shared = false);

// What kind of record a formula stands in decides which tokens it may hold: only a cell's
// formula may point at a shared formula, an array or a table, and only a shared formula or
// a defined name holds references relative to the cell it is used in.
enum class FormulaSite { Cell, Shared, Array, Name };

// Where a formula points outside itself, token by token, for a check against the records
// the workbook holds. Every list stays empty in a formula of plain cells and constants.
struct FormulaLinks {
  struct ExternName {
    std::uint16_t externSheet = 0;  // the EXTERNSHEET entry (0-based)
    std::uint16_t name = 0;         // the name behind it (1-based)
  };
  std::vector<std::uint16_t> names;         // name tokens: NAME records, 1-based
  std::vector<std::uint16_t> externSheets;  // 3-D references and external names: entries
  std::vector<ExternName> externNames;      // external names
};

// The formula field of a FORMULA, SHRFMLA or ARRAY record, from its 16-bit token length on:
// the length, the tokens, and the extra data up to the end of the record. `links`, when
// given, receives where the tokens read point (up to the first unsound one).
FormulaTokenCheck CheckFormulaField(std::span<const std::uint8_t> field, FormulaSite site,
                                    FormulaLinks* links = nullptr);

// The tokens of any other record (a defined name's formula), with the links as above.
FormulaTokenCheck CheckFormulaTokens(std::span<const std::uint8_t> tokens,
                                     std::span<const std::uint8_t> extra, FormulaSite site,
                                     FormulaLinks* links);

// The same on the records as the model holds them. A record read too short for its fixed
// fields is not sound. TABLE carries no tokens: it is sound when it holds its fields.
FormulaTokenCheck CheckFormulaTokens(const Formula& formula);
FormulaTokenCheck CheckFormulaTokens(const ShrFmla& shared);  // SHRFMLA1 too
FormulaTokenCheck CheckFormulaTokens(const Array& array);
FormulaTokenCheck CheckFormulaTokens(const Table& table);

}  // namespace tabulix::cells
