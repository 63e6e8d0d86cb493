// Documents with 4096-byte sectors (version 4): sound ones must keep their sector size and
// read as the strict reader reads them, tables and directory included.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "compound/compound_file.hpp"
#include "compound/tolerant_extraction.hpp"
#include "crafted_document.hpp"
#include "format/compound_layout.hpp"
#include "storage/storage_reader.hpp"
#include "support/test_support.hpp"
#include "tolerant_reader_helpers.hpp"

namespace tabulix {
namespace {

using test::CraftedStream;
using test::GetU32;
using test::LogCapture;
using test::PutU32;

constexpr std::uint16_t kShift = layout::kSectorShiftV4;
constexpr std::size_t kSector = std::size_t{1} << kShift;

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> data(size);
  for (std::size_t i = 0; i < size; ++i) {
    data[i] = static_cast<std::uint8_t>(i * 7 + i / 251 + seed);
  }
  return data;
}

// Every stream of a real file's root, to be laid out again in 4096-byte sectors.
std::vector<CraftedStream> RootStreamsOf(const std::filesystem::path& path) {
  std::vector<CraftedStream> streams;
  const auto reader = storage::StorageReader::Open(path);
  if (!reader) return streams;
  for (const auto& name : reader->StreamNames()) {
    CraftedStream stream{name, {}};
    if (reader->ReadStream(name, stream.data) != storage::ReadStatus::Ok) return {};
    streams.push_back(std::move(stream));
  }
  return streams;
}

std::vector<std::uint8_t> StrictWorkbook(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint8_t> out;
  const auto reader = storage::StorageReader::View(bytes);
  if (reader) reader->ReadStream(u"Workbook", out);
  return out;
}

// Six small streams, three of them of 4000 bytes: more small blocks than the first 512
// bytes of a small-block table sector number. Then a workbook of 5 MB: more sectors than
// one FAT sector describes. The workbook is the directory's eighth entry.
std::vector<CraftedStream> SmallStreamsAndALargeWorkbook() {
  std::vector<CraftedStream> streams;
  for (std::uint8_t k = 0; k < 6; ++k) {
    std::u16string name = u"Small";
    name.push_back(static_cast<char16_t>(u'A' + k));
    streams.push_back({name, Pattern(k < 3 ? 4000 : 10, k)});
  }
  streams.push_back({u"Workbook", Pattern(5u << 20, 99)});
  return streams;
}

TEST(LargeSectors, TableSectorsOfFourKilobytesHoldAThousandEntriesEach) {
  LogCapture log;
  test::NoDumps noDumps;
  const auto streams = SmallStreamsAndALargeWorkbook();
  const auto bytes = test::CraftDocument(streams, kShift);
  ASSERT_EQ(GetU32(bytes, layout::kOffFatSectorCount), 2u);
  ASSERT_TRUE(StrictWorkbook(bytes) == streams.back().data);

  CompoundFile file;
  file.Open(bytes);
  ASSERT_TRUE(file.LoadHeader());
  ASSERT_EQ(file.blockFile().blockSize(), kSector);
  file.LoadTables();
  ASSERT_TRUE(file.LoadProperties());
  for (const auto& stream : streams) {
    std::vector<std::uint8_t> out;
    EXPECT_EQ(file.ReadStream(std::u16string_view(stream.name), out), CompoundFile::kOk);
    EXPECT_TRUE(out == stream.data);
  }
  // No more entries than the file has sectors, and one table sector's worth.
  EXPECT_LE(file.bat().size(), bytes.size() / kSector + kSector / 4);

  // A header that lists 109 FAT sectors of 64 KB in a file of a few blocks: nothing is
  // decoded, and nothing kept, for sectors the file does not hold.
  auto hostile = std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4 * kSector);
  hostile[layout::kOffSectorShift] = 16;
  PutU32(hostile, layout::kOffFatSectorCount, 109);
  CompoundFile small;
  small.Open(hostile);
  small.LoadHeader();
  small.LoadTables();
  EXPECT_LE(small.bat().size() * 4, hostile.size());
}

