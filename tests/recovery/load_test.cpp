#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/diagnostics.hpp"
#include "document/xls_document.hpp"
#include "storage/storage_writer.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using test::LogCapture;
using test::RecordingNotifier;
using test::TempDir;

constexpr const char* kCannotOpen = "            ERROR: Could not open file.              ";

// The smallest workbook stream worth loading: a globals BOF and an EOF.
std::vector<std::uint8_t> MinimalBiffStream() {
  return {
      0x09, 0x08, 0x10, 0x00,  // BOF, 16 data bytes
      0x00, 0x06, 0x05, 0x00,  // version 0x0600, workbook globals
      0xEC, 0x15, 0xCD, 0x07,  // build identifier, build year
      0xC1, 0xC0, 0x00, 0x00,  // file history flags
      0x06, 0x03, 0x00, 0x00,  // lowest BIFF version
      0x0A, 0x00, 0x00, 0x00,  // EOF
  };
}

class DiagnosticsFolder {
 public:
  explicit DiagnosticsFolder(const fs::path& dir) { SetDiagnosticsDirectory(dir); }
  ~DiagnosticsFolder() { SetDiagnosticsDirectory({}); }
};

TEST(Load, EveryRealFileLoadsThroughStructuredStorageWithABiff8Bof) {
  LogCapture logs;
  const auto files = test::RealCorpusFiles();
  ASSERT_GE(files.size(), 300u) << "corpus missing at " << test::CorpusDir();
  for (const fs::path& file : files) {
    XlsDocument document;
    ASSERT_TRUE(document.Load(file.string())) << file;
    EXPECT_EQ(document.route(), StreamRoute::Storage) << file;
    const auto& stream = document.stream();
    ASSERT_GE(stream.size(), 8u) << file;
    EXPECT_EQ(stream[0], 0x09) << file;  // BOF code 0x0809
    EXPECT_EQ(stream[1], 0x08) << file;
    EXPECT_EQ(stream[4], 0x00) << file;  // BIFF version 0x0600
    EXPECT_EQ(stream[5], 0x06) << file;
    EXPECT_TRUE(document.streamName() == "Workbook" || document.streamName() == "Book") << file;
  }
  // The recovery stages now read the intact substreams, and the record readers log what
  // they stumble over; the routes and the stage sequence themselves report nothing.
  EXPECT_EQ(logs.CountError("Failed StgOpenStorageEx"), 0);
  EXPECT_EQ(logs.CountError("Failed OpenStream"), 0);
  EXPECT_EQ(logs.CountError("Could Not Read Or Update Brevix WorkSheet"), 0);
}

