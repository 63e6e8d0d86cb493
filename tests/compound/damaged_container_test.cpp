// Damaged containers, each made from a sound corpus file with one part broken: the reader
// must end, stay within the file's size, and say when a stream came back short.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "compound/compound_file.hpp"
#include "compound/tolerant_extraction.hpp"
#include "storage/storage_writer.hpp"
#include "support/test_support.hpp"
#include "tolerant_reader_helpers.hpp"

namespace tabulix {
namespace {

using test::GetU32;
using test::LogCapture;
using test::PutU32;
using test::TempDir;

// A sound file with 3 BAT blocks, a two-block directory at its start, small streams and
// a 162400-byte workbook stream.
class DamagedContainerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    source_ = test::CorpusDir() / "real" / "45365-2.xls";
    original_ = test::ReadFileBytes(source_);
    ASSERT_TRUE(test::ReadWorkbookStream(source_, expected_));
    CompoundFile file;
    ASSERT_TRUE(test::OpenAndLoad(file, source_));
    const PropertyNode* node = file.FindProperty(u"Workbook");
    ASSERT_NE(node, nullptr);
    workbookEntry_ = static_cast<std::size_t>(node->index_);
    file.GetBlockChain(file.PropertyOf(*node).firstBlock_, BlockTable::Bat, workbookChain_);
    ASSERT_EQ(workbookChain_.size(), (expected_.size() + 511) / 512);
    file.GetBlockChain(file.header().directoryStart_, BlockTable::Bat, directoryChain_);
    ASSERT_FALSE(directoryChain_.empty());
  }

  // File offset of BAT entry `sector`, through the header's list.
  std::size_t BatEntryOffset(std::int32_t sector) const {
    const auto batBlock = GetU32(original_, 76 + 4 * (static_cast<std::size_t>(sector) / 128));
    return (batBlock + 1) * 512 + 4 * (static_cast<std::size_t>(sector) % 128);
  }
  // File offset of directory entry `k`.
  std::size_t EntryOffset(std::size_t k) const {
    return (static_cast<std::size_t>(directoryChain_.at(k / 4)) + 1) * 512 + 128 * (k % 4);
  }

  // Writes the bytes to a file and reads its workbook stream with the tolerant reader.
  int Read(const std::vector<std::uint8_t>& bytes, std::vector<std::uint8_t>& out,
           std::size_t& bytesRead, CompoundFile& file) {
    test::WriteFileBytes(dir_ / "damaged.xls", bytes);
    EXPECT_TRUE(file.Open((dir_ / "damaged.xls").string(), 3));
    file.LoadHeader();
    file.LoadTables();
    file.LoadProperties();
    return test::ReadWorkbook(file, out, &bytesRead);
  }
  int Read(const std::vector<std::uint8_t>& bytes, std::vector<std::uint8_t>& out,
           std::size_t& bytesRead) {
    CompoundFile file;
    return Read(bytes, out, bytesRead, file);
  }

  LogCapture log_;
  test::NoDumps noDumps_;
  TempDir dir_;
  std::filesystem::path source_;
  std::vector<std::uint8_t> original_;
  std::vector<std::uint8_t> expected_;
  std::size_t workbookEntry_ = 0;
  std::vector<std::int32_t> workbookChain_;
  std::vector<std::int32_t> directoryChain_;
};

bool IsPrefixOf(const std::vector<std::uint8_t>& part, const std::vector<std::uint8_t>& whole,
                std::size_t length) {
  return length <= part.size() && length <= whole.size() &&
         std::equal(part.begin(), part.begin() + static_cast<std::ptrdiff_t>(length),
                    whole.begin());
}

