#include "recovery/intact_read.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "biff/cell_block.hpp"
#include "document/xls_document.hpp"
#include "recovery/sheet_boundaries.hpp"
#include "storage/storage_writer.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using Flags = std::vector<std::uint8_t>;

constexpr const char* kPasswordText = "File is password protected.";
constexpr const char* kStageFailedLine =
    "Code:10005  Error:0  MSG:Could Not Read Or Update Brevix WorkSheet";

void Put16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Record(Bytes& out, std::uint16_t code, const Bytes& data) {
  Put16(out, code);
  Put16(out, static_cast<std::uint16_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
}
void Bof(Bytes& out, std::uint16_t type) {
  Record(out, 0x0809,
         {0x00, 0x06, static_cast<std::uint8_t>(type & 0xFF), static_cast<std::uint8_t>(type >> 8),
          0xEC, 0x15, 0xCD, 0x07, 0xC1, 0xC0, 0, 0, 0x06, 0x03, 0, 0});
}
void Eof(Bytes& out) { Record(out, 0x000A, {}); }

// Globals naming two sheets, then the two substreams (of the given BOF types), each with
// one NUMBER cell; the second cell sits in the last row a sheet has.
Bytes ThreeSubstreams(std::uint16_t globalsType, std::uint16_t firstType,
                      std::uint16_t secondType) {
  Bytes b;
  Bof(b, globalsType);
  const std::size_t names = b.size() + 4;
  for (char name : {'A', 'B'})
    Record(b, 0x0085, {0, 0, 0, 0, 0, 0, 1, 0, static_cast<std::uint8_t>(name)});
  Eof(b);
  std::uint32_t starts[2] = {};
  const std::uint16_t types[2] = {firstType, secondType};
  const std::uint16_t rows[2] = {7, 65535};
  for (int i = 0; i < 2; ++i) {
    starts[i] = static_cast<std::uint32_t>(b.size());
    Bof(b, types[i]);
    Record(b, 0x0203,
           {static_cast<std::uint8_t>(rows[i] & 0xFF), static_cast<std::uint8_t>(rows[i] >> 8), 2,
            0, 15, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F});
    Eof(b);
  }
  for (int i = 0; i < 2; ++i) LittleEndian::Write(b, starts[i], names + 13 * i);
  return b;
}

struct Outcome {
  SheetBoundaries boundaries;
  Workbook workbook;
  std::vector<Worksheet> worksheets;
  bool globalsRead = false;
  IntactReadResult result = IntactReadResult::Done;
};

Outcome ReadAll(const Bytes& stream) {
  Outcome o;
  FindMarkers(stream, o.boundaries);
  FindBoundaries(stream, o.boundaries);
  EXPECT_TRUE(o.boundaries.boundariesConsistent_);
  MarkIntactSheets(stream, o.boundaries);
  o.result = ReadIntactSheets(stream, o.boundaries, o.workbook, o.worksheets, o.globalsRead);
  return o;
}

struct CellSpan {
  std::uint32_t firstRow = 0;
  std::uint32_t endRow = 0;
  std::uint32_t firstColumn = 0;
  std::uint32_t endColumn = 0;
};

// The rows a sheet's cells and ROW records take and the columns of its cells, each end one
// past the last; all 0 for none.
CellSpan SpanOf(const Worksheet& sheet) {
  CellSpan span{UINT32_MAX, 0, UINT32_MAX, 0};
  for (const auto& block : sheet.cellTable_.rowBlocks_) {
    for (const auto& cell : block.cellBlocks_) {
      std::uint32_t end = cell.Column() + 1u;
      if (const auto* run = cell.As<cells::MulRK>()) end = cell.Column() + run->entries().size();
      if (const auto* run = cell.As<cells::MulBlank>()) end = cell.Column() + run->xfs().size();
      span.firstRow = std::min<std::uint32_t>(span.firstRow, cell.Row());
      span.endRow = std::max<std::uint32_t>(span.endRow, cell.Row() + 1u);
      span.firstColumn = std::min<std::uint32_t>(span.firstColumn, cell.Column());
      span.endColumn = std::max(span.endColumn, end);
    }
  }
  const bool anyCell = span.endRow != 0;
  // Rows only a ROW record keeps count among the rows; the columns are the cells'.
  for (const auto& block : sheet.cellTable_.rowBlocks_) {
    for (const auto& row : block.rows_) {
      span.firstRow = std::min<std::uint32_t>(span.firstRow, row.row_);
      span.endRow = std::max<std::uint32_t>(span.endRow, row.row_ + 1u);
    }
  }
  if (span.endRow == 0) return CellSpan{};
  if (!anyCell) span.firstColumn = span.endColumn = 0;
  return span;
}

// Cells with a value: a MULRK counts once per number, blanks not at all.
std::size_t ValueCount(const Worksheet& sheet) {
  std::size_t count = 0;
  for (const auto& block : sheet.cellTable_.rowBlocks_) {
    for (const auto& cell : block.cellBlocks_) {
      if (const auto* run = cell.As<cells::MulRK>()) {
        count += run->entries().size();
      } else if (cell.As<cells::Blank>() == nullptr && cell.As<cells::MulBlank>() == nullptr) {
        ++count;
      }
    }
  }
  return count;
}

std::size_t CellCount(const Worksheet& sheet) {
  std::size_t count = 0;
  for (const auto& block : sheet.cellTable_.rowBlocks_) count += block.cellBlocks_.size();
  return count;
}

TEST(IntactRead, AnIntactWorkbookIsReadWholeAndMisplacedSubstreamsAreDemoted) {
  test::LogCapture logs;
  {
    const Outcome o = ReadAll(ThreeSubstreams(0x0005, 0x0010, 0x0010));
    EXPECT_EQ(o.result, IntactReadResult::Done);
    EXPECT_EQ(o.boundaries.intactFlags_, (Flags{1, 1, 1}));
    EXPECT_TRUE(o.globalsRead);
    ASSERT_EQ(o.workbook.sheets_.size(), 2u);
    EXPECT_EQ(o.workbook.sheets_[1].position_, o.boundaries.startPos_[2]);
    ASSERT_EQ(o.worksheets.size(), 3u);
    EXPECT_EQ(o.worksheets[0].recovered_, 0);
    EXPECT_EQ(o.worksheets[1].recovered_, 1);
    EXPECT_EQ(o.worksheets[2].recovered_, 1);
    EXPECT_EQ(CellCount(o.worksheets[0]), 0u);
    EXPECT_EQ(CellCount(o.worksheets[1]), 1u);
    ASSERT_EQ(CellCount(o.worksheets[2]), 1u);
    // Rows are unsigned: the last row of a sheet stays row 65535.
    const auto* cell = o.worksheets[2].cellTable_.rowBlocks_[0].cellBlocks_[0].As<cells::Number>();
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->row_, 65535);
  }
  {
    // A worksheet in the globals' place and a second globals are left to the recovery
    // passes, with their worksheet entries in place and not recovered. A chart read whole
    // keeps its bytes, and nothing else, for the save.
    const Outcome worksheetFirst = ReadAll(ThreeSubstreams(0x0010, 0x0020, 0x0005));
    EXPECT_EQ(worksheetFirst.boundaries.intactFlags_, (Flags{0, 1, 0}));
    EXPECT_FALSE(worksheetFirst.globalsRead);
    ASSERT_EQ(worksheetFirst.worksheets.size(), 3u);
    EXPECT_EQ(worksheetFirst.worksheets[0].recovered_, 0);
    EXPECT_EQ(worksheetFirst.worksheets[2].recovered_, 0);
    EXPECT_TRUE(worksheetFirst.workbook.sheets_.empty());
    EXPECT_TRUE(worksheetFirst.workbook.source_.empty());

    const Bytes stream = ThreeSubstreams(0x0005, 0x0020, 0x0010);
    const Outcome chart = ReadAll(stream);
    EXPECT_EQ(chart.boundaries.intactFlags_, (Flags{1, 1, 1}));
    const Worksheet& kept = chart.worksheets[1];
    EXPECT_EQ(kept.recovered_, 1);
    EXPECT_EQ(kept.bof_.type_, 0x0020);
    EXPECT_EQ(CellCount(kept), 0u);
    const auto start = static_cast<std::ptrdiff_t>(chart.boundaries.startPos_[1]);
    const auto end = static_cast<std::ptrdiff_t>(chart.boundaries.startPos_[2]);
    EXPECT_EQ(kept.source_, Bytes(stream.begin() + start, stream.begin() + end));
    EXPECT_EQ(chart.worksheets[2].recovered_, 1);
    EXPECT_EQ(chart.worksheets[2].source_.size(), stream.size() - static_cast<std::size_t>(end));
    // The globals keep their bytes through their EOF.
    EXPECT_EQ(chart.workbook.source_,
              Bytes(stream.begin(), stream.begin() + chart.boundaries.startPos_[1]));
  }
  {
    // Worksheets left by an earlier stage are reused, and their recovered byte cleared.
    const Bytes stream = ThreeSubstreams(0x0005, 0x0020, 0x0010);
    Outcome o;
    FindMarkers(stream, o.boundaries);
    FindBoundaries(stream, o.boundaries);
    MarkIntactSheets(stream, o.boundaries);
    o.worksheets.resize(5);
    for (Worksheet& sheet : o.worksheets) sheet.recovered_ = 1;
    ReadIntactSheets(stream, o.boundaries, o.workbook, o.worksheets, o.globalsRead);
    ASSERT_EQ(o.worksheets.size(), 5u);
    EXPECT_EQ(o.worksheets[0].recovered_, 0);
    EXPECT_EQ(o.worksheets[1].recovered_, 1);  // the chart
    EXPECT_EQ(o.worksheets[2].recovered_, 1);
    EXPECT_EQ(o.worksheets[3].recovered_, 1);  // beyond the substreams: untouched
  }
}