TEST(Load, EveryRealFileCutInHalfIsRefusedByStorageAndTakenByRepairOrRaw) {
  LogCapture logs;
  TempDir dir;
  const fs::path cut = dir / "cut.xls";
  int loaded = 0;
  int nothingLeft = 0;
  int repaired = 0;
  for (const fs::path& file : test::RealCorpusFiles()) {
    auto bytes = test::ReadFileBytes(file);
    bytes.resize(bytes.size() / 2);
    test::WriteFileBytes(cut, bytes);

    XlsDocument document;
    RecordingNotifier notifier;
    const bool ok = document.Load(cut.string());
    // The strict reader refuses every cut file, and the report says so first.
    EXPECT_NE(document.route(), StreamRoute::Storage) << file;
    ASSERT_FALSE(document.report().routeFailures_.empty()) << file;
    EXPECT_EQ(document.report().routeFailures_[0].route_, StreamRoute::Storage) << file;
    if (document.route() == StreamRoute::Compound) {
      // The workbook stream lay whole in the first half: the repair route has it all.
      ++repaired;
      std::vector<std::uint8_t> whole;
      ASSERT_TRUE(test::ReadWorkbookStream(file, whole));
      EXPECT_EQ(document.stream(), whole) << file;
    } else if (document.route() == StreamRoute::Reassembled) {
      // A stream the cut went through is never handed on half read by a container route;
      // the reassembly walks its records from the globals BOF through the pieces left,
      // and unless they reach the last sheet, the scan gets every other byte of the file
      // behind them (the bytes a lost stretch left a record short of come twice).
      const RecoveryReport::Reassembly& pieces = document.report().reassembly_;
      std::uint64_t twice = 0;
      for (const auto& shift : pieces.shifts_) twice += shift.bytes_ < 0 ? -shift.bytes_ : 0;
      if (pieces.complete_) {
        EXPECT_LE(document.stream().size(), bytes.size()) << file;
      } else {
        EXPECT_EQ(document.stream().size(), bytes.size() + twice) << file;
      }
      EXPECT_EQ(LittleEndian::U16(document.stream(), 0), 0x0809) << file;
      EXPECT_TRUE(document.streamName().empty());
    } else {
      EXPECT_EQ(document.route(), StreamRoute::Raw) << file;
      EXPECT_EQ(document.stream(), bytes) << file;
      EXPECT_TRUE(document.streamName().empty());
    }
    // Some writers put the workbook stream in the second half of the file; then no
    // workbook record, or none with a value, is left, and the user is told so in one
    // message (181 of these cuts were once "recovered" as empty workbooks).
    if (ok) {
      ++loaded;
      EXPECT_TRUE(notifier.messages().empty()) << file;
    } else {
      ++nothingLeft;
      EXPECT_EQ(notifier.messages().size(), 1u) << file;
    }
  }
  std::printf(
      "cut in half: %d loaded (%d whole by the repair route), %d with no workbook record left\n",
      loaded, repaired, nothingLeft);
  EXPECT_GE(loaded, 195);
}

TEST(Load, BadInputGivesAClearMessageAndFalse) {
  LogCapture logs;
  TempDir dir;
  std::mt19937 random(42);
  std::vector<std::uint8_t> noise(64 * 1024);
  for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
  test::WriteFileBytes(dir / "empty.xls", {});
  test::WriteFileBytes(dir / "three.xls", {0xD0, 0xCF, 0x11});
  test::WriteFileBytes(dir / "noise.xls", noise);
  fs::create_directory(dir / "folder.xls");

  const std::string noRecords =
      "No Excel 97-2003 workbook records were found in the file: there is nothing to recover.";
  struct Case {
    fs::path path;
    std::vector<std::string> messages;
  };
  // The message the user has always seen stays, and the reason follows it.
  const std::string missing = (dir / "missing.xls").string();
  const std::string folder = (dir / "folder.xls").string();
  for (const Case& c :
       {Case{missing, {kCannotOpen, "There is no file at " + missing + "."}},
        Case{folder, {kCannotOpen, folder + " is a folder, not a file."}},
        Case{"/dev/null",
             {kCannotOpen, "/dev/null is not a regular file (a device, a pipe or a socket)."}},
        Case{dir / "empty.xls", {"The file is empty: there is nothing to recover."}},
        Case{dir / "three.xls", {noRecords}}, Case{dir / "noise.xls", {noRecords}}}) {
    RecordingNotifier notifier;
    XlsDocument document;
    EXPECT_FALSE(document.Load(c.path.string())) << c.path;
    EXPECT_EQ(notifier.messages(), c.messages) << c.path;
  }
  EXPECT_EQ(logs.CountError("Failed StgOpenStorageEx"), 6);
}

