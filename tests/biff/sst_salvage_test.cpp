// The shared string table read again behind damage with the EXTSST buckets: real tables of
// several CONTINUE records, damaged inside, must give back every string the damage did not
// hit at its own index and flag the others lost.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "biff/workbook.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Where a sound table lies: the SST header, each piece's data (stream offset, length) and
// where each string starts and ends in the joined data.
struct Layout {
  std::size_t sst = 0;
  std::vector<std::pair<std::size_t, std::size_t>> pieces;
  std::vector<std::pair<std::size_t, std::size_t>> strings;
  std::size_t perBucket = 8;
};

Layout Locate(const Bytes& stream, const Workbook& sound) {
  Layout layout;
  std::size_t at = 0;
  while (LittleEndian::U16(stream, at) != Workbook::SST::kCode)
    at += 4 + LittleEndian::U16(stream, at + 2);
  layout.sst = at;
  do {
    layout.pieces.emplace_back(at + 4, LittleEndian::U16(stream, at + 2));
    at += 4 + LittleEndian::U16(stream, at + 2);
  } while (LittleEndian::U16(stream, at) == kContinueCode);
  const auto& sst = sound.sst_;
  std::size_t q = 8;
  std::size_t split = 0;
  for (std::size_t i = 0; i < sst.strings_.size(); ++i) {
    while (split < sst.continueIndices_.size() && sst.continueIndices_[split] <= q) ++split;
    LargeString text;
    const std::size_t end =
        Workbook::SST::ReadSplitString(sst.data_, sst.continueIndices_, text, q, split);
    layout.strings.emplace_back(q, end);
    q = end;
  }
  layout.perBucket = sound.extSst_.stringsPerBucket_;
  return layout;
}

// The joined-data offset of stream offset `at` (a header's bytes count as its piece's start).
std::size_t Joined(const Layout& layout, std::size_t at) {
  std::size_t joined = 0;
  for (const auto& [start, length] : layout.pieces) {
    if (at < start + length) return joined + (at > start ? at - start : 0);
    joined += length;
  }
  return joined;
}

void Scribble(Bytes& stream, std::size_t from, std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  for (std::size_t i = from; i < from + count; ++i) stream[i] = static_cast<std::uint8_t>(random());
}

// Three bytes before the header of a string in the second half of the table, where
// `count` bytes fit in the same piece: damage there leaves the string before it framed as
// it was, with only its last characters changed.
std::size_t Victim(const Layout& layout, std::size_t count) {
  std::size_t joined = 0;
  for (const auto& [start, length] : layout.pieces) {
    for (std::size_t i = layout.strings.size() / 2; i < layout.strings.size(); ++i) {
      const std::size_t at = layout.strings[i].first;
      if (at >= joined + 3 && at + count <= joined + length + 3) return start + (at - joined) - 3;
    }
    joined += length;
  }
  ADD_FAILURE() << "no room for the damage";
  return layout.pieces.back().first;
}

struct Damage {
  const char* name;
  bool costsStrings;  // a recoded header costs none
  // Damages the middle of the table; returns the stream bytes hit.
  std::pair<std::size_t, std::size_t> (*apply)(Bytes& stream, const Layout& layout);
};

const Damage kDamages[] = {
    {"random bytes", true,
     [](Bytes& s, const Layout& l) {
       const std::size_t at = Victim(l, 300);
       Scribble(s, at, 300, 7);
       std::copy_n("xyz", 3, s.begin() + static_cast<std::ptrdiff_t>(at));
       return std::make_pair(at, at + 300);
     }},
    {"zeroed sector", true,
     [](Bytes& s, const Layout& l) {
       const std::size_t at = Victim(l, 512);
       std::fill_n(s.begin() + static_cast<std::ptrdiff_t>(at), 512, 0);
       return std::make_pair(at, at + 512);
     }},
    {"recoded CONTINUE header", false,
     [](Bytes& s, const Layout& l) {
       s[l.pieces[l.pieces.size() / 2].first - 4] = 0x77;
       return std::make_pair(std::size_t{0}, std::size_t{0});
     }},
    {"destroyed CONTINUE header", true,
     [](Bytes& s, const Layout& l) {
       const std::size_t header = l.pieces[l.pieces.size() / 2].first - 4;
       Scribble(s, header - 90, 200, 11);
       return std::make_pair(header - 90, header + 110);
     }},
};

