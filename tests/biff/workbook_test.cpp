// The workbook-globals substream: a new workbook's defaults, the walk over a source's
// globals (lists, unknown records, FILEPASS, damage), and the round trip of every real
// workbook's globals checked against xlrd's shared strings.

#include "biff/workbook.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "biff/byte_builder.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

using test::ByteBuilder;
using Bytes = std::vector<std::uint8_t>;

Bytes WriteWorkbook(Workbook& workbook) {
  Bytes out(workbook.RecordSize());
  EXPECT_EQ(workbook.Write(out, 0), out.size());
  return out;
}

// The codes of the records in `bytes`, CONTINUE records included.
std::vector<std::uint16_t> Codes(const Bytes& bytes) {
  std::vector<std::uint16_t> codes;
  for (std::size_t at = 0; at + 4 <= bytes.size();) {
    codes.push_back(static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8)));
    at += 4 + (bytes[at + 2] | (bytes[at + 3] << 8));
  }
  return codes;
}

ByteBuilder& GlobalsBof(ByteBuilder& b) {
  return b.Header(0x0809, 16).U16(0x0600).U16(0x0005).U16(0x0DBB).U16(0x07CC).U32(0x41).U32(6);
}

ByteBuilder& Font(ByteBuilder& b, std::uint16_t height, const std::string& name) {
  b.Header(0x0031, static_cast<std::uint16_t>(16 + name.size())).U16(height).Fill(12, 0);
  b.U8(static_cast<std::uint8_t>(name.size())).U8(0);
  for (char c : name) b.U8(static_cast<std::uint8_t>(c));
  return b;
}

ByteBuilder& Sheet(ByteBuilder& b, std::uint32_t position, const std::string& name) {
  b.Header(0x0085, static_cast<std::uint16_t>(8 + name.size())).U32(position).U8(0).U8(0);
  b.U8(static_cast<std::uint8_t>(name.size())).U8(0);
  for (char c : name) b.U8(static_cast<std::uint8_t>(c));
  return b;
}

TEST(WorkbookDefaults, NewWorkbookWritesWhatItCounts) {
  test::LogCapture log;
  Workbook workbook;
  workbook.Reset();
  const Bytes bytes = WriteWorkbook(workbook);
  EXPECT_EQ(bytes.size(), workbook.RecordSize());
  EXPECT_EQ(log.ErrorLines().size(), 0u);

  const std::vector<std::uint16_t> codes = Codes(bytes);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 0x0092), 0);  // no palette
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 0x0031), 4);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 0x041E), 8);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 0x00E0), 21);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 0x0293), 6);
  EXPECT_EQ(std::count(codes.begin(), codes.end(), 0x0085), 3);
  EXPECT_EQ(codes.front(), 0x0809);
  EXPECT_EQ(codes.back(), 0x000A);
  EXPECT_EQ(bytes[6], 0x05);  // globals substream type
  EXPECT_EQ(workbook.sheets_[2].name_.ToUtf8(), "Sheet3");
  EXPECT_EQ(workbook.sheets_[2].position_, 1951u);
  EXPECT_EQ(workbook.formats_[4].text_.ToUtf8(),
            "_($* #,##0_); _($* (#,##0); _($* \" -\" _); _(@_)");
  EXPECT_EQ(workbook.xfs_[15].typeProtection_, 0x0001);
  // The style XFs mark their used attributes (byte 9); indent and direction stay zero.
  EXPECT_EQ(workbook.xfs_[1].usedAttributes_, 0xF4);
  EXPECT_EQ(workbook.xfs_[16].usedAttributes_, 0xF8);
  EXPECT_EQ(workbook.xfs_[16].indentShrinkMerge_, 0);
  EXPECT_EQ(workbook.xfs_[0].usedAttributes_, 0);
  EXPECT_EQ(workbook.xfs_[20].formatIndex_, 9);
  EXPECT_EQ(workbook.styles_[5].xfIndex_, 0x8014);

  // Read back into an empty workbook, it writes the same bytes.
  Workbook back;
  EXPECT_EQ(back.Read(bytes, 0), bytes.size());
  EXPECT_EQ(WriteWorkbook(back), bytes);
  EXPECT_FALSE(back.palette_.Present());
  EXPECT_EQ(log.ErrorLines().size(), 0u);
}

