// One rule for names that differ only in case, as both container readers and the save's
// sheet names use it.

#include "format/name_folding.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "compound/compound_file.hpp"
#include "storage/storage_reader.hpp"
#include "storage/storage_writer.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

TEST(NameFolding, AsciiAndLatin1LettersFoldAndNothingElse) {
  EXPECT_TRUE(SameNameIgnoringCase(u"Workbook", u"WORKBOOK"));
  EXPECT_TRUE(SameNameIgnoringCase(u"caf\u00E9", u"CAF\u00C9"));
  EXPECT_TRUE(SameNameIgnoringCase(u"\u00FF", u"\u0178"));  // y-diaeresis has its capital outside
  // Division and multiplication signs sit where a letter pair would, and are no letters.
  EXPECT_FALSE(SameNameIgnoringCase(u"\u00F7", u"\u00D7"));
  EXPECT_FALSE(SameNameIgnoringCase(u"Book", u"Books"));
  EXPECT_FALSE(SameNameIgnoringCase(u"[", u"{"));  // 0x5B and 0x7B are 0x20 apart too
  EXPECT_EQ(FoldedName(u"\u00E0b\u00F7z"), u"\u00C0B\u00F7Z");
}

TEST(NameFolding, BothContainerReadersFindAStreamWhateverTheCaseOfItsLatin1Letters) {
  test::LogCapture logs;
  test::TempDir dir;
  const std::vector<std::uint8_t> data(5000, 7);
  const auto document = storage::BuildSingleStreamDocument(u"\u00C9TAT", data);
  test::WriteFileBytes(dir / "state.xls", document);

  const auto strict = storage::StorageReader::FromBytes(document);
  ASSERT_TRUE(strict);
  std::vector<std::uint8_t> out;
  EXPECT_EQ(strict->ReadStream(u"\u00E9tat", out), storage::ReadStatus::Ok);
  EXPECT_EQ(out, data);

  CompoundFile tolerant;
  tolerant.Open(document);
  tolerant.LoadHeader();
  tolerant.LoadTables();
  ASSERT_TRUE(tolerant.LoadProperties());
  EXPECT_EQ(tolerant.ReadStream(std::u16string_view(u"\u00E9tat"), out), CompoundFile::kOk);
  EXPECT_EQ(out, data);
}

}  // namespace
}  // namespace tabulix
