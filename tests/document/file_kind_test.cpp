#include "document/file_kind.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
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

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Utf16Le(std::u16string_view text) {
  ByteBuilder bytes;
  bytes.Raw({0xFF, 0xFE});
  for (const char16_t unit : text) bytes.U16(unit);
  return bytes.bytes();
}

// A BOF record of `length` data bytes (8 before Excel 97, 16 since), then an XF record
// of `xf` bytes (16 before, 20 since) and an EOF.
ByteBuilder& Substream(ByteBuilder& out, std::uint16_t version, std::uint16_t type,
                       std::uint16_t length, std::uint16_t xf) {
  out.Header(0x0809, length).U16(version).U16(type).Fill(length - 4u);
  return out.Header(0x00E0, xf).Fill(xf).Header(0x000A, 0);
}

TEST(FileKind, SignaturesInTheFirstBytes) {
  ByteBuilder biff5;
  Substream(Substream(biff5, 0x0500, 0x0005, 8, 16), 0x0500, 0x0010, 8, 16);
  struct Case {
    Bytes bytes;
    FileKind kind;
  };
  for (const Case& c : {
           Case{ByteBuilder().Raw({'P', 'K', 5, 6}).Fill(18).bytes(), FileKind::Zip},  // empty
           Case{ToBytes("\xEF\xBB\xBF \r\n<!DOCTYPE HTML><html>"), FileKind::Html},
           Case{ToBytes("<!-- saved --><table><tr><td>1"), FileKind::Html},
           Case{Utf16Le(u"<?xml version=\"1.0\"?><ss:Workbook xmlns:ss=\"urn:schemas-microsoft-"
                        u"com:office:spreadsheet\">"),
                FileKind::XmlSpreadsheet},
           Case{ToBytes("<?xml version=\"1.0\"?>\n<!DOCTYPE data>\n<data>1</data>"), FileKind::Xml},
           Case{ToBytes("< 5 and > 3\n"), FileKind::Text},
           Case{ToBytes("Caf\xE9;1,5\r\n\f"), FileKind::Text},
           // A control byte makes it neither text nor markup.
           Case{ToBytes(std::string_view("a,b\0", 4)), FileKind::Workbook},
           Case{ToBytes("<html>\x01"), FileKind::Workbook},
           Case{{0xD0, 0xCF, 0x11}, FileKind::Workbook},
           // Bare record streams.
           Case{biff5.bytes(), FileKind::Biff5},
           Case{ByteBuilder().Header(0x0209, 6).U16(0).U16(0x10).Header(0x0A, 0).bytes(),
                FileKind::OldBiff},
       }) {
    EXPECT_EQ(IdentifyFile(c.bytes), c.kind) << std::string(c.bytes.begin(), c.bytes.end());
  }
}

// From a container's directory the globals' BOF decides, unless records only Excel
// 97-2003 writes stand behind it; elsewhere only a stream without a single BIFF8 BOF is
// of an older version.
TEST(FileKind, OlderVersionsByTheirBofsAndNeverByOneDamagedBof) {
  struct Case {
    std::uint16_t globals, xf, sheet;
    FileKind fromContainer, elsewhere;
  };
  for (const Case& c : {
           // Some Excel 5.0/95 writers gave the sheets BIFF8 version numbers.
           Case{0x0500, 16, 0x0600, FileKind::Biff5, FileKind::Workbook},
           Case{0x0500, 16, 0x0580, FileKind::Biff5, FileKind::Biff5},
           // Excel 97-2003 globals whose BOF lost its version, and a damaged sheet BOF.
           Case{0x0500, 20, 0x0600, FileKind::Workbook, FileKind::Workbook},
           Case{0x0600, 20, 0x0500, FileKind::Workbook, FileKind::Workbook},
       }) {
    ByteBuilder stream;
    Substream(Substream(stream, c.globals, 0x0005, 8, c.xf), c.sheet, 0x0010, 8, c.xf);
    EXPECT_EQ(IdentifyStream(stream.bytes(), true), c.fromContainer) << c.globals << c.xf;
    EXPECT_EQ(IdentifyStream(stream.bytes(), false), c.elsewhere) << c.globals << c.xf;
  }
}

