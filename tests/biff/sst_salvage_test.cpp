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

// A sound table: its SST header, each piece's data (stream offset, length) and each
// string's start and end in the joined data.
struct Layout {
  std::size_t sst = 0;
  std::vector<std::pair<std::size_t, std::size_t>> pieces;
  std::vector<std::pair<std::size_t, std::size_t>> strings;

  Layout(const Bytes& stream, const Workbook::SST& table) {
    auto next = [&stream](std::size_t at) { return at + 4 + LittleEndian::U16(stream, at + 2); };
    for (sst = 0; LittleEndian::U16(stream, sst) != Workbook::SST::kCode;) sst = next(sst);
    std::size_t at = sst;
    do {
      pieces.emplace_back(at + 4, LittleEndian::U16(stream, at + 2));
      at = next(at);
    } while (LittleEndian::U16(stream, at) == kContinueCode);
    std::size_t split = 0;
    for (std::size_t i = 0, q = 8; i < table.strings_.size(); ++i) {
      while (split < table.continueIndices_.size() && table.continueIndices_[split] <= q) ++split;
      LargeString text;
      strings.emplace_back(
          q, Workbook::SST::ReadSplitString(table.data_, table.continueIndices_, text, q, split));
      q = strings.back().second;
    }
  }

  // The joined-data offset of stream offset `at` (header bytes count as their piece's start).
  std::size_t Joined(std::size_t at) const {
    std::size_t joined = 0;
    for (const auto& [start, length] : pieces) {
      if (at < start + length) return joined + (at > start ? at - start : 0);
      joined += length;
    }
    return joined;
  }

  // Where `count` bytes of damage fit in one piece, from the second half of the table on:
  // from three bytes before a string's header (the string before it keeps its framing and
  // loses its last characters), or `inside` a string's characters (it keeps its framing).
  std::size_t Victim(std::size_t count, bool inside = false) const {
    for (std::size_t joined = 0; const auto& [start, length] : pieces) {
      for (std::size_t i = strings.size() / 2; i < strings.size(); ++i) {
        const std::size_t at = inside ? strings[i].first + 16 : strings[i].first - 3;
        if (at >= joined && at + count <= joined + length &&
            (!inside || at + count < strings[i].second))
          return start + at - joined;
      }
      joined += length;
    }
    ADD_FAILURE() << "no room for the damage";
    return pieces.back().first;
  }
};

enum class Damage {
  kRandomBytes,
  kZeroedSector,
  kZeroedCharacters,
  kRecodedHeader,
  kDestroyedHeader
};

// Damages the table's middle; returns the stream bytes hit.
std::pair<std::size_t, std::size_t> Apply(Damage damage, Bytes& stream, const Layout& layout) {
  std::mt19937 random(7);
  const std::size_t header = layout.pieces[layout.pieces.size() / 2].first - 4;
  std::size_t from = header - 90;
  std::size_t to = header + 110;
  if (damage == Damage::kRecodedHeader) {
    stream[header] = 0x77;
    return {0, 0};
  }
  const bool zeros = damage == Damage::kZeroedSector || damage == Damage::kZeroedCharacters;
  if (damage != Damage::kDestroyedHeader) {
    const std::size_t count = damage == Damage::kRandomBytes    ? 300
                              : damage == Damage::kZeroedSector ? 512
                                                                : 64;
    from = layout.Victim(count, damage == Damage::kZeroedCharacters);
    to = from + count;
  }
  for (std::size_t i = from; i < to; ++i)
    stream[i] = zeros ? 0 : static_cast<std::uint8_t>(random());
  if (damage == Damage::kRandomBytes)
    std::copy_n("xyz", 3, stream.begin() + static_cast<std::ptrdiff_t>(from));
  return {from, to};
}

// Every string not flagged lost stands at its own index; returns the lost ones' span.
std::pair<std::size_t, std::size_t> ExpectNoneMisplaced(const Workbook::SST& got,
                                                        const Workbook::SST& want) {
  EXPECT_EQ(got.strings_.size(), want.strings_.size());
  std::pair<std::size_t, std::size_t> lost{got.strings_.size(), 0};
  for (std::size_t i = 0; i < want.strings_.size() && i < got.strings_.size(); ++i) {
    EXPECT_EQ(got.Text(i), got.IsLost(i) ? "" : want.Text(i)) << i;
    if (got.IsLost(i)) lost = {std::min(lost.first, i), i};
  }
  return lost;
}

