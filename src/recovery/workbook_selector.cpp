// The workbook record selector: decides whether one candidate record of a damaged stream
// is a globals record that can be taken, and reads it into the recovered globals.

#include <algorithm>
#include <exception>
#include <string_view>

#include "base/log.hpp"
#include "recovery/record_selectors.hpp"
#include "recovery/selector_support.hpp"

namespace tabulix {

namespace {

constexpr std::string_view kSkipped =
    "Record skipped in XlsDocument::WorkbookRecordSelector, ObjOffset = ";
constexpr std::string_view kUnknown =
    "Record skipped as default value in XlsDocument::WorkbookRecordSelector, ObjOffset = ";
constexpr std::string_view kFailed =
    "Exception in XlsDocument::WorkbookRecordSelector:: ObjOffset = ";

// Reads the list record at `offset` into position `next` of `list` (growing the list by one
// default record when it is that short) and moves `next` on.
template <class T>
void ReadIntoList(std::vector<T>& list, std::size_t& next, std::span<const std::uint8_t> slice,
                  std::uint32_t offset) {
  if (next >= list.size()) list.emplace_back();
  list[next].Read(slice, offset);
  ++next;
}

// How much of the slice a record of `code` must be taken to cover before the next header is
// looked for; 0 when the record is taken without a test, kNotOurs for a code the selector
// does not know, kRejected when the record's own size rules it out.
constexpr std::uint32_t kNotOurs = 0xFFFFFFFF;
constexpr std::uint32_t kRejected = 0xFFFFFFFE;
constexpr std::uint32_t kNoTest = 0;

std::uint32_t TakenLength(std::uint16_t code, std::uint32_t size) {
  const std::uint32_t sized = size + 4;
  switch (code) {
    case 0x000A:  // EOF
    case 0x00E2:  // INTERFACEEND
    case 0x01C0:  // EXCEL9FILE
      return kNoTest;
    case 0x000E:  // PRECISION
    case 0x0012:  // PROTECT
    case 0x0013:  // PASSWORD
    case 0x0019:  // WINDOWPROTECT
    case 0x0022:  // DATE1904
    case 0x0040:  // BACKUP
    case 0x008D:  // HIDEOBJ
    case 0x009C:  // FNGROUPCOUNT
    case 0x00C1:  // MMS
    case 0x00DA:  // BOOKBOOL
    case 0x00E1:  // INTERFACEHDR
    case 0x0160:  // USESELFS
    case 0x0161:  // DSF
    case 0x01AF:  // PROT4REV
    case 0x01B7:  // REFRESHALL
    case 0x01BC:  // PROT4REVPASS
      return 6;
    case 0x008C:
      return 8;  // COUNTRY
    case 0x01C1:
      return 12;  // RECALCID
    case 0x0809:
      return 20;  // BOF
    case 0x003D:
      return 22;  // WINDOW1
    case 0x00E0:
      return 24;  // XF
    case 0x0863:
      return 25;  // BOOKEXT
    case 0x0092:
      return 230;  // PALETTE
    case 0x0031:   // FONT
    case 0x0085:   // BOUNDSHEET
    case 0x00FC:   // SST
    case 0x00FF:   // EXTSST
    case 0x013D:   // TABID
    case 0x0293:   // STYLE
    case 0x041E:   // FORMAT
      return sized;
    case 0x0042:  // CODENAME (the code page)
      if (size == 2) return 6;
      return size >= 4 ? sized : kRejected;
    case 0x005C:  // WRITEACCESS: checked by the caller
      return kRejected;
    default:
      return kNotOurs;
  }
}

}  // namespace

bool WorkbookRecordSelector(std::span<const std::uint8_t> slice, Workbook& globals,
                            std::uint32_t offset, std::int16_t code, std::int16_t size,
                            GlobalsCounters& counters, SelectorLog& log) {
  const auto ucode = static_cast<std::uint16_t>(code);
  const auto usize = static_cast<std::uint32_t>(static_cast<std::uint16_t>(size));
  try {
    bool passes = false;
    if (ucode == Workbook::WRITEACCESS::kCode) {
      // Two sound lengths: the 112 bytes Excel writes and the 32 of some other writers,
      // whose next header is looked for where the short record ends.
      if (usize == 112) {
        passes = selector::FitsBefore(slice, offset, 116);
      } else if (usize == 32) {
        passes =
            std::uint64_t{offset} + 40 < slice.size() && selector::FitsBefore(slice, offset, 36);
      }
    } else {
      const std::uint32_t length = TakenLength(ucode, usize);
      if (length == kNotOurs) {
        WriteLog(0, 0, selector::Message(kUnknown, offset, code, size), true);
        return true;
      }
      passes =
          length == kNoTest || (length != kRejected && selector::FitsBefore(slice, offset, length));
    }
    // A BOF stands in the globals only when it opens globals: a chart's or a sheet's BOF
    // would make the saved globals claim to be something else.
    if (passes && ucode == BOF::kCode)
      passes = selector::BofType(slice, offset) == BOF::kWorkbookGlobals;

    if (!passes) {
      log.NoteRejected(kSkipped, offset, code, size);
      return true;
    }

    switch (ucode) {
      case Eof::kCode:
      case Workbook::INTERFACEEND::kCode:
      case Workbook::EXCEL9FILE::kCode:
        break;
      case BOF::kCode:
        globals.bof_.Read(slice, offset);
        break;
      case Workbook::Font::kCode: {
        // A font read with an empty name is no font: it neither takes a place in the list
        // nor moves the counter, and the list is left as it was.
        Workbook::Font font;
        if (font.Read(slice, offset) == 0) return true;
        if (counters.font >= globals.fonts_.size()) globals.fonts_.resize(counters.font + 1);
        globals.fonts_[counters.font++] = std::move(font);
        break;
      }
      case Workbook::XF::kCode:
        ReadIntoList(globals.xfs_, counters.xf, slice, offset);
        break;
      case Workbook::Style::kCode:
        ReadIntoList(globals.styles_, counters.style, slice, offset);
        break;
      case Workbook::BoundSheet::kCode:
        ReadIntoList(globals.sheets_, counters.boundSheet, slice, offset);
        globals.sheetEntriesRead_ = std::max(globals.sheetEntriesRead_, counters.boundSheet);
        break;
      case Workbook::Format::kCode: {
        const std::size_t position = counters.format;
        ReadIntoList(globals.formats_, counters.format, slice, offset);
        // The first FORMAT of an index names it; a later duplicate keeps its place in the
        // list but not the index.
        globals.formatPositions_.try_emplace(globals.formats_[position].index_,
                                             static_cast<std::uint32_t>(position));
        break;
      }
      default:
        if (Record* member = globals.FixedMember(ucode)) member->Read(slice, offset);
        break;
    }
    log.recordTaken_ = 1;
    return true;
  } catch (...) {
    WriteLog(0, 0, selector::Message(kFailed, offset, code, size), true);
    return false;
  }
}

}  // namespace tabulix