TEST_F(DamagedContainerTest, LoopingChainsEndAndShortStreamsAreNotReportedAsRead) {
  std::vector<std::uint8_t> out;
  std::size_t bytesRead = 0;
  {  // The last sector links back to the first: the chain ends where it would have.
    auto bytes = original_;
    PutU32(bytes, BatEntryOffset(workbookChain_.back()),
           static_cast<std::uint32_t>(workbookChain_[0]));
    EXPECT_EQ(Read(bytes, out, bytesRead), CompoundFile::kOk);
    EXPECT_TRUE(out == expected_);
  }
  {  // The third sector links back to the first: three sectors of the stream, said so.
    auto bytes = original_;
    PutU32(bytes, BatEntryOffset(workbookChain_[2]), static_cast<std::uint32_t>(workbookChain_[0]));
    EXPECT_EQ(Read(bytes, out, bytesRead), CompoundFile::kShortStream);
    EXPECT_EQ(bytesRead, 3u * 512u);
    EXPECT_TRUE(IsPrefixOf(out, expected_, bytesRead));
  }
  {  // A sector that is its own successor.
    auto bytes = original_;
    PutU32(bytes, BatEntryOffset(workbookChain_[0]), static_cast<std::uint32_t>(workbookChain_[0]));
    EXPECT_EQ(Read(bytes, out, bytesRead), CompoundFile::kShortStream);
    EXPECT_EQ(bytesRead, 512u);
  }
  {  // A chain cut by a free entry (-1) ends there; so does one leading beyond the table.
    for (const std::uint32_t next : {0xFFFFFFFFu, 0x7FFFFFF0u}) {
      auto bytes = original_;
      PutU32(bytes, BatEntryOffset(workbookChain_[4]), next);
      EXPECT_EQ(Read(bytes, out, bytesRead), CompoundFile::kShortStream);
      EXPECT_EQ(bytesRead, 5u * 512u);
    }
  }
  {  // A truncated file: the chain runs off the end of the file; only what is there counts.
    auto bytes = original_;
    bytes.resize(bytes.size() * 6 / 10 + 100);
    EXPECT_EQ(Read(bytes, out, bytesRead), CompoundFile::kShortStream);
    EXPECT_GT(bytesRead, 0u);
    EXPECT_LT(bytesRead, expected_.size());
    EXPECT_LE(out.size(), bytes.size());
    EXPECT_TRUE(IsPrefixOf(out, expected_, bytesRead));
  }
  {  // Every BAT block all 0xFF: every chain is its first sector alone.
    auto bytes = original_;
    for (std::size_t i = 0; i < GetU32(original_, 44); ++i) {
      const std::size_t at = (GetU32(original_, 76 + 4 * i) + 1) * 512;
      std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                bytes.begin() + static_cast<std::ptrdiff_t>(at + 512), 0xFF);
    }
    EXPECT_EQ(Read(bytes, out, bytesRead), CompoundFile::kShortStream);
    EXPECT_EQ(bytesRead, 512u);
    EXPECT_TRUE(IsPrefixOf(out, expected_, bytesRead));
  }
}