TEST(WorkbookRead, ListsFollowTheRecordsRead) {
  test::LogCapture log;
  ByteBuilder two;
  GlobalsBof(two);
  Sheet(two, 100, "One");
  Sheet(two, 200, "Two");
  two.Header(0x000A, 0);
  Workbook reset;
  reset.Reset();
  EXPECT_EQ(reset.Read(two.bytes(), 0), two.size());
  ASSERT_EQ(reset.sheets_.size(), 3u);
  EXPECT_EQ(reset.sheets_[0].name_.ToUtf8(), "One");
  EXPECT_EQ(reset.sheets_[1].position_, 200u);
  EXPECT_EQ(reset.sheets_[2].name_.ToUtf8(), "Sheet3");
  EXPECT_EQ(reset.bof_.buildId_, 0x0DBB);

  ByteBuilder seven;
  GlobalsBof(seven);
  // Appended rather than "literal" + temporary string, on which GCC 12 at -O3 warns falsely.
  for (int i = 0; i < 7; ++i)
    Font(seven, static_cast<std::uint16_t>(100 + i), std::string("F").append(std::to_string(i)));
  seven.Header(0x000A, 0);
  Workbook empty;
  EXPECT_EQ(empty.Read(seven.bytes(), 0), seven.size());
  ASSERT_EQ(empty.fonts_.size(), 7u);
  EXPECT_EQ(empty.fonts_[6].height_, 106);
  EXPECT_EQ(empty.fonts_[6].name_.ToUtf8(), "F6");
  EXPECT_EQ(log.ErrorLines().size(), 0u);
}

TEST(WorkbookRead, SkipsUnknownAndEmptyRecordsAndStopsAtFilePass) {
  test::LogCapture log;
  // An unknown record with two CONTINUE records, a font with an empty name, a sheet with
  // no data: all are stepped over and the records behind them are read.
  ByteBuilder b;
  GlobalsBof(b);
  b.Header(0x0123, 3).Fill(3).Header(0x003C, 4).Header(0x008C, 0).Header(0x003C, 2).U16(0x8C);
  Font(b, 300, "");
  b.Header(0x0085, 0);
  b.Header(0x008C, 4).U16(81).U16(82);
  b.Header(0x000A, 0);
  b.Header(0x0809, 16).Fill(16);  // the next substream: not read
  Workbook workbook;
  EXPECT_EQ(workbook.Read(b.bytes(), 0), b.size() - 20);
  EXPECT_EQ(workbook.country_.defaultCountry_, 81);
  ASSERT_EQ(workbook.fonts_.size(), 1u);
  EXPECT_EQ(workbook.fonts_[0].height_, 300);
  EXPECT_EQ(workbook.sheets_.size(), 1u);

  test::RecordingNotifier notifier;
  ByteBuilder locked;
  GlobalsBof(locked);
  locked.Header(0x002F, 6).Fill(6);
  Font(locked, 200, "Arial");
  locked.Header(0x000A, 0);
  Workbook secret;
  EXPECT_EQ(secret.Read(locked.bytes(), 0), 20u);
  EXPECT_TRUE(secret.passwordProtected_);
  EXPECT_TRUE(secret.fonts_.empty());
  // The record model only notes the protection; telling the user is the load's business.
  EXPECT_TRUE(notifier.messages().empty());
  EXPECT_EQ(log.ErrorLines().size(), 0u);
}

