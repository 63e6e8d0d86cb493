// What survived whole is saved whole: a sound workbook comes back with its own records in its
// own order (names, comments, drawings, charts, macro sheets), its other streams beside it,
// and the report says per kind what was kept; parts whose bytes break a rule of the saved
// format fall back to the model, the sheet alone where a sheet is at fault.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "biff/stream_verifier.hpp"
#include "document/xls_document.hpp"
#include "storage/storage_reader.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kBoundSheet = 0x0085;
constexpr std::uint16_t kIndex = 0x020B;
constexpr std::uint16_t kBof = 0x0809;
constexpr std::uint16_t kEof = 0x000A;

struct Record {
  std::uint16_t code = 0;
  Bytes data;
  bool operator==(const Record&) const = default;
};

std::vector<Record> Records(const Bytes& stream) {
  std::vector<Record> records;
  for (std::size_t at = 0; at + 4 <= stream.size();) {
    const std::size_t length = LittleEndian::U16(stream, at + 2);
    if (at + 4 + length > stream.size()) break;
    records.push_back({LittleEndian::U16(stream, at),
                       Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at + 4),
                             stream.begin() + static_cast<std::ptrdiff_t>(at + 4 + length))});
    at += 4 + length;
  }
  return records;
}

// The records of `saved` against those of `original`, the stream positions aside: each
// BOUNDSHEET's BOF position, and each INDEX's DBCELL positions, which must have moved by as
// much as their sheet did. Returns the first difference, empty when there is none.
std::string FirstDifference(const Bytes& original, const Bytes& saved) {
  const std::vector<Record> before = Records(original);
  const std::vector<Record> after = Records(saved);
  if (before.size() != after.size())
    return std::to_string(before.size()) + " records became " + std::to_string(after.size());
  std::uint64_t sheetBefore = 0;
  std::uint64_t sheetAfter = 0;
  std::uint64_t posBefore = 0;
  std::uint64_t posAfter = 0;
  std::size_t depth = 0;
  for (std::size_t i = 0; i < before.size(); ++i) {
    const Record& a = before[i];
    const Record& b = after[i];
    if (a.code == kBof && depth++ == 0) {
      sheetBefore = posBefore;
      sheetAfter = posAfter;
    }
    if (a.code == kEof && depth > 0) --depth;
    Record expected = a;
    if (a.code == kBoundSheet && a.data.size() >= 4 && b.data.size() >= 4) {
      std::copy(b.data.begin(), b.data.begin() + 4, expected.data.begin());
    } else if (a.code == kIndex && depth == 1) {
      for (std::size_t p = 16; p + 4 <= expected.data.size(); p += 4) {
        const std::uint64_t moved = LittleEndian::U32(a.data, p) - sheetBefore + sheetAfter;
        LittleEndian::Write(expected.data, static_cast<std::uint32_t>(moved), p);
      }
    }
    if (b != expected)
      return "record " + std::to_string(i) + " (code " + std::to_string(a.code) + ")";
    posBefore += 4 + a.data.size();
    posAfter += 4 + b.data.size();
  }
  return {};
}

bool EverySubstreamIntact(const XlsDocument& document) {
  const auto& flags = document.boundaries().intactFlags_;
  return !flags.empty() && std::all_of(flags.begin(), flags.end(), [](auto f) { return f == 1; });
}

std::size_t Kept(const RecoveryReport& report, const std::string& kind) {
  for (const auto& k : report.keptRecords_)
    if (k.kind_ == kind) return k.kept_;
  return 0;
}
std::size_t Dropped(const RecoveryReport& report, const std::string& kind) {
  for (const auto& k : report.keptRecords_)
    if (k.kind_ == kind) return k.dropped_;
  return 0;
}