// The real stream of a small corpus file with globals and at least one sheet, all intact,
// and no FILEPASS of its own.
Bytes SmallIntactCorpusStream() {
  std::vector<fs::path> files = test::RealCorpusFiles();
  std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
    return fs::file_size(a) < fs::file_size(b);
  });
  for (const fs::path& file : files) {
    XlsDocument document;
    if (!document.Load(file.string())) continue;
    const SheetBoundaries& b = document.boundaries();
    if (!b.boundariesConsistent_ || b.intactFlags_.size() < 2 || !document.globalsRead()) continue;
    if (std::count(b.intactFlags_.begin(), b.intactFlags_.end(), 1) !=
        static_cast<std::ptrdiff_t>(b.intactFlags_.size())) {
      continue;
    }
    return document.stream();
  }
  return {};
}

// Puts a FILEPASS record right behind the globals' BOF and moves every sheet position
// the globals name by its 10 bytes.
Bytes WithFilePass(const Bytes& stream) {
  Bytes out(stream.begin(), stream.begin() + 20);
  Record(out, 0x002F, {1, 0, 2, 0, 3, 0});
  out.insert(out.end(), stream.begin() + 20, stream.end());
  std::size_t q = 30;
  while (q + 4 <= out.size()) {
    const std::uint16_t code = LittleEndian::U16(out, q);
    const std::uint16_t length = LittleEndian::U16(out, q + 2);
    if (code == 0x000A) break;
    if (code == 0x0085) {
      LittleEndian::Write(out, LittleEndian::U32(out, q + 4) + 10, q + 4);
    }
    q += 4 + length;
  }
  return out;
}

