// Every record of every real workbook, joined with its CONTINUE records, must write back
// to the very bytes it was read from. The streams are taken out of their compound files by
// olefile, an independent reader.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "biff/bof.hpp"
#include "biff/record.hpp"
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

}  // namespace
}  // namespace tabulix
