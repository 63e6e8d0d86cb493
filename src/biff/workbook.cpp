#include "biff/workbook.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <limits>
#include <string>
#include <string_view>

#include "base/log.hpp"
#include "biff/fixed_record.hpp"
#include "biff/kept_substream.hpp"

namespace tabulix {

namespace {

constexpr std::string_view kReadError = "Error reading Workbook Globals";
constexpr std::string_view kWriteError = "Error writing Workbook Globals";
constexpr std::string_view kSalvageError = "Error reading the shared strings again";

struct DefaultFormat {
  std::uint16_t index;
  std::string_view text;
};

constexpr std::array<DefaultFormat, 8> kDefaultFormats = {{
    {5, "($#,##0_); ($#,##0)"},
    {6, "($#,##0_); [Red]($#,##0)"},
    {7, "($#,##0.00_); ($#,##0.00)"},
    {8, "($#,##0.00_); [Red]($#,##0.00)"},
    {42, "_($* #,##0_); _($* (#,##0); _($* \" -\" _); _(@_)"},
    {41, "_(* #,##0_); _(* (#,##0); _(* \" -\" _); _(@_)"},
    {44, "_($* #,##0.00_); _($* (#,##0.00); _($* \" -\" ??_); _(@_)"},
    {43, "_(* #,##0.00_); _(* (#,##0.00); _(* \" -\" ??_); _(@_)"},
}};

// The XFs of a new workbook after XF 0 (which keeps the plain default). The 0xF4 and 0xF8
// marks are "attributes used" flags, which live in the byte at offset 9: in the byte at
// offset 8 they would read as an indent of 4 or 8 with an undefined text direction.
struct DefaultXf {
  std::uint16_t font;
  std::uint16_t format;
  std::uint8_t usedAttributes;
  std::uint16_t typeProtection;
};

constexpr DefaultXf kStyleXf{0, 0, 0xF4, 0xFFF5};
constexpr std::array<DefaultXf, 20> kDefaultXfs = {{
    {1, 0, 0xF4, 0xFFF5},
    {1, 0, 0xF4, 0xFFF5},
    {2, 0, 0xF4, 0xFFF5},
    {2, 0, 0xF4, 0xFFF5},
    kStyleXf,
    kStyleXf,
    kStyleXf,
    kStyleXf,
    kStyleXf,
    kStyleXf,
    kStyleXf,
    kStyleXf,
    kStyleXf,
    kStyleXf,
    {0, 0, 0, 0x0001},
    {1, 43, 0xF8, 0xFFF5},
    {1, 41, 0xF8, 0xFFF5},
    {1, 44, 0xF8, 0xFFF5},
    {1, 42, 0xF8, 0xFFF5},
    {1, 9, 0xF8, 0xFFF5},
}};

struct DefaultStyle {
  std::uint16_t xfIndex;
  std::uint8_t builtInId;
};

constexpr std::array<DefaultStyle, 6> kDefaultStyles = {{
    {0x8010, 3},
    {0x8011, 6},
    {0x8012, 4},
    {0x8013, 7},
    {0x8000, 0},
    {0x8014, 5},
}};

struct DefaultSheet {
  std::string_view name;
  std::uint32_t position;
};

constexpr std::array<DefaultSheet, 3> kDefaultSheets = {{
    {"Sheet1", 1445},
    {"Sheet2", 1698},
    {"Sheet3", 1951},
}};

}  // namespace

Workbook::Workbook() { bof_.type_ = BOF::kWorkbookGlobals; }

void Workbook::Reset() {
  bof_.Reset();
  bof_.type_ = BOF::kWorkbookGlobals;
  interfaceHdr_.Reset();
  mms_.Reset();
  interfaceEnd_.Reset();
  writeAccess_.Reset();
  codeName_.Reset();
  dsf_.Reset();
  excel9File_.Reset();
  tabId_.Reset();
  fnGroupCount_.Reset();
  windowProtect_.Reset();
  protect_.Reset();
  password_.Reset();
  prot4Rev_.Reset();
  prot4RevPass_.Reset();
  window1_.Reset();
  backup_.Reset();
  hideObj_.Reset();
  date1904_.Reset();
  precision_.Reset();
  refreshAll_.Reset();
  bookBool_.Reset();
  useSelfs_.Reset();
  country_.Reset();
  recalcId_.Reset();
  palette_.Reset();
  sst_.Reset();
  extSst_.Reset();
  bookExt_.Reset();
  eof_.Reset();
  passwordProtected_ = false;
  sheetEntriesRead_ = 0;
  source_.clear();
  sourceStart_ = 0;
  formatPositions_.clear();

  fonts_.assign(4, Font());

  formats_.assign(kDefaultFormats.size(), Format());
  for (std::size_t i = 0; i < kDefaultFormats.size(); ++i) {
    formats_[i].index_ = kDefaultFormats[i].index;
    formats_[i].text_.Assign(kDefaultFormats[i].text);
    formats_[i].RecordSize();
  }

  xfs_.assign(1 + kDefaultXfs.size(), XF());
  for (std::size_t i = 0; i < kDefaultXfs.size(); ++i) {
    XF& xf = xfs_[i + 1];
    xf.fontIndex_ = kDefaultXfs[i].font;
    xf.formatIndex_ = kDefaultXfs[i].format;
    xf.usedAttributes_ = kDefaultXfs[i].usedAttributes;
    xf.typeProtection_ = kDefaultXfs[i].typeProtection;
  }

  styles_.assign(kDefaultStyles.size(), Style());
  for (std::size_t i = 0; i < kDefaultStyles.size(); ++i) {
    styles_[i].xfIndex_ = kDefaultStyles[i].xfIndex;
    styles_[i].builtInId_ = kDefaultStyles[i].builtInId;
    styles_[i].outlineLevel_ = 0xFF;
  }

  sheets_.assign(kDefaultSheets.size(), BoundSheet());
  for (std::size_t i = 0; i < kDefaultSheets.size(); ++i) {
    sheets_[i].name_.Assign(kDefaultSheets[i].name);
    sheets_[i].position_ = kDefaultSheets[i].position;
    sheets_[i].RecordSize();
  }
}

Record* Workbook::FixedMember(std::uint16_t code) {
  switch (code) {
    case INTERFACEHDR::kCode:
      return &interfaceHdr_;
    case MMS::kCode:
      return &mms_;
    case INTERFACEEND::kCode:
      return &interfaceEnd_;
    case WRITEACCESS::kCode:
      return &writeAccess_;
    case CODENAME::kCode:
      return &codeName_;
    case DSF::kCode:
      return &dsf_;
    case EXCEL9FILE::kCode:
      return &excel9File_;
    case TABID::kCode:
      return &tabId_;
    case FNGROUPCOUNT::kCode:
      return &fnGroupCount_;
    case WINDOWPROTECT::kCode:
      return &windowProtect_;
    case PROTECT::kCode:
      return &protect_;
    case PASSWORD::kCode:
      return &password_;
    case PROT4REV::kCode:
      return &prot4Rev_;
    case PROT4REVPASS::kCode:
      return &prot4RevPass_;
    case Window1::kCode:
      return &window1_;
    case BACKUP::kCode:
      return &backup_;
    case HIDEOBJ::kCode:
      return &hideObj_;
    case DATE1904::kCode:
      return &date1904_;
    case PRECISION::kCode:
      return &precision_;
    case REFRESHALL::kCode:
      return &refreshAll_;
    case BOOKBOOL::kCode:
      return &bookBool_;
    case USESELFS::kCode:
      return &useSelfs_;
    case COUNTRY::kCode:
      return &country_;
    case RECALCID::kCode:
      return &recalcId_;
    case Palette::kCode:
      return &palette_;
    case SST::kCode:
      return &sst_;
    case ExtSST::kCode:
      return &extSst_;
    case BOOKEXT::kCode:
      return &bookExt_;
    default:
      return nullptr;
  }
}

template <class T>
std::uint32_t Workbook::ReadListRecord(std::vector<T>& list, std::size_t& next,
                                       std::span<const std::uint8_t> stream, std::size_t pos) {
  // Elements past the records read keep their contents (a reset workbook keeps its surplus
  // defaults); a list shorter than the records grows by default elements.
  if (list.size() <= next) list.resize(next + 1);
  return list[next++].Read(stream, pos);
}

std::uint32_t Workbook::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  std::size_t fonts = 0;
  std::size_t formats = 0;
  std::size_t xfs = 0;
  std::size_t styles = 0;
  std::size_t sheets = 0;
  std::size_t q = pos;
  for (bool first = true;; first = false) {
    std::uint16_t code = 0;
    std::uint16_t length = 0;
    if (!ReadHeader(stream, q, code, length)) {
      // The stream ended before the substream's EOF.
      WriteLog(0, 0, kReadError, true);
      break;
    }
    if (stream.size() - q - 4 < length) {
      // The record runs past the end of the stream.
      WriteLog(0, 0, kReadError, true);
      break;
    }
    if (code == Eof::kCode) {
      q += eof_.RecordSize();
      break;
    }
    if (code == kFilePassCode) {
      // Telling the user is the caller's business: the record model shows no messages.
      passwordProtected_ = true;
      break;
    }
    if (code == BOF::kCode && !first) {
      // The globals end where a sheet begins. A later BOF must not replace the globals'
      // own: the saved file would claim its globals were a sheet (or a chart).
      WriteLog(0, 0, kReadError, true);
      break;
    }
    std::uint32_t consumed = 0;
    switch (code) {
      case BOF::kCode:
        consumed = bof_.Read(stream, q);
        break;
      case Font::kCode:
        consumed = ReadListRecord(fonts_, fonts, stream, q);
        break;
      case Format::kCode:
        consumed = ReadListRecord(formats_, formats, stream, q);
        break;
      case XF::kCode:
        consumed = ReadListRecord(xfs_, xfs, stream, q);
        break;
      case Style::kCode:
        consumed = ReadListRecord(styles_, styles, stream, q);
        break;
      case BoundSheet::kCode:
        consumed = ReadListRecord(sheets_, sheets, stream, q);
        break;
      default:
        if (Record* member = FixedMember(code)) consumed = member->Read(stream, q);
        break;
    }
    if (consumed == 0) {
      // Unknown records, and records that read as nothing (an empty font or sheet name),
      // are stepped over with their CONTINUE records.
      Record skipped;
      consumed = skipped.Read(stream, q);
    }
    if (consumed == 0) {
      // Not reached after the length check above; kept so that the walk never stands still.
      WriteLog(0, 0, kReadError, true);
      break;
    }
    q += consumed;
  }
  sheetEntriesRead_ = std::max(sheetEntriesRead_, sheets);
  // Behind the table's damage: the EXTSST that follows the table has been read by now.
  SalvageSharedStrings(stream);
  return static_cast<std::uint32_t>(q - pos);
}

