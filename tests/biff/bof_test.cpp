#include "biff/bof.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "byte_builder.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

using test::ByteBuilder;
using test::LogCapture;

// A sound worksheet BOF; `change` breaks one field.
std::vector<std::uint8_t> WorksheetBof(std::uint16_t code = 0x0809, std::uint16_t length = 16,
                                       std::uint16_t version = 0x0600,
                                       std::uint16_t type = 0x0010) {
  return ByteBuilder()
      .U16(code)
      .U16(length)
      .U16(version)     // BIFF version
      .U16(type)        // substream type
      .U16(0x2775)      // build identifier
      .U16(0x07CD)      // build year
      .U32(0x000100C1)  // file history flags
      .U32(0x00000406)  // lowest BIFF version
      .bytes();
}

TEST(BOFRecord, DefaultsResetAndRoundTrip) {
  LogCapture log;
  BOF bof;
  EXPECT_EQ(bof.code_, 0x0809);
  EXPECT_EQ(bof.RecordSize(), 20u);
  EXPECT_EQ(bof.buildId_, 0x19A0);
  EXPECT_EQ(bof.fileHistory_, 0xC0C9u);

  const auto stream = WorksheetBof();
  ASSERT_EQ(bof.Read(stream, 0), 20u);
  EXPECT_EQ(bof.version_, 0x0600);
  EXPECT_EQ(bof.type_, 0x0010);
  EXPECT_EQ(bof.buildId_, 0x2775);
  EXPECT_EQ(bof.fileHistory_, 0x000100C1u);
  EXPECT_EQ(bof.lowestVersion_, 0x0406u);
  std::vector<std::uint8_t> out(20);
  EXPECT_EQ(bof.Write(out, 0), 20u);
  EXPECT_EQ(out, stream);

  bof.Reset();  // a new workbook's values; the type stays
  EXPECT_EQ(bof.type_, 0x0010);
  EXPECT_EQ(bof.buildId_, 0x15EC);
  EXPECT_EQ(bof.fileHistory_, 0xC0C1u);
  EXPECT_EQ(bof.lowestVersion_, 0x0306u);
  ASSERT_EQ(bof.Write(out, 0), 20u);
  BOF back;
  back.Read(out, 0);
  EXPECT_EQ(back.buildId_, 0x15EC);
  EXPECT_EQ(back.lowestVersion_, 0x0306u);
  EXPECT_TRUE(log.ErrorLines().empty());
}

TEST(BOFRecord, ShortOrMissingDataIsLoggedAndKept) {
  LogCapture log;
  {  // A BOF of 8 bytes: the fields it lacks keep their values; it is written back as read.
    const auto stream = ByteBuilder()
                            .Header(0x0809, 8)
                            .U16(0x0600)  // version
                            .U16(0x0005)  // type
                            .U16(0x1111)  // build identifier
                            .U16(0x07CC)  // build year
                            .bytes();
    BOF bof;
    EXPECT_EQ(bof.Read(stream, 0), 12u);
    EXPECT_EQ(bof.type_, 0x0005);
    EXPECT_EQ(bof.buildYear_, 0x07CC);
    EXPECT_EQ(bof.fileHistory_, 0xC0C9u);
    EXPECT_EQ(log.CountError("Error reading BOF record"), 1);
    std::vector<std::uint8_t> out(12);
    EXPECT_EQ(bof.Write(out, 0), 12u);
    EXPECT_EQ(out, stream);
    EXPECT_EQ(log.CountError("Error writing BOF record"), 1);
  }
  {  // A BOF whose data is cut off consumes nothing.
    auto stream = WorksheetBof();
    stream.resize(15);
    BOF bof;
    EXPECT_EQ(bof.Read(stream, 0), 0u);
    EXPECT_EQ(log.CountError("Error reading 'Record' Record"), 1);
    EXPECT_EQ(log.CountError("Error reading BOF record"), 2);
  }
  {  // No room in the output.
    BOF bof;
    std::vector<std::uint8_t> out(19);
    EXPECT_EQ(bof.Write(out, 0), 0u);
    EXPECT_EQ(log.CountError("Error writing BOF record"), 2);
  }
}

