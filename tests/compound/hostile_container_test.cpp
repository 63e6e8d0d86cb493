// Containers made hostile on purpose: header fields at the edge of their range, and tables
// or trees long enough that work growing faster than the input would show.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "compound/compound_file.hpp"
#include "compound/tolerant_extraction.hpp"
#include "crafted_document.hpp"
#include "format/compound_layout.hpp"
#include "support/test_support.hpp"
#include "tolerant_reader_helpers.hpp"

namespace tabulix {
namespace {

using test::CraftedStream;
using test::GetU32;
using test::LogCapture;
using test::PutU32;

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 13 + i / 509);
  return data;
}

bool HasRepairMentioning(const TolerantExtraction& result, const std::string& words) {
  return std::any_of(
      result.repairs_.begin(), result.repairs_.end(),
      [&words](const std::string& line) { return line.find(words) != std::string::npos; });
}

// The largest positive sector number: one more does not fit a signed 32-bit field, and a
// reader that adds the header's block before widening overflows.
constexpr std::uint32_t kLargestSector = 0x7FFFFFFF;

// A sound document with a large workbook stream and a small stream, so that it has a FAT,
// a small-block table and a directory to damage. Its sectors: 0 FAT, 1 directory, 2 mini
// FAT, 3 mini stream, 4 on the workbook.
class HeaderFieldLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    workbook_ = Pattern(20000);
    original_ = test::CraftDocument(
        {{u"Workbook", workbook_}, {u"\x05SummaryInformation", Pattern(300)}}, 9);
    ASSERT_EQ(GetU32(original_, layout::kOffFatSectorCount), 1u);
    ASSERT_EQ(GetU32(original_, layout::kOffDirStart), 1u);
    ASSERT_EQ(GetU32(original_, layout::kOffMiniFatStart), 2u);
    const TolerantExtraction sound = ExtractWorkbookStream(original_);
    ASSERT_TRUE(sound.found_);
    ASSERT_TRUE(sound.repairs_.empty());
  }

  LogCapture log_;
  test::NoDumps noDumps_;
  std::vector<std::uint8_t> workbook_;
  std::vector<std::uint8_t> original_;
};

// Each field names a sector far beyond the file; the extraction must take it for no sector
// rather than compute past the field's range, and still bring back what the rest holds.
TEST_F(HeaderFieldLimits, TheLargestSectorNumberInAnyHeaderFieldNamesNoSector) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::size_t, std::uint32_t>> fields;  // (offset, value)
    const char* repair;  // words of a repair line that must be there; none: no line at all
    bool found;
  };
  using namespace layout;
  const Case cases[] = {
      {"small-block table start",
       {{kOffMiniFatStart, kLargestSector}},
       "small-block table at sector 2147483647 names no sector",
       true},
      {"extension table start",
       {{kOffDifatStart, kLargestSector}, {kOffDifatCount, 1}},
       "extension table at sector 2147483647 names no sector",
       true},
      {"extension table start, no sector counted",
       {{kOffDifatStart, kLargestSector}},
       nullptr,
       true},
      // The extension table then begins at the directory, which does not begin like one.
      {"last slot of the header's FAT list",
       {{kOffHeaderDifat + 4 * 108, kLargestSector}, {kOffDifatStart, 1}, {kOffDifatCount, 1}},
       "extension table at sector 1 does not begin like one",
       true},
      {"last FAT sector counted",
       {{kOffFatSectorCount, 2}, {kOffHeaderDifat + 4, kLargestSector}, {kOffDifatStart, 1}},
       nullptr,
       true},
      {"directory start", {{kOffDirStart, kLargestSector}}, "directory root entry damaged", false},
      // The mini FAT made to begin like an extension sector, whose link is the largest.
      {"extension chain link",
       {{kOffDifatStart, 2},
        {kOffDifatCount, 2},
        {3 * 512, kFatSector},
        {3 * 512 + 508, kLargestSector}},
       "extension table chain broken",
       true},
  };
  for (const Case& c : cases) {
    auto bytes = original_;
    for (const auto& [at, value] : c.fields) PutU32(bytes, at, value);
    const TolerantExtraction result = ExtractWorkbookStream(bytes);
    EXPECT_EQ(result.found_, c.found) << c.what;
    EXPECT_TRUE(c.found ? result.stream_ == workbook_ : result.stream_.empty()) << c.what;
    EXPECT_EQ(result.failure_.empty(), c.found) << c.what;
    if (c.repair == nullptr) {
      EXPECT_TRUE(result.repairs_.empty()) << c.what;
    } else {
      EXPECT_TRUE(HasRepairMentioning(result, c.repair)) << c.what;
    }
    // The tables read on their own take those numbers for no sector either.
    CompoundFile file;
    file.Open(bytes);
    file.LoadHeader();
    file.LoadTables();
    EXPECT_LE(file.bat().size(), 2u * 128u) << c.what;
  }
}