TEST(SstSalvage, DamageInsideTheTableCostsOnlyTheStringsItHits) {
  for (const char* name : {"29982.xls", "54016.xls", "StringContinueRecords.xls"}) {
    Bytes sound;
    ASSERT_TRUE(test::ReadWorkbookStream(test::CorpusDir() / "real" / name, sound)) << name;
    Workbook reference;
    reference.Read(sound, 0);
    const Layout layout = Locate(sound, reference);
    ASSERT_GE(layout.pieces.size(), 3u) << name;
    const auto& want = reference.sst_;
    for (const Damage& damage : kDamages) {
      SCOPED_TRACE(std::string(name) + ", " + damage.name);
      Bytes stream = sound;
      const auto [from, to] = damage.apply(stream, layout);
      const std::size_t hitFrom = Joined(layout, from);
      const std::size_t hitTo = Joined(layout, to);
      // The first read alone loses or misplaces strings the damage never touched.
      Workbook::SST first;
      first.Read(stream, layout.sst);
      std::size_t hurt = 0;
      for (std::size_t i = 0; i < want.strings_.size(); ++i)
        hurt += layout.strings[i].first >= hitTo && first.Text(i) != want.Text(i) ? 1 : 0;
      EXPECT_GT(hurt, 0u);

      test::LogCapture log;
      Workbook got;
      got.Read(stream, 0);
      const auto& sst = got.sst_;
      ASSERT_EQ(sst.strings_.size(), want.strings_.size());
      std::size_t firstLost = sst.strings_.size();
      std::size_t lastLost = 0;
      for (std::size_t i = 0; i < want.strings_.size(); ++i) {
        const bool hit = layout.strings[i].first < hitTo && layout.strings[i].second > hitFrom;
        if (hit) {
          EXPECT_TRUE(sst.IsLost(i)) << i;
        }
        if (sst.IsLost(i)) {
          EXPECT_EQ(sst.Text(i), "");
          firstLost = std::min(firstLost, i);
          lastLost = i;
        } else {
          EXPECT_EQ(sst.Text(i), want.Text(i)) << i;
        }
      }
      if (!damage.costsStrings) {
        EXPECT_EQ(sst.LostCount(), 0u);
        continue;
      }
      // What is lost lies in the buckets the damage hit (and the string next to them).
      const std::size_t per = layout.perBucket;
      ASSERT_GT(sst.LostCount(), 0u);
      EXPECT_LE(lastLost - firstLost + 1, 2 * per + 1);
      const std::vector<std::string> lines = log.ErrorLines();
      const std::string lost = ", " + std::to_string(sst.LostCount()) + " lost";
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                              [&](const std::string& l) {
                                return l.find("MSG:Shared strings: ") != std::string::npos &&
                                       l.ends_with(lost);
                              }),
                1);
    }
  }
}

// The table read from `stream` with its unique count one higher than the strings there, so
// that the first read falls short and the salvage runs.
Workbook ReadWithUniqueRaised(Bytes stream, const Layout& layout) {
  const std::size_t unique = layout.sst + 8;
  LittleEndian::Write(stream, LittleEndian::U32(stream, unique) + 1, unique);
  Workbook workbook;
  workbook.Read(stream, 0);
  return workbook;
}