TEST(IntactRead, AStreamOfEmptySubstreamsGetsNoMoreWorksheetsThanASheetIndexCanName) {
  // 70,000 back-to-back worksheet substreams, each a BOF and an EOF: every one pairs up
  // and is intact, yet a model per substream would cost a hundred times the stream.
  Bytes stream;
  Bof(stream, 0x0005);
  Eof(stream);
  for (int i = 0; i < 70000; ++i) {
    Bof(stream, 0x0010);
    Eof(stream);
  }
  const Outcome o = ReadAll(stream);
  EXPECT_EQ(o.boundaries.startPos_.size(), 70001u);
  EXPECT_EQ(o.worksheets.size(), 0x10000u);
  EXPECT_EQ(
      std::count(o.boundaries.intactFlags_.begin() + 0x10000, o.boundaries.intactFlags_.end(), 1),
      0);
}

TEST(IntactRead, APasswordProtectedWorkbookStopsTheLoad) {
  test::LogCapture logs;
  test::TempDir dir;
  const Bytes original = SmallIntactCorpusStream();
  ASSERT_FALSE(original.empty());
  const Bytes protectedStream = WithFilePass(original);
  test::WriteFileBytes(dir / "protected.xls",
                       storage::BuildSingleStreamDocument(u"Workbook", protectedStream));
  {
    test::RecordingNotifier notifier;
    XlsDocument document;
    EXPECT_FALSE(document.Load((dir / "protected.xls").string()));
    EXPECT_EQ(notifier.messages(), std::vector<std::string>{kPasswordText});
    const auto lines = logs.ErrorLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kStageFailedLine), 1);
    // The stop came from the globals read, on boundaries that still pair up.
    EXPECT_TRUE(document.boundaries().boundariesConsistent_);
    EXPECT_TRUE(document.workbook().passwordProtected_);
    EXPECT_EQ(document.route(), StreamRoute::Storage);
    // The report says the same, message included.
    EXPECT_TRUE(document.report().passwordProtected_);
    EXPECT_FALSE(document.report().loaded_);
    EXPECT_EQ(document.report().messages_, notifier.messages());
  }
  {
    // Loading it again gives the same: nothing of the first load survives.
    test::RecordingNotifier notifier;
    XlsDocument document;
    EXPECT_FALSE(document.Load((dir / "protected.xls").string()));
    EXPECT_FALSE(document.Load((dir / "protected.xls").string()));
    EXPECT_EQ(notifier.messages().size(), 2u);
  }
  {
    // Globals alone: the intact read has no substream after them to stop at, but their
    // FILEPASS stops the load all the same (it once went on and saved an empty workbook).
    test::RecordingNotifier notifier;
    Bytes globalsOnly;
    Bof(globalsOnly, 0x0005);
    Record(globalsOnly, 0x002F, {1, 0, 2, 0, 3, 0});
    Eof(globalsOnly);
    test::WriteFileBytes(dir / "globals.xls", globalsOnly);
    XlsDocument document;
    EXPECT_FALSE(document.Load((dir / "globals.xls").string()));
    EXPECT_EQ(notifier.messages(), std::vector<std::string>{kPasswordText});
    EXPECT_TRUE(document.globalsRead());
  }
  // The unprotected original loads.
  test::WriteFileBytes(dir / "plain.xls",
                       storage::BuildSingleStreamDocument(u"Workbook", original));
  XlsDocument plain;
  EXPECT_TRUE(plain.Load((dir / "plain.xls").string()));
}