// The strongest check of a sound file there is: it saves the records it was read from.
TEST(KeptRecords, SoundFilesSaveTheirOwnRecordsInTheirOwnOrder) {
  test::LogCapture logs;
  std::size_t sound = 0;
  std::size_t same = 0;
  std::map<std::string, std::size_t> why;
  std::map<std::string, std::size_t> kinds;
  for (const fs::path& file : test::RealCorpusFiles()) {
    SCOPED_TRACE(file.filename().string());
    XlsDocument document;
    ASSERT_TRUE(document.Load(file.string()));
    if (document.route() != StreamRoute::Storage || !EverySubstreamIntact(document)) continue;
    ++sound;
    ASSERT_TRUE(document.BuildSavedStream());
    const std::string& note = document.report().keptRecordsNote_;
    if (!note.empty()) {
      ++why[note.substr(0, note.find(" ("))];
      continue;
    }
    // Sheets saved from the model lose their own records; a sound file has none but those
    // the save must mend.
    const auto& sheets = document.worksheets();
    if (std::any_of(sheets.begin(), sheets.end(),
                    [](const Worksheet& s) { return s.source_.empty(); })) {
      ++why["a sheet the well-formed pass mended"];
      continue;
    }
    const Bytes& original = document.stream();
    const std::string difference = FirstDifference(
        Bytes(original.begin(),
              original.begin() + static_cast<std::ptrdiff_t>(document.saveBuffer().size())),
        document.saveBuffer());
    EXPECT_EQ(difference, "");
    if (difference.empty()) ++same;
    for (const auto& kind : document.report().keptRecords_) kinds[kind.kind_] += kind.kept_;
  }
  std::printf("%zu sound files, %zu saved with their own records:", sound, same);
  for (const auto& [kind, count] : kinds) std::printf(" %s %zu,", kind.c_str(), count);
  std::printf("\nnot kept whole:");
  for (const auto& [reason, count] : why) std::printf(" %s: %zu;", reason.c_str(), count);
  std::printf("\n");
  EXPECT_GE(sound, 360u);
  EXPECT_GE(same, sound - 30);
  EXPECT_GT(kinds["defined names"], 500u);
  EXPECT_GT(kinds["comments"], 100u);
  EXPECT_GT(kinds["chart sheets"], 20u);
}

TEST(KeptRecords, NamesCommentsChartsAndOtherStreamsComeThroughAndAreReported) {
  test::LogCapture logs;
  test::TempDir dir;
  {
    // 18 sheets whose formulas use 56 names and other sheets, a VBA project, comments.
    const fs::path source = test::CorpusDir() / "real" / "15228.xls";
    XlsDocument document;
    ASSERT_TRUE(document.Load(source.string()));
    const RecoveryReport& report = document.report();
    EXPECT_EQ(report.FormulasAsValues(), 0u);  // they keep the names they use
    EXPECT_EQ(Kept(report, "defined names"), 56u);
    EXPECT_EQ(Kept(report, "comments"), 29u);
    EXPECT_EQ(Kept(report, "other streams"), 44u);
    EXPECT_EQ(report.keptRecordsNote_, "");
    const fs::path saved = dir / "15228.xls";
    ASSERT_TRUE(document.SaveStorageFile(saved.string()));
    // Every other stream and storage, as it was; the workbook stream anew.
    auto original = storage::StorageReader::Open(source);
    auto copy = storage::StorageReader::Open(saved);
    ASSERT_TRUE(original && copy);
    auto before = original->ReadTree();
    auto after = copy->ReadTree();
    ASSERT_TRUE(before && after);
    auto withoutWorkbook = [](storage::StorageTree tree) {
      std::erase_if(tree.entries, [](const auto& e) { return e.name == u"Workbook"; });
      return tree;
    };
    EXPECT_EQ(withoutWorkbook(*after), withoutWorkbook(*before));
    EXPECT_EQ(after->entries.size(), before->entries.size());
  }
  {
    // Chart sheets between worksheets, and a macro sheet: saved under their own entries.
    XlsDocument document;
    ASSERT_TRUE(document.Load((test::CorpusDir() / "real" / "34775.xls").string()));
    EXPECT_EQ(Kept(document.report(), "chart sheets"), 4u);
    EXPECT_EQ(Kept(document.report(), "embedded charts"), 6u);
    const auto& sheets = document.report().sheets_;
    ASSERT_GE(sheets.size(), 3u);
    EXPECT_EQ(sheets[1].name_, "Chart1");
    EXPECT_EQ(sheets[1].type_, 0x0020);
    XlsDocument macro;
    ASSERT_TRUE(macro.Load((test::CorpusDir() / "real" / "60405.xls").string()));
    EXPECT_EQ(Kept(macro.report(), "macro sheets"), 1u);
  }
}