TEST(BOFRecord, ValidateChecksHeaderVersionAndType) {
  LogCapture log;
  EXPECT_TRUE(BOF::Validate(WorksheetBof(), 0));
  for (std::uint16_t type : {0x0005, 0x0006, 0x0010, 0x0020, 0x0040, 0x0100}) {
    EXPECT_TRUE(BOF::Validate(WorksheetBof(0x0809, 16, 0x0600, type), 0)) << type;
  }
  EXPECT_FALSE(BOF::Validate(WorksheetBof(0x0808), 0));                      // code
  EXPECT_FALSE(BOF::Validate(WorksheetBof(0x0809, 20), 0));                  // length
  EXPECT_FALSE(BOF::Validate(WorksheetBof(0x0809, 16, 0x0500), 0));          // BIFF5 version
  EXPECT_FALSE(BOF::Validate(WorksheetBof(0x0809, 16, 0x0600, 0x0011), 0));  // type
  EXPECT_FALSE(BOF::Validate(WorksheetBof(0x0809, 16, 0x0600, 0x0000), 0));  // type
  // Only version and type are looked at, at the given position.
  auto padded = ByteBuilder().Fill(3).bytes();
  auto bof = WorksheetBof();
  bof.resize(8);  // header, version and type only
  padded.insert(padded.end(), bof.begin(), bof.end());
  EXPECT_TRUE(BOF::Validate_Biff8(padded, 3));
  EXPECT_TRUE(log.ErrorLines().empty());

  // A header at the very end of the buffer: its fields are not there to read.
  const auto headerOnly = ByteBuilder().Fill(6).Header(0x0809, 16).bytes();
  EXPECT_FALSE(BOF::Validate(headerOnly, 6));
  EXPECT_EQ(log.CountError("Exception in BOF::Validate_Biff8"), 1);
  EXPECT_FALSE(BOF::Validate(headerOnly, 8));  // half a header
  EXPECT_FALSE(BOF::Validate(headerOnly, 10));
  EXPECT_FALSE(BOF::Validate(headerOnly, 99));
  EXPECT_EQ(log.CountError("Exception in BOF::Validate"), 3);
  EXPECT_EQ(log.ErrorLines().size(), 4u);
}

TEST(EofRecord, ValidateJoinsContinuesAndReadsInsideTheBuffer) {
  LogCapture log;
  EXPECT_TRUE(Eof::Validate(ByteBuilder().Header(0x000A, 0).bytes(), 0));
  EXPECT_TRUE(Eof::Validate(ByteBuilder().Header(0x000A, 0).Header(0x003C, 0).bytes(), 0));
  EXPECT_TRUE(Eof::Validate(ByteBuilder().Header(0x000A, 0).Header(0x003C, 2).Fill(1).bytes(), 0));
  EXPECT_FALSE(Eof::Validate(ByteBuilder().Header(0x000A, 0).Header(0x003C, 2).Fill(2).bytes(), 0));
  EXPECT_FALSE(Eof::Validate(ByteBuilder().Header(0x000A, 1).Fill(1).bytes(), 0));
  EXPECT_FALSE(Eof::Validate(ByteBuilder().Header(0x000B, 0).bytes(), 0));
  EXPECT_TRUE(log.ErrorLines().empty());
  EXPECT_FALSE(Eof::Validate(ByteBuilder().Header(0x000A, 0).bytes(), 2));
  EXPECT_EQ(log.CountError("Exception in EOF::Validate"), 1);

  Eof eof;
  eof.Read(ByteBuilder().Header(0x0031, 2).Fill(2).bytes(), 0);
  eof.Reset();
  std::vector<std::uint8_t> out(4);
  EXPECT_EQ(eof.Write(out, 0), 4u);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{0x0A, 0x00, 0x00, 0x00}));
}

}  // namespace
}  // namespace tabulix
