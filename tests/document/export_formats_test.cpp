// The .xlsx and CSV exports: what independent readers find in them must be what xlrd reads
// from the original (export_oracle.py beside this file), awkward values and names must come
// out as a user expects, and a failed export leaves its target as it was.

#include "document/export_formats.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "biff/byte_builder.hpp"
#include "document/xls_document.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using test::ByteBuilder;

// Runs export_oracle.py with `arguments`; returns its exit status, `output` gets what it
// printed.
int RunOracle(const std::string& arguments, std::string& output) {
  return test::RunCommand(
      std::string(TABULIX_PYTHON) + " " +
          test::ShellQuote(std::string(TABULIX_TESTS_DIR) + "/document/export_oracle.py") + " " +
          arguments,
      &output);
}

// The oracle's closing counts: "csv-cells 10 csv-dates 2 ..." as a map.
std::map<std::string, long> Counts(const std::string& output) {
  std::map<std::string, long> counts;
  std::istringstream lines(output);
  std::string line;
  std::string last;
  while (std::getline(lines, line)) last = line;
  std::istringstream words(last);
  std::string key;
  long value = 0;
  while (words >> key >> value) counts[key] = value;
  return counts;
}

std::string ReadText(const fs::path& path) {
  const Bytes bytes = test::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// Every name in `folder`, hidden ones included.
std::vector<std::string> Entries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Real files of varied content: dates of both date systems, text in many scripts, merged
// ranges and column widths, error values and booleans, many sheets.
const std::vector<std::string> kVariedFiles = {
    "12843-1.xls",                    // 23 sheets, dates, CJK text, 223 merged ranges
    "1904DateWindowing.xls",          // the 1904 date system
    "DateFormats.xls",                // dates in several formats
    "bug69021.xls",                   // text in many scripts, quotes and commas
    "MatchFunctionTestCaseData.xls",  // error values
    "countblankExamples.xls",         // booleans
    "51670.xls",                      // 75 merged ranges
    "44010-TwoCharts.xls",            // chart sheets, which are left out
    "60405.xls",                      // a macro sheet, which is left out
};

TEST(ExportFormats, XlsxAndCsvHoldWhatXlrdReadsFromTheOriginal) {
  test::LogCapture logs;
  test::TempDir dir;
  const fs::path list = dir / "exports.tsv";
  std::ofstream pairs(list, std::ios::binary);
  std::vector<fs::path> files;
  for (const std::string& name : kVariedFiles) files.push_back(test::CorpusDir() / "real" / name);
  // A damaged file, its sheet rebuilt: the exports must hold what the .xls save holds.
  files.push_back(fs::path(TABULIX_TESTS_DIR) / ".." / "samples" / "truncated-29942.xls");
  for (const fs::path& file : files) {
    const std::string name = file.filename().string();
    SCOPED_TRACE(name);
    fs::path original = file;
    XlsDocument document;
    ASSERT_TRUE(document.Load(original.string()));
    if (!document.report().sheets_.empty() && !document.report().sheets_[0].intact_) {
      original = dir / ("recovered " + name);
      ASSERT_TRUE(document.SaveStorageFile(original.string()));
    }

    const fs::path xlsx = dir / (name + ".xlsx");
    std::string error;
    std::vector<int> percents;
    ASSERT_TRUE(SaveXlsx(document, xlsx, error, [&](int p) { percents.push_back(p); })) << error;
    EXPECT_TRUE(error.empty());
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
    pairs << "xlsx\t" << original.string() << "\t" << xlsx.string() << "\n";

    const fs::path folder = dir / (name + " csv");
    ASSERT_TRUE(SaveCsvFolder(document, folder, error)) << error;
    pairs << "csv\t" << original.string() << "\t" << folder.string() << "\n";
  }
  pairs.close();
  std::string output;
  EXPECT_EQ(RunOracle("check " + test::ShellQuote(list.string()), output), 0) << output;
  std::map<std::string, long> total = Counts(output);
  // The files hold what the checks are about.
  EXPECT_GE(total["xlsx-sheets"], 30) << output;
  EXPECT_GE(total["xlsx-cells"], 7000) << output;
  EXPECT_GE(total["xlsx-dates"], 200) << output;
  EXPECT_GE(total["xlsx-formats"], 5000) << output;
  EXPECT_GE(total["xlsx-merged"], 250) << output;
  EXPECT_GE(total["xlsx-widths"], 100) << output;
  EXPECT_EQ(total["csv-cells"], total["xlsx-cells"]) << output;
  EXPECT_EQ(total["csv-dates"], total["xlsx-dates"]) << output;
  // Nothing was left behind beside the targets.
  for (const std::string& entry : Entries(dir.path())) EXPECT_NE(entry[0], '.') << entry;
}

// ---------------------------------------------------------------------------------------
// A workbook built here with the values, names and ranges that need care.

void Bof(ByteBuilder& b, std::uint16_t type) {
  b.Header(0x0809, 16)
      .U16(0x0600)  // BIFF8
      .U16(type)
      .U16(0x15EC)   // build
      .U16(0x07CD)   // year
      .U32(0xC1)     // file history
      .U32(0x0306);  // lowest version
}
void Eof(ByteBuilder& b) { b.Header(0x000A, 0); }

// Cell XFs after the sixteen defaults.
constexpr std::uint16_t kDateXf = 16;      // built-in 14, a date
constexpr std::uint16_t kDateTimeXf = 17;  // "yyyy-mm-dd hh:mm"
constexpr std::uint16_t kElapsedXf = 18;   // "[h]:mm", a duration
constexpr std::uint16_t kTimeXf = 19;      // built-in 20, "h:mm"
constexpr std::uint16_t kFilledXf = 20;    // a solid fill of palette entry 10
constexpr std::uint16_t kPlainXf = 15;

void Xf(ByteBuilder& b, std::uint16_t format, std::uint16_t typeProtection,
        std::uint32_t borderColours = 0, std::uint16_t fill = 0x20C0) {
  b.Header(0x00E0, 20).U16(0).U16(format).U16(typeProtection).U8(0x20).U8(0).U8(0).U8(0);
  b.U32(0).U32(borderColours).U16(fill);
}

void Format(ByteBuilder& b, std::uint16_t index, const std::string& text) {
  b.Header(0x041E, static_cast<std::uint16_t>(5 + text.size())).U16(index);
  b.U16(static_cast<std::uint16_t>(text.size())).U8(0);
  for (const char c : text) b.U8(static_cast<std::uint8_t>(c));
}

void Number(ByteBuilder& b, std::uint16_t row, std::uint16_t column, std::uint64_t bits,
            std::uint16_t xf = kPlainXf) {
  b.Header(0x0203, 14).U16(row).U16(column).U16(xf);
  b.U32(static_cast<std::uint32_t>(bits)).U32(static_cast<std::uint32_t>(bits >> 32));
}
void Number(ByteBuilder& b, std::uint16_t row, std::uint16_t column, double value,
            std::uint16_t xf = kPlainXf) {
  Number(b, row, column, std::bit_cast<std::uint64_t>(value), xf);
}

void Label(ByteBuilder& b, std::uint16_t row, std::uint16_t column, const std::string& text) {
  b.Header(0x0204, static_cast<std::uint16_t>(9 + text.size())).U16(row).U16(column).U16(kPlainXf);
  b.U16(static_cast<std::uint16_t>(text.size())).U8(0);  // 8-bit characters
  for (const char c : text) b.U8(static_cast<std::uint8_t>(c));
}

// A sheet entry's name and what its substream holds.
struct Sheet {
  std::string name;
  std::uint8_t type = 0;  // 0 worksheet, 2 chart
  std::function<void(ByteBuilder&)> cells;
};

constexpr std::size_t kLongText = 40000;

// Globals with a font, the formats and XFs above, a palette whose entry 10 is 0x123456, the
// sheet entries and a shared string table holding one text of kLongText characters (in
// CONTINUE records); then the substreams.
Bytes Book(const std::vector<Sheet>& sheets) {
  ByteBuilder b;
  Bof(b, 0x0005);
  b.Header(0x0031, 19).U16(200).U16(0).U16(0x7FFF).U16(400).U16(0).U8(0).U8(0).U8(0).U8(0);
  b.U8(5).U8(0).Raw({'A', 'r', 'i', 'a', 'l'});
  Format(b, 164, "yyyy-mm-dd hh:mm");
  Format(b, 165, "[h]:mm");
  for (int i = 0; i < 16; ++i) Xf(b, 0, i < 15 ? 0xFFF5 : 0x0001);
  Xf(b, 14, 0x0001);
  Xf(b, 164, 0x0001);
  Xf(b, 165, 0x0001);
  Xf(b, 20, 0x0001);
  Xf(b, 0, 0x0001, 0x04000000, 10 | (65 << 7));  // pattern 1 (solid), colour 10
  b.Header(0x0092, 2 + 56 * 4).U16(56);
  for (int i = 0; i < 56; ++i) b.U32(i == 2 ? 0x00563412 : 0x00FFFFFF);  // red lowest
  std::vector<std::size_t> positionAt;
  for (const Sheet& sheet : sheets) {
    b.Header(0x0085, static_cast<std::uint16_t>(8 + sheet.name.size()));
    positionAt.push_back(b.size());
    b.U32(0).U8(0).U8(sheet.type).U8(static_cast<std::uint8_t>(sheet.name.size())).U8(0);
    for (const char c : sheet.name) b.U8(static_cast<std::uint8_t>(c));
  }
  std::size_t left = kLongText;
  std::size_t piece = 8224 - 11;
  b.Header(0x00FC, 8224).U32(1).U32(1).U16(static_cast<std::uint16_t>(kLongText)).U8(0);
  for (bool first = true; left > 0; first = false) {
    if (!first) {
      piece = std::min<std::size_t>(left, 8223);
      b.Header(0x003C, static_cast<std::uint16_t>(piece + 1)).U8(0);
    }
    for (std::size_t i = 0; i < piece; ++i) b.U8('x');
    left -= piece;
  }
  Eof(b);

  std::vector<std::uint32_t> starts;
  for (const Sheet& sheet : sheets) {
    starts.push_back(static_cast<std::uint32_t>(b.size()));
    Bof(b, sheet.type == 2 ? 0x0020 : 0x0010);
    sheet.cells(b);
    Eof(b);
  }
  Bytes stream = b.bytes();
  for (std::size_t i = 0; i < sheets.size(); ++i) {
    for (int k = 0; k < 4; ++k)
      stream[positionAt[i] + k] = static_cast<std::uint8_t>(starts[i] >> (8 * k));
  }
  return stream;
}

Bytes AwkwardBook() {
  const Sheet values{"Values, \"quoted\"", 0, [](ByteBuilder& b) {
                       b.Header(0x007D, 12).U16(1).U16(1).U16(20 * 256).U16(kPlainXf).U16(0).U16(0);
                       Number(b, 0, 0, 1.0);
                       Number(b, 0, 1, 0.1);
                       Number(b, 0, 2, -0.0);
                       Number(b, 0, 3, 1e20);
                       Number(b, 0, 4, std::uint64_t{0x7FF8000000000000});  // NaN
                       Number(b, 0, 5, std::uint64_t{0x7FF0000000000000});  // infinity
                       b.Header(0x027E, 10).U16(0).U16(6).U16(kPlainXf).U32((7u << 2) | 2);
                       Label(b, 1, 0, "plain");
                       Label(b, 1, 1, "comma, here");
                       Label(b, 1, 2, "say \"hi\"");
                       Label(b, 1, 3, "two\r\nlines");
                       Label(b, 1, 4, std::string("ctl\x01") + '\0' + "char");
                       b.Header(0x0205, 8).U16(1).U16(5).U16(kPlainXf).U8(1).U8(0);     // TRUE
                       b.Header(0x0205, 8).U16(1).U16(6).U16(kPlainXf).U8(0x07).U8(1);  // #DIV/0!
                       Number(b, 2, 0, 59.0, kDateXf);
                       Number(b, 2, 1, 60.0, kDateXf);  // 1900-02-29, which never was
                       Number(b, 2, 2, 61.0, kDateXf);
                       Number(b, 2, 3, 45000.5, kDateXf);  // a date format, and a time
                       Number(b, 2, 4, 45000.25, kDateTimeXf);
                       Number(b, 2, 5, 0.75, kTimeXf);
                       Number(b, 2, 6, 1.5, kElapsedXf);
                       b.Header(0x00FD, 10).U16(3).U16(0).U16(kPlainXf).U32(0);  // the long text
                       // A formula with a text result and one with a number; tokens: 1.
                       b.Header(0x0006, 25).U16(3).U16(1).U16(kPlainXf);
                       b.Raw({0, 0, 0, 0, 0, 0, 0xFF, 0xFF}).U16(0).U32(0).U16(3).U8(0x1E).U16(1);
                       b.Header(0x0207, 15)
                           .U16(12)
                           .U8(0)
                           .Raw({'f', 'r', 'o', 'm', ' ', 'f', 'o', 'r', 'm', 'u', 'l', 'a'});
                       b.Header(0x0006, 25).U16(3).U16(2).U16(kPlainXf);
                       b.U32(0).U32(0x40040000).U16(0).U32(0).U16(3).U8(0x1E).U16(1);  // 2.5
                       b.Header(0x0201, 6).U16(3).U16(3).U16(kFilledXf);  // a filled blank
                       Label(b, 5, 0, "after gap");
                       // A8:B9, then B9:C10 over it, a single cell, and E8:F8.
                       b.Header(0x00E5, 2 + 4 * 8).U16(4);
                       b.U16(7).U16(8).U16(0).U16(1);
                       b.U16(8).U16(9).U16(1).U16(2);
                       b.U16(7).U16(7).U16(3).U16(3);
                       b.U16(7).U16(7).U16(4).U16(5);
                     }};
  const Sheet less{"a<b", 0, [](ByteBuilder& b) {
                     Number(b, 0, 0, 1.0);
                     Label(b, 1, 0, "_x0041_");
                   }};
  const Sheet more{"a>b", 0, [](ByteBuilder& b) {
                     Number(b, 0, 0, 2.0);
                     // Text the damage took: a shared string past the table, and a formula's
                     // text result without its STRING.
                     b.Header(0x00FD, 10).U16(1).U16(0).U16(kPlainXf).U32(5);
                     b.Header(0x0006, 25).U16(2).U16(0).U16(kPlainXf);
                     b.Raw({0, 0, 0, 0, 0, 0, 0xFF, 0xFF}).U16(0).U32(0).U16(3).U8(0x1E).U16(1);
                   }};
  const Sheet chart{"Chart1", 2, [](ByteBuilder& b) { Number(b, 0, 0, 100.0); }};
  const Sheet dot{".dot", 0, [](ByteBuilder& b) {
                    Label(b, 0, 0, "top");
                    Label(b, 2, 0, "bottom");
                  }};
  return Book({values, less, more, chart, dot});
}

TEST(ExportFormats, AwkwardValuesNamesAndRangesComeOutAsAUserExpects) {
  test::LogCapture logs;
  test::TempDir dir;
  test::WriteFileBytes(dir / "awkward.xls", AwkwardBook());
  XlsDocument document;
  ASSERT_TRUE(document.Load((dir / "awkward.xls").string()));
  // (The load drops the chart: globals it cannot keep whole leave it nothing to point at.)
  ASSERT_EQ(document.worksheets().size(), 4u);

  std::string error;
  const fs::path folder = dir / "csv";
  ASSERT_TRUE(SaveCsvFolder(document, folder, error)) << error;
  // Names are made safe and kept apart.
  EXPECT_EQ(Entries(folder), (std::vector<std::string>{"Values, _quoted_.csv", "_dot.csv",
                                                       "a_b (2).csv", "a_b.csv"}));
  const std::string longText(kLongText, 'x');
  EXPECT_EQ(
      ReadText(folder / "Values, _quoted_.csv"),
      "1,0.1,0,1e+20,#NUM!,#NUM!,7\r\n"
      "plain,\"comma, here\",\"say \"\"hi\"\"\",\"two\r\nlines\"," +
          std::string("ctl\x01") + '\0' + "char,TRUE,#DIV/0!\r\n" +
          "1900-02-28,60,1900-03-01,2023-03-15 12:00:00,2023-03-15 06:00:00,18:00:00,1.5\r\n" +
          longText + ",from formula,2.5,,,,\r\n" +
          ",,,,,,\r\n"
          "after gap,,,,,,\r\n");
  EXPECT_EQ(ReadText(folder / "a_b.csv"), "1\r\n_x0041_\r\n");
  // Lost text shows the placeholders the .xls save writes.
  EXPECT_EQ(ReadText(folder / "a_b (2).csv"), "2\r\n#LOST TEXT 5\r\n#LOST TEXT\r\n");
  // A row with nothing in a one-column sheet still holds its place.
  EXPECT_EQ(ReadText(folder / "_dot.csv"), "top\r\n\"\"\r\nbottom\r\n");

  const fs::path xlsx = dir / "awkward.xlsx";
  ASSERT_TRUE(SaveXlsx(document, xlsx, error)) << error;
  // The one text longer than a cell holds is cut, and the log says so.
  EXPECT_EQ(logs.CountError("Cell texts cut to the 32767 characters a cell holds in the export: 1"),
            1);
  std::string output;
  ASSERT_EQ(RunOracle("dump " + test::ShellQuote(xlsx.string()), output), 0) << output;
  for (const char* line : {
           "sheets ['Values, \"quoted\"', 'a<b', 'a>b', '.dot']",
           "A1 1\n",
           "B1 0.1\n",
           "C1 0\n",
           "D1 1e+20\n",
           "E1 '#NUM!'\n",
           "F1 '#NUM!'\n",
           "G1 7\n",
           "C2 'say \"hi\"'\n",
           // Control characters in the form the spreadsheet programs read back (openpyxl
           // leaves it as it is); U+0000, which no XML holds, replaced.
           "D2 'two_x000D_\\nlines'\n",
           "E2 'ctl_x0001_\xEF\xBF\xBD"
           "char'\n",
           "F2 True\n",
           "G2 '#DIV/0!'\n",
           "A3 datetime.datetime(1900, 2, 28, 0, 0)\n",
           "C3 datetime.datetime(1900, 3, 1, 0, 0)\n",
           "D3 datetime.datetime(2023, 3, 15, 12, 0)\n",
           "E3 datetime.datetime(2023, 3, 15, 6, 0)\n",
           "F3 datetime.time(18, 0)\n",
           // The most a cell holds.
           "A4 '32767 characters'\n",
           "B4 'from formula'\n",
           "C4 2.5\n",
           "fill D4 FF123456\n",
           "A6 'after gap'\n",
           // The range over one taken and the single cell are left out.
           "merged A8:B9 E8:F8\n",
           "width B 20.00\n",
           // Text that reads like an escaped character is escaped itself.
           "A2 '_x0041_'\n",
           "xml text '_x005F_x0041_'\n",
           "A2 '#LOST TEXT 5'\n",
           "A3 '#LOST TEXT'\n",
       }) {
    EXPECT_NE(output.find(line), std::string::npos) << line << "\nnot in\n" << output;
  }
}

// ---------------------------------------------------------------------------------------
// All or nothing.

// Runs `save` in a child process that may write at most `limit` bytes to any file, as on
// a full disk; returns what it answered and the error it gave.
bool SaveWithFileSizeLimit(rlim_t limit, const std::function<bool(std::string&)>& save,
                           std::string& error) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return true;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of killing
    const rlimit small{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &small);
    std::string reason;
    const bool saved = save(reason);
    static_cast<void>(::write(pipeFds[1], reason.data(), reason.size()));
    ::_exit(saved ? 0 : 1);
  }
  ::close(pipeFds[1]);
  char buffer[512];
  error.clear();
  for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
    error.append(buffer, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return !(WIFEXITED(status) && WEXITSTATUS(status) == 1);
}