TEST(WorkbookRead, DamagedSubstreams) {
  test::LogCapture log;
  // A sheet's BOF before any EOF ends the globals and leaves the globals' BOF alone.
  ByteBuilder nested;
  GlobalsBof(nested);
  Font(nested, 220, "Tahoma");
  nested.Header(0x0809, 16).U16(0x0600).U16(0x0010).Fill(12);
  Font(nested, 240, "Courier");
  nested.Header(0x000A, 0);
  Workbook workbook;
  EXPECT_EQ(workbook.Read(nested.bytes(), 0), 20u + 4 + 16 + 6);
  EXPECT_EQ(workbook.bof_.type_, 0x0005);
  EXPECT_EQ(workbook.fonts_.size(), 1u);
  EXPECT_EQ(log.CountError("Error reading Workbook Globals"), 1);

  // No EOF: the walk ends at the end of the stream.
  ByteBuilder open;
  GlobalsBof(open);
  open.Header(0x0022, 2).U16(1);
  Workbook noEof;
  EXPECT_EQ(noEof.Read(open.bytes(), 0), open.size());
  EXPECT_EQ(noEof.date1904_.value_, 1);
  EXPECT_EQ(log.CountError("Error reading Workbook Globals"), 2);

  // A record whose length runs past the stream: the walk stops before it.
  ByteBuilder over;
  GlobalsBof(over);
  over.Header(0x0031, 400).Fill(20);
  Workbook cut;
  EXPECT_EQ(cut.Read(over.bytes(), 0), 20u);
  EXPECT_EQ(log.CountError("Error reading Workbook Globals"), 3);

  // Every prefix of a whole globals substream (with an SST over CONTINUE records) reads
  // without a fault and consumes no more than it was given.
  Workbook full;
  full.Reset();
  full.sst_.strings_.resize(3);
  full.sst_.strings_[0].Assign(std::string(9000, 'x'));
  full.sst_.strings_[1].Assign(std::u16string(5000, u'\u6587'));
  full.sst_.strings_[2].Assign(std::string_view("end"));
  const Bytes bytes = WriteWorkbook(full);
  for (std::size_t length = 0; length <= bytes.size(); length += length < 2000 ? 1 : 97) {
    const std::span<const std::uint8_t> prefix(bytes.data(), length);
    Workbook reader;
    reader.Reset();
    EXPECT_LE(reader.Read(prefix, 0), length);
  }
  // And at every offset in it, as if the caller had pointed at the wrong byte.
  for (std::size_t pos = 0; pos < bytes.size(); pos += 13) {
    Workbook reader;
    EXPECT_LE(reader.Read(bytes, pos), bytes.size() - pos);
  }
}

// ---- real workbooks ----

constexpr const char* kSharedStringsScript = R"(import os, sys, xlrd
corpus = sys.argv[1]
quiet = open(os.devnull, 'w')
for name in sorted(n for n in os.listdir(corpus) if n.lower().endswith('.xls')):
    try:
        book = xlrd.open_workbook(os.path.join(corpus, name), on_demand=True, logfile=quiet)
        strings = book._sharedstrings
        book.release_resources()
    except Exception as e:
        print('SKIP\t%s' % name)
        continue
    print('FILE\t%s\t%d' % (name, len(strings)))
    for s in strings:
        print(s.encode('utf-8', 'surrogatepass').hex())
)";

std::string FromHex(const std::string& hex) {
  auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(digit(hex[i]) * 16 + digit(hex[i + 1])));
  return out;
}

// xlrd's shared strings of every corpus file, by file name.
std::map<std::string, std::vector<std::string>> XlrdSharedStrings(const test::TempDir& dir) {
  const auto script = dir / "sst.py";
  std::ofstream(script) << kSharedStringsScript;
  std::string output;
  const int status =
      test::RunCommand(std::string(TABULIX_PYTHON) + " " + test::ShellQuote(script.string()) + " " +
                           test::ShellQuote((test::CorpusDir() / "real").string()),
                       &output);
  EXPECT_EQ(status, 0);
  std::map<std::string, std::vector<std::string>> result;
  std::istringstream lines(output);
  std::string line;
  std::vector<std::string>* current = nullptr;
  while (std::getline(lines, line)) {
    if (line.rfind("FILE\t", 0) == 0) {
      const std::size_t tab = line.find('\t', 5);
      current = &result[line.substr(5, tab - 5)];
    } else if (line.rfind("SKIP\t", 0) == 0) {
      current = nullptr;
    } else if (current != nullptr) {
      current->push_back(FromHex(line));
    }
  }
  return result;
}