// The files that are not sound Excel 97-2003 workbooks: each loads, or fails with the
// reason, and none is taken for what it is not. Encrypted ones (one with its FILEPASS found
// only by the compound repair), Excel 5.0/95 and 2.x-4.0 files were once "recovered" as
// garbage; two held nothing at all and were once saved as empty workbooks.
TEST(Load, OddFilesLoadOrFailWithTheirReason) {
  LogCapture logs;
  const fs::path odd = test::CorpusDir() / "odd";
  if (!fs::is_directory(odd)) GTEST_SKIP() << "no corpus at " << odd;
  const std::string encrypted = "File is password protected.";
  const std::string biff5 =
      "The file is an Excel 5.0/95 workbook: this version of Tabulix recovers Excel 97-2003 "
      "workbooks.";
  const std::string biff4 =
      "The file is an Excel 2.x-4.0 workbook: this version of Tabulix recovers Excel 97-2003 "
      "workbooks.";
  const std::string nothing =
      "Nothing could be recovered: no part of the workbook was intact and no cell with a "
      "value was found.";
  const std::string fuzz = "clusterfuzz-testcase-minimized-POIHSSFFuzzer-";
  const std::map<std::string, std::string> refused = {
      {"35897-type4.xls", encrypted},
      {"50833.xls", encrypted},
      {"51832.xls", encrypted},
      {"password.xls", encrypted},
      {"xor-encryption-abc.xls", encrypted},
      {fuzz + "4651309315719168.xls", encrypted},
      {fuzz + "6537773940867072.xls", encrypted},
      {"59074.xls", biff5},
      {"60284.xls", biff5},
      {"64130.xls", biff5},
      {"testEXCEL_5.xls", biff5},
      {"testEXCEL_95.xls", biff5},
      {"testEXCEL_3.xls", biff4},
      {"testEXCEL_4.xls", biff4},
      {"xlrd-biff4_no_format_no_window2.xls", biff4},
      {fuzz + "6137883240824832.xls", nothing},
      {fuzz + "6322470200934400.xls", nothing},
  };
  int loaded = 0;
  int seen = 0;
  for (const auto& entry : fs::directory_iterator(odd)) {
    if (entry.path().extension() != ".xls") continue;
    ++seen;
    const std::string name = entry.path().filename().string();
    RecordingNotifier notifier;
    XlsDocument document;
    const bool ok = document.Load(entry.path().string());
    const auto expected = refused.find(name);
    if (expected == refused.end()) {
      EXPECT_TRUE(ok) << name;
      EXPECT_TRUE(notifier.messages().empty()) << name;
      loaded += ok;
    } else {
      EXPECT_FALSE(ok) << name;
      EXPECT_EQ(notifier.messages(), std::vector<std::string>{expected->second}) << name;
      EXPECT_FALSE(document.report().loaded_) << name;
    }
  }
  EXPECT_EQ(seen, 32);
  EXPECT_EQ(loaded, 15);
}

TEST(Load, NothingRecoveredIsAFailureButASoundEmptyWorkbookIsNot) {
  LogCapture logs;
  TempDir dir;
  // Globals read whole, no sheet: an empty workbook, and a success.
  test::WriteFileBytes(dir / "empty-book.xls", MinimalBiffStream());
  // A worksheet BOF and records that hold no value: nothing read whole, nothing found.
  std::vector<std::uint8_t> valueless = MinimalBiffStream();
  valueless.resize(20);  // the globals' EOF is lost
  const std::vector<std::uint8_t> sheet = {
      0x09, 0x08, 0x10, 0x00, 0x00, 0x06, 0x10, 0x00, 0,    0, 0, 0, 0, 0,  0,
      0,    0,    0,    0,    0,    0x01, 0x02, 0x06, 0x00, 1, 0, 1, 0, 15, 0};  // BLANK
  valueless.insert(valueless.end(), sheet.begin(), sheet.end());
  test::WriteFileBytes(dir / "valueless.xls", valueless);
  {
    RecordingNotifier notifier;
    XlsDocument document;
    EXPECT_TRUE(document.Load((dir / "empty-book.xls").string()));
    EXPECT_TRUE(notifier.messages().empty());
  }
  RecordingNotifier notifier;
  XlsDocument document;
  EXPECT_FALSE(document.Load((dir / "valueless.xls").string()));
  EXPECT_EQ(notifier.messages(),
            std::vector<std::string>{"Nothing could be recovered: no part of the workbook was "
                                     "intact and no cell with a value was found."});
}

TEST(Load, AnEmptyPathReturnsFalseSilently) {
  LogCapture logs;
  RecordingNotifier notifier;
  XlsDocument document;
  EXPECT_FALSE(document.Load(""));
  EXPECT_TRUE(notifier.messages().empty());
  EXPECT_TRUE(logs.ErrorLines().empty());
  EXPECT_TRUE(logs.ExecutionLines().empty());
}