// Makes `path` look left by a run that died two minutes ago.
void Age(const fs::path& path) {
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::minutes(2));
}

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 07777;
}

TEST(ExportFormats, AFailedExportLeavesTheTargetAsItWasAndNothingBesideIt) {
  test::LogCapture logs;
  test::TempDir dir;
  XlsDocument document;
  ASSERT_TRUE(document.Load((test::CorpusDir() / "real" / "51670.xls").string()));
  std::string error;

  // A folder nobody may write (the mode counts even for root): nothing is created.
  const fs::path locked = dir / "locked";
  fs::create_directory(locked);
  test::WriteFileBytes(locked / "book.xlsx", Bytes{'o', 'l', 'd'});
  fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_FALSE(SaveXlsx(document, locked / "book.xlsx", error));
  EXPECT_NE(error.find("not writable"), std::string::npos) << error;
  EXPECT_FALSE(SaveCsvFolder(document, locked / "csv", error));
  EXPECT_NE(error.find("not writable"), std::string::npos) << error;
  fs::permissions(locked, fs::perms::owner_all);
  EXPECT_EQ(Entries(locked), std::vector<std::string>{"book.xlsx"});
  EXPECT_EQ(ReadText(locked / "book.xlsx"), "old");

  // Targets that are the wrong kind, and a folder that holds more than an export wrote.
  const fs::path mine = dir / "mine";
  fs::create_directory(mine);
  test::WriteFileBytes(mine / "notes.txt", Bytes{'x'});
  test::WriteFileBytes(mine / "a.csv", Bytes{'y'});
  EXPECT_FALSE(SaveXlsx(document, mine, error));
  EXPECT_EQ(error, "the target is a directory");
  EXPECT_FALSE(SaveCsvFolder(document, mine, error));
  EXPECT_NE(error.find("notes.txt"), std::string::npos) << error;
  EXPECT_FALSE(SaveCsvFolder(document, locked / "book.xlsx", error));
  EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;
  EXPECT_EQ(Entries(mine), (std::vector<std::string>{"a.csv", "notes.txt"}));

  // A disk that fills up half-way: the old file and the old folder stay as they were.
  const fs::path book = dir / "book.xlsx";
  test::WriteFileBytes(book, Bytes{'o', 'l', 'd'});
  const fs::path csv = dir / "csv";
  fs::create_directory(csv);
  test::WriteFileBytes(csv / "SBNReport.csv", Bytes{'o', 'l', 'd'});
  EXPECT_FALSE(SaveWithFileSizeLimit(
      2000, [&](std::string& reason) { return SaveXlsx(document, book, reason); }, error));
  EXPECT_NE(error.find("cannot write the workbook"), std::string::npos) << error;
  EXPECT_FALSE(SaveWithFileSizeLimit(
      64, [&](std::string& reason) { return SaveCsvFolder(document, csv, reason); }, error));
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
  EXPECT_EQ(ReadText(book), "old");
  EXPECT_EQ(Entries(csv), std::vector<std::string>{"SBNReport.csv"});
  EXPECT_EQ(ReadText(csv / "SBNReport.csv"), "old");
  EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"book.xlsx", "csv", "locked", "mine"}));

  // What runs killed outright left is cleared by the next export to the same target;
  // the old file and folder are replaced whole and keep their permission bits.
  const fs::path staleFile = dir / ".book.xlsx.tabulix-0123abcd";
  test::WriteFileBytes(staleFile, Bytes{'P', 'K'});
  Age(staleFile);
  const fs::path staleFolder = dir / ".csv.tabulix-89abcdef";
  fs::create_directory(staleFolder);
  test::WriteFileBytes(staleFolder / "Sheet1.csv", Bytes{'1'});
  Age(staleFolder);
  fs::permissions(book, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::permissions(csv, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
  test::WriteFileBytes(csv / "gone.csv", Bytes{'g'});
  ASSERT_TRUE(SaveXlsx(document, book, error)) << error;
  ASSERT_TRUE(SaveCsvFolder(document, csv, error)) << error;
  EXPECT_EQ(ReadText(book).substr(0, 2), "PK");
  EXPECT_EQ(ModeOf(book), 0640u);
  EXPECT_EQ(ModeOf(csv), 0750u);
  EXPECT_EQ(Entries(csv), std::vector<std::string>{"SBNReport.csv"});
  EXPECT_NE(ReadText(csv / "SBNReport.csv"), "old");
  EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"book.xlsx", "csv", "locked", "mine"}));
}

}  // namespace
}  // namespace tabulix