void Workbook::SalvageSharedStrings(std::span<const std::uint8_t> stream) {
  if (!sst_.NeedsSalvage()) return;
  try {
    const SST::SalvageCounts counts = sst_.Salvage(stream, extSst_);
    if (counts.readAgain == 0 && counts.lost == 0) return;
    WriteLog(0, 0,
             "Shared strings: " + std::to_string(counts.read) + " read, " +
                 std::to_string(counts.readAgain) + " read again from EXTSST buckets, " +
                 std::to_string(counts.lost) + " lost",
             true);
  } catch (const std::exception&) {
    // Only memory can run out; the strings stay as the first read left them.
    WriteLog(0, 0, kSalvageError, true);
  }
}

template <class Visit>
void Workbook::ForEachRecord(Visit&& visit) {
  Record* const head[] = {
      &bof_,      &interfaceHdr_, &mms_,          &interfaceEnd_, &writeAccess_,   &codeName_,
      &dsf_,      &excel9File_,   &tabId_,        &fnGroupCount_, &windowProtect_, &protect_,
      &password_, &prot4Rev_,     &prot4RevPass_, &window1_,      &backup_,        &hideObj_,
      &date1904_, &precision_,    &refreshAll_,   &bookBool_};
  for (Record* record : head) visit(*record);
  for (Font& font : fonts_) visit(font);
  for (Format& format : formats_) visit(format);
  for (XF& xf : xfs_) visit(xf);
  for (Style& style : styles_) visit(style);
  visit(useSelfs_);
  for (BoundSheet& sheet : sheets_) visit(sheet);
  visit(country_);
  visit(recalcId_);
  if (palette_.Present()) visit(palette_);
  visit(sst_);
  visit(extSst_);
  visit(bookExt_);
  visit(eof_);
}

std::uint32_t Workbook::Write(std::span<std::uint8_t> out, std::size_t pos) {
  if (!source_.empty()) {
    std::vector<std::uint32_t> positions;
    positions.reserve(sheets_.size());
    for (const BoundSheet& sheet : sheets_) positions.push_back(sheet.position_);
    const std::size_t written = kept::WriteGlobals(source_, sourceStart_, positions, out, pos);
    if (written == 0) WriteLog(0, 0, kWriteError, true);
    return static_cast<std::uint32_t>(written);
  }
  std::size_t q = pos;
  bool failed = false;
  ForEachRecord([&](Record& record) {
    if (failed) return;
    const std::uint32_t expected = record.RecordSize();
    const std::uint32_t written = record.Write(out, q);
    q += written;
    failed = written != expected;
  });
  if (failed) WriteLog(0, 0, kWriteError, true);
  return static_cast<std::uint32_t>(q - pos);
}

std::uint32_t Workbook::RecordSize() {
  if (!source_.empty()) return static_cast<std::uint32_t>(source_.size());
  std::uint64_t total = 0;
  ForEachRecord([&](Record& record) { total += record.RecordSize(); });
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(total, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace tabulix