TEST(Load, StreamNamesAndContainersWithoutAWorkbookStream) {
  LogCapture logs;
  TempDir dir;
  const auto biff = MinimalBiffStream();

  // An older writer's name.
  test::WriteFileBytes(dir / "book.xls", storage::BuildSingleStreamDocument(u"Book", biff));
  XlsDocument book;
  ASSERT_TRUE(book.Load((dir / "book.xls").string()));
  EXPECT_EQ(book.route(), StreamRoute::Storage);
  EXPECT_EQ(book.streamName(), "Book");
  EXPECT_EQ(book.stream(), biff);

  // Neither name: the first route fails with its text, and the reassembly finds the
  // records in the file and walks them whole: the workbook is read as it was written.
  const auto other = storage::BuildSingleStreamDocument(u"Other", biff);
  test::WriteFileBytes(dir / "other.xls", other);
  XlsDocument document;
  EXPECT_TRUE(document.Load((dir / "other.xls").string()));
  EXPECT_EQ(logs.CountError("Failed OpenStream"), 1);
  EXPECT_EQ(document.route(), StreamRoute::Reassembled);
  EXPECT_EQ(document.stream(), biff);
  EXPECT_TRUE(document.report().reassembly_.complete_);

  // A bare record stream without any container.
  test::WriteFileBytes(dir / "bare.xls", biff);
  XlsDocument bare;
  ASSERT_TRUE(bare.Load((dir / "bare.xls").string()));
  EXPECT_EQ(bare.route(), StreamRoute::Raw);
  EXPECT_EQ(bare.stream(), biff);
}

TEST(Load, ADocumentWhoseStreamIsCutShortIsNotTakenAsComplete) {
  LogCapture logs;
  TempDir dir;
  std::vector<std::uint8_t> biff = MinimalBiffStream();
  biff.resize(20000, 0x55);  // large enough to live in regular sectors
  auto document = storage::BuildSingleStreamDocument(u"Workbook", biff);
  document.resize(document.size() - 4096);  // the last sectors of the stream are gone
  test::WriteFileBytes(dir / "short.xls", document);

  // The reassembly walks what is left of the stream; its records hold no cell, so nothing
  // is recovered.
  XlsDocument loaded;
  EXPECT_FALSE(loaded.Load((dir / "short.xls").string()));
  EXPECT_EQ(loaded.route(), StreamRoute::Reassembled);
  const auto& failures = loaded.report().routeFailures_;
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].route_, StreamRoute::Storage);
  EXPECT_EQ(failures[1].route_, StreamRoute::Compound);
}

TEST(Load, DiagnosticCopyGoesToTheFolderOnlyWhenItExistsAndNeverThroughALink) {
  LogCapture logs;
  TempDir dir;
  const auto biff = MinimalBiffStream();
  test::WriteFileBytes(dir / "bare.xls", biff);

  {
    DiagnosticsFolder absent(dir / "Morvendal");
    XlsDocument document;
    ASSERT_TRUE(document.Load((dir / "bare.xls").string()));
    EXPECT_FALSE(fs::exists(dir / "Morvendal"));
  }
  fs::create_directory(dir / "Morvendal");
  DiagnosticsFolder present(dir / "Morvendal");
  {
    XlsDocument document;
    ASSERT_TRUE(document.Load((dir / "bare.xls").string()));
    EXPECT_EQ(test::ReadFileBytes(dir / "Morvendal" / "payload.bin"), biff);
  }
  fs::remove(dir / "Morvendal" / "payload.bin");
  test::WriteFileBytes(dir / "victim", {1, 2, 3});
  fs::create_symlink(dir / "victim", dir / "Morvendal" / "payload.bin");
  XlsDocument document;
  ASSERT_TRUE(document.Load((dir / "bare.xls").string()));
  EXPECT_EQ(test::ReadFileBytes(dir / "victim"), (std::vector<std::uint8_t>{1, 2, 3}));
}

}  // namespace
}  // namespace tabulix
