#include "biff/record.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "byte_builder.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

using test::ByteBuilder;
using test::LogCapture;

constexpr const char* kReadError = "Error reading 'Record' Record";
constexpr const char* kWriteError = "Error writing 'Record' Record";

std::vector<std::uint8_t> WriteOut(Record& record) {
  std::vector<std::uint8_t> out(record.RecordSize());
  const std::uint32_t written = record.Write(out, 0);
  out.resize(written);
  return out;
}

// Lengths of the pieces (first record, then each CONTINUE) of a written record.
std::vector<std::uint16_t> PieceLengths(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::uint16_t> lengths;
  for (std::size_t p = 0; p + 4 <= bytes.size();) {
    const std::uint16_t length = static_cast<std::uint16_t>(bytes[p + 2] | bytes[p + 3] << 8);
    if (p > 0) {
      EXPECT_EQ(bytes[p] | bytes[p + 1] << 8, kContinueCode) << "at " << p;
    }
    lengths.push_back(length);
    p += 4 + length;
  }
  return lengths;
}

TEST(RecordRead, JoinsContinueRecordsAndWritesTheSamePieces) {
  LogCapture log;
  {  // An empty record before a non-CONTINUE one stands alone.
    const auto stream = ByteBuilder()
                            .Header(0x000A, 0)  // EOF, no data
                            .Header(0x0809, 2)  // next record
                            .Fill(2)
                            .bytes();
    Record record;
    EXPECT_EQ(record.Read(stream, 0), 4u);
    EXPECT_EQ(record.code_, 0x000A);
    EXPECT_EQ(record.dataSize_, 0u);
    EXPECT_TRUE(record.data_.empty());
    EXPECT_TRUE(record.continueIndices_.empty());
  }
  {  // 10 bytes, then CONTINUE records of 8224 and 3 bytes.
    const auto stream = ByteBuilder()
                            .Header(0x00FC, 10)
                            .Fill(10, 1)
                            .Header(kContinueCode, 8224)
                            .Fill(8224, 11)
                            .Header(kContinueCode, 3)
                            .Fill(3, 7)
                            .Header(0x000A, 0)  // not joined
                            .bytes();
    Record record;
    EXPECT_EQ(record.Read(stream, 0), 8249u);
    EXPECT_EQ(record.dataSize_, 8237u);
    EXPECT_EQ(record.recordSize_, 8249u);
    EXPECT_EQ(record.data_.size(), 8237u);
    EXPECT_EQ(record.continueIndices_, (std::vector<std::uint32_t>{10, 8234}));
    EXPECT_EQ(record.data_[10], 11);  // first byte of the first CONTINUE
    EXPECT_EQ(record.data_[8234], 7);
    const auto out = WriteOut(record);
    EXPECT_EQ(PieceLengths(out), (std::vector<std::uint16_t>{10, 8224, 3}));
    EXPECT_TRUE(std::equal(out.begin(), out.end(), stream.begin()));
    // A copy keeps split points of its own: the original losing its own leaves it whole.
    Record copy = record;
    record.continueIndices_.clear();
    EXPECT_EQ(PieceLengths(WriteOut(record)), (std::vector<std::uint16_t>{8224, 13}));
    EXPECT_EQ(WriteOut(copy), out);
    copy.continueIndices_.DropFrom(8234);
    EXPECT_EQ(copy.continueIndices_, (std::vector<std::uint32_t>{10}));
  }
  {  // A CONTINUE of 0 bytes is a piece of its own and comes back.
    const auto stream = ByteBuilder().Header(0x0031, 2).Fill(2).Header(kContinueCode, 0).bytes();
    Record record;
    EXPECT_EQ(record.Read(stream, 0), 10u);
    EXPECT_EQ(record.continueIndices_, (std::vector<std::uint32_t>{2}));
    EXPECT_EQ(record.RecordSize(), 10u);
    EXPECT_EQ(WriteOut(record), stream);
  }
  {  // Reading again replaces data and split points.
    const auto joined =
        ByteBuilder().Header(0x0031, 1).Fill(1).Header(kContinueCode, 1).Fill(1).bytes();
    const auto single = ByteBuilder().Header(0x0085, 3).Fill(3, 9).bytes();
    Record record;
    record.Read(joined, 0);
    EXPECT_EQ(record.Read(single, 0), 7u);
    EXPECT_TRUE(record.continueIndices_.empty());
    EXPECT_EQ(record.data_, (std::vector<std::uint8_t>{9, 10, 11}));
  }
  {  // Pointed at a CONTINUE, the reader takes it as a record of its own.
    const auto stream =
        ByteBuilder().Header(kContinueCode, 1).Fill(1).Header(kContinueCode, 1).Fill(1).bytes();
    Record record;
    EXPECT_EQ(record.Read(stream, 0), 10u);
    EXPECT_EQ(record.code_, kContinueCode);
  }
  EXPECT_TRUE(log.ErrorLines().empty());
}