// The substream structure the record lengths give when followed from offset 0: the
// top-level BOF/EOF pairs, how many substreams sit nested in them, and where the walk
// stopped.
struct TrueWalk {
  std::vector<std::uint32_t> starts, ends;
  int nested = 0;
  std::size_t end = 0;
};

TrueWalk WalkRecords(const Bytes& stream) {
  TrueWalk walk;
  int depth = 0;
  std::size_t q = 0;
  while (q + 4 <= stream.size()) {
    const std::uint16_t code = LittleEndian::U16(stream, q);
    const std::uint16_t length = LittleEndian::U16(stream, q + 2);
    if (q + 4 + length > stream.size()) break;
    if (code == 0x0809) {
      if (depth == 0)
        walk.starts.push_back(static_cast<std::uint32_t>(q));
      else
        ++walk.nested;
      ++depth;
    } else if (code == 0x000A && depth > 0) {
      if (--depth == 0) {
        walk.ends.push_back(static_cast<std::uint32_t>(q));
        walk.end = q + 4;
      }
    }
    q += 4 + length;
  }
  return walk;
}

const char* TypeName(std::uint16_t type) {
  switch (type) {
    case 0x0005:
      return "globals";
    case 0x0006:
      return "VB module";
    case 0x0010:
      return "worksheet";
    case 0x0020:
      return "chart";
    case 0x0040:
      return "macro sheet";
    case 0x0100:
      return "workspace";
  }
  return "unknown";
}

