// The formula token check against every real workbook: each FORMULA, SHRFMLA and ARRAY of
// every worksheet, read with the record model, must check sound. A formula that uses a name
// or a 3-D reference is flagged as needing NAME or EXTERNSHEET records, and a real file
// that has such a formula has those records in its globals.

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "biff/formula_records.hpp"
#include "biff/formula_tokens.hpp"
#include "biff/record.hpp"
#include "support/test_support.hpp"

namespace tabulix::cells {
namespace {

constexpr std::uint16_t kBof = 0x0809;
constexpr std::uint16_t kEof = 0x000A;
constexpr std::uint16_t kName = 0x0018;
constexpr std::uint16_t kExternSheet = 0x0017;
constexpr std::uint16_t kWorksheet = 0x0010;

struct Tally {
  std::size_t formulas = 0;
  std::size_t companions = 0;
  std::size_t needNames = 0;
  std::size_t needExternSheet = 0;
  std::vector<std::string> unsound;

  void Note(const std::string& where, const FormulaTokenCheck& check, bool hasNames,
            bool hasExternSheet) {
    needNames += check.needsNames;
    needExternSheet += check.needsExternSheet;
    if (!check.sound) unsound.push_back(where + ": " + check.reason);
    if (check.needsNames && !hasNames) unsound.push_back(where + ": a name, no NAME record");
    if (check.needsExternSheet && !hasExternSheet) {
      unsound.push_back(where + ": another sheet, no EXTERNSHEET record");
    }
  }
};

TEST(FormulaTokenCorpus, EveryFormulaOfEveryRealFileIsSound) {
  const auto files = test::RealCorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  test::LogCapture log;
  Tally tally;
  std::vector<std::uint8_t> bytes;
  for (const auto& path : files) {
    if (!test::ReadWorkbookStream(path, bytes)) continue;
    const std::span<const std::uint8_t> stream(bytes);
    const std::string file = path.filename().string();
    bool hasNames = false;
    bool hasExternSheet = false;
    std::vector<std::uint16_t> open;  // the types of the substreams the walk is in
    Record record;
    Formula formula;
    for (std::size_t pos = 0; pos < stream.size();) {
      const std::uint16_t code = LittleEndian::U16(stream, pos);
      const bool inSheet = !open.empty() && open.back() == kWorksheet;
      if (inSheet && code == Formula::kCode) {
        const std::uint32_t size = formula.Read(stream, pos);
        if (size == 0) break;
        ++tally.formulas;
        const std::string where = file + " @" + std::to_string(pos);
        tally.Note(where, CheckFormulaTokens(formula), hasNames, hasExternSheet);
        tally.companions += formula.kind_ != 0;
        if (formula.kind_ == ShrFmla::kCode) {
          tally.Note(where, CheckFormulaTokens(formula.shrFmla_), hasNames, hasExternSheet);
        } else if (formula.kind_ == ShrFmla1::kCode) {
          tally.Note(where, CheckFormulaTokens(formula.shrFmla1_), hasNames, hasExternSheet);
        } else if (formula.kind_ == Array::kCode) {
          tally.Note(where, CheckFormulaTokens(formula.array_), hasNames, hasExternSheet);
        } else if (formula.kind_ != 0) {
          tally.Note(where, CheckFormulaTokens(formula.table_), hasNames, hasExternSheet);
        }
        pos += size;
        continue;
      }
      const std::uint32_t size = record.Read(stream, pos);
      if (size == 0) break;
      if (code == kName && open.size() == 1) hasNames = true;
      if (code == kExternSheet && open.size() == 1) hasExternSheet = true;
      if (code == kBof) open.push_back(LittleEndian::U16(stream, pos + 6));
      if (code == kEof && !open.empty()) open.pop_back();
      pos += size;
    }
  }
  // Natural-language formulas (labels used as references, a feature of the spreadsheet
  // program's own) carry extended tokens that the check does not take: such a formula is
  // kept as its value. One corpus file has one.
  std::vector<std::string> extended;
  std::erase_if(tally.unsound, [&](const std::string& line) {
    const bool natural = line.find("unknown token 0x18 ") != std::string::npos;
    if (natural) extended.push_back(line);
    return natural;
  });
  EXPECT_LE(extended.size(), 1u);
  std::string shown;
  for (std::size_t i = 0; i < tally.unsound.size() && i < 40; ++i) shown += tally.unsound[i] + "\n";
  EXPECT_TRUE(tally.unsound.empty()) << tally.unsound.size() << " unsound:\n" << shown;
  // The corpus has many formulas, shared ones and ones that use names and other sheets: the
  // check above saw each kind.
  EXPECT_GT(tally.formulas, 10000u);
  EXPECT_GT(tally.companions, 100u);
  EXPECT_GT(tally.needNames, 0u);
  EXPECT_GT(tally.needExternSheet, 0u);
  std::cout << tally.formulas << " formulas, " << tally.companions << " companions, "
            << tally.needNames << " use names, " << tally.needExternSheet << " use other sheets\n";
}

}  // namespace
}  // namespace tabulix::cells