TEST(RecordRead, DamagedContinueEndsTheRecordAndBadHeadersFail) {
  LogCapture log;
  const auto base = ByteBuilder().Header(0x0031, 2).Fill(2).bytes();
  {  // Only the code of a CONTINUE header is left: the record stands without it.
    auto stream = base;
    stream.insert(stream.end(), {0x3C, 0x00});
    Record record;
    EXPECT_EQ(record.Read(stream, 0), 6u);
    EXPECT_TRUE(record.continueIndices_.empty());
  }
  {  // A CONTINUE whose length runs past the end is left out.
    const auto stream =
        ByteBuilder().Header(0x0031, 2).Fill(2).Header(kContinueCode, 5).Fill(4).bytes();
    Record record;
    EXPECT_EQ(record.Read(stream, 0), 6u);
    EXPECT_EQ(record.dataSize_, 2u);
  }
  EXPECT_TRUE(log.ErrorLines().empty());

  {  // Fewer than 4 bytes for the header.
    const std::vector<std::uint8_t> stream = {0x31, 0x00, 0x02};
    Record record;
    EXPECT_EQ(record.Read(stream, 0), 0u);
    EXPECT_EQ(record.Read(base, base.size()), 0u);      // at the very end
    EXPECT_EQ(record.Read(base, base.size() + 9), 0u);  // past it
  }
  {  // A length that runs past the end of the stream.
    const auto stream = ByteBuilder().Header(0x0031, 3).Fill(2).bytes();
    Record record;
    record.data_ = {0xAA};
    EXPECT_EQ(record.Read(stream, 0), 0u);
    EXPECT_EQ(record.code_, 0x0031);  // the header's values are kept
    EXPECT_EQ(record.dataSize_, 3u);
    EXPECT_EQ(record.data_, (std::vector<std::uint8_t>{0xAA}));
    // Such a record has no data to write.
    std::vector<std::uint8_t> out(16, 0xEE);
    EXPECT_EQ(record.Write(out, 0), 0u);
    EXPECT_EQ(out, std::vector<std::uint8_t>(16, 0xEE));
  }
  EXPECT_EQ(log.CountError(kReadError), 4);
  EXPECT_EQ(log.CountError(kWriteError), 1);
  EXPECT_EQ(log.ErrorLines().size(), 5u);
}

TEST(RecordWrite, SplitsEvery8224BytesAndStaysInsideTheBuffer) {
  LogCapture log;
  auto built = [](std::uint32_t size) {
    Record record;
    record.code_ = 0x00FC;
    record.data_.resize(size);
    for (std::uint32_t i = 0; i < size; ++i) record.data_[i] = static_cast<std::uint8_t>(i * 7);
    record.dataSize_ = size;
    record.recordSize_ = size + 4 * RecordPieceCount(size, 0);
    return record;
  };
  {
    Record record = built(20000);
    std::vector<std::uint8_t> out(20012 + 8, 0xEE);
    EXPECT_EQ(record.Write(out, 4), 20012u);
    out.resize(20012 + 4);
    out.erase(out.begin(), out.begin() + 4);
    EXPECT_EQ(PieceLengths(out), (std::vector<std::uint16_t>{8224, 8224, 3552}));
    Record back;
    EXPECT_EQ(back.Read(out, 0), 20012u);
    EXPECT_EQ(back.data_, record.data_);
    EXPECT_EQ(RecordPieceCount(20000, 0), 3u);
  }
  {
    Record record = built(8224);
    EXPECT_EQ(PieceLengths(WriteOut(record)), (std::vector<std::uint16_t>{8224}));
    EXPECT_EQ(RecordPieceCount(8224, 0), 1u);
    EXPECT_EQ(PieceLengths(WriteOut(record = built(8225))), (std::vector<std::uint16_t>{8224, 1}));
    EXPECT_EQ(RecordPieceCount(8225, 0), 2u);
    EXPECT_EQ(RecordPieceCount(0, 0), 1u);
    EXPECT_EQ(RecordPieceCount(10, 2), 3u);
  }
  EXPECT_TRUE(log.ErrorLines().empty());

  {  // Room for the first piece only: it is written, the second is not.
    Record record = built(8300);
    std::vector<std::uint8_t> out(8228 + 40, 0xEE);
    EXPECT_EQ(record.Write(out, 0), 8228u);
    EXPECT_TRUE(
        std::all_of(out.begin() + 8228, out.end(), [](std::uint8_t b) { return b == 0xEE; }));
    EXPECT_EQ(record.Write(out, out.size() - 2), 0u);
    EXPECT_EQ(record.Write(out, out.size() + 5), 0u);
  }
  {  // Split points that do not rise through the data are refused whole.
    Record record = built(10);
    std::vector<std::uint8_t> out(64, 0xEE);
    record.continueIndices_ = {6, 4};
    EXPECT_EQ(record.Write(out, 0), 0u);
    record.continueIndices_ = {11};
    EXPECT_EQ(record.Write(out, 0), 0u);
    EXPECT_EQ(out, std::vector<std::uint8_t>(64, 0xEE));
  }
  EXPECT_EQ(log.CountError(kWriteError), 5);
}

