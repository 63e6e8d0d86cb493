// The shared strings salvage through the whole load: a copy of a real file with a sector of
// its string table destroyed gives back the other strings at their own indexes, whether the
// globals are read whole or recovered record by record.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "document/xls_document.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kSector = 512;

// The file offset of stream offset `at`: a large stream is stored in 512-byte sectors, so
// the bytes from the start of its sector stand together in the file.
std::size_t FileOffset(const Bytes& file, const Bytes& stream, std::size_t at) {
  const auto needle = stream.begin() + static_cast<std::ptrdiff_t>(at - at % kSector);
  const auto found = std::search(file.begin(), file.end(), needle, needle + 64);
  EXPECT_NE(found, file.end());
  return static_cast<std::size_t>(found - file.begin()) + at % kSector;
}

TEST(SstSalvageLoad, ADestroyedSectorOfTheTableCostsOnlyItsStrings) {
  const auto path = test::CorpusDir() / "real" / "29982.xls";
  const Bytes file = test::ReadFileBytes(path);
  Bytes stream;
  ASSERT_TRUE(test::ReadWorkbookStream(path, stream));
  XlsDocument sound;
  ASSERT_TRUE(sound.LoadBytes(file));
  const auto& want = sound.workbook().sst_;

  // The first FONT record, and a stream sector inside the data of the table's middle piece.
  auto next = [&stream](std::size_t at) { return at + 4 + LittleEndian::U16(stream, at + 2); };
  std::size_t font = 0;
  while (LittleEndian::U16(stream, font) != 0x0031) font = next(font);
  std::size_t at = font;
  while (LittleEndian::U16(stream, at) != Workbook::SST::kCode) at = next(at);
  std::vector<std::size_t> pieces;  // the headers of the SST and its CONTINUE records
  for (; pieces.empty() || LittleEndian::U16(stream, at) == kContinueCode; at = next(at))
    pieces.push_back(at);
  const std::size_t middle = pieces[pieces.size() / 2];
  const std::size_t sector = (middle + 4 + kSector - 1) / kSector * kSector;
  ASSERT_LE(sector + kSector, next(middle));

  for (const bool wholeGlobals : {true, false}) {
    for (const bool zeros : {true, false}) {
      SCOPED_TRACE(std::string(wholeGlobals ? "globals read whole" : "globals recovered") +
                   (zeros ? ", zeroed sector" : ", random sector"));
      Bytes damaged = file;
      const std::size_t victim = FileOffset(file, stream, sector);
      std::mt19937 random(3);
      for (std::size_t i = victim; i < victim + kSector; ++i)
        damaged[i] = zeros ? 0 : static_cast<std::uint8_t>(random());
      // A FONT header destroyed: the globals are no longer intact. (A length merely off
      // by some bytes the stream's reassembly walks past, and the globals stay whole.)
      if (!wholeGlobals) {
        for (std::size_t i = 0; i < 4; ++i) damaged[FileOffset(file, stream, font + i)] = 0xFF;
      }

      test::LogCapture log;
      XlsDocument document;
      ASSERT_TRUE(document.LoadBytes(damaged));
      EXPECT_EQ(document.boundaries().intactFlags_.at(0), wholeGlobals ? 1 : 0);
      const auto& sst = document.workbook().sst_;
      ASSERT_EQ(sst.strings_.size(), want.strings_.size());
      // A lost string is saved as the placeholder the cells naming it show.
      for (std::size_t i = 0; i < want.strings_.size(); ++i) {
        EXPECT_EQ(sst.Text(i), sst.IsLost(i) ? "#LOST TEXT " + std::to_string(i) : want.Text(i))
            << i;
      }
      EXPECT_GT(sst.LostCount(), 0u);
      EXPECT_LE(sst.LostCount(), 2u * document.workbook().extSst_.stringsPerBucket_ + 1);
      const std::string lost = ", " + std::to_string(sst.LostCount()) + " lost";
      const std::vector<std::string> lines = log.ErrorLines();
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                              [&](const std::string& line) { return line.ends_with(lost); }),
                1);
    }
  }
}

}  // namespace
}  // namespace tabulix
