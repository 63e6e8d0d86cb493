// The strict reader against documents with one field broken per case. Inputs are written
// by our writer and then patched; the positions below follow from its fixed layout.

#include "storage/storage_reader.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "storage/storage_writer.hpp"
#include "storage_test_util.hpp"

namespace tabulix::storage {
namespace {

using test::Pattern;
using test::Put16;
using test::Put32;

constexpr std::uint32_t kEnd = 0xFFFFFFFE;
constexpr std::uint32_t kFree = 0xFFFFFFFF;

// Sector n of a version-3 file starts at byte 512 * (n + 1).
constexpr std::size_t SectorAt(std::size_t n) { return 512 * (n + 1); }
// FAT entry n: the FAT is sector 0 in both layouts below.
constexpr std::size_t FatEntry(std::size_t n) { return SectorAt(0) + 4 * n; }
// Directory entry e: the directory is sector 1. Entry 0 is the root, entry 1 the stream.
constexpr std::size_t DirEntry(std::size_t e) { return SectorAt(1) + 128 * e; }
constexpr std::size_t kLeft = 68, kRight = 72, kChild = 76, kStart = 116, kSize = 120;

// 100 bytes in the mini stream. Sectors: 0 FAT, 1 directory, 2 mini FAT, 3 mini stream
// (mini sectors 0 and 1 hold the stream). 2,560 bytes.
constexpr std::size_t kSmallSize = 100;
constexpr std::size_t kMiniFatEntry0 = SectorAt(2);
constexpr std::size_t kMiniFatEntry1 = SectorAt(2) + 4;
// 5,000 bytes in regular sectors. Sectors: 0 FAT, 1 directory, 2 to 11 data. 6,656 bytes.
constexpr std::size_t kBigSize = 5000;

std::vector<std::uint8_t> SmallDoc(std::u16string_view name = u"Workbook") {
  return BuildSingleStreamDocument(name, Pattern(kSmallSize));
}
std::vector<std::uint8_t> BigDoc() {
  return BuildSingleStreamDocument(u"Workbook", Pattern(kBigSize));
}

// Opens the bytes; on success reads "Workbook" and returns its status.
ReadStatus OpenAndRead(std::vector<std::uint8_t> doc, std::vector<std::uint8_t>& out,
                       std::string* reason = nullptr) {
  auto reader = StorageReader::FromBytes(std::move(doc), reason);
  if (!reader) return ReadStatus::NotCompound;
  return reader->ReadStream(u"Workbook", out, reason);
}

TEST(StorageReaderTest, LayoutOfTheTestDocumentsIsTheOneAssumed) {
  const auto small = SmallDoc();
  ASSERT_EQ(small.size(), 2560u);
  EXPECT_EQ(LittleEndian::U32(small, 48), 1u);                    // directory: sector 1
  EXPECT_EQ(LittleEndian::U32(small, 60), 2u);                    // mini FAT: sector 2
  EXPECT_EQ(LittleEndian::U32(small, DirEntry(0) + kStart), 3u);  // mini stream: sector 3
  EXPECT_EQ(LittleEndian::U32(small, DirEntry(1) + kStart), 0u);  // mini sector 0
  const auto big = BigDoc();
  ASSERT_EQ(big.size(), 6656u);
  EXPECT_EQ(LittleEndian::U32(big, DirEntry(1) + kStart), 2u);
  EXPECT_EQ(LittleEndian::U32(big, FatEntry(11)), kEnd);
}

TEST(StorageReaderTest, OpenRefusesWhatIsNoCompoundDocument) {
  tabulix::test::TempDir dir;
  std::string reason;
  EXPECT_FALSE(StorageReader::Open(dir / "missing.xls", &reason));
  EXPECT_EQ(reason, "no such file");
  EXPECT_FALSE(StorageReader::Open(dir.path(), &reason));
  EXPECT_EQ(reason, "not a regular file");
  tabulix::test::WriteFileBytes(dir / "empty.xls", {});
  EXPECT_FALSE(StorageReader::Open(dir / "empty.xls", &reason));
  EXPECT_NE(reason.find("shorter than"), std::string::npos) << reason;
  tabulix::test::WriteFileBytes(dir / "three.xls", {0xD0, 0xCF, 0x11});
  EXPECT_FALSE(StorageReader::Open(dir / "three.xls", &reason));

  std::vector<std::uint8_t> doc = SmallDoc();
  doc[0] = 0x00;  // signature, first byte
  EXPECT_FALSE(StorageReader::FromBytes(doc, &reason));
  EXPECT_EQ(reason, "no compound-document signature");
}

TEST(StorageReaderTest, OpenRefusesABadHeaderOrTables) {
  struct Case {
    const char* what;
    std::size_t pos;
    std::uint32_t value;
    int width;
  };
  const Case cases[] = {
      {"byte-order mark", 28, 0xFEFF, 2},
      {"major version 5", 26, 5, 2},
      {"version 3 with 4096-byte sectors", 30, 12, 2},
      {"mini-sector shift 7", 32, 7, 2},
      {"mini-stream cutoff 2048", 56, 2048, 4},
      {"FAT sector count larger than the file", 44, 100, 4},
      {"FAT sector beyond the file (header DIFAT slot 0)", 76, 1000, 4},
      {"directory start beyond the file", 48, 1000, 4},
      {"directory start is a special value", 48, kFree, 4},
      {"directory chain loops (directory sector points to itself)", FatEntry(1), 1, 4},
      {"mini FAT chain leaves the file", FatEntry(2), 50, 4},
      {"root entry is no root (type 1)", DirEntry(0) + 66, 1, 1},
      {"directory links loop (stream is its own left sibling)", DirEntry(1) + kLeft, 1, 4},
      {"directory link back to the root", DirEntry(1) + kRight, 0, 4},
      {"directory link beyond the directory", DirEntry(1) + kRight, 40, 4},
      {"root child links to an unused entry", DirEntry(0) + kChild, 2, 4},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> doc = SmallDoc();
    if (c.width == 1) doc[c.pos] = static_cast<std::uint8_t>(c.value);
    if (c.width == 2) Put16(doc, c.pos, static_cast<std::uint16_t>(c.value));
    if (c.width == 4) Put32(doc, c.pos, c.value);
    std::string reason;
    EXPECT_FALSE(StorageReader::FromBytes(doc, &reason)) << c.what;
    EXPECT_FALSE(reason.empty()) << c.what;
  }
}

TEST(StorageReaderTest, ExtensionTableThatLoopsOrStopsShortIsRefused) {
  // 7 MB needs 113 FAT sectors: 109 in the header, 4 in one extension sector.
  std::vector<std::uint8_t> doc = BuildSingleStreamDocument(u"Workbook", Pattern(7 << 20));
  const std::uint32_t difat = LittleEndian::U32(doc, 68);  // first extension sector
  ASSERT_EQ(LittleEndian::U32(doc, 72), 1u);               // one extension sector
  std::vector<std::uint8_t> looping = doc;
  Put32(looping, 44, 300);  // FAT sector count: more than the extension sector lists
  Put32(looping, SectorAt(difat) + 4 * 127, difat);  // its link points back at itself
  std::string reason;
  EXPECT_FALSE(StorageReader::FromBytes(looping, &reason));
  EXPECT_NE(reason.find("loops"), std::string::npos) << reason;
  Put32(doc, 68, kEnd);  // first extension sector: none, though 4 FAT sectors are missing
  EXPECT_FALSE(StorageReader::FromBytes(doc, &reason));
}

TEST(StorageReaderTest, ReadRefusesChainsThatCannotBeFollowed) {
  std::vector<std::uint8_t> out;
  std::string reason;
  struct Case {
    const char* what;
    std::size_t pos;
    std::uint32_t value;
    ReadStatus expected;
  };
  const Case cases[] = {
      // Data sectors 2..11; sector 5 links to 6 in the sound document.
      {"FAT chain loops back to sector 3", FatEntry(5), 3, ReadStatus::ReadFailed},
      {"FAT chain leaves the file", FatEntry(5), 1000, ReadStatus::ReadFailed},
      {"FAT chain meets a free sector", FatEntry(5), kFree, ReadStatus::ReadFailed},
      {"FAT chain ends after 4 of 10 sectors", FatEntry(5), kEnd, ReadStatus::Incomplete},
      {"stream start is a special value", DirEntry(1) + kStart, kFree, ReadStatus::ReadFailed},
      {"stream size larger than the file", DirEntry(1) + kSize, 0xFFFFFFF0u,
       ReadStatus::Incomplete},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> doc = BigDoc();
    Put32(doc, c.pos, c.value);
    out.assign(3, 0xAA);
    EXPECT_EQ(OpenAndRead(doc, out, &reason), c.expected) << c.what << ": " << reason;
    EXPECT_TRUE(out.empty()) << c.what;
  }

  const Case smallCases[] = {
      {"mini chain loops", kMiniFatEntry1, 1, ReadStatus::ReadFailed},
      {"mini chain leaves the mini stream", kMiniFatEntry1, 8, ReadStatus::ReadFailed},
      {"mini chain ends after 1 of 2 mini sectors", kMiniFatEntry0, kEnd, ReadStatus::Incomplete},
      {"mini stream's own chain loops", FatEntry(3), 3, ReadStatus::ReadFailed},
      {"stream size 200 on a chain of 2 mini sectors", DirEntry(1) + kSize, 200,
       ReadStatus::Incomplete},
  };
  for (const Case& c : smallCases) {
    std::vector<std::uint8_t> doc = SmallDoc();
    Put32(doc, c.pos, c.value);
    EXPECT_EQ(OpenAndRead(doc, out, &reason), c.expected) << c.what << ": " << reason;
    EXPECT_TRUE(out.empty()) << c.what;
  }

  auto reader = StorageReader::FromBytes(SmallDoc());
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->ReadStream(u"Book", out), ReadStatus::NoSuchStream);

