// Damaged compound documents through the whole load: each real file is damaged in one of
// the ways that make the platform's reader refuse it, and what comes back is compared with
// what the sound file gives.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "document/xls_document.hpp"
#include "support/cell_values.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::CellValues;

std::vector<CellValues> Cells(const XlsDocument& document) {
  return test::SheetsCellValues(document.worksheets(), document.workbook());
}

std::uint32_t SectorSize(const Bytes& file) { return 1u << LittleEndian::U16(file, 30); }
std::size_t SectorOffset(const Bytes& file, std::int32_t sector) {
  return (static_cast<std::size_t>(sector) + 1) * SectorSize(file);
}
void Zero(Bytes& file, std::size_t at, std::size_t count) {
  if (at >= file.size()) return;
  std::fill_n(file.begin() + static_cast<std::ptrdiff_t>(at), std::min(count, file.size() - at),
              std::uint8_t{0});
}

struct Damage {
  const char* name;
  void (*apply)(Bytes& file);
};

const Damage kDamages[] = {
    {"allocation table zeroed",
     [](Bytes& f) {
       Zero(f, SectorOffset(f, static_cast<std::int32_t>(LittleEndian::U32(f, 76))), SectorSize(f));
     }},
    {"root entry zeroed",
     [](Bytes& f) {
       Zero(f, SectorOffset(f, static_cast<std::int32_t>(LittleEndian::U32(f, 48))), 128);
     }},
    {"sector shift 12", [](Bytes& f) { LittleEndian::Write(f, std::uint16_t{12}, 30); }},
    {"header zeroed", [](Bytes& f) { Zero(f, 0, 512); }},
};

TEST(CompoundRoute, DamagedContainersOfRealFilesGiveBackTheirCells) {
  test::LogCapture logs;
  test::TempDir dir;
  const fs::path damaged = dir / "damaged.xls";
  const auto files = test::RealCorpusFiles();
  for (const Damage& damage : kDamages) {
    double shareSum = 0;
    int counted = 0;
    std::map<std::string, int> routes;
    std::vector<std::string> low;
    for (const fs::path& file : files) {
      XlsDocument sound;
      ASSERT_TRUE(sound.Load(file.string())) << file;
      const std::vector<CellValues> expected = Cells(sound);
      std::size_t count = 0;
      for (const CellValues& sheet : expected) count += sheet.size();
      if (count == 0) continue;

      Bytes bytes = test::ReadFileBytes(file);
      damage.apply(bytes);
      test::WriteFileBytes(damaged, bytes);
      XlsDocument document;
      const bool loaded = document.Load(damaged.string());
      ++routes[std::string(StreamRouteName(document.route()))];
      const double share = loaded
                               ? static_cast<double>(test::CellsFound(expected, Cells(document))) /
                                     static_cast<double>(count)
                               : 0.0;
      shareSum += share;
      ++counted;
      if (share < 0.9) {
        char line[200];
        std::snprintf(line, sizeof line, "%s %.1f%% (%s)", file.filename().c_str(), 100 * share,
                      std::string(StreamRouteName(document.route())).c_str());
        low.push_back(line);
      }
    }
    const double average = shareSum / counted;
    std::printf("%-24s average %.2f%% over %d files; routes:", damage.name, 100 * average, counted);
    for (const auto& [route, n] : routes) std::printf(" %s %d;", route.c_str(), n);
    std::printf(" below 90%%: %zu\n", low.size());
    for (const std::string& line : low) std::printf("    %s\n", line.c_str());
    EXPECT_GE(average, 0.95) << damage.name;
  }
}