TEST_F(DamagedContainerTest, DirectoryLinkCyclesEndAndAbsurdSizesAllocateNothing) {
  std::vector<std::uint8_t> out;
  std::size_t bytesRead = 0;
  {  // Entries that are their own child, that link back to the root, to their parent's
     // sibling or to an ancestor: every entry is still taken once and the workbook found.
    auto bytes = original_;
    PutU32(bytes, EntryOffset(2) + 76, 2);  // the root's child is its own child
    PutU32(bytes, EntryOffset(3) + 68, 0);  // a sibling that names the root
    PutU32(bytes, EntryOffset(3) + 72, 2);
    PutU32(bytes, EntryOffset(1) + 72, 2);  // the workbook names its own sibling
    PutU32(bytes, EntryOffset(4) + 76, 1);  // and its sibling names it as a child
    CompoundFile file;
    EXPECT_EQ(Read(bytes, out, bytesRead, file), CompoundFile::kOk);
    EXPECT_TRUE(out == expected_);
    EXPECT_LE(file.nodes().size(), file.properties().size());
  }
  {  // Every entry's links point at each other in a ring.
    auto bytes = original_;
    for (std::size_t k = 0; k < 5; ++k) {
      PutU32(bytes, EntryOffset(k) + 68, static_cast<std::uint32_t>((k + 1) % 5));
      PutU32(bytes, EntryOffset(k) + 72, static_cast<std::uint32_t>((k + 3) % 5));
      PutU32(bytes, EntryOffset(k) + 76, static_cast<std::uint32_t>((k + 2) % 5));
    }
    CompoundFile file;
    Read(bytes, out, bytesRead, file);
    EXPECT_LE(file.nodes().size(), file.properties().size());
  }
  {  // The workbook claims nearly 4 GB: only what its chain holds is allocated and read.
    auto bytes = original_;
    PutU32(bytes, EntryOffset(workbookEntry_) + 120, 0xFFFFFFF0u);
    EXPECT_EQ(Read(bytes, out, bytesRead), CompoundFile::kShortStream);
    EXPECT_EQ(out.size(), workbookChain_.size() * 512);
    EXPECT_EQ(bytesRead, out.size());
    EXPECT_TRUE(IsPrefixOf(expected_, out, expected_.size()));
  }
  {  // A cleared entry before entries still in use: the others keep their numbers, so
     // the links that name them still do.
    auto bytes = original_;
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(EntryOffset(3)), 128, 0);
    CompoundFile file;
    EXPECT_EQ(Read(bytes, out, bytesRead, file), CompoundFile::kOk);
    EXPECT_TRUE(out == expected_);
    const PropertyNode* compObj = file.FindProperty(
        u"\x01"
        u"CompObj");
    ASSERT_NE(compObj, nullptr);
    EXPECT_EQ(compObj->index_, 4);
    EXPECT_EQ(file.FindProperty(u"\x05"
                                u"DocumentSummaryInformation"),
              nullptr);
    EXPECT_EQ(file.root()->children_.size(), 3u);
  }
  {  // A directory whose chain loops on its first block is read once.
    auto bytes = original_;
    const auto dirStart = GetU32(original_, 48);
    PutU32(bytes, BatEntryOffset(static_cast<std::int32_t>(dirStart)), dirStart);
    EXPECT_EQ(Read(bytes, out, bytesRead), CompoundFile::kOk);
    EXPECT_TRUE(out == expected_);
  }
}

TEST_F(DamagedContainerTest, HeaderCountsThatContradictTheFile) {
  std::vector<std::uint8_t> out;
  std::size_t bytesRead = 0;
  const std::size_t blocks = original_.size() / 512;
  {  // SBAT and XBAT blocks the file does not have, up to the largest counts.
    for (const std::uint32_t count : {3u, 0xFFFFFFFFu}) {
      auto bytes = original_;
      PutU32(bytes, 64, count);                  // SBAT blocks
      PutU32(bytes, 72, count);                  // XBAT blocks
      PutU32(bytes, 68, GetU32(original_, 48));  // extension chain starts at the directory
      CompoundFile file;
      EXPECT_EQ(Read(bytes, out, bytesRead, file), CompoundFile::kOk) << count;
      EXPECT_TRUE(out == expected_);
      EXPECT_LE(file.sbat().size(), 128 * blocks);
      EXPECT_LE(file.bat().size(), std::max<std::size_t>(109 * 128, blocks + 128));
    }
  }
  {  // An SBAT that starts nowhere, and an XBAT block whose link names itself.
    auto bytes = original_;
    PutU32(bytes, 60, 0xFFFFFFFEu);
    const auto xbat = GetU32(original_, 60);  // the SBAT's own block, no longer used as such
    PutU32(bytes, 68, xbat);
    PutU32(bytes, 72, 1000);
    PutU32(bytes, (xbat + 1) * 512 + 508, xbat);
    CompoundFile file;
    EXPECT_EQ(Read(bytes, out, bytesRead, file), CompoundFile::kOk);
    EXPECT_TRUE(out == expected_);
    EXPECT_TRUE(file.sbat().empty());
  }
  {  // The reverse: a header that declares no SBAT blocks loses its small streams, which
     // then read short instead of as zeros.
    auto bytes = original_;
    PutU32(bytes, 64, 0);
    CompoundFile file;
    EXPECT_EQ(Read(bytes, out, bytesRead, file), CompoundFile::kOk);
    EXPECT_TRUE(out == expected_);
    EXPECT_TRUE(file.sbat().empty());
    std::vector<std::uint8_t> summary;
    EXPECT_EQ(file.ReadStream(std::u16string_view(u"\x05SummaryInformation"), summary, &bytesRead),
              CompoundFile::kShortStream);
    EXPECT_EQ(bytesRead, 0u);
  }
  {  // A wrong sector shift: read as stated it yields nothing sound and does not crash;
     // with the block size repaired the stream comes back whole.
    auto bytes = original_;
    bytes[30] = 12;
    EXPECT_NE(Read(bytes, out, bytesRead), CompoundFile::kOk);
    test::WriteFileBytes(dir_ / "shift.xls", bytes);
    CompoundFile file;
    ASSERT_TRUE(file.Open((dir_ / "shift.xls").string(), 3));
    file.LoadHeader();
    EXPECT_TRUE(file.SetBigBlockSize(512));
    file.LoadTables();
    file.LoadProperties();
    EXPECT_EQ(test::ReadWorkbook(file, out, &bytesRead), CompoundFile::kOk);
    EXPECT_TRUE(out == expected_);
  }
}

