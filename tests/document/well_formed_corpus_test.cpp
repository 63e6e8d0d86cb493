// Real workbooks with one kind of damage each that used to reach the saved file: each is
// rescued, and the saved workbook must pass the strict verifier and open in xlrd with the
// repair in its place.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "biff/stream_verifier.hpp"
#include "document/xls_document.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Rescue {
  RecoveryReport report;
  std::vector<std::string> findings;
  int xlrdStatus = -1;
  std::string cells;  // what xlrd reads, one line per cell
};

// Loads the damaged stream as a file's raw bytes, saves it, and reads the result back
// with the verifier and with xlrd.
Rescue RescueStream(const Bytes& stream) {
  Rescue out;
  test::TempDir dir;
  XlsDocument document;
  EXPECT_TRUE(document.LoadBytes(stream, "damaged.xls"));
  const auto saved = dir / "rescued.xls";
  EXPECT_TRUE(document.SaveStorageFile(saved.string()));
  out.report = document.report();
  out.findings = VerifyWorkbookStream(document.saveBuffer());
  out.xlrdStatus = test::RunCommand(
      std::string(TABULIX_PYTHON) + " " +
          test::ShellQuote(std::string(TABULIX_TESTS_DIR) + "/document/xlrd_values.py") + " " +
          test::ShellQuote(saved.string()),
      &out.cells);
  return out;
}

Bytes CorpusStream(const std::string& name) {
  Bytes stream;
  EXPECT_TRUE(test::ReadWorkbookStream(test::CorpusDir() / "real" / name, stream)) << name;
  return stream;
}

// The offset of the first record of `code` for which `pick` says yes, or 0.
std::size_t FindRecord(const Bytes& stream, std::uint16_t code,
                       const std::function<bool(std::size_t at, std::uint16_t length)>& pick) {
  for (std::size_t at = 0; at + 4 <= stream.size();) {
    const std::uint16_t length = LittleEndian::U16(stream, at + 2);
    if (LittleEndian::U16(stream, at) == code && pick(at, length)) return at;
    at += 4 + std::size_t{length};
  }
  return 0;
}

std::string Findings(const Rescue& rescue) {
  std::string text;
  for (const std::string& finding : rescue.findings) text += finding + "\n";
  return text;
}

// What xlrd reads from `file`, keyed by sheet, row and column ("Sheet1\t3\t4"), each
// value as "type\tvalue".
std::map<std::string, std::string> CellsOf(const std::string& listing) {
  std::map<std::string, std::string> cells;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    std::size_t at = 0;
    for (int field = 0; field < 3 && at != std::string::npos; ++field) at = line.find('\t', at + 1);
    if (at == std::string::npos) continue;
    cells[line.substr(0, at)] = line.substr(at + 1);
  }
  return cells;
}

TEST(WellFormedCorpus, ABurstInsideTheSharedStringsCostsOnlyTheStringsItHit) {
  test::LogCapture logs;
  const std::string name = "29982.xls";
  Bytes stream = CorpusStream(name);
  // The second CONTINUE record of the table: 300 bytes of its strings overwritten with
  // random bytes, its header and every other record left whole.
  const std::size_t sst =
      FindRecord(stream, 0x00FC, [](std::size_t, std::uint16_t) { return true; });
  ASSERT_NE(sst, 0u);
  std::size_t piece = sst;
  for (int k = 0; k < 2; ++k) {
    piece += 4 + LittleEndian::U16(stream, piece + 2);
    ASSERT_EQ(LittleEndian::U16(stream, piece), 0x003C) << "a table of several records";
  }
  ASSERT_GT(LittleEndian::U16(stream, piece + 2), 1000);
  std::uint32_t seed = 12345;
  for (std::size_t i = piece + 500; i < piece + 800; ++i) {
    seed = seed * 1103515245u + 12345u;
    stream[i] = static_cast<std::uint8_t>(seed >> 16);
  }

  const Rescue rescue = RescueStream(stream);
  EXPECT_TRUE(rescue.findings.empty()) << Findings(rescue);
  ASSERT_EQ(rescue.xlrdStatus, 0) << rescue.cells;
  std::string original;
  ASSERT_EQ(test::RunCommand(
                std::string(TABULIX_PYTHON) + " " +
                    test::ShellQuote(std::string(TABULIX_TESTS_DIR) + "/document/xlrd_values.py") +
                    " " + test::ShellQuote((test::CorpusDir() / "real" / name).string()),
                &original),
            0);
  const auto want = CellsOf(original);
  const auto got = CellsOf(rescue.cells);
  // Every text cell shows its own string or the placeholder of a lost one: none shows a
  // neighbour's. Those after the burst are there again.
  std::size_t same = 0;
  std::size_t lost = 0;
  for (const auto& [place, value] : want) {
    if (value.rfind("1\t", 0) != 0) continue;  // text cells only
    const auto found = got.find(place);
    ASSERT_NE(found, got.end()) << place;
    if (found->second == value) {
      ++same;
    } else {
      EXPECT_EQ(found->second.rfind("1\t'#LOST TEXT ", 0), 0u) << place << ": " << found->second;
      ++lost;
    }
  }
  std::printf("%zu of %zu text cells keep their string, %zu show the placeholder\n", same,
              same + lost, lost);
  EXPECT_GT(lost, 0u);
  EXPECT_GT(same, 10 * lost);
  std::size_t reported = 0;
  for (const auto& sheet : rescue.report.sheets_) reported += sheet.lostText_;
  EXPECT_EQ(reported, lost);
}

