#include "biff/record_codes.hpp"

#include <gtest/gtest.h>

namespace tabulix {
namespace {

// The lookup is usable where the scan needs it at compile time as well.
static_assert(IsKnownRecord(0x0809));
static_assert(!IsKnownRecord(0x0000));
static_assert(RecordName(ToCode(RecordCode::SST)) == "SST");
static_assert(ToCode(RecordCode::EOF_) == 0x000A);

TEST(RecordCodes, TableAndLookupAgree) {
  // A line added out of order or twice would let one code shadow another.
  for (std::size_t i = 1; i < kRecordTable.size(); ++i) {
    EXPECT_LT(kRecordTable[i - 1].code, kRecordTable[i].code) << kRecordTable[i].name;
  }
  for (const RecordInfo& info : kRecordTable) {
    ASSERT_EQ(FindRecord(info.code), &info) << info.name;
    EXPECT_FALSE(info.name.empty());
  }
  std::size_t known = 0;
  for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
    if (IsKnownRecord(static_cast<std::uint16_t>(code))) ++known;
  }
  EXPECT_EQ(known, kRecordTable.size());
  EXPECT_EQ(kRecordTable.size(), 120u);

  EXPECT_EQ(RecordName(0x000A), "EOF");
  EXPECT_EQ(RecordName(0x04BC), "SHRFMLA1");
  EXPECT_EQ(RecordName(0x003C), "CONTINUE");
  EXPECT_EQ(FindRecord(0x003C)->className, "");
  EXPECT_EQ(FindRecord(0x0085)->className, "Workbook::BoundSheet");
  for (std::uint16_t unknown : {0x0001, 0x0007, 0x0202, 0x0809 + 1, 0xFFFF}) {
    EXPECT_FALSE(IsKnownRecord(unknown)) << unknown;
    EXPECT_TRUE(RecordName(unknown).empty());
  }
}

}  // namespace
}  // namespace tabulix