  // A reader looks at its bytes through a view: moved on, it still reads its own; made
  // over the caller's bytes, it reads those without a copy.
  StorageReader moved = std::move(*reader);
  EXPECT_EQ(moved.ReadStream(u"Workbook", out), ReadStatus::Ok);
  EXPECT_EQ(out, Pattern(kSmallSize));
  const std::vector<std::uint8_t> big = BigDoc();
  auto view = StorageReader::View(big);
  ASSERT_TRUE(view);
  StorageReader movedView = std::move(*view);
  EXPECT_EQ(movedView.ReadStream(u"Workbook", out), ReadStatus::Ok);
  EXPECT_EQ(out, Pattern(kBigSize));
}

TEST(StorageReaderTest, TruncatedFiles) {
  std::vector<std::uint8_t> out;
  // Padding after the last used byte cut off: the mini stream's sector keeps 100 bytes.
  std::vector<std::uint8_t> doc = SmallDoc();
  doc.resize(SectorAt(3) + kSmallSize);
  EXPECT_EQ(OpenAndRead(doc, out), ReadStatus::Ok);
  EXPECT_EQ(out, Pattern(kSmallSize));
  // One byte of the stream cut off as well.
  doc.pop_back();
  EXPECT_EQ(OpenAndRead(doc, out), ReadStatus::Incomplete);

  doc = BigDoc();
  doc.resize(doc.size() - 512 + (kBigSize % 512));  // the last data sector holds 392 bytes
  EXPECT_EQ(OpenAndRead(doc, out), ReadStatus::Ok);
  EXPECT_EQ(out, Pattern(kBigSize));
  doc.pop_back();
  EXPECT_EQ(OpenAndRead(doc, out), ReadStatus::Incomplete);
  doc.resize(SectorAt(10));  // sectors 10 and 11 gone: the chain leaves the file
  EXPECT_EQ(OpenAndRead(doc, out), ReadStatus::ReadFailed);
}

TEST(StorageReaderTest, AcceptsTheQuirksOfOtherWriters) {
  std::vector<std::uint8_t> out;
  {
    std::vector<std::uint8_t> doc = BigDoc();
    Put32(doc, 8, 0x12345678);  // class id
    Put16(doc, 24, 0x003B);     // minor version as older writers set it
    Put16(doc, 34, 0xBEEF);     // reserved
    Put32(doc, 40, 7);          // directory sector count (unused in version 3)
    Put32(doc, 52, 0xCAFE);     // transaction signature
    Put32(doc, 64, 9);          // mini FAT sector count, though there is no mini FAT
    Put32(doc, 80, 0x1234);     // header DIFAT slot 1, beyond the one FAT sector
    Put32(doc, DirEntry(1) + kSize + 4, 0xDEADBEEF);  // high half of the stream size
    Put32(doc, FatEntry(100), 101);                   // FAT entries past the file's end in use
    Put32(doc, FatEntry(127), 5);
    doc[DirEntry(1) + 67] = 0;  // colour red
    EXPECT_EQ(OpenAndRead(doc, out), ReadStatus::Ok);
    EXPECT_EQ(out, Pattern(kBigSize));
  }
  {
    // A 7 MB stream: the extension table ends in a free marker instead of end-of-chain.
    const auto data = Pattern(7 << 20);
    std::vector<std::uint8_t> doc = BuildSingleStreamDocument(u"Workbook", data);
    const std::uint32_t difat = LittleEndian::U32(doc, 68);
    ASSERT_EQ(LittleEndian::U32(doc, SectorAt(difat) + 4 * 127), kEnd);
    Put32(doc, SectorAt(difat) + 4 * 127, kFree);
    EXPECT_EQ(OpenAndRead(doc, out), ReadStatus::Ok);
    EXPECT_EQ(out, data);
  }
  {
    // An older writer's stream name; names compare regardless of case.
    auto reader = StorageReader::FromBytes(SmallDoc(u"Book"));
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->StreamNames(), std::vector<std::u16string>{u"Book"});
    EXPECT_TRUE(reader->HasStream(u"BOOK"));
    EXPECT_FALSE(reader->HasStream(u"Workbook"));
    EXPECT_EQ(reader->ReadStream(u"book", out), ReadStatus::Ok);
    EXPECT_EQ(out, Pattern(kSmallSize));
  }
}