TEST_F(DamagedContainerTest, EveryPrefixReadsAPrefixAndOnlyAWholeStreamCountsAsRead) {
  std::vector<std::uint8_t> out;
  std::size_t bytesRead = 0;
  for (std::size_t length = 0; length <= original_.size(); length += 512 * 7 + 100) {
    const std::vector<std::uint8_t> bytes(original_.begin(),
                                          original_.begin() + static_cast<std::ptrdiff_t>(length));
    // Whole only when every byte came from the file; a cut file's tail (unused sectors,
    // other streams) may go while the workbook stays whole.
    const int result = Read(bytes, out, bytesRead);
    EXPECT_EQ(result == CompoundFile::kOk, bytesRead == expected_.size()) << length;
    EXPECT_TRUE(IsPrefixOf(out, expected_, bytesRead)) << length;
    if (result == CompoundFile::kOk) {
      EXPECT_TRUE(out == expected_) << length;
    }
  }
  EXPECT_EQ(Read(original_, out, bytesRead), CompoundFile::kOk);
}

// The extraction on the file's bytes: the stream whole, with one line per field it had to
// repair, or no stream and the reason.
TEST_F(DamagedContainerTest, ExtractionHandsBackTheStreamAndWhatItRepaired) {
  LogCapture log;
  test::NoDumps noDumps;
  {  // Sound: nothing to repair.
    const TolerantExtraction sound = ExtractWorkbookStream(original_);
    EXPECT_TRUE(sound.found_);
    EXPECT_EQ(sound.streamName_, "Workbook");
    EXPECT_TRUE(sound.stream_ == expected_);
    EXPECT_TRUE(sound.repairs_.empty());
    EXPECT_TRUE(sound.failure_.empty());
  }
  {  // A sector shift of 0 and a small-block table start pointing at the directory (which
     // begins with a name, not with a table entry): both repaired, the stream whole.
    auto bytes = original_;
    bytes[30] = 0;
    PutU32(bytes, 60, GetU32(original_, 48));
    const TolerantExtraction repaired = ExtractWorkbookStream(bytes);
    EXPECT_TRUE(repaired.found_);
    EXPECT_TRUE(repaired.stream_ == expected_);
    // The shift of 0 also makes the small-block size field unusable.
    ASSERT_EQ(repaired.repairs_.size(), 3u);
    EXPECT_EQ(repaired.repairs_[0],
              "small-block size field unusable; 64-byte small blocks assumed");
    EXPECT_EQ(repaired.repairs_[1], "block size taken as 512 bytes (sector shift field 0)");
    EXPECT_NE(repaired.repairs_[2].find("small-block table at sector"), std::string::npos)
        << repaired.repairs_[2];
  }
  {  // Cut inside the workbook stream: no stream, and the reason.
    const std::vector<std::uint8_t> cut(original_.begin(), original_.begin() + 60000);
    const TolerantExtraction short_ = ExtractWorkbookStream(cut);
    EXPECT_FALSE(short_.found_);
    EXPECT_TRUE(short_.stream_.empty());
    EXPECT_NE(short_.failure_.find("chain ends after"), std::string::npos) << short_.failure_;
  }
  {  // No container at all.
    const std::vector<std::uint8_t> text(5000, 'x');
    const TolerantExtraction none = ExtractWorkbookStream(text);
    EXPECT_FALSE(none.found_);
    EXPECT_FALSE(none.failure_.empty());
    EXPECT_NE(std::find(none.repairs_.begin(), none.repairs_.end(),
                        "no compound-document signature; the header's defaults assumed"),
              none.repairs_.end());
  }
}