TEST(RecordWrite, OddSourceSplitsComeBackExactly) {
  // Pieces shorter and longer than 8224 bytes, empty pieces, the largest piece possible.
  const std::vector<std::vector<std::uint16_t>> layouts = {
      {0, 1}, {1, 0, 0, 2}, {8300, 17}, {65535, 65535, 5}, {3, 8224, 8225, 1}};
  for (const auto& layout : layouts) {
    ByteBuilder builder;
    std::uint8_t seed = 1;
    for (std::size_t i = 0; i < layout.size(); ++i) {
      builder.Header(i == 0 ? 0x041E : kContinueCode, layout[i]).Fill(layout[i], seed);
      seed = static_cast<std::uint8_t>(seed + 37);
    }
    builder.Header(0x000A, 0);
    const auto& stream = builder.bytes();
    Record record;
    const std::uint32_t size = record.Read(stream, 0);
    ASSERT_EQ(size, stream.size() - 4);
    EXPECT_EQ(record.continueIndices_.size(), layout.size() - 1);
    Record copy = record;  // a copy carries the split points along
    const auto out = WriteOut(copy);
    EXPECT_EQ(PieceLengths(out), layout);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), stream.begin()))
        << "layout of " << layout.size();
  }
}

// A record whose data length follows its contents, as strings and lists do.
class GrowingRecord : public Record {
 public:
  std::uint32_t DataSize() override { return dataSize_ = contents_; }
  std::uint32_t RecordSize() override { return SizeWithHeaders(); }
  std::uint32_t contents_ = 0;
};

TEST(RecordSize, ComputedSizesCountOneHeaderPerPiece) {
  GrowingRecord record;
  record.contents_ = 16448;
  EXPECT_EQ(record.RecordSize(), 16448u + 8);
  record.contents_ = 16449;
  EXPECT_EQ(record.RecordSize(), 16449u + 12);
  EXPECT_EQ(record.recordSize_, 16449u + 12);
  record.continueIndices_ = {5, 6, 7, 8};  // split points kept from a read win
  EXPECT_EQ(record.RecordSize(), 16449u + 20);
}

TEST(RecordRead, EveryPrefixOfAStreamReadsInsideItsBounds) {
  const auto full = ByteBuilder()
                        .Header(0x0809, 16)  // BOF
                        .Fill(16)
                        .Header(0x00FC, 5)  // SST, first piece
                        .Fill(5, 40)
                        .Header(kContinueCode, 3)  // second piece
                        .Fill(3, 60)
                        .Header(kContinueCode, 0)  // empty third piece
                        .Header(0x0000, 0)         // a zero record, as padding looks
                        .Header(0x000A, 0)         // EOF
                        .bytes();
  const std::vector<std::uint32_t> fullSizes = {20, 20, 4, 4};
  LogCapture log;
  for (std::size_t length = 0; length <= full.size(); ++length) {
    // A copy of exactly `length` bytes on the heap, so that a read past it is caught.
    const std::vector<std::uint8_t> copy(full.begin(),
                                         full.begin() + static_cast<std::ptrdiff_t>(length));
    const std::span<const std::uint8_t> stream(copy);
    std::size_t pos = 0;
    std::size_t index = 0;
    Record record;
    while (pos < length) {
      const std::uint32_t size = record.Read(stream, pos);
      if (size == 0) break;
      ASSERT_LE(pos + size, length);
      ASSERT_LT(index, fullSizes.size());
      // Only the SST may come out shorter: it loses the CONTINUEs that are cut off.
      if (index == 1) {
        EXPECT_TRUE(size == 9 || size == 16 || size == 20) << size;
      } else {
        EXPECT_EQ(size, fullSizes[index]);
      }
      pos += size;
      ++index;
    }
    if (length == full.size()) {
      EXPECT_EQ(index, fullSizes.size());
    }
  }
}

}  // namespace
}  // namespace tabulix