TEST(IntactRead, CorpusBoundariesAgainstTheTrueRecordWalk) {
  test::LogCapture logs;
  test::RecordingNotifier notifier;
  int files = 0, consistent = 0, chainIntact = 0, allIntact = 0, worksheetsRead = 0;
  std::map<std::string, int> reasons;
  for (const fs::path& file : test::RealCorpusFiles()) {
    ++files;
    XlsDocument document;
    document.Load(file.string());
    const Bytes& stream = document.stream();
    const SheetBoundaries& b = document.boundaries();
    const TrueWalk walk = WalkRecords(stream);
    const std::string name = file.filename().string();

    if (!b.boundariesConsistent_) {
      std::string why;
      bool eofAfterLast = false;
      for (std::size_t q = walk.end; q + 4 <= stream.size(); ++q) {
        if (LittleEndian::U32(stream, q) == 0x0000000A) eofAfterLast = true;
      }
      if (eofAfterLast) {
        why = "an EOF header in the bytes after the last substream";
      } else if (b.startPos_.size() != b.endPos_.size()) {
        why = "starts and ends differ in number";
      } else {
        why = "starts and ends do not follow each other";
      }
      ++reasons["inconsistent: " + why];
      std::printf(
          "  %-40s inconsistent (%s): %zu starts, %zu ends; true walk %zu/%zu, %d nested, "
          "%zu bytes after the last EOF\n",
          name.c_str(), why.c_str(), b.startPos_.size(), b.endPos_.size(), walk.starts.size(),
          walk.ends.size(), walk.nested, stream.size() - walk.end);
      continue;
    }
    ++consistent;
    // The chain flags before the intact read demoted anything.
    SheetBoundaries marked = b;
    MarkIntactSheets(stream, marked);
    const bool chainsAll = !marked.intactFlags_.empty() &&
                           std::count(marked.intactFlags_.begin(), marked.intactFlags_.end(), 1) ==
                               static_cast<std::ptrdiff_t>(marked.intactFlags_.size());
    if (chainsAll) ++chainIntact;
    const bool finalAll =
        !b.intactFlags_.empty() && std::count(b.intactFlags_.begin(), b.intactFlags_.end(), 1) ==
                                       static_cast<std::ptrdiff_t>(b.intactFlags_.size());
    if (finalAll) ++allIntact;
    if (b.startPos_ == walk.starts && b.endPos_ == walk.ends) {
      ++reasons["consistent, same substreams as the true walk"];
    } else {
      ++reasons["consistent, but other substreams than the true walk"];
      std::printf("  %-40s consistent with %zu substreams; the true walk has %zu (%d nested)\n",
                  name.c_str(), b.startPos_.size(), walk.starts.size(), walk.nested);
    }
    for (std::size_t i = 0; i < b.intactFlags_.size(); ++i) {
      const std::uint16_t type = LittleEndian::U16(stream, b.startPos_[i] + 6);
      if (marked.intactFlags_[i] == 0) {
        ++reasons["substream whose chain does not reach its EOF"];
        std::printf("  %-40s substream %zu (%s) does not chain\n", name.c_str(), i, TypeName(type));
      } else if (b.intactFlags_[i] == 0) {
        ++reasons[std::string("intact substream demoted: ") + TypeName(type) +
                  (i == 0 ? " at index 0" : "")];
      }
    }

    // Every worksheet read whole holds the cells the sheet's own read finds at the position
    // its BOUNDSHEET names. When every substream was read whole, each is kept (the globals'
    // place is dropped at the end of the load).
    for (std::size_t i = 1; i < b.intactFlags_.size() && finalAll; ++i) {
      const auto& kept = document.worksheets();
      const auto it = std::find_if(kept.begin(), kept.end(), [&](const Worksheet& sheet) {
        return sheet.sourcePosition_ == b.startPos_[i];
      });
      ASSERT_NE(it, kept.end()) << name << " substream " << i;
      if (it->bof_.type_ != BOF::kWorksheet) continue;
      ++worksheetsRead;
      const Worksheet& read = *it;
      EXPECT_EQ(read.recovered_, 1) << name;
      const auto& sheets = document.workbook().sheets_;
      const auto named = std::find_if(sheets.begin(), sheets.end(), [&](const auto& sheet) {
        return sheet.position_ == b.startPos_[i];
      });
      ASSERT_NE(named, sheets.end()) << name << " substream " << i;
      Worksheet alone;
      alone.Reset();
      alone.Read(stream, named->position_);
      // Blanks a writer laid under values, and blank runs taken apart by the sort of a
      // sheet written out of order, may be written otherwise; the values may not.
      EXPECT_EQ(ValueCount(read), ValueCount(alone)) << name << " substream " << i;
      // The dimensions saved are those of the cells: some writers' own are wider, or 0.
      const CellSpan span = SpanOf(alone);
      EXPECT_EQ(read.dimensions_.firstRow_, span.firstRow) << name;
      EXPECT_EQ(read.dimensions_.lastRowPlus1_, span.endRow) << name;
      EXPECT_EQ(read.dimensions_.firstColumn_, span.firstColumn) << name;
      EXPECT_EQ(read.dimensions_.lastColumnPlus1_, span.endColumn) << name;
    }
    if (finalAll) {
      // Every sheet the globals name was found and read.
      std::size_t namedWorksheets = 0;
      for (const auto& sheet : document.workbook().sheets_) {
        const auto at = std::find(b.startPos_.begin(), b.startPos_.end(), sheet.position_);
        if (at != b.startPos_.end()) ++namedWorksheets;
      }
      EXPECT_EQ(namedWorksheets, document.workbook().sheets_.size()) << name;
      EXPECT_EQ(b.intactFlags_.size(), document.workbook().sheets_.size() + 1) << name;
    }
  }
  std::printf(
      "corpus: %d files, %d with boundaries that pair up, %d of them with every substream "
      "chaining intact, %d with every substream read whole; %d worksheets read whole\n",
      files, consistent, chainIntact, allIntact, worksheetsRead);
  for (const auto& [reason, count] : reasons) std::printf("  %5d  %s\n", count, reason.c_str());
  // What the readers of the intact substreams logged on the way.
  std::map<std::string, int> lines;
  for (const std::string& line : logs.ErrorLines()) ++lines[line];
  for (const auto& [line, count] : lines) std::printf("  %5d x %s\n", count, line.c_str());
  EXPECT_GE(allIntact, files / 2);
}

}  // namespace
}  // namespace tabulix