TEST(DamagedContainerExtensionTest, HeaderWithoutTheExtensionTableItHas) {
  LogCapture log;
  test::NoDumps noDumps;
  TempDir dir;
  std::vector<std::uint8_t> data(8u << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 253);
  auto bytes = storage::BuildSingleStreamDocument(u"Workbook", data);
  ASSERT_GT(GetU32(bytes, 72), 0u);
  PutU32(bytes, 72, 0);  // no XBAT blocks: the BAT ends after the header's 109 blocks
  test::WriteFileBytes(dir / "big.xls", bytes);
  CompoundFile file;
  ASSERT_TRUE(test::OpenAndLoad(file, dir / "big.xls"));
  std::vector<std::uint8_t> out;
  std::size_t bytesRead = 0;
  EXPECT_EQ(test::ReadWorkbook(file, out, &bytesRead), CompoundFile::kShortStream);
  EXPECT_LT(bytesRead, data.size());
  EXPECT_TRUE(IsPrefixOf(out, data, bytesRead));
}

TEST(DamagedContainerNoiseTest, NoSignatureAndRandomBytesEndInBoundedTime) {
  LogCapture log;
  test::NoDumps noDumps;
  TempDir dir;
  {  // No compound signature: nothing named, nothing read, no crash.
    std::vector<std::uint8_t> text(5000, 'a');
    test::WriteFileBytes(dir / "text.xls", text);
    CompoundFile file;
    ASSERT_TRUE(file.Open((dir / "text.xls").string(), 3));
    file.LoadHeader();
    EXPECT_FALSE(file.header().HasSignature());
    file.LoadTables();
    file.LoadProperties();
    std::vector<std::uint8_t> out;
    EXPECT_NE(test::ReadWorkbook(file, out), CompoundFile::kOk);
  }
  {  // 10 MB of random bytes behind a sound header, and behind headers with random counts.
    const auto header = test::ReadFileBytes(test::CorpusDir() / "real" / "12843-1.xls");
    std::mt19937 random(20261208);
    std::vector<std::uint8_t> bytes(header.begin(), header.begin() + 512);
    bytes.resize(512 + (10u << 20));
    for (std::size_t i = 512; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(random());
    for (int round = 0; round < 3; ++round) {
      if (round > 0) {
        for (const std::size_t at : {44u, 48u, 60u, 64u, 68u, 72u}) PutU32(bytes, at, random());
      }
      test::WriteFileBytes(dir / "noise.xls", bytes);
      const auto start = std::chrono::steady_clock::now();
      CompoundFile file;
      ASSERT_TRUE(test::OpenAndLoad(file, dir / "noise.xls") || true);
      std::vector<std::uint8_t> out;
      test::ReadWorkbook(file, out);
      EXPECT_LE(out.size(), bytes.size());
      EXPECT_LE(file.bat().size() * 4, bytes.size() + 109 * 512);
      EXPECT_LE(file.sbat().size() * 4, bytes.size());
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    }
  }
}

}  // namespace
}  // namespace tabulix