TEST(LargeSectors, ASoundVersionFourFileKeepsItsSectorSizeAndReadsAsTheStrictReaderReads) {
  LogCapture log;
  test::NoDumps noDumps;
  // A real workbook of 2.2 MB and its three summary streams, laid out in 4096-byte sectors.
  const auto streams = RootStreamsOf(test::CorpusDir() / "real" / "57231_MixedGasReport.xls");
  ASSERT_EQ(streams.size(), 4u);
  const auto bytes = test::CraftDocument(streams, kShift);
  const auto reader = storage::StorageReader::View(bytes);
  ASSERT_TRUE(reader);
  ASSERT_EQ(reader->sectorSize(), kSector);
  const auto expected = StrictWorkbook(bytes);
  ASSERT_GT(expected.size(), 2000000u);
  {
    const TolerantExtraction result = ExtractWorkbookStream(bytes);
    EXPECT_TRUE(result.found_) << result.failure_;
    EXPECT_EQ(result.streamName_, "Workbook");
    EXPECT_TRUE(result.stream_ == expected);
    EXPECT_TRUE(result.repairs_.empty()) << result.repairs_.front();
  }
  {  // Written without the padding of its last sector (the workbook's), the file ends on a
     // 512-byte boundary that is no 4096-byte one: still sound, and still read so.
    const std::size_t tail = expected.size() % kSector;
    ASSERT_NE(tail, 0u);
    const std::size_t padding = kSector - (tail + 511) / 512 * 512;
    const std::vector<std::uint8_t> cut(bytes.begin(),
                                        bytes.end() - static_cast<std::ptrdiff_t>(padding));
    ASSERT_NE(cut.size() % kSector, 0u);
    ASSERT_TRUE(StrictWorkbook(cut) == expected);
    const TolerantExtraction result = ExtractWorkbookStream(cut);
    EXPECT_TRUE(result.found_) << result.failure_;
    EXPECT_TRUE(result.stream_ == expected);
    EXPECT_TRUE(result.repairs_.empty()) << result.repairs_.front();
  }
  {  // The crafted document of many small streams and a 5 MB workbook.
    const auto crafted = SmallStreamsAndALargeWorkbook();
    const TolerantExtraction result = ExtractWorkbookStream(test::CraftDocument(crafted, kShift));
    EXPECT_TRUE(result.found_) << result.failure_;
    EXPECT_TRUE(result.stream_ == crafted.back().data);
    EXPECT_TRUE(result.repairs_.empty()) << result.repairs_.front();
  }
}

// The extraction's own look at the extension table and the directory, before the tables
// are loaded, reads whole 4096-byte sectors too.
TEST(LargeSectors, TheExtractionReadsWholeSectorsOfTheExtensionTableAndTheDirectory) {
  LogCapture log;
  test::NoDumps noDumps;
  const auto streams = SmallStreamsAndALargeWorkbook();
  const auto& workbook = streams.back().data;
  const auto bytes = test::CraftDocument(streams, kShift);
  {  // The root entry's name damaged: the workbook's entry, the eighth of the first
     // directory sector, is still found there.
    auto damaged = bytes;
    damaged[(GetU32(bytes, layout::kOffDirStart) + 1) * kSector] = 'X';
    const TolerantExtraction result = ExtractWorkbookStream(damaged);
    EXPECT_TRUE(result.found_) << result.failure_;
    EXPECT_TRUE(result.stream_ == workbook);
  }
  {  // Two extension sectors behind the file, counted by the header: the first lists FAT
     // sectors in all of its 1023 slots and links to the second in its last. Only that
     // last slot is a link: the chain is whole and nothing is repaired.
    auto extended = bytes;
    const auto first = static_cast<std::uint32_t>(extended.size() / kSector - 1);
    extended.resize(extended.size() + 2 * kSector, 0xFF);
    for (std::uint32_t i = 0; i + 1 < kSector / 4; ++i) {
      PutU32(extended, (first + 1) * kSector + 4 * i, i);
    }
    PutU32(extended, (first + 2) * kSector - 4, first + 1);
    PutU32(extended, (first + 3) * kSector - 4, layout::kEndOfChain);
    PutU32(extended, layout::kOffDifatStart, first);
    PutU32(extended, layout::kOffDifatCount, 2);
    const TolerantExtraction result = ExtractWorkbookStream(extended);
    EXPECT_TRUE(result.found_) << result.failure_;
    EXPECT_TRUE(result.stream_ == workbook);
    EXPECT_TRUE(result.repairs_.empty()) << result.repairs_.front();
  }
}

}  // namespace
}  // namespace tabulix