// Linear work: inputs that took 11 to 13 seconds in an optimised build (minutes with the
// sanitizers) while a table or a tree grew by inserting into the middle of a vector, and
// now take a fraction of a second. The ceiling is generous, to hold on a loaded machine.
constexpr auto kCeiling = std::chrono::seconds(5);

TEST(LongTablesAndTrees, AnExtensionChainOfFortyThousandSectorsIsWalkedOnce) {
  LogCapture log;
  test::NoDumps noDumps;
  const auto workbook = Pattern(20000);
  auto bytes = test::CraftDocument({{u"Workbook", workbook}}, 9);
  ASSERT_EQ(GetU32(bytes, layout::kOffDifatCount), 0u);
  // The extension chain: each sector lists no FAT sector beyond a leading marker, and links
  // to the next; the header counts them all, so nothing is repaired.
  constexpr std::uint32_t kChain = 40000;
  const auto first = static_cast<std::uint32_t>(bytes.size() / 512 - 1);
  bytes.resize(bytes.size() + std::size_t{kChain} * 512, 0xFF);
  for (std::uint32_t k = 0; k < kChain; ++k) {
    const std::size_t at = std::size_t{first + k + 1} * 512;
    if (k == 0) PutU32(bytes, at, layout::kFatSector);
    PutU32(bytes, at + 508, k + 1 < kChain ? first + k + 1 : layout::kEndOfChain);
  }
  PutU32(bytes, layout::kOffDifatStart, first);
  PutU32(bytes, layout::kOffDifatCount, kChain);

  const auto start = std::chrono::steady_clock::now();
  const TolerantExtraction result = ExtractWorkbookStream(bytes);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kCeiling);
  EXPECT_TRUE(result.found_);
  EXPECT_TRUE(result.stream_ == workbook);
  EXPECT_TRUE(result.repairs_.empty());
}

TEST(LongTablesAndTrees, ADirectoryOfOneHundredTwentyEightThousandSiblingsIsBuiltOnce) {
  LogCapture log;
  test::NoDumps noDumps;
  // Entry k + 1 is the right sibling of entry k: one long chain under the root, with the
  // workbook at its far end. Its 32,001 directory sectors need an extension table.
  constexpr std::size_t kSiblings = 128000;
  std::vector<CraftedStream> streams(kSiblings);
  for (std::size_t k = 0; k < kSiblings; ++k) {
    const std::string digits = std::to_string(k);
    streams[k].name.assign(digits.begin(), digits.end());
  }
  const auto workbook = Pattern(20000);
  streams.push_back({u"Workbook", workbook});
  const auto bytes = test::CraftDocument(streams, 9);
  ASSERT_GT(GetU32(bytes, layout::kOffDifatCount), 0u);

  const auto start = std::chrono::steady_clock::now();
  const TolerantExtraction result = ExtractWorkbookStream(bytes);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kCeiling);
  EXPECT_TRUE(result.found_);
  EXPECT_TRUE(result.stream_ == workbook);
  EXPECT_TRUE(result.repairs_.empty());

  // Every entry is a child of the root, in the order of the entries' numbers.
  CompoundFile file;
  file.Open(bytes);
  file.LoadHeader();
  file.LoadTables();
  ASSERT_TRUE(file.LoadProperties());
  const auto& children = file.root()->children_;
  ASSERT_EQ(children.size(), kSiblings + 1);
  for (std::size_t i = 0; i < children.size(); ++i) {
    ASSERT_EQ(file.nodes()[children[i]].index_, static_cast<std::int32_t>(i + 1));
  }
}
}  // namespace
}  // namespace tabulix
