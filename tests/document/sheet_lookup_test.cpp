#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "base/little_endian.hpp"
#include "biff/byte_builder.hpp"
#include "document/xls_document.hpp"
#include "storage/storage_writer.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

namespace fs = std::filesystem;
using test::ByteBuilder;

ByteBuilder& Bof(ByteBuilder& b, std::uint16_t type) {
  return b.Header(0x0809, 16)
      .U16(0x0600)  // BIFF8
      .U16(type)
      .U16(0x15EC)  // build
      .U16(0x07CD)  // year
      .U32(0x0000C0C1)
      .U32(0x00000306);
}

// Globals naming three sheets, "Лист1" and "売上" in 16-bit characters and "Café" in 8-bit
// ones, with the shared strings "Café" (8-bit) and "Мир" (16-bit); then the three
// worksheets, each with its number (1, 2, 3) at A1 and the first two with a shared string
// at A2.
std::vector<std::uint8_t> ThreeNamedSheets() {
  ByteBuilder b;
  Bof(b, 0x0005);
  std::vector<std::size_t> positionAt;
  const auto boundSheet = [&](std::uint8_t flags, std::vector<std::uint16_t> name) {
    const auto bytes = static_cast<std::uint16_t>(8 + name.size() * (flags != 0 ? 2 : 1));
    b.Header(0x0085, bytes);
    positionAt.push_back(b.size());
    b.U32(0)    // position, set below
        .U8(0)  // visible
        .U8(0)  // worksheet
        .U8(static_cast<std::uint8_t>(name.size()))
        .U8(flags);
    for (std::uint16_t c : name) flags != 0 ? b.U16(c) : b.U8(static_cast<std::uint8_t>(c));
  };
  boundSheet(1, {0x041B, 0x0438, 0x0441, 0x0442, '1'});
  boundSheet(1, {0x58F2, 0x4E0A});
  boundSheet(0, {'C', 'a', 'f', 0xE9});
  b.Header(0x00FC, 8 + 7 + 9)
      .U32(2)  // references
      .U32(2)  // strings
      .U16(4)  // "Café": 4 characters
      .U8(0)   // 8-bit
      .Raw({'C', 'a', 'f', 0xE9})
      .U16(3)  // "Мир": 3 characters
      .U8(1)   // 16-bit
      .U16(0x041C)
      .U16(0x0438)
      .U16(0x0440);
  b.Header(0x000A, 0);

  std::vector<std::uint32_t> starts;
  for (std::uint16_t sheet = 1; sheet <= 3; ++sheet) {
    starts.push_back(static_cast<std::uint32_t>(b.size()));
    Bof(b, 0x0010);
    b.Header(0x0200, 14).U32(0).U32(2).U16(0).U16(1).U16(0);  // DIMENSIONS: A1:A2
    b.Header(0x027E, 10).U16(0).U16(0).U16(15).U32((std::uint32_t{sheet} << 2) | 0x2);
    if (sheet < 3) b.Header(0x00FD, 10).U16(1).U16(0).U16(15).U32(sheet - 1u);
    b.Header(0x000A, 0);
  }
  std::vector<std::uint8_t> stream = b.bytes();
  for (std::size_t i = 0; i < starts.size(); ++i)
    LittleEndian::Write(stream, starts[i], positionAt[i]);
  return stream;
}

TEST(SheetLookup, SheetsNamedInAnyScriptAreNamedAndFound) {
  test::LogCapture logs;
  test::TempDir dir;
  const fs::path file = dir / "named.xls";
  test::WriteFileBytes(file, storage::BuildSingleStreamDocument(u"Workbook", ThreeNamedSheets()));
  XlsDocument document;
  ASSERT_TRUE(document.Load(file.string()));

  // Built once, after the recovery: one view per worksheet, in order.
  const auto& views = document.sheetViews();
  ASSERT_EQ(views.size(), document.WorksheetCount());
  for (std::size_t i = 0; i < views.size(); ++i) EXPECT_EQ(views[i].SheetIndex(), i);

  EXPECT_EQ(document.GetSheetName(0), "Лист1");
  EXPECT_EQ(document.GetSheetName(1), "売上");
  EXPECT_EQ(document.GetSheetName(2), "Café");
  EXPECT_EQ(document.GetSheetName(3), std::nullopt);

  // Sheet entry i has view i; each name finds the sheet that carries its number at A1.
  const char* const names[] = {"Лист1", "売上", "Café"};
  for (std::size_t k = 0; k < 3; ++k) {
    const WorksheetView* view = document.GetWorksheetView(names[k]);
    ASSERT_NE(view, nullptr) << names[k];
    EXPECT_EQ(view, &views[k]);
    ASSERT_NE(view->CellAt(0, 0), nullptr) << names[k];
    EXPECT_EQ(view->CellAt(0, 0)->GetInteger(), static_cast<int>(k + 1)) << names[k];
  }
  // Exact comparison of the UTF-8: another case or the Latin-1 bytes find nothing.
  EXPECT_EQ(document.GetWorksheetView("лист1"), nullptr);
  EXPECT_EQ(document.GetWorksheetView("Caf\xE9"), nullptr);
  EXPECT_EQ(document.GetWorksheetView("CAFÉ"), nullptr);
  EXPECT_EQ(document.GetWorksheetView(""), nullptr);

  // The shared strings went through the globals' own read.
  const WorksheetView* first = document.GetWorksheetView("Лист1");
  const WorksheetView* second = document.GetWorksheetView("売上");
  ASSERT_NE(first->CellAt(1, 0), nullptr);
  EXPECT_EQ(first->CellAt(1, 0)->GetString(), "Café");
  ASSERT_NE(second->CellAt(1, 0), nullptr);
  EXPECT_EQ(second->CellAt(1, 0)->GetWString(), u"Мир");
}