TEST(KeptRecords, TheSaveWritesTheStreamTheLoadCheckedAndNothingStale) {
  // The load lays out and checks the stream the save will write; the save writes those
  // bytes rather than building them twice. It must tell its progress all the same, leave
  // the sheet entries naming where the sheets stand in the saved stream, and never write
  // what an earlier load checked.
  test::LogCapture logs;
  test::TempDir dir;
  const fs::path many = test::CorpusDir() / "real" / "15228.xls";  // 18 sheets
  const fs::path other = test::CorpusDir() / "real" / "34775.xls";
  auto savedStream = [](const fs::path& path) {
    Bytes stream;
    auto reader = storage::StorageReader::Open(path);
    if (reader) reader->ReadStream(u"Workbook", stream);
    return stream;
  };
  XlsDocument document;
  ASSERT_TRUE(document.Load(many.string()));
  const Bytes checked = document.saveBuffer();
  ASSERT_FALSE(checked.empty());
  std::vector<int> percents;
  ASSERT_TRUE(document.SaveStorageFile((dir / "a.xls").string(),
                                       [&percents](int p) { percents.push_back(p); }));
  std::vector<int> expected{0, 20};
  for (int i = 1; i <= 18; ++i) expected.push_back(20 + 80 * i / 18);
  expected.push_back(100);
  EXPECT_EQ(percents, expected);
  const Bytes saved = savedStream(dir / "a.xls");
  EXPECT_EQ(saved, checked);
  for (const Workbook::BoundSheet& entry : document.workbook().sheets_) {
    ASSERT_LT(std::size_t{entry.position_} + 6, saved.size());
    EXPECT_EQ(LittleEndian::U16(saved, entry.position_), kBof) << entry.position_;
  }
  ASSERT_TRUE(document.SaveStorageFile((dir / "b.xls").string()));
  EXPECT_EQ(savedStream(dir / "b.xls"), saved);

  // The same document loads another file: its save is that file's, as a new document's.
  ASSERT_TRUE(document.Load(other.string()));
  ASSERT_TRUE(document.SaveStorageFile((dir / "c.xls").string()));
  XlsDocument fresh;
  ASSERT_TRUE(fresh.Load(other.string()));
  ASSERT_TRUE(fresh.SaveStorageFile((dir / "d.xls").string()));
  EXPECT_EQ(savedStream(dir / "c.xls"), savedStream(dir / "d.xls"));
  EXPECT_NE(savedStream(dir / "c.xls"), saved);
}

TEST(KeptRecords, PartsThatBreakARuleFallBackToTheModel) {
  test::LogCapture logs;
  {
    // A DIMENSIONS that does not cover its cells: that sheet is written from the model, the
    // globals and the other sheets as they stood.
    XlsDocument document;
    ASSERT_TRUE(document.Load((test::CorpusDir() / "real" / "ReferencePtg.xls").string()));
    EXPECT_EQ(document.report().keptRecordsNote_, "");
    EXPECT_FALSE(document.workbook().source_.empty());
    ASSERT_EQ(document.worksheets().size(), 3u);
    EXPECT_TRUE(document.worksheets()[0].source_.empty());
    EXPECT_FALSE(document.worksheets()[1].source_.empty());
    ASSERT_TRUE(document.BuildSavedStream());
    EXPECT_TRUE(VerifyWorkbookStream(document.saveBuffer()).empty());
  }
  {
    // The workbook's own SUPBOOK counts one sheet of four: nothing is kept, the formulas
    // that use other sheets are saved as values, and the report says why.
    XlsDocument document;
    ASSERT_TRUE(document.Load((test::CorpusDir() / "real" / "47245_test.xls").string()));
    const RecoveryReport& report = document.report();
    EXPECT_NE(report.keptRecordsNote_.find("supbook-sheets"), std::string::npos)
        << report.keptRecordsNote_;
    EXPECT_TRUE(document.workbook().source_.empty());
    EXPECT_GT(Dropped(report, "external references"), 0u);
    EXPECT_EQ(Kept(report, "external references"), 0u);
    ASSERT_TRUE(document.BuildSavedStream());
    EXPECT_TRUE(VerifyWorkbookStream(document.saveBuffer()).empty());
  }
}

}  // namespace
}  // namespace tabulix