TEST(WorkbookCorpus, GlobalsRoundTripAndSharedStringsMatchXlrd) {
  const auto files = test::RealCorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus";
  test::TempDir dir;
  const auto xlrd = XlrdSharedStrings(dir);
  ASSERT_GE(xlrd.size(), files.size() * 9 / 10);

  test::LogCapture log;
  std::size_t checked = 0;
  std::size_t strings = 0;
  std::vector<std::string> differ;
  for (const auto& path : files) {
    const std::string name = path.filename().string();
    Bytes stream;
    if (!test::ReadWorkbookStream(path, stream)) {
      ADD_FAILURE() << name << ": no workbook stream";
      continue;
    }
    Workbook first;
    const std::uint32_t consumed = first.Read(stream, 0);
    ASSERT_GT(consumed, 0u) << name;
    ASSERT_LE(consumed, stream.size()) << name;
    const Bytes once = WriteWorkbook(first);

    Workbook second;
    EXPECT_EQ(second.Read(once, 0), once.size()) << name;
    const Bytes twice = WriteWorkbook(second);
    EXPECT_TRUE(once == twice) << name << ": the second write differs from the first";

    const auto it = xlrd.find(name);
    if (it == xlrd.end()) continue;
    ++checked;
    const std::vector<std::string>& expected = it->second;
    bool same = first.sst_.strings_.size() == expected.size();
    for (std::size_t i = 0; same && i < expected.size(); ++i)
      same = first.sst_.Text(i) == expected[i];
    for (std::size_t i = 0; same && i < expected.size(); ++i)
      same = second.sst_.Text(i) == expected[i];
    strings += expected.size();
    if (!same) differ.push_back(name);
  }
  std::cout << checked << " workbooks, " << strings << " shared strings compared with xlrd\n";
  std::map<std::string, int> messages;
  for (const std::string& line : log.ErrorLines()) ++messages[line.substr(line.find("MSG:") + 4)];
  for (const auto& [message, count] : messages)
    std::cout << "  logged " << count << "x: " << message << "\n";
  EXPECT_TRUE(differ.empty()) << differ.size() << " differ, first " << differ.front();
  EXPECT_GE(checked, files.size() * 9 / 10);
}

// Odd and broken files (encrypted, fuzzed, older versions, bare streams): the globals read
// ends without a fault inside the stream, the encrypted ones are flagged, and what was
// read writes back stably.
TEST(WorkbookCorpus, OddFilesReadWithinBoundsAndEncryptedOnesAreFlagged) {
  const auto odd = test::CorpusDir() / "odd";
  const auto manifest = test::ReadLines(odd / "MANIFEST.tsv");
  if (manifest.empty()) GTEST_SKIP() << "no odd corpus";
  test::LogCapture log;
  std::size_t encrypted = 0;
  for (const std::string& line : manifest) {
    const std::string name = line.substr(0, line.find('\t'));
    if (name == "file" || !std::filesystem::exists(odd / name)) continue;
    // Containers the strict reader refuses are read as bare bytes.
    Bytes stream;
    const bool opened = test::ReadWorkbookStream(odd / name, stream);
    if (!opened) stream = test::ReadFileBytes(odd / name);
    test::RecordingNotifier notifier;
    Workbook workbook;
    workbook.Reset();
    EXPECT_LE(workbook.Read(stream, 0), stream.size()) << name;
    const bool flagged =
        opened && line.find("encrypted (FILEPASS in globals)") != std::string::npos;
    if (flagged) {
      ++encrypted;
      EXPECT_TRUE(workbook.passwordProtected_) << name;
      // Noted, not told: the message is the load's to give.
      EXPECT_TRUE(notifier.messages().empty()) << name;
    }
    const Bytes once = WriteWorkbook(workbook);
    Workbook again;
    EXPECT_EQ(again.Read(once, 0), once.size()) << name;
    EXPECT_TRUE(WriteWorkbook(again) == once) << name;
  }
  EXPECT_GE(encrypted, 5u);
}

}  // namespace
}  // namespace tabulix