class ForeignFiles : public ::testing::Test {
 protected:
  // The load must fail with the one message for `kind` and report the kind.
  static void ExpectRefused(const fs::path& path, FileKind kind) {
    SCOPED_TRACE(path.filename().string());
    EXPECT_EQ(IdentifyFile(test::ReadFileBytes(path)), kind);
    test::RecordingNotifier notifier;
    XlsDocument document;
    EXPECT_FALSE(document.Load(path.string()));
    EXPECT_FALSE(document.report().loaded_);
    EXPECT_EQ(document.report().fileKind_, kind);
    EXPECT_EQ(notifier.messages(), std::vector<std::string>{FileKindRefusal(kind)});
    EXPECT_EQ(document.report().messages_, notifier.messages());
  }

  test::LogCapture logs_;
  test::TempDir dir_;
};

TEST_F(ForeignFiles, EachIsNamedAndRefusedWithOneMessage) {
  // Archives laid out as the programs that write these formats lay them out.
  const fs::path script = dir_ / "zips.py";
  std::ofstream(script) << R"(import sys, zipfile
def make(name, entries):
    with zipfile.ZipFile(sys.argv[1] + '/' + name, 'w', zipfile.ZIP_DEFLATED) as z:
        for entry, data in entries:
            z.writestr(zipfile.ZipInfo(entry) if entry == 'mimetype' else entry, data)
make('book.xlsx', [('[Content_Types].xml', '<Types/>' * 500), ('_rels/.rels', '<R/>'),
                   ('xl/workbook.xml', '<workbook/>')])
make('sheet.ods', [('mimetype', 'application/vnd.oasis.opendocument.spreadsheet'),
                   ('content.xml', '<c/>')])
make('letter.odt', [('mimetype', 'application/vnd.oasis.opendocument.text')])
make('book.zip', [('book.xls', bytes(range(256)) * 40)])
)";
  ASSERT_EQ(test::RunCommand(std::string(TABULIX_PYTHON) + " " + test::ShellQuote(script.string()) +
                             " " + test::ShellQuote(dir_.path().string())),
            0);
  const std::vector<std::pair<std::string, Bytes>> made = {
      {"page.xls", ToBytes("<html xmlns:o=\"urn:schemas-microsoft-com:office:office\">\r\n<body>"
                           "<table><tr><td>1</td></tr></table></body></html>\r\n")},
      {"xmlss.xls",
       ToBytes("<?xml version=\"1.0\"?>\n<?mso-application progid=\"Excel.Sheet\"?>\n<Workbook "
               "xmlns=\"urn:schemas-microsoft-com:office:spreadsheet\"><Worksheet/></Workbook>")},
      {"feed.xls", ToBytes("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss><channel/></rss>\n")},
      {"export.xls", ToBytes("Name;Amount\r\nM\xFCller;1,50\r\n\xC3\xA9t\xC3\xA9;2\r\n")},
      {"utf16.xls", Utf16Le(u"Name\tAmount\r\n\u65E5\u672C\t3\r\n")},
      {"empty.xls", {}},
      {"zeros.xls", Bytes(8 << 20, 0)},  // read whole, once
  };
  for (const auto& [name, bytes] : made) test::WriteFileBytes(dir_ / name, bytes);
  for (const auto& [name, kind] :
       std::vector<std::pair<std::string, FileKind>>{{"book.xlsx", FileKind::Xlsx},
                                                     {"sheet.ods", FileKind::OpenDocument},
                                                     {"letter.odt", FileKind::Zip},
                                                     {"book.zip", FileKind::Zip},
                                                     {"page.xls", FileKind::Html},
                                                     {"xmlss.xls", FileKind::XmlSpreadsheet},
                                                     {"feed.xls", FileKind::Xml},
                                                     {"export.xls", FileKind::Text},
                                                     {"utf16.xls", FileKind::Text},
                                                     {"empty.xls", FileKind::Empty},
                                                     {"zeros.xls", FileKind::Zeros}})
    ExpectRefused(dir_ / name, kind);
  // One byte at the very end makes the zeros something else.
  Bytes zeros = made.back().second;
  zeros.back() = 1;
  EXPECT_EQ(IdentifyFile(zeros), FileKind::Workbook);
  EXPECT_EQ(FileKindRefusal(FileKind::Xlsx),
            "The file is not an Excel 97-2003 workbook: it is an Excel 2007 or later workbook "
            "(.xlsx, a zip archive). Open it with a spreadsheet program as it is.");

  const fs::path odd = test::CorpusDir() / "odd";
  if (!fs::is_directory(odd)) GTEST_SKIP() << "no corpus at " << odd;
  for (const char* name : {"testEXCEL_95.xls", "testEXCEL_5.xls", "60284.xls", "64130.xls"})
    ExpectRefused(odd / name, FileKind::Biff5);
  for (const char* name : {"testEXCEL_3.xls", "xlrd-biff4_no_format_no_window2.xls"})
    ExpectRefused(odd / name, FileKind::OldBiff);
  for (const char* name : {"password.xls", "xor-encryption-abc.xls"}) {
    XlsDocument document;
    EXPECT_FALSE(document.Load((odd / name).string()));
    EXPECT_TRUE(document.report().passwordProtected_) << name;
    EXPECT_EQ(document.report().fileKind_, FileKind::Workbook) << name;
  }
}