TEST(SstSalvage, DamageInsideTheTableCostsOnlyTheStringsItHits) {
  for (const char* name : {"29982.xls", "54016.xls", "StringContinueRecords.xls"}) {
    Bytes sound;
    ASSERT_TRUE(test::ReadWorkbookStream(test::CorpusDir() / "real" / name, sound)) << name;
    Workbook reference;
    reference.Read(sound, 0);
    const auto& want = reference.sst_;
    const Layout layout(sound, want);
    for (const Damage damage :
         {Damage::kRandomBytes, Damage::kZeroedSector, Damage::kZeroedCharacters,
          Damage::kRecodedHeader, Damage::kDestroyedHeader}) {
      SCOPED_TRACE(std::string(name) + ", damage " + std::to_string(static_cast<int>(damage)));
      Bytes stream = sound;
      const auto [from, to] = Apply(damage, stream, layout);
      const std::size_t hitFrom = layout.Joined(from);
      const std::size_t hitTo = layout.Joined(to);
      Workbook got;
      got.Read(stream, 0);
      const auto [firstLost, lastLost] = ExpectNoneMisplaced(got.sst_, want);
      for (std::size_t i = 0; i < want.strings_.size(); ++i) {
        if (layout.strings[i].first < hitTo && layout.strings[i].second > hitFrom) {
          EXPECT_TRUE(got.sst_.IsLost(i)) << i;
        }
      }
      // A recoded header costs nothing; else the loss stays within the buckets hit.
      if (damage == Damage::kRecodedHeader) {
        EXPECT_EQ(got.sst_.LostCount(), 0u);
      } else {
        EXPECT_GT(got.sst_.LostCount(), 0u);
        EXPECT_LE(lastLost - firstLost, 2u * reference.extSst_.stringsPerBucket_);
      }
    }
  }
}

TEST(SstSalvage, TheIndexLeadsOnlyWhereTheTableAgrees) {
  Bytes sound;
  ASSERT_TRUE(test::ReadWorkbookStream(test::CorpusDir() / "real" / "29982.xls", sound));
  Workbook reference;
  reference.Read(sound, 0);
  const Layout layout(sound, reference.sst_);
  // The unique count raised by one: the first read falls short and the salvage runs.
  auto readRaised = [&layout](Bytes stream) {
    LittleEndian::Write(stream, LittleEndian::U32(stream, layout.sst + 8) + 1, layout.sst + 8);
    Workbook workbook;
    workbook.Read(stream, 0);
    return workbook.sst_;
  };
  // A sound table whose count promises one string more loses nothing and gains nothing.
  const Workbook::SST raised = readRaised(sound);
  ExpectNoneMisplaced(raised, reference.sst_);
  EXPECT_EQ(raised.LostCount(), 0u);

  // The same with the bucket positions scrambled: the table stays as the first read has it.
  const std::size_t index = layout.pieces.back().first + layout.pieces.back().second;
  Bytes scrambled = sound;
  std::mt19937 random(5);
  for (std::size_t at = index + 6; at < index + 4 + LittleEndian::U16(sound, index + 2); at += 8)
    LittleEndian::Write(scrambled, static_cast<std::uint32_t>(random() % sound.size()), at);
  Workbook::SST first;
  first.Read(scrambled, layout.sst);
  const Workbook::SST distrusted = readRaised(scrambled);
  EXPECT_TRUE(distrusted.lost_.empty());
  ExpectNoneMisplaced(distrusted, first);

  // An unknown record of 24 bytes before the table moves every bucket position; the
  // salvage finds the shift from where the SST stands. A false EXTSST further on, which
  // the globals read takes last, does not displace the table's own.
  Bytes shifted = sound;
  Bytes extra(24, 0x5A);
  LittleEndian::Write(extra, std::uint32_t{0x00140123}, 0);  // code 0x0123, 20 bytes
  shifted.insert(shifted.begin() + static_cast<std::ptrdiff_t>(layout.sst), extra.begin(),
                 extra.end());
  Bytes fake(4 + 2 + 8 * 3, 0x11);
  LittleEndian::Write(fake, std::uint32_t{0x001A00FF}, 0);  // EXTSST, 3 buckets
  const std::size_t behind = index + 24 + 4 + LittleEndian::U16(sound, index + 2);
  shifted.insert(shifted.begin() + static_cast<std::ptrdiff_t>(behind), fake.begin(), fake.end());
  Apply(Damage::kRandomBytes, shifted, Layout(shifted, reference.sst_));
  Workbook got;
  got.Read(shifted, 0);
  ExpectNoneMisplaced(got.sst_, reference.sst_);
  EXPECT_GT(got.sst_.LostCount(), 0u);

  // Lost entries are written with whatever text the caller gives them.
  Workbook::SST filled = got.sst_;
  for (std::size_t i = 0; i < filled.strings_.size(); ++i)
    if (filled.IsLost(i)) filled.strings_[i].Assign(std::string_view("#LOST"));
  Bytes written(filled.RecordSize());
  ASSERT_EQ(filled.Write(written, 0), written.size());
  Workbook::SST back;
  back.Read(written, 0);
  ASSERT_EQ(back.strings_.size(), filled.strings_.size());
  for (std::size_t i = 0; i < back.strings_.size(); ++i)
    EXPECT_EQ(back.Text(i), filled.IsLost(i) ? "#LOST" : reference.sst_.Text(i)) << i;
}

}  // namespace
}  // namespace tabulix
