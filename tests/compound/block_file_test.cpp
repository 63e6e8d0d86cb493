#include "compound/block_file.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "compound/compound_file.hpp"
#include "compound/compound_header.hpp"
#include "support/test_support.hpp"
#include "tolerant_reader_helpers.hpp"

namespace tabulix {
namespace {

using test::LogCapture;
using test::TempDir;

std::vector<std::uint8_t> Numbered(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i / 512 + 1);
  return bytes;
}

TEST(BlockFileTest, CountsBlocksAndReadsOnlyWhatTheFileHolds) {
  LogCapture log;
  TempDir dir;
  {  // 1536 bytes: the header block and two sectors.
    test::WriteFileBytes(dir / "a.bin", Numbered(1536));
    BlockFile file;
    ASSERT_TRUE(file.Open(dir / "a.bin", BlockFile::kModeRead));
    EXPECT_EQ(file.blockCount(), 3u);
    std::vector<std::uint8_t> block(512, 0);
    EXPECT_TRUE(file.ReadBlock(2, block));
    EXPECT_EQ(block[0], 3);
  }
  {  // 1600 bytes: a fourth block of 64 bytes; past it nothing is read and 10012 is logged.
    test::WriteFileBytes(dir / "b.bin", Numbered(1600));
    BlockFile file;
    ASSERT_TRUE(file.Open(dir / "b.bin", BlockFile::kModeRead));
    EXPECT_EQ(file.blockCount(), 4u);
    std::vector<std::uint8_t> block(512, 0xEE);
    EXPECT_FALSE(file.ReadBlock(3, block));
    EXPECT_EQ(block[63], 4);
    EXPECT_EQ(block[64], 0xEE);
    std::vector<std::uint8_t> untouched(512, 0xEE);
    EXPECT_FALSE(file.ReadBlock(4, untouched));
    EXPECT_EQ(untouched, std::vector<std::uint8_t>(512, 0xEE));
    EXPECT_EQ(log.CountError("ERROR: Block Index out of range"), 1);
    file.SetBlockSize(0);  // refused: no division by zero, nothing changes
    EXPECT_EQ(file.blockCount(), 4u);
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.blockSize(), 512u);
    EXPECT_EQ(file.blockCount(), 0u);
  }
  {  // The damaged file is only read: a read-only file opens with the read-write mode, and
     // a mode without the read bit opens nothing.
    const auto path = dir / "c.bin";
    test::WriteFileBytes(path, Numbered(512));
    std::filesystem::permissions(path, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
    BlockFile file;
    EXPECT_TRUE(file.Open(path, BlockFile::kModeRead | BlockFile::kModeWrite));
    EXPECT_EQ(file.mode(), BlockFile::kModeRead);
    EXPECT_FALSE(file.Open(path, BlockFile::kModeWrite));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(file.Open(dir / "missing.bin", BlockFile::kModeRead));
  }
  {  // Bytes already in memory read as the file would, and are not the block file's: a
     // short last block brings what there is and leaves the rest of the buffer alone.
    const auto bytes = Numbered(1600);
    BlockFile file;
    file.Open(bytes);
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(file.fileSize(), 1600u);
    EXPECT_EQ(file.blockCount(), 4u);
    std::vector<std::uint8_t> block(512, 0xEE);
    EXPECT_TRUE(file.ReadBlock(1, block));
    EXPECT_EQ(block[0], 2);
    EXPECT_FALSE(file.ReadBlock(3, block));
    EXPECT_EQ(block[63], 4);
    EXPECT_EQ(block[64], 2);
    file.SetBlockSize(1024);
    EXPECT_EQ(file.blockCount(), 2u);
    file.Close();
    EXPECT_FALSE(file.ReadBlock(0, block));
  }
}

std::vector<std::uint8_t> HeaderBytes() {
  std::vector<std::uint8_t> bytes(512, 0);
  const std::array<std::uint8_t, 8> signature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
  std::copy(signature.begin(), signature.end(), bytes.begin());
  LittleEndian::Write(std::span<std::uint8_t>(bytes), std::uint16_t{9}, 30);  // sector shift
  LittleEndian::Write(std::span<std::uint8_t>(bytes), std::uint32_t{6}, 32);  // mini shift
  return bytes;
}

TEST(CompoundHeaderTest, LoadHeaderAdoptsOnlyBlockSizesAFileCanHave) {
  LogCapture log;
  test::NoDumps noDumps;
  TempDir dir;
  {  // Shift 12: 4096-byte blocks, a 16384-byte file has 4 of them.
    auto bytes = HeaderBytes();
    LittleEndian::Write(std::span<std::uint8_t>(bytes), std::uint16_t{12}, 30);
    bytes.resize(16384, 0);
    test::WriteFileBytes(dir / "v4.bin", bytes);
    CompoundFile file;
    ASSERT_TRUE(file.Open((dir / "v4.bin").string(), 3));
    ASSERT_TRUE(file.LoadHeader());
    EXPECT_EQ(file.header().bigBlockSize_, 4096u);
    EXPECT_EQ(file.blockFile().blockCount(), 4u);
    EXPECT_EQ(file.blockBuffer().size(), 4096u);
  }
  {  // Absurd shifts never size the block buffer; the caller repairs the block size.
    for (const std::uint16_t shift :
         {std::uint16_t{0}, std::uint16_t{30}, std::uint16_t{40}, std::uint16_t{0xFFFF}}) {
      auto bytes = HeaderBytes();
      LittleEndian::Write(std::span<std::uint8_t>(bytes), shift, 30);
      bytes.resize(2048, 0);
      test::WriteFileBytes(dir / "odd.bin", bytes);
      CompoundFile file;
      ASSERT_TRUE(file.Open((dir / "odd.bin").string(), 3));
      ASSERT_TRUE(file.LoadHeader());
      EXPECT_EQ(file.blockBuffer().size(), 512u) << shift;
      EXPECT_EQ(file.blockFile().blockSize(), 512u) << shift;
      EXPECT_TRUE(file.SetBigBlockSize(512));
      EXPECT_FALSE(file.SetBigBlockSize(1u << 30));
      EXPECT_EQ(file.blockBuffer().size(), 512u);
    }
  }
  {  // Without the signature the header's fields are decoded but no block size adopted.
    std::vector<std::uint8_t> text(3000, 'x');
    LittleEndian::Write(std::span<std::uint8_t>(text), std::uint16_t{12}, 30);
    test::WriteFileBytes(dir / "text.bin", text);
    CompoundFile file;
    ASSERT_TRUE(file.Open((dir / "text.bin").string(), 3));
    ASSERT_TRUE(file.LoadHeader());
    EXPECT_FALSE(file.header().HasSignature());
    EXPECT_EQ(file.blockFile().blockSize(), 512u);
  }
}

TEST(CompoundHeaderTest, SmallBlockShiftWarningFiresOnlyOnUnusableShifts) {
  EXPECT_FALSE(SmallBlockShiftIsIncorrect(9, 6));
  EXPECT_FALSE(SmallBlockShiftIsIncorrect(12, 6));
  EXPECT_TRUE(SmallBlockShiftIsIncorrect(9, 0));
  EXPECT_TRUE(SmallBlockShiftIsIncorrect(9, 9));
  EXPECT_TRUE(SmallBlockShiftIsIncorrect(9, 12));
  EXPECT_TRUE(SmallBlockShiftIsIncorrect(9, 0xFFFF));       // -1 on its 16 bits
  EXPECT_FALSE(SmallBlockShiftIsIncorrect(9, 0x12340006));  // upper half is reserved bytes
}

}  // namespace
}  // namespace tabulix