// Only what no damage leaves behind is decided before the routes run: damaged real
// workbooks go their way and are never refused for what their bytes look like.
TEST_F(ForeignFiles, DamagedWorkbooksAreNeverRefusedOnSight) {
  const std::vector<fs::path> files = test::RealCorpusFiles();
  if (files.empty()) GTEST_SKIP() << "no corpus at " << test::CorpusDir();
  const fs::path damaged = dir_ / "damaged.xls";
  const Bytes globalsBof = {0x09, 0x08, 0x10, 0x00, 0x00, 0x06, 0x05, 0x00};
  for (std::size_t f = 0; f < files.size(); f += 25) {
    const Bytes whole = test::ReadFileBytes(files[f]);
    std::vector<Bytes> variants(5, whole);
    variants[0].resize(whole.size() / 2);
    std::fill_n(variants[1].begin(), 512, 0);  // the container's header
    std::fill_n(variants[2].begin(), std::min<std::size_t>(4096, whole.size()), 0);
    // The globals' BOF given the Excel 5.0/95 version, with and without the header.
    const auto at = std::search(whole.begin(), whole.end(), globalsBof.begin(), globalsBof.end());
    if (at != whole.end()) variants[3][static_cast<std::size_t>(at - whole.begin()) + 5] = 0x05;
    variants[4] = variants[3];
    std::fill_n(variants[4].begin(), 512, 0);
    XlsDocument sound;
    const bool hasValues = sound.Load(files[f].string()) && sound.report().ValueCells() > 0;
    for (std::size_t v = 0; v < variants.size(); ++v) {
      SCOPED_TRACE(files[f].filename().string() + " variant " + std::to_string(v));
      EXPECT_EQ(IdentifyBeyondDoubt(variants[v]), FileKind::Workbook);
      test::WriteFileBytes(damaged, variants[v]);
      test::RecordingNotifier notifier;
      XlsDocument document;
      const bool loaded = document.Load(damaged.string());
      EXPECT_EQ(document.report().fileKind_, FileKind::Workbook);
      // Half a file or its first 4 KiB may hold all there was; the others keep the cells.
      if (v != 0 && v != 2 && hasValues) {
        EXPECT_TRUE(loaded);
      }
    }
  }

  // Text or markup in front of a workbook's records (a file whose first 64 KiB were
  // overwritten, say) looks like text from its start, but the records behind it load.
  Bytes stream;
  ASSERT_TRUE(test::ReadWorkbookStream(files.front(), stream));
  for (const std::string_view front : {"<html><body><table>\n", "a;b;c\r\n"}) {
    Bytes bytes;
    while (bytes.size() < kIdentifyPrefix + 4096)
      bytes.insert(bytes.end(), front.begin(), front.end());
    bytes.resize(bytes.size() + 512 - bytes.size() % 512, '\n');
    bytes.insert(bytes.end(), stream.begin(), stream.end());
    EXPECT_NE(IdentifyFile(bytes), FileKind::Workbook) << front;
    test::WriteFileBytes(damaged, bytes);
    XlsDocument document;
    EXPECT_TRUE(document.Load(damaged.string())) << front;
    EXPECT_EQ(document.report().fileKind_, FileKind::Workbook) << front;
  }
}

}  // namespace
}  // namespace tabulix
