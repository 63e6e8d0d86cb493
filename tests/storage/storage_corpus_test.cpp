// Real workbooks: what the strict reader reads agrees with olefile, what the writer writes
// is opened by xlrd with the same cells, and odd or cut files never break the reader.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "storage/storage_reader.hpp"
#include "storage/storage_writer.hpp"
#include "storage_test_util.hpp"

namespace tabulix::storage {
namespace {

namespace fs = std::filesystem;
using tabulix::test::CorpusDir;
using tabulix::test::RealCorpusFiles;
using tabulix::test::ShellQuote;

// The workbook stream under either of its names; empty name when the file has neither.
std::u16string WorkbookStreamName(const StorageReader& reader) {
  if (reader.HasStream(u"Workbook")) return u"Workbook";
  if (reader.HasStream(u"Book")) return u"Book";
  return {};
}

TEST(StorageCorpusTest, EveryRealFileReadsAsOlefileReadsIt) {
  const auto files = RealCorpusFiles();
  ASSERT_GT(files.size(), 300u);
  std::string arguments = "sizes";
  // Appended rather than "literal" + temporary string, on which GCC 12 at -O3 warns falsely.
  for (const auto& file : files) arguments.append(" ").append(ShellQuote(file.string()));
  std::string output;
  ASSERT_EQ(test::RunScript("ole_probe.py", arguments, &output), 0);
  std::map<std::string, std::pair<std::string, std::uint64_t>> oracle;  // name -> stream, size
  std::istringstream lines(output);
  std::string name, stream, size;
  while (std::getline(lines, name, '\t') && std::getline(lines, stream, '\t') &&
         std::getline(lines, size)) {
    oracle[name] = {stream, stream == "-" ? 0 : std::stoull(size)};
  }
  ASSERT_EQ(oracle.size(), files.size());

  std::vector<std::uint8_t> out;
  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    std::string reason;
    auto reader = StorageReader::Open(file, &reason);
    ASSERT_TRUE(reader) << reason;
    const std::u16string streamName = WorkbookStreamName(*reader);
    ASSERT_FALSE(streamName.empty());
    ASSERT_EQ(reader->ReadStream(streamName, out, &reason), ReadStatus::Ok) << reason;
    // Some writers spell the name in capitals; both readers match it regardless of case.
    auto [oracleStream, oracleSize] = oracle[file.filename().string()];
    std::transform(oracleStream.begin(), oracleStream.end(), oracleStream.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_EQ(oracleStream, streamName == u"Workbook" ? "workbook" : "book");
    EXPECT_EQ(out.size(), oracleSize);
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[0], 0x09);  // BOF record code 0x0809
    EXPECT_EQ(out[1], 0x08);
  }
}

// The corpus files whose cells the rewrite test compares: the three largest, the one with
// the most sheets (from the manifest) and one whose workbook stream is below 4096 bytes,
// which the writer puts in the mini stream.
std::vector<fs::path> RewriteSample() {
  auto files = RealCorpusFiles();
  std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
    return fs::file_size(a) > fs::file_size(b);
  });
  std::vector<fs::path> sample(files.begin(), files.begin() + 3);
  std::ifstream manifest(CorpusDir() / "real" / "MANIFEST.tsv");
  std::string line, best;
  int bestSheets = 0;
  std::getline(manifest, line);  // column titles
  while (std::getline(manifest, line)) {
    std::istringstream fields(line);
    std::string file, source, license, bytes, sheets;
    std::getline(fields, file, '\t');
    std::getline(fields, source, '\t');
    std::getline(fields, license, '\t');
    std::getline(fields, bytes, '\t');
    std::getline(fields, sheets, '\t');
    if (std::stoi(sheets) > bestSheets) {
      bestSheets = std::stoi(sheets);
      best = file;
    }
  }
  sample.push_back(CorpusDir() / "real" / best);
  sample.push_back(CorpusDir() / "real" / "27852.xls");
  return sample;
}

TEST(StorageCorpusTest, RewrittenWorkbooksOpenInXlrdWithTheSameCells) {
  tabulix::test::TempDir dir;
  for (const auto& file : RewriteSample()) {
    SCOPED_TRACE(file.filename().string());
    auto reader = StorageReader::Open(file);
    ASSERT_TRUE(reader);
    std::vector<std::uint8_t> stream;
    ASSERT_EQ(reader->ReadStream(WorkbookStreamName(*reader), stream), ReadStatus::Ok);
    const fs::path rewritten = dir / file.filename().string();
    ASSERT_EQ(WriteSingleStreamFile(rewritten, u"Workbook", stream), WriteStatus::Ok);

    std::string original, copy;
    ASSERT_EQ(test::RunScript("xlrd_cells.py", ShellQuote(file.string()), &original), 0);
    ASSERT_EQ(test::RunScript("xlrd_cells.py", ShellQuote(rewritten.string()), &copy), 0);
    EXPECT_FALSE(original.empty());
    EXPECT_EQ(copy, original);
  }
}

TEST(StorageCorpusTest, OddFilesOpenOrFailCleanly) {
  int opened = 0, refused = 0;
  std::vector<std::uint8_t> out;
  for (const auto& entry : fs::directory_iterator(CorpusDir() / "odd")) {
    if (entry.path().extension() != ".xls") continue;
    SCOPED_TRACE(entry.path().filename().string());
    std::string reason;
    auto reader = StorageReader::Open(entry.path(), &reason);
    if (!reader) {
      EXPECT_FALSE(reason.empty());
      ++refused;
      continue;
    }
    ++opened;
    for (const auto& name : reader->StreamNames()) {
      if (reader->ReadStream(name, out, &reason) != ReadStatus::Ok) {
        EXPECT_TRUE(out.empty());
        EXPECT_FALSE(reason.empty());
      }
    }
  }
  EXPECT_GT(opened, 0);
  EXPECT_GT(refused, 0);  // the raw BIFF streams at least
  EXPECT_FALSE(StorageReader::Open(CorpusDir() / "odd" / "testEXCEL_4.xls"));
}

TEST(StorageCorpusTest, EveryPrefixOfARealFileIsReadWholeOrRefused) {
  // A small file whose workbook stream sits in the mini stream, and a larger one with
  // regular sectors: each cut either still holds the whole stream or reports a failure.
  for (const char* name : {"1900DateWindowing.xls", "12561-1.xls"}) {
    SCOPED_TRACE(name);
    const auto bytes = tabulix::test::ReadFileBytes(CorpusDir() / "real" / name);
    auto whole = StorageReader::FromBytes(bytes);
    ASSERT_TRUE(whole);
    std::vector<std::uint8_t> expected, out;
    ASSERT_EQ(whole->ReadStream(u"Workbook", expected), ReadStatus::Ok);
    int readWhole = 0;
    for (std::size_t cut = 0; cut < bytes.size(); cut += 7) {
      auto reader =
          StorageReader::FromBytes({bytes.begin(), bytes.begin() + static_cast<long>(cut)});
      if (!reader) continue;
      const ReadStatus status = reader->ReadStream(u"Workbook", out);
      if (status == ReadStatus::Ok) {
        EXPECT_TRUE(out == expected) << cut;
        ++readWhole;
      } else {
        EXPECT_TRUE(status == ReadStatus::Incomplete || status == ReadStatus::ReadFailed ||
                    status == ReadStatus::NoSuchStream)
            << cut;
      }
    }
    EXPECT_GE(readWhole, 0);
  }
}

}  // namespace
}  // namespace tabulix::storage