// What xlrd reads in the corner of each worksheet: (sheet name, row, column) -> (kind,
// value), texts decoded from their hex.
using Corner = std::map<std::tuple<std::string, unsigned, unsigned>, std::pair<char, std::string>>;

std::string FromHex(const std::string& hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

std::vector<Corner> XlrdCorners(const std::vector<fs::path>& files) {
  std::string command =
      std::string(TABULIX_PYTHON) + " " +
      test::ShellQuote(std::string(TABULIX_TESTS_DIR) + "/document/xlrd_corner.py") + " " +
      std::to_string(WorksheetView::kMaxRows) + " " + std::to_string(WorksheetView::kMaxColumns);
  // Appended rather than "literal" + temporary string, on which GCC 12 at -O3 warns falsely.
  for (const fs::path& file : files) command.append(" ").append(test::ShellQuote(file.string()));
  std::string output;
  EXPECT_EQ(test::RunCommand(command, &output), 0);
  std::vector<Corner> corners(files.size());
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::size_t file = 0;
    std::string name;
    unsigned row = 0;
    unsigned column = 0;
    std::string kind;
    std::string value;
    fields >> file >> name >> row >> column >> kind >> value;
    if (file >= corners.size() || kind.size() != 1) {
      ADD_FAILURE() << "unreadable line: " << line;
      continue;
    }
    if (kind == "s") value = FromHex(value);
    corners[file][{FromHex(name), row, column}] = {kind[0], value};
  }
  return corners;
}

// Every corpus worksheet read whole shows in its view what xlrd reads there. Formulas show
// "#FORMULA" (xlrd has their cached result); LABEL and RSTRING text and error values stay
// empty in a view.
TEST(SheetLookup, ViewsOfRealFilesShowWhatXlrdReads) {
  test::LogCapture logs;
  // The whole corpus: the few files whose writers put rows out of order matter here.
  const std::vector<fs::path> chosen = test::RealCorpusFiles();
  ASSERT_FALSE(chosen.empty()) << "corpus missing at " << test::CorpusDir();
  const std::vector<Corner> corners = XlrdCorners(chosen);

  std::map<std::string, int> compared;
  int filesCompared = 0;
  for (std::size_t f = 0; f < chosen.size(); ++f) {
    XlsDocument document;
    if (!document.Load(chosen[f].string())) continue;
    ++filesCompared;
    for (const auto& entry : document.workbook().sheets_) {
      if (entry.type_ != 0) continue;  // xlrd reads worksheets only
      const std::string name = entry.name_.ToUtf8();
      const WorksheetView* named = document.GetWorksheetView(name);
      ASSERT_NE(named, nullptr) << chosen[f] << " '" << name << "'";
      const WorksheetView& view = *named;
      const Corner& theirs = corners[f];
      const auto where = [&](unsigned r, unsigned c) {
        return chosen[f].filename().string() + " '" + name + "' " + std::to_string(r) + "," +
               std::to_string(c);
      };
      for (unsigned r = 0; r < view.RowCount(); ++r) {
        for (unsigned c = 0; c < view.ColumnCount(); ++c) {
          const ViewCell& cell = *view.CellAt(r, c);
          const auto found = theirs.find({name, r, c});
          const bool present = found != theirs.end();
          const char kind = present ? found->second.first : 0;
          const std::string value = present ? found->second.second : std::string();
          if (cell.GetString() == "#FORMULA") {
            EXPECT_TRUE(present) << where(r, c);
            ++compared["formula"];
            continue;
          }
          switch (cell.Type()) {
            case ViewCell::kInteger:
            case ViewCell::kDouble:
              if (kind != 'n' && kind != 'b') {
                ADD_FAILURE() << where(r, c) << " xlrd: " << kind << " " << value;
                break;
              }
              if (const double expected = std::stod(value); std::isnan(expected)) {
                EXPECT_TRUE(std::isnan(cell.GetDouble())) << where(r, c);
              } else {
                EXPECT_EQ(cell.GetDouble(), expected) << where(r, c);
              }
              ++compared[cell.Type() == ViewCell::kInteger ? "integer" : "double"];
              break;
            case ViewCell::kNarrow:
            case ViewCell::kWide:
              EXPECT_EQ(kind, 's') << where(r, c);
              EXPECT_EQ(cell.TextUtf8(), value) << where(r, c);
              ++compared[cell.Type() == ViewCell::kNarrow ? "narrow" : "wide"];
              break;
            default:
              // Numbers and Booleans have no excuse to be missing; texts may be LABELs.
              EXPECT_TRUE(kind != 'n' && kind != 'b') << where(r, c) << " xlrd: " << value;
              break;
          }
        }
      }
    }
  }
  EXPECT_EQ(filesCompared, static_cast<int>(chosen.size()));
  for (const char* kind : {"integer", "double", "narrow", "wide", "formula"}) {
    EXPECT_GT(compared[kind], 0) << "no " << kind << " cell met";
  }
  std::printf("files compared: %d of %zu\n", filesCompared, chosen.size());
  for (const auto& [kind, count] : compared)
    std::printf("%s cells compared: %d\n", kind.c_str(), count);
}

}  // namespace
}  // namespace tabulix