// A version-4 document built by hand: 4096-byte sectors, the header padded to one sector.
// Sectors: 0 FAT, 1 directory, 2 and 3 the 5,000-byte stream.
std::vector<std::uint8_t> Version4Doc(const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> doc(4096 * 5, 0);
  const std::uint8_t signature[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy(std::begin(signature), std::end(signature), doc.begin());
  Put16(doc, 24, 0x003E);  // minor version
  Put16(doc, 26, 4);       // major version
  Put16(doc, 28, 0xFFFE);  // byte order
  Put16(doc, 30, 12);      // sector shift: 4096-byte sectors
  Put16(doc, 32, 6);       // mini-sector shift
  Put32(doc, 40, 1);       // directory sectors
  Put32(doc, 44, 1);       // FAT sectors
  Put32(doc, 48, 1);       // directory start
  Put32(doc, 56, 4096);    // mini-stream cutoff
  Put32(doc, 60, kEnd);    // no mini FAT
  Put32(doc, 68, kEnd);    // no extension table
  Put32(doc, 76, 0);       // FAT sector 0
  for (std::size_t i = 1; i < 109; ++i) Put32(doc, 76 + 4 * i, kFree);
  const std::size_t fat = 4096;
  std::fill(doc.begin() + fat, doc.begin() + 2 * 4096, std::uint8_t{0xFF});
  Put32(doc, fat + 0, 0xFFFFFFFD);  // sector 0: the FAT
  Put32(doc, fat + 4, kEnd);        // sector 1: the directory
  Put32(doc, fat + 8, 3);           // sectors 2, 3: the stream
  Put32(doc, fat + 12, kEnd);
  const std::size_t root = 2 * 4096;
  const std::u16string rootName = u"Root Entry";
  LittleEndian::WriteString(doc, rootName, root, rootName.size());
  Put16(doc, root + 64, 22);  // name length with terminator
  doc[root + 66] = 5;         // type root
  Put32(doc, root + kLeft, kFree);
  Put32(doc, root + kRight, kFree);
  Put32(doc, root + kChild, 1);
  Put32(doc, root + kStart, kEnd);
  const std::size_t stream = root + 128;
  const std::u16string name = u"Workbook";
  LittleEndian::WriteString(doc, name, stream, name.size());
  Put16(doc, stream + 64, 18);
  doc[stream + 66] = 2;  // type stream
  Put32(doc, stream + kLeft, kFree);
  Put32(doc, stream + kRight, kFree);
  Put32(doc, stream + kChild, kFree);
  Put32(doc, stream + kStart, 2);
  Put32(doc, stream + kSize, static_cast<std::uint32_t>(data.size()));
  std::copy(data.begin(), data.end(), doc.begin() + 3 * 4096);
  return doc;
}

TEST(StorageReaderTest, ReadsVersion4Documents) {
  const auto data = Pattern(kBigSize);
  std::vector<std::uint8_t> out;
  auto reader = StorageReader::FromBytes(Version4Doc(data));
  ASSERT_TRUE(reader);
  EXPECT_EQ(reader->majorVersion(), 4);
  EXPECT_EQ(reader->sectorSize(), 4096u);
  EXPECT_EQ(reader->ReadStream(u"Workbook", out), ReadStatus::Ok);
  EXPECT_EQ(out, data);

  // Version 4 keeps 64-bit sizes: a high half that is set is part of the size.
  std::vector<std::uint8_t> doc = Version4Doc(data);
  Put32(doc, 2 * 4096 + 128 + kSize + 4, 1);
  EXPECT_EQ(OpenAndRead(doc, out), ReadStatus::Incomplete);
  doc = Version4Doc(data);
  Put16(doc, 30, 9);  // version 4 with 512-byte sectors
  EXPECT_EQ(OpenAndRead(doc, out), ReadStatus::NotCompound);
}

TEST(StorageReaderTest, RandomDamageNeverBreaksTheReader) {
  // Flip bytes of the header, tables and directory of both layouts; every result must be a
  // clean status, and Ok only with the stream's full size.
  std::uint32_t x = 12345;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  const std::vector<std::uint8_t> sound[] = {SmallDoc(), BigDoc()};
  std::vector<std::uint8_t> out;
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> doc = sound[round % 2];
    for (int flips = 1 + static_cast<int>(next() % 4); flips > 0; --flips) {
      doc[next() % SectorAt(2)] = static_cast<std::uint8_t>(next());
    }
    auto reader = StorageReader::FromBytes(doc);
    if (!reader) continue;
    for (const auto& name : reader->StreamNames()) {
      if (reader->ReadStream(name, out) == ReadStatus::Ok) {
        EXPECT_LE(out.size(), doc.size());
      }
    }
  }
}

}  // namespace
}  // namespace tabulix::storage