TEST(SstSalvage, TheIndexLeadsOnlyWhereTheTableAgrees) {
  Bytes sound;
  ASSERT_TRUE(test::ReadWorkbookStream(test::CorpusDir() / "real" / "29982.xls", sound));
  Workbook reference;
  reference.Read(sound, 0);
  const Layout layout = Locate(sound, reference);
  const std::size_t strings = reference.sst_.strings_.size();

  // A sound table whose unique count promises one string more: nothing is lost, and no
  // string is added past the table's end.
  const Workbook raised = ReadWithUniqueRaised(sound, layout);
  EXPECT_EQ(raised.sst_.strings_.size(), strings);
  EXPECT_EQ(raised.sst_.LostCount(), 0u);

  // The same with the bucket positions scrambled: the table stays as the first read has it.
  std::size_t index = layout.pieces.back().first + layout.pieces.back().second;
  ASSERT_EQ(LittleEndian::U16(sound, index), Workbook::ExtSST::kCode);
  Bytes scrambled = sound;
  std::mt19937 random(5);
  for (std::size_t at = index + 6; at + 4 <= index + 4 + LittleEndian::U16(sound, index + 2);
       at += 8)
    LittleEndian::Write(scrambled, static_cast<std::uint32_t>(random() % sound.size()), at);
  Workbook::SST first;
  first.Read(scrambled, layout.sst);
  const Workbook distrusted = ReadWithUniqueRaised(scrambled, layout);
  ASSERT_EQ(distrusted.sst_.strings_.size(), first.strings_.size());
  for (std::size_t i = 0; i < strings; ++i) EXPECT_EQ(distrusted.sst_.Text(i), first.Text(i)) << i;
  EXPECT_TRUE(distrusted.sst_.lost_.empty());

  // 24 bytes more before the table (an unknown record) move every bucket position; the
  // salvage finds the shift from where the SST stands.
  Bytes shifted(sound.begin(), sound.begin() + static_cast<std::ptrdiff_t>(layout.sst));
  const Bytes extra = {0x23, 0x01, 20, 0,  1,  2,  3,  4,  5,  6,  7,  8,
                       9,    10,   11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  shifted.insert(shifted.end(), extra.begin(), extra.end());
  shifted.insert(shifted.end(), sound.begin() + static_cast<std::ptrdiff_t>(layout.sst),
                 sound.end());
  Workbook moved;
  moved.Read(shifted, 0);
  const Layout movedLayout = Locate(shifted, moved);
  kDamages[0].apply(shifted, movedLayout);
  Workbook got;
  got.Read(shifted, 0);
  const auto& sst = got.sst_;
  ASSERT_EQ(sst.strings_.size(), strings);
  EXPECT_GT(sst.LostCount(), 0u);
  EXPECT_LE(sst.LostCount(), 2 * layout.perBucket + 1);
  for (std::size_t i = 0; i < strings; ++i) {
    if (!sst.IsLost(i)) {
      EXPECT_EQ(sst.Text(i), reference.sst_.Text(i)) << i;
    }
  }

  // The flags go with copies and resets, and stop at the table's end; the lost entries are
  // written with whatever text the caller gives them.
  Workbook::SST copy = sst;
  EXPECT_EQ(copy.lost_, sst.lost_);
  EXPECT_FALSE(copy.IsLost(strings + 5));
  for (std::size_t i = 0; i < strings; ++i)
    if (copy.IsLost(i)) copy.strings_[i].Assign(std::string_view("#LOST"));
  Bytes written(copy.RecordSize());
  ASSERT_EQ(copy.Write(written, 0), written.size());
  Workbook::SST back;
  back.Read(written, 0);
  ASSERT_EQ(back.strings_.size(), strings);
  EXPECT_TRUE(back.lost_.empty());
  for (std::size_t i = 0; i < strings; ++i)
    EXPECT_EQ(back.Text(i), sst.IsLost(i) ? "#LOST" : reference.sst_.Text(i)) << i;
  copy.Reset();
  EXPECT_TRUE(copy.lost_.empty());
  EXPECT_EQ(copy.LostCount(), 0u);
}

}  // namespace
}  // namespace tabulix
