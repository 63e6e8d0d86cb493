// Every record of every real workbook, joined with its CONTINUE records, must write back
// to the very bytes it was read from. The streams are taken out of their compound files by
// olefile, an independent reader.

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "biff/bof.hpp"
#include "biff/record.hpp"
#include "biff/stream_verifier.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

constexpr const char* kExtractScript = R"(import os, sys, olefile
corpus, out = sys.argv[1], sys.argv[2]
names = sorted(n for n in os.listdir(corpus) if n.lower().endswith('.xls'))
for i, name in enumerate(names):
    try:
        ole = olefile.OleFileIO(os.path.join(corpus, name))
        stream = 'Workbook' if ole.exists('Workbook') else 'Book'
        data = ole.openstream(stream).read()
        ole.close()
    except Exception as e:
        print('SKIP\t%s\t%s' % (name, e))
        continue
    path = os.path.join(out, '%04d.bin' % i)
    with open(path, 'wb') as f:
        f.write(data)
    print('OK\t%s\t%s' % (name, path))
)";

struct Stream {
  std::string name;
  std::string path;
};

std::vector<Stream> ExtractStreams(const test::TempDir& dir) {
  const auto script = dir / "extract.py";
  std::ofstream(script) << kExtractScript;
  std::string output;
  const int status =
      test::RunCommand(std::string(TABULIX_PYTHON) + " " + test::ShellQuote(script.string()) + " " +
                           test::ShellQuote((test::CorpusDir() / "real").string()) + " " +
                           test::ShellQuote(dir.path().string()),
                       &output);
  EXPECT_EQ(status, 0) << output;
  std::vector<Stream> streams;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string state, name, path;
    std::getline(fields, state, '\t');
    std::getline(fields, name, '\t');
    std::getline(fields, path, '\t');
    if (state == "OK") streams.push_back({name, path});
  }
  return streams;
}

TEST(CorpusRecords, EveryRecordWritesBackToItsOwnBytes) {
  if (test::RealCorpusFiles().empty()) GTEST_SKIP() << "no corpus";
  test::TempDir dir;
  const std::vector<Stream> streams = ExtractStreams(dir);
  ASSERT_GE(streams.size(), test::RealCorpusFiles().size() * 9 / 10);

  test::LogCapture log;
  std::size_t records = 0;
  std::size_t joined = 0;
  std::size_t walkedToTheEnd = 0;
  Record record;
  std::vector<std::uint8_t> out;
  for (const Stream& s : streams) {
    const std::vector<std::uint8_t> bytes = test::ReadFileBytes(s.path);
    const std::span<const std::uint8_t> stream(bytes);
    std::size_t pos = 0;
    // Some writers put an 8-byte BOF first, which the strict header check refuses.
    while (pos + 4 <= bytes.size() && !BOF::Validate(stream, pos) &&
           !(bytes[pos] == 0x09 && bytes[pos + 1] == 0x08)) {
      ++pos;
    }
    ASSERT_LT(pos + 4, bytes.size()) << s.name << ": no BOF";
    while (pos < bytes.size()) {
      const std::uint32_t size = record.Read(stream, pos);
      if (size == 0) break;
      ASSERT_LE(pos + size, bytes.size());
      out.assign(record.RecordSize(), 0);
      ASSERT_EQ(record.Write(out, 0), size) << s.name << " at " << pos;
      ASSERT_TRUE(
          std::equal(out.begin(), out.end(), bytes.begin() + static_cast<std::ptrdiff_t>(pos)))
          << s.name << ": record 0x" << std::hex << record.code_ << " at " << std::dec << pos;
      ++records;
      if (!record.continueIndices_.empty()) ++joined;
      pos += size;
    }
    // Writers pad some streams with up to three zero bytes, too few for a header.
    if (bytes.size() - pos < 4) ++walkedToTheEnd;
  }
  std::cout << streams.size() << " streams, " << walkedToTheEnd << " walked to the end, " << records
            << " records, " << joined << " with CONTINUE records\n";
  EXPECT_GT(joined, 0u);
  EXPECT_EQ(walkedToTheEnd, streams.size());
}

// The links the strict verifier follows between records (names, references to sheets,
// comments, drawings, embedded charts, sheet entries) hold in the originals: a check that
// named one in a workbook its program opens would have the save drop sound records. The few
// originals that break one are listed with their writer's fault.
TEST(CorpusRecords, OriginalsKeepTheLinksBetweenRecords) {
  if (test::RealCorpusFiles().empty()) GTEST_SKIP() << "no corpus";
  test::TempDir dir;
  const std::vector<Stream> streams = ExtractStreams(dir);
  ASSERT_GE(streams.size(), test::RealCorpusFiles().size() * 9 / 10);
  const std::set<std::string> links = {
      "formula-names",     "formula-externsheet", "name-index",        "namex-index",
      "externsheet-index", "externsheet-supbook", "externsheet-sheet", "supbook-sheets",
      "name-scope",        "sheet-entry",         "note-object",       "note-cell",
      "drawing-group",     "object-id",           "object-data",       "embedded-chart"};
  const std::set<std::pair<std::string, std::string>> known = {
      // OBJ records of the older versions' layout (a count, then kind and id; no drawing
      // records at all) in a stream that says it is BIFF8.
      {"43493.xls", "object-data"},
      {"OddStyleRecord.xls", "object-data"},
      // The workbook's own SUPBOOK counts 1 sheet of 4 (of 3), and each EXTERNSHEET entry
      // stands in an EXTERNSHEET record of its own.
      {"47245_test.xls", "supbook-sheets"},
      {"52447.xls", "supbook-sheets"},
      // An empty substream of type 0x1000 behind the one worksheet, which no entry names.
      {"53984.xls", "sheet-entry"},
  };
  std::set<std::pair<std::string, std::string>> found;
  for (const Stream& s : streams) {
    for (const std::string& finding : VerifyWorkbookStream(test::ReadFileBytes(s.path))) {
      std::set<std::string> broken;
      if (finding.rfind("... and ", 0) == 0) {  // "... and 12 more: name-index 3, object-id 9"
        std::istringstream more(finding.substr(finding.find(": ") + 2));
        std::string invariant, count;
        while (more >> invariant >> count) broken.insert(invariant);
      } else {
        broken.insert(finding.substr(0, finding.find(" at ")));
      }
      for (const std::string& invariant : broken) {
        if (links.count(invariant) == 0) continue;
        const bool added = found.emplace(s.name, invariant).second;
        if (added && known.count({s.name, invariant}) == 0) {
          ADD_FAILURE() << s.name << ": " << finding;
        }
      }
    }
  }
  for (const auto& [name, invariant] : known) {
    EXPECT_EQ(found.count({name, invariant}), 1u) << name << " no longer breaks " << invariant;
  }
}

}  // namespace
}  // namespace tabulix