TEST(WellFormedCorpus, AnUnpairedSurrogateInASharedStringBecomesAReplacementCharacter) {
  test::LogCapture logs;
  Bytes stream = CorpusStream("25695.xls");
  // The first string of the table: 16-bit characters, its first one made the high half
  // of a pair with no low half behind it.
  const std::size_t sst =
      FindRecord(stream, 0x00FC, [](std::size_t, std::uint16_t) { return true; });
  ASSERT_NE(sst, 0u);
  const std::size_t first = sst + 4 + 8;
  ASSERT_EQ(stream[first + 2] & 0x01, 0x01) << "a 16-bit string";
  ASSERT_GE(LittleEndian::U16(stream, first), 2);
  LittleEndian::Write(LittleEndian::MutableBytes(stream), std::uint16_t{0xD800}, first + 3);
  LittleEndian::Write(LittleEndian::MutableBytes(stream), std::uint16_t{0x0041}, first + 5);

  const Rescue rescue = RescueStream(stream);
  EXPECT_TRUE(rescue.findings.empty()) << Findings(rescue);
  EXPECT_EQ(rescue.xlrdStatus, 0) << rescue.cells;
  EXPECT_NE(rescue.cells.find("'\xEF\xBF\xBD"
                              "A'"),
            std::string::npos)
      << rescue.cells;
  EXPECT_GE(rescue.report.globalStringsRepaired_, 1u);
}

TEST(WellFormedCorpus, AFormulaWithATextResultAndNoStringShowsThePlaceholder) {
  test::LogCapture logs;
  Bytes stream = CorpusStream("25695.xls");
  // A FORMULA whose cached result says a STRING follows: the STRING's code is destroyed
  // (its length kept, so the record chain stays whole).
  std::uint16_t row = 0;
  std::uint16_t column = 0;
  const std::size_t formula = FindRecord(stream, 0x0006, [&](std::size_t at, std::uint16_t length) {
    const std::size_t next = at + 4 + length;
    const bool text = stream[at + 4 + 6] == 0 && LittleEndian::U16(stream, at + 4 + 12) == 0xFFFF;
    if (!text || next + 4 > stream.size() || LittleEndian::U16(stream, next) != 0x0207)
      return false;
    row = LittleEndian::U16(stream, at + 4);
    column = LittleEndian::U16(stream, at + 6);
    return true;
  });
  ASSERT_NE(formula, 0u);
  const std::size_t string = formula + 4 + LittleEndian::U16(stream, formula + 2);
  LittleEndian::Write(LittleEndian::MutableBytes(stream), std::uint16_t{0x00EF}, string);

  const Rescue rescue = RescueStream(stream);
  EXPECT_TRUE(rescue.findings.empty()) << Findings(rescue);
  ASSERT_EQ(rescue.xlrdStatus, 0) << rescue.cells;
  const std::string cell =
      "\t" + std::to_string(row) + "\t" + std::to_string(column) + "\t1\t'#LOST TEXT'";
  EXPECT_NE(rescue.cells.find(cell), std::string::npos) << rescue.cells;
  std::size_t lost = 0;
  for (const auto& sheet : rescue.report.sheets_) lost += sheet.lostText_;
  EXPECT_EQ(lost, 1u);
}

TEST(WellFormedCorpus, AMulrkReachingPastColumn255KeepsTheNumbersOnTheGrid) {
  test::LogCapture logs;
  Bytes stream = CorpusStream("29942.xls");
  std::size_t count = 0;
  const std::size_t mulrk = FindRecord(stream, 0x00BD, [&](std::size_t, std::uint16_t length) {
    count = (length - 6u) / 6u;
    return count >= 4;
  });
  ASSERT_NE(mulrk, 0u);
  const std::uint16_t row = LittleEndian::U16(stream, mulrk + 4);
  const std::uint16_t length = LittleEndian::U16(stream, mulrk + 2);
  // The run now starts at column 254: two of its numbers fit, the others would lie past
  // the last column. Its last-column field agrees, as a writer's mistake would have it.
  LittleEndian::Write(LittleEndian::MutableBytes(stream), std::uint16_t{254}, mulrk + 6);
  LittleEndian::Write(LittleEndian::MutableBytes(stream),
                      static_cast<std::uint16_t>(254 + count - 1), mulrk + 4 + length - 2);

  const Rescue rescue = RescueStream(stream);
  EXPECT_TRUE(rescue.findings.empty()) << Findings(rescue);
  ASSERT_EQ(rescue.xlrdStatus, 0) << rescue.cells;
  for (const int column : {254, 255}) {
    EXPECT_NE(
        rescue.cells.find("\t" + std::to_string(row) + "\t" + std::to_string(column) + "\t2\t"),
        std::string::npos)
        << "column " << column;
  }
  EXPECT_EQ(rescue.cells.find("\t256\t"), std::string::npos);
}

}  // namespace
}  // namespace tabulix