TEST(CompoundRoute, HostileContainersEndInBoundedTimeAndTheLoadGoesOn) {
  test::LogCapture logs;
  test::TempDir dir;
  const fs::path file = dir / "hostile.xls";
  const Bytes sound = test::ReadFileBytes(test::CorpusDir() / "real" / "29942.xls");
  std::vector<std::pair<const char*, Bytes>> cases;
  {
    // Every allocation-table entry 0xFF: every chain is free.
    Bytes b = sound;
    const std::int32_t bat = static_cast<std::int32_t>(LittleEndian::U32(b, 76));
    std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(SectorOffset(b, bat)), SectorSize(b),
                std::uint8_t{0xFF});
    cases.emplace_back("allocation table all 0xFF", std::move(b));
  }
  {
    // The directory's chain comes back to its own first sector.
    Bytes b = sound;
    const auto directory = static_cast<std::int32_t>(LittleEndian::U32(b, 48));
    const std::int32_t bat = static_cast<std::int32_t>(LittleEndian::U32(b, 76));
    LittleEndian::Write(b, directory,
                        SectorOffset(b, bat) + 4 * static_cast<std::size_t>(directory));
    cases.emplace_back("looping directory chain", std::move(b));
  }
  {
    // 10 MB of random bytes behind a sound header.
    Bytes b(sound.begin(), sound.begin() + 512);
    std::mt19937 random(11);
    b.resize(512 + 10 * 1024 * 1024);
    for (std::size_t i = 512; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(random());
    cases.emplace_back("10 MB of random bytes", std::move(b));
  }
  for (auto& [name, bytes] : cases) {
    test::WriteFileBytes(file, bytes);
    test::RecordingNotifier notifier;
    XlsDocument document;
    const bool loaded = document.Load(file.string());
    std::printf("%-26s loaded=%d route=%s worksheets=%zu\n", name, loaded,
                std::string(StreamRouteName(document.route())).c_str(),
                document.worksheets().size());
    // A damaged table never hands the recovery a stream it did not read whole.
    if (document.route() == StreamRoute::Compound) {
      Bytes whole;
      ASSERT_TRUE(test::ReadWorkbookStream(test::CorpusDir() / "real" / "29942.xls", whole));
      EXPECT_EQ(document.stream(), whole) << name;
    }
  }
}

TEST(CompoundRoute, AReadOnlyDamagedFileGetsTheRoute) {
  test::LogCapture logs;
  test::TempDir dir;
  const fs::path file = dir / "read-only.xls";
  Bytes bytes = test::ReadFileBytes(test::CorpusDir() / "real" / "29942.xls");
  LittleEndian::Write(bytes, std::uint16_t{12}, 30);  // the platform's reader refuses this
  test::WriteFileBytes(file, bytes);
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  XlsDocument document;
  ASSERT_TRUE(document.Load(file.string()));
  EXPECT_EQ(document.route(), StreamRoute::Compound);
  EXPECT_EQ(test::ReadFileBytes(file), bytes);
}

// A load gives what its own file gives: nothing the repair route read of an earlier file
// may stand in for a field the next file lacks. A file without the signature is read with
// the header's defaults, not with the tables of the file loaded before it.
TEST(CompoundRoute, ALoadDependsOnItsOwnFileAlone) {
  test::LogCapture logs;
  test::TempDir dir;
  // Three allocation-table sectors: the defaults name only the first.
  const Bytes sound = test::ReadFileBytes(test::CorpusDir() / "real" / "45365-2.xls");
  Bytes shifted = sound;
  LittleEndian::Write(shifted, std::uint16_t{0}, 30);
  test::WriteFileBytes(dir / "shifted.xls", shifted);
  Bytes unsigned_ = sound;
  Zero(unsigned_, 0, 8);
  test::WriteFileBytes(dir / "unsigned.xls", unsigned_);

  XlsDocument fresh;
  ASSERT_TRUE(fresh.Load((dir / "unsigned.xls").string()));
  // With the defaults the workbook's chain runs off the one table sector they name; the
  // reassembly puts the stream together from the file's sectors.
  EXPECT_EQ(fresh.route(), StreamRoute::Reassembled);
  XlsDocument reused;
  ASSERT_TRUE(reused.Load((dir / "shifted.xls").string()));
  EXPECT_EQ(reused.route(), StreamRoute::Compound);
  ASSERT_TRUE(reused.Load((dir / "unsigned.xls").string()));
  EXPECT_EQ(reused.route(), fresh.route());
  EXPECT_TRUE(reused.stream() == fresh.stream());
  EXPECT_EQ(Cells(reused), Cells(fresh));
}

}  // namespace
}  // namespace tabulix
