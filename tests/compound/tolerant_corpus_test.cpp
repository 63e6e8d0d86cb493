// Sound documents: the tolerant reader reads what the strict reader reads.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "compound/compound_file.hpp"
#include "storage/storage_writer.hpp"
#include "support/test_support.hpp"
#include "tolerant_reader_helpers.hpp"

namespace tabulix {
namespace {

using test::LogCapture;
using test::TempDir;

TEST(TolerantCorpusTest, EveryRealFileGivesTheStrictReadersWorkbookStream) {
  LogCapture log;
  test::NoDumps noDumps;
  const auto files = test::RealCorpusFiles();
  ASSERT_GE(files.size(), 378u);
  int compared = 0;
  for (const auto& path : files) {
    std::vector<std::uint8_t> expected;
    if (!test::ReadWorkbookStream(path, expected)) continue;
    CompoundFile file;
    ASSERT_TRUE(test::OpenAndLoad(file, path)) << path;
    std::vector<std::uint8_t> actual;
    std::size_t bytesRead = 0;
    EXPECT_EQ(test::ReadWorkbook(file, actual, &bytesRead), CompoundFile::kOk) << path;
    EXPECT_EQ(bytesRead, expected.size()) << path;
    EXPECT_TRUE(actual == expected) << path;
    ++compared;
  }
  EXPECT_GE(compared, 378);
}

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return data;
}

TEST(TolerantCorpusTest, SmallStreamsBigStreamsAndExtensionTables) {
  LogCapture log;
  test::NoDumps noDumps;
  TempDir dir;
  // 4095 bytes live in small blocks, 4096 in big blocks; 8 MB needs more BAT blocks than
  // the header can list, so its BAT is completed from the extension table.
  for (const std::size_t size : {std::size_t{1}, std::size_t{100}, std::size_t{4095},
                                 std::size_t{4096}, std::size_t{8u << 20}}) {
    const auto data = Pattern(size);
    // Appended rather than "literal" + temporary string, on which GCC 12 at -O3 warns falsely.
    const auto path = dir / std::string("s").append(std::to_string(size)).append(".xls");
    test::WriteFileBytes(path, storage::BuildSingleStreamDocument(u"Workbook", data));
    CompoundFile file;
    ASSERT_TRUE(test::OpenAndLoad(file, path));
    std::vector<std::uint8_t> out;
    EXPECT_EQ(test::ReadWorkbook(file, out), CompoundFile::kOk) << size;
    EXPECT_TRUE(out == data) << size;
    if (size >= (8u << 20)) {
      EXPECT_GT(file.header().xbatBlockCount_, 0u);
      EXPECT_GT(file.bat().size(), 109u * 128u);
    }
  }
}

TEST(TolerantCorpusTest, PathsAndTreeLookups) {
  LogCapture log;
  test::NoDumps noDumps;
  const auto path = test::CorpusDir() / "real" / "12561-2.xls";  // has a storage tree
  CompoundFile file;
  ASSERT_TRUE(test::OpenAndLoad(file, path));
  ASSERT_NE(file.FindProperty(u"Workbook"), nullptr);
  ASSERT_NE(file.FindProperty(u"\\Workbook"), nullptr);
  const PropertyNode* dirStream = file.FindProperty(u"_VBA_PROJECT_CUR\\VBA\\dir");
  ASSERT_NE(dirStream, nullptr);
  EXPECT_EQ(file.PropertyOf(*dirStream).name_, u"dir");
  EXPECT_EQ(file.current(), file.root());  // lookups restore the working node
  // Names match exactly first, else regardless of the case of Latin letters, as the
  // platform's storage finds them.
  EXPECT_EQ(file.FindProperty(u"workbook"), file.FindProperty(u"Workbook"));
  EXPECT_EQ(file.FindProperty(u"Workbok"), nullptr);
  EXPECT_EQ(file.ChangeDirectory(u"_VBA_PROJECT_CUR\\Nothing"), CompoundFile::kMissingComponent);
  EXPECT_EQ(file.current(), file.root());
  EXPECT_EQ(file.ChangeDirectory(u"_VBA_PROJECT_CUR"), CompoundFile::kOk);
  EXPECT_NE(file.FindProperty(u"VBA\\dir"), nullptr);
  EXPECT_EQ(file.ChangeDirectory(u".."), CompoundFile::kOk);
  EXPECT_EQ(file.current(), file.root());
  for (const auto& node : file.nodes()) {  // children stay sorted by property number
    for (std::size_t i = 1; i < node.children_.size(); ++i) {
      EXPECT_LT(file.nodes()[node.children_[i - 1]].index_, file.nodes()[node.children_[i]].index_);
    }
  }
  std::uint32_t size = 0;
  EXPECT_EQ(file.StreamSize(u"Missing", size), CompoundFile::kNoSuchPath);
  std::vector<std::uint8_t> out(3, 1);
  EXPECT_EQ(file.ReadStream(std::string("Missing"), out), CompoundFile::kNoSuchPath);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(file.ReadStream(std::string("\xFF"), out), CompoundFile::kNoSuchPath);
  EXPECT_EQ(file.ReadStream(std::string("Workbook"), out), CompoundFile::kOk);
  EXPECT_EQ(log.CountError("ERROR: Could not convert from char* to wchar_t*"), 1);
  file.Close();
  EXPECT_EQ(file.root(), nullptr);
  EXPECT_FALSE(file.blockFile().IsOpen());
}

TEST(TolerantCorpusTest, DumpsTablesWhenTheDiagnosticsFolderExists) {
  LogCapture log;
  TempDir dumps;
  SetDiagnosticsDirectory(dumps.path());
  CompoundFile file;
  const bool loaded = test::OpenAndLoad(file, test::CorpusDir() / "real" / "12843-1.xls");
  std::vector<std::uint8_t> out;
  test::ReadWorkbook(file, out);
  SetDiagnosticsDirectory({});
  ASSERT_TRUE(loaded);
  for (const char* name : {"headerBat1.txt", "XBatIndices.txt", "headerBat2.txt",
                           "headerSmallBat.txt", "blockindexes.txt", "Sector chain.txt"}) {
    EXPECT_TRUE(std::filesystem::exists(dumps / name)) << name;
  }
  const auto bat = test::ReadFileBytes(dumps / "headerBat1.txt");
  const std::string text(bat.begin(), bat.end());
  EXPECT_EQ(text.rfind("\n block[0]  =  ", 0), 0u);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5 * 128);
  EXPECT_EQ(log.ExecutionLines().size(), 1u);
}

}  // namespace
}  // namespace tabulix
