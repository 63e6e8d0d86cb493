#include "document/file_kind.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "base/little_endian.hpp"

namespace tabulix {

namespace {

using Bytes = std::span<const std::uint8_t>;
using LittleEndian::U16;

constexpr std::uint16_t kBof = 0x0809;
constexpr std::uint16_t kEof = 0x000A;
constexpr std::uint16_t kSst = 0x00FC;
constexpr std::uint16_t kExtSst = 0x00FF;
constexpr std::uint16_t kXf = 0x00E0;
constexpr std::uint16_t kBiff8XfLength = 20;
constexpr std::uint16_t kUseSelfs = 0x0160;
constexpr std::uint16_t kRecalcId = 0x01C1;
constexpr std::uint16_t kBookExt = 0x0863;
constexpr std::uint16_t kBiff8 = 0x0600;
constexpr std::uint16_t kGlobals = 0x0005;

constexpr std::array<std::uint8_t, 8> kCompoundSignature = {0xD0, 0xCF, 0x11, 0xE0,
                                                            0xA1, 0xB1, 0x1A, 0xE1};
// Compound-document directory entries name their streams in UTF-16.
constexpr std::string_view kWorkbookEntryName = {"W\0o\0r\0k\0b\0o\0o\0k\0", 16};
// The namespace of the Excel 2003 XML format, and the processing instruction its writers
// put before it (looked for in lower case).
constexpr std::string_view kSpreadsheetNamespace = "urn:schemas-microsoft-com:office:spreadsheet";
constexpr std::string_view kSpreadsheetProgId = "progid=\"excel.sheet\"";
constexpr std::string_view kOdsMimeType = "application/vnd.oasis.opendocument.spreadsheet";

// Past this many declarations and comments before the first element the text is not
// taken for markup.
constexpr int kMarkupPreambleLimit = 64;

bool StartsWith(Bytes bytes, std::string_view text) {
  return bytes.size() >= text.size() &&
         std::equal(text.begin(), text.end(), bytes.begin(),
                    [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

bool Contains(Bytes bytes, std::string_view text) {
  const auto found =
      std::search(bytes.begin(), bytes.end(), text.begin(), text.end(),
                  [](std::uint8_t b, char c) { return b == static_cast<std::uint8_t>(c); });
  return found != bytes.end();
}

bool KnownSubstreamType(std::uint16_t type) {
  return type == 0x0005 || type == 0x0006 || type == 0x0010 || type == 0x0020 || type == 0x0040 ||
         type == 0x0100;
}

// The BOF record headers of a stream (code 0x0809 and a version; some writers give the
// record 8 data bytes instead of 16, so the length is not looked at).
struct BofCensus {
  bool biff8 = false;         // a BIFF8 BOF of any substream type
  bool biff8Globals = false;  // a BIFF8 BOF of workbook globals
  bool biff5 = false;         // an Excel 5.0/95 BOF (version 0x05nn) of a known type
};

BofCensus CountBofs(Bytes stream) {
  BofCensus census;
  for (std::size_t pos = 0; pos + 6 <= stream.size(); ++pos) {
    if (stream[pos] != 0x09 || stream[pos + 1] != 0x08) continue;
    const std::uint16_t version = U16(stream, pos + 4);
    const std::uint16_t type = U16(stream, pos + 6);  // 0 past the end
    if (version == kBiff8) {
      census.biff8 = true;
      census.biff8Globals = census.biff8Globals || type == kGlobals;
    } else if ((version >> 8) == 0x05 && KnownSubstreamType(type)) {
      census.biff5 = true;
    }
  }
  return census;
}

// Excel 2.x, 3.0 and 4.0 files are bare record streams that start with a BOF of code
// 0x0009, 0x0209 or 0x0409, or of the later code with a version of their own. Only the
// start counts: those codes are common byte pairs.
bool StartsWithOldBof(Bytes stream) {
  if (stream.size() < 8) return false;
  const std::uint16_t code = U16(stream, 0);
  const std::uint16_t length = U16(stream, 2);
  if (length < 4 || length > 16) return false;
  if (code == 0x0009 || code == 0x0209 || code == 0x0409) return true;
  const int major = U16(stream, 4) >> 8;
  return code == kBof && major >= 2 && major <= 4;
}

// The Excel 5.0/95 globals' BOF at the start of the stream.
bool StartsWithBiff5Globals(Bytes stream) {
  return stream.size() >= 8 && U16(stream, 0) == kBof && U16(stream, 2) >= 4 &&
         (U16(stream, 4) >> 8) == 0x05 && U16(stream, 6) == kGlobals;
}

// Whether the globals at the start of the stream hold a record only Excel 97-2003 and
// later write: the shared string table and its index, cell formats of their 20 bytes
// (16 before), or the records Excel 97 (USESELFS) and later (RECALCID, BOOKEXT) added. The
// record chain is followed to the globals' end: their EOF, the next BOF, or a break.
bool GlobalsHoldBiff8Records(Bytes stream) {
  // Each step moves at least 4 bytes: linear in the stream.
  for (std::size_t pos = 0; pos + 4 <= stream.size();) {
    const std::uint16_t code = U16(stream, pos);
    const std::uint16_t length = U16(stream, pos + 2);
    if (code == kSst || code == kExtSst || code == kUseSelfs || code == kRecalcId ||
        code == kBookExt || (code == kXf && length == kBiff8XfLength))
      return true;
    if (code == kEof || (pos != 0 && code == kBof)) break;
    pos += 4 + std::size_t{length};
  }
  return false;
}

// The names of a zip archive's entries say what it is. Each local header in the prefix
// is looked at: an archive that puts its telling entries further on is called a zip.
FileKind IdentifyZip(Bytes prefix) {
  for (std::size_t pos = 0; pos + 30 <= prefix.size(); ++pos) {
    if (!StartsWith(prefix.subspan(pos), "PK\x03\x04")) continue;
    const std::size_t nameLength = U16(prefix, pos + 26);
    const std::size_t extraLength = U16(prefix, pos + 28);
    const std::size_t nameAt = pos + 30;
    if (nameLength > prefix.size() - nameAt) break;
    const std::string_view name(reinterpret_cast<const char*>(prefix.data() + nameAt), nameLength);
    // Excel's parts (workbook.xml, or workbook.bin for .xlsb) live under "xl/".
    if (name.starts_with("xl/")) return FileKind::Xlsx;
    // OpenDocument files start with an uncompressed entry "mimetype" naming the format.
    const std::uint16_t method = U16(prefix, pos + 8);
    const std::size_t dataAt = nameAt + nameLength + extraLength;
    if (name == "mimetype" && method == 0 && dataAt <= prefix.size() &&
        StartsWith(prefix.subspan(dataAt), kOdsMimeType))
      return FileKind::OpenDocument;
  }
  return FileKind::Zip;
}

// A compound document: an Excel 5.0/95 one when the prefix holds a BOF of that version,
// no BIFF8 globals (some writers of the older version gave the sheets BIFF8 version
// numbers), and no directory entry named "Workbook" (a file saved in both formats holds a
// "Book" beside it).
FileKind IdentifyCompound(Bytes prefix) {
  const BofCensus census = CountBofs(prefix);
  if (census.biff5 && !census.biff8Globals && !Contains(prefix, kWorkbookEntryName))
    return FileKind::Biff5;
  return FileKind::Workbook;
}

// The prefix as 16-bit units, after a byte-order mark: UTF-16 when a mark or a first "<"
// says so, else one unit per byte (Latin-1, and UTF-8 byte by byte, which the test for
// text and the markup's ASCII names need no more of).
std::u16string TextUnits(Bytes prefix) {
  enum class Encoding { kBytes, kUtf16Le, kUtf16Be };
  Encoding encoding = Encoding::kBytes;
  std::size_t at = 0;
  if (StartsWith(prefix, "\xEF\xBB\xBF")) {
    at = 3;
  } else if (StartsWith(prefix, "\xFF\xFE")) {
    encoding = Encoding::kUtf16Le;
    at = 2;
  } else if (StartsWith(prefix, "\xFE\xFF")) {
    encoding = Encoding::kUtf16Be;
    at = 2;
  } else if (StartsWith(prefix, std::string_view("<\0", 2))) {
    encoding = Encoding::kUtf16Le;  // XML written in UTF-16 without a mark
  } else if (StartsWith(prefix, std::string_view("\0<", 2))) {
    encoding = Encoding::kUtf16Be;
  }
  std::u16string units;
  if (encoding == Encoding::kBytes) {
    units.reserve(prefix.size() - at);
    for (std::size_t i = at; i < prefix.size(); ++i) units.push_back(prefix[i]);
    return units;
  }
  units.reserve((prefix.size() - at) / 2);
  for (std::size_t i = at; i + 2 <= prefix.size(); i += 2) {
    const unsigned first = prefix[i];
    const unsigned second = prefix[i + 1];
    units.push_back(static_cast<char16_t>(encoding == Encoding::kUtf16Le ? first | second << 8
                                                                         : first << 8 | second));
  }
  return units;
}

// Text has no control characters but tab, line feed, form feed and carriage return.
bool IsText(std::u16string_view units) {
  return std::all_of(units.begin(), units.end(), [](char16_t unit) {
    return unit == u'\t' || unit == u'\n' || unit == u'\f' || unit == u'\r' ||
           (unit >= 0x20 && unit != 0x7F);
  });
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

std::size_t SkipSpace(std::string_view text, std::size_t pos) {
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  return pos;
}

bool IsHtmlElement(std::string_view name) {
  static constexpr std::array<std::string_view, 40> kNames = {
      "html", "head", "body", "table", "meta", "title",    "style",  "script",
      "link", "div",  "span", "p",     "br",   "hr",       "tr",     "td",
      "th",   "font", "b",    "i",     "u",    "a",        "center", "form",
      "pre",  "base", "img",  "ul",    "ol",   "li",       "thead",  "tbody",
      "h1",   "h2",   "h3",   "h4",    "h5",   "frameset", "iframe", "noscript"};
  return std::find(kNames.begin(), kNames.end(), name) != kNames.end();
}

// HTML or XML by what stands before and at the first element; Workbook when the text is
// no markup. `text` is the prefix in lower case, one character per unit (others as '?').
FileKind IdentifyMarkup(std::string_view text) {
  std::size_t pos = SkipSpace(text, 0);
  if (pos >= text.size() || text[pos] != '<') return FileKind::Workbook;
  const bool spreadsheet = text.find(kSpreadsheetNamespace) != std::string_view::npos ||
                           text.find(kSpreadsheetProgId) != std::string_view::npos;
  const FileKind xml = spreadsheet ? FileKind::XmlSpreadsheet : FileKind::Xml;
  bool declared = false;  // an XML declaration, processing instruction or document type
  for (int item = 0; item < kMarkupPreambleLimit; ++item) {
    pos = SkipSpace(text, pos);
    if (pos >= text.size() || text[pos] != '<') break;
    const std::string_view rest = text.substr(pos);
    std::string_view closing;
    if (rest.starts_with("<?")) {
      closing = "?>";
    } else if (rest.starts_with("<!--")) {
      closing = "-->";
    } else if (rest.starts_with("<!doctype")) {
      if (text.substr(SkipSpace(text, pos + 9)).starts_with("html")) return FileKind::Html;
      closing = ">";
    } else {
      const std::size_t nameEnd =
          rest.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789:._-", 1);
      const std::string_view name =
          rest.substr(1, nameEnd == std::string_view::npos ? rest.size() - 1 : nameEnd - 1);
      if (name.empty() || !((name[0] >= 'a' && name[0] <= 'z') || name[0] == '_')) break;
      return IsHtmlElement(name) ? FileKind::Html : xml;
    }
    declared = declared || !rest.starts_with("<!--");
    const std::size_t end = text.find(closing, pos + 2);
    if (end == std::string_view::npos) break;
    pos = end + closing.size();
  }
  // Declarations alone (the prefix ends inside them) still make an XML document.
  return declared ? xml : FileKind::Workbook;
}

FileKind IdentifyText(Bytes prefix) {
  const std::u16string units = TextUnits(prefix);
  if (!IsText(units)) return FileKind::Workbook;
  std::string lower(units.size(), '?');
  std::transform(units.begin(), units.end(), lower.begin(), [](char16_t unit) {
    if (unit >= u'A' && unit <= u'Z') return static_cast<char>(unit - u'A' + 'a');
    return unit < 0x80 ? static_cast<char>(unit) : '?';
  });
  const FileKind markup = IdentifyMarkup(lower);
  return markup != FileKind::Workbook ? markup : FileKind::Text;
}

struct KindTexts {
  std::string_view name;
  std::string_view description;
  std::string_view advice;  // what to do instead, for the "not a workbook" kinds
};

KindTexts Texts(FileKind kind) {
  switch (kind) {
    case FileKind::Workbook:
      return {"xls", "an Excel 97-2003 workbook", ""};
    case FileKind::Empty:
      return {"empty", "an empty file", ""};
    case FileKind::Zeros:
      return {"zeros", "a file of nothing but zero bytes", ""};
    case FileKind::Xlsx:
      return {"xlsx", "an Excel 2007 or later workbook (.xlsx, a zip archive)",
              "Open it with a spreadsheet program as it is."};
    case FileKind::OpenDocument:
      return {"ods", "an OpenDocument spreadsheet (.ods, a zip archive)",
              "Open it with a spreadsheet program as it is."};
    case FileKind::Zip:
      return {"zip", "a zip archive",
              "If it holds a workbook, take that out of the archive and open it."};
    case FileKind::Html:
      return {"html", "a web page (HTML)",
              "Open it with a spreadsheet program or a web browser as it is."};
    case FileKind::XmlSpreadsheet:
      return {"xml-spreadsheet", "an Excel 2003 XML spreadsheet",
              "Open it with a spreadsheet program as it is."};
    case FileKind::Xml:
      return {"xml", "an XML document", "Open it with the program that wrote it."};
    case FileKind::Text:
      return {"text", "a text file (such as CSV or tab-separated values)",
              "Open it with a spreadsheet program or a text editor as it is."};
    case FileKind::Biff5:
      return {"biff5", "an Excel 5.0/95 workbook", ""};
    case FileKind::OldBiff:
      return {"biff2-4", "an Excel 2.x-4.0 workbook", ""};
  }
  return {"xls", "an Excel 97-2003 workbook", ""};
}

}  // namespace

FileKind IdentifyFile(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return FileKind::Empty;
  if (bytes[0] == 0 &&
      std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; }))
    return FileKind::Zeros;
  const Bytes prefix = bytes.first(std::min(bytes.size(), kIdentifyPrefix));
  if (StartsWith(prefix, std::string_view(reinterpret_cast<const char*>(kCompoundSignature.data()),
                                          kCompoundSignature.size())))
    return IdentifyCompound(prefix);
  // A local file header, or the end record of an empty archive, or the mark some writers
  // put before the first header of an archive split into parts.
  if (StartsWith(prefix, "PK\x03\x04") || StartsWith(prefix, "PK\x05\x06") ||
      StartsWith(prefix, "PK\x07\x08"))
    return IdentifyZip(prefix);
  // A bare record stream: its first record is the globals' BOF its writer began it with.
  const std::uint16_t first = U16(prefix, 0);
  if (prefix.size() >= 8 &&
      (first == kBof || first == 0x0009 || first == 0x0209 || first == 0x0409))
    return IdentifyStream(prefix, true);
  return IdentifyText(prefix);
}

FileKind IdentifyBeyondDoubt(std::span<const std::uint8_t> bytes) {
  const FileKind kind = IdentifyFile(bytes);
  switch (kind) {
    case FileKind::Empty:
    case FileKind::Zeros:
    case FileKind::Xlsx:
    case FileKind::OpenDocument:
    case FileKind::Zip:
      return kind;
    case FileKind::Html:
    case FileKind::XmlSpreadsheet:
    case FileKind::Xml:
      // Text starting with "<" in the prefix; a workbook's record behind it would mean a
      // damaged file whose first bytes were overwritten, which the routes may yet rescue.
      return CountBofs(bytes).biff8 ? FileKind::Workbook : kind;
    default:
      return FileKind::Workbook;
  }
}

FileKind IdentifyStream(std::span<const std::uint8_t> stream, bool fromContainer) {
  const BofCensus census = CountBofs(stream);
  if (!census.biff8) {
    if (StartsWithOldBof(stream)) return FileKind::OldBiff;
    return census.biff5 ? FileKind::Biff5 : FileKind::Workbook;
  }
  // Some Excel 5.0/95 writers gave the sheets BIFF8 version numbers, so the globals
  // decide; but one damaged BOF must not cost a workbook its rescue, so their word counts
  // only where the stream starts as its writer wrote it, with no BIFF8 globals anywhere,
  // and when the records behind it are of the older version too.
  if (fromContainer && !census.biff8Globals && StartsWithBiff5Globals(stream) &&
      !GlobalsHoldBiff8Records(stream))
    return FileKind::Biff5;
  return FileKind::Workbook;
}

std::string_view FileKindName(FileKind kind) { return Texts(kind).name; }

std::string_view FileKindDescription(FileKind kind) { return Texts(kind).description; }

std::string FileKindRefusal(FileKind kind) {
  switch (kind) {
    case FileKind::Workbook:
      return {};
    case FileKind::Empty:
      return "The file is empty: there is nothing to recover.";
    case FileKind::Zeros:
      return "The file holds nothing but zero bytes: nothing of a workbook is left in it to "
             "recover.";
    case FileKind::Biff5:
      return "The file is an Excel 5.0/95 workbook: this version of Tabulix recovers Excel "
             "97-2003 workbooks.";
    case FileKind::OldBiff:
      return "The file is an Excel 2.x-4.0 workbook: this version of Tabulix recovers Excel "
             "97-2003 workbooks.";
    default:
      break;
  }
  const KindTexts texts = Texts(kind);
  return "The file is not an Excel 97-2003 workbook: it is " + std::string(texts.description) +
         ". " + std::string(texts.advice);
}

}  // namespace tabulix
