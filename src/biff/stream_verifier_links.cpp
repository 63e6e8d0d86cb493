// The stream verifier's checks of the links between records that formulas follow: a name
// token names a NAME record, a 3-D reference an EXTERNSHEET entry, which names a SUPBOOK and
// sheets of the workbook it stands for. A link that dangles makes readers refuse the file or
// read another cell than the one meant.

#include <algorithm>
#include <string>

#include "base/little_endian.hpp"
#include "biff/record_codes.hpp"
#include "biff/stream_verifier_parts.hpp"

namespace tabulix::verify {

namespace {

using enum RecordCode;

// SUPBOOK: in place of the length of a file name, these mark the workbook itself and the
// add-in functions.
constexpr std::uint16_t kSelfMark = 0x0401;
constexpr std::uint16_t kAddInMark = 0x3A01;
// A sheet index of an EXTERNSHEET entry that names no sheet of the book: a reference to a
// sheet since deleted, or one to the workbook as a whole.
constexpr std::uint16_t kWholeBook = 0xFFFE;
constexpr std::uint16_t kNoSheet = 0xFFFF;

// NAME: the fixed fields before the name's flags byte and characters.
constexpr std::size_t kNameLengthAt = 3;
constexpr std::size_t kNameFormulaLengthAt = 4;
constexpr std::size_t kNameScopeAt = 8;
constexpr std::size_t kNameTextAt = 14;
constexpr std::size_t kExternSheetEntry = 6;

// The data of a record and its CONTINUE records as one run: the parts of a long list or a
// long formula go on in the next record with nothing in between. `buffer` holds it when
// there is more than one piece.
Bytes Joined(Bytes stream, std::span<const RawRecord> pieces, std::vector<std::uint8_t>& buffer) {
  if (pieces.size() == 1) return DataOf(stream, pieces.front());
  buffer.clear();
  for (const RawRecord& piece : pieces) {
    const Bytes data = DataOf(stream, piece);
    buffer.insert(buffer.end(), data.begin(), data.end());
  }
  return buffer;
}

}  // namespace

void CheckFormulaLinks(const cells::FormulaLinks& links, const GlobalsSummary& globals,
                       Findings& findings, std::size_t pos, std::string_view what) {
  const std::string who(what);
  // One finding of each kind for a formula: the first token that dangles stands for it.
  if (!links.names.empty() && globals.names == 0) {
    findings.Add("formula-names", pos, who + " uses a name and the globals hold no NAME record");
  } else {
    for (const std::uint16_t name : links.names) {
      if (name == 0 || name > globals.names) {
        findings.Add("name-index", pos,
                     who + " names NAME " + std::to_string(name) + "; the globals hold " +
                         std::to_string(globals.names) + " (counted from 1)");
        break;
      }
    }
  }
  if (!links.externSheets.empty() && !globals.hasExternSheet) {
    findings.Add("formula-externsheet", pos,
                 who + " refers to other sheets and the globals hold no EXTERNSHEET record");
    return;
  }
  const std::size_t entries = globals.externSheet.size();
  for (const std::uint16_t entry : links.externSheets) {
    if (entry >= entries) {
      findings.Add("externsheet-index", pos,
                   who + " refers through EXTERNSHEET entry " + std::to_string(entry) + " of " +
                       std::to_string(entries));
      break;
    }
  }
  // An external name counts among the EXTERNNAME records behind its entry's SUPBOOK; one
  // through the workbook's own SUPBOOK is one of its NAME records.
  for (const cells::FormulaLinks::ExternName& name : links.externNames) {
    if (name.externSheet >= entries) continue;  // named above
    const std::uint16_t book = globals.externSheet[name.externSheet].supBook;
    if (book >= globals.supBooks.size()) continue;  // the entry's own finding
    const SupBook& supBook = globals.supBooks[book];
    const bool self = supBook.kind == SupBook::Kind::Self;
    const std::size_t held = self ? globals.names : supBook.externNames;
    if (name.name == 0 || name.name > held) {
      findings.Add("namex-index", pos,
                   who + " names external name " + std::to_string(name.name) + " of SUPBOOK " +
                       std::to_string(book) + ", which has " + std::to_string(held) +
                       (self ? " NAME records" : " EXTERNNAME records"));
      break;
    }
  }
}

void GlobalsLinks::Record(std::span<const RawRecord> pieces, bool sized) {
  const RawRecord& r = pieces.front();
  switch (static_cast<RecordCode>(r.code)) {
    case NAME:
      ++summary_.names;
      if (sized) Name(pieces);
      break;
    case SUPBOOK: {
      SupBook book;
      book.pos = r.pos;
      if (sized) {
        const Bytes data = DataOf(stream_, r);
        book.sheets = LittleEndian::U16(data, 0);
        const std::uint16_t mark = LittleEndian::U16(data, 2);
        book.kind = mark == kSelfMark && r.length == 4 ? SupBook::Kind::Self
                    : mark == kAddInMark               ? SupBook::Kind::AddIn
                                                       : SupBook::Kind::External;
      }
      summary_.supBooks.push_back(book);
      break;
    }
    case EXTERNNAME:
      // It belongs to the SUPBOOK before it.
      if (!summary_.supBooks.empty()) ++summary_.supBooks.back().externNames;
      break;
    case EXTERNSHEET:
      if (sized) ExternSheet(pieces);
      break;
    default:
      break;
  }
}

// NAME: options, shortcut key, the name's length in characters, the formula's length in
// bytes, a reserved field, the sheet it belongs to (0: the workbook), four lengths of menu
// and help texts; then the name (a flags byte and its characters), the formula's tokens and
// the extra data some tokens announce.
void GlobalsLinks::Name(std::span<const RawRecord> pieces) {
  const RawRecord& r = pieces.front();
  std::vector<std::uint8_t> buffer;
  const Bytes data = Joined(stream_, pieces, buffer);
  NameRecord name;
  name.pos = r.pos;
  name.index = summary_.names;
  name.scope = LittleEndian::U16(data, kNameScopeAt);
  const std::size_t characters = LittleEndian::U8(data, kNameLengthAt);
  const std::size_t formulaLength = LittleEndian::U16(data, kNameFormulaLengthAt);
  const std::string what = "NAME " + std::to_string(name.index);
  std::size_t tokensAt = kNameTextAt + 1;
  if (data.size() > kNameTextAt) {
    tokensAt += characters * ((LittleEndian::U8(data, kNameTextAt) & 0x01) != 0 ? 2 : 1);
  }
  if (tokensAt > data.size() || data.size() - tokensAt < formulaLength) {
    findings_.Add("record-size", r.pos,
                  what + " of " + std::to_string(data.size()) +
                      " data bytes is too short for a name of " + std::to_string(characters) +
                      " characters and a formula of " + std::to_string(formulaLength) + " bytes");
  } else if (formulaLength > 0) {
    // A name with no formula stands for nothing yet: it points nowhere.
    const cells::FormulaTokenCheck check = cells::CheckFormulaTokens(
        data.subspan(tokensAt, formulaLength), data.subspan(tokensAt + formulaLength),
        cells::FormulaSite::Name, &name.links);
    if (!check.sound) findings_.Add("formula-tokens", r.pos, what + ": " + check.reason);
  }
  names_.push_back(std::move(name));
}

// EXTERNSHEET: a count, then per entry a SUPBOOK index and the first and last sheet; a long
// list goes on in CONTINUE records.
void GlobalsLinks::ExternSheet(std::span<const RawRecord> pieces) {
  const RawRecord& r = pieces.front();
  summary_.hasExternSheet = true;
  if (!externSheetPos_) externSheetPos_ = r.pos;
  std::vector<std::uint8_t> buffer;
  const Bytes data = Joined(stream_, pieces, buffer);
  const std::size_t count = LittleEndian::U16(data, 0);
  const std::size_t held = (data.size() - 2) / kExternSheetEntry;
  if (2 + count * kExternSheetEntry != data.size()) {
    findings_.Add("record-size", r.pos,
                  "EXTERNSHEET counts " + std::to_string(count) + " entries in " +
                      std::to_string(data.size()) + " data bytes");
  }
  for (std::size_t i = 0; i < std::min(count, held); ++i) {
    const std::size_t at = 2 + i * kExternSheetEntry;
    summary_.externSheet.push_back({LittleEndian::U16(data, at), LittleEndian::U16(data, at + 2),
                                    LittleEndian::U16(data, at + 4)});
  }
}

void GlobalsLinks::Finish() {
  const std::size_t sheets = summary_.sheets;
  for (const NameRecord& name : names_) {
    const std::string what = "NAME " + std::to_string(name.index);
    if (name.scope > sheets) {
      findings_.Add("name-scope", name.pos,
                    what + " belongs to sheet " + std::to_string(name.scope) + " of " +
                        std::to_string(sheets) + " (counted from 1)");
    }
    CheckFormulaLinks(name.links, summary_, findings_, name.pos, what);
  }
  for (const SupBook& book : summary_.supBooks) {
    if (book.kind == SupBook::Kind::Self && book.sheets != sheets) {
      findings_.Add("supbook-sheets", book.pos,
                    "the workbook's own SUPBOOK counts " + std::to_string(book.sheets) +
                        (book.sheets == 1 ? " sheet" : " sheets") + "; the globals hold " +
                        std::to_string(sheets) + " BOUNDSHEET records");
    }
  }
  if (!externSheetPos_) return;
  // One finding of each kind for the record: the first entry stands for it.
  bool supBookNamed = false;
  bool sheetNamed = false;
  for (std::size_t i = 0; i < summary_.externSheet.size(); ++i) {
    const ExternSheetEntry& entry = summary_.externSheet[i];
    const std::string what = "EXTERNSHEET entry " + std::to_string(i);
    if (entry.supBook >= summary_.supBooks.size()) {
      if (!supBookNamed) {
        findings_.Add("externsheet-supbook", *externSheetPos_,
                      what + " names SUPBOOK " + std::to_string(entry.supBook) + " of " +
                          std::to_string(summary_.supBooks.size()));
      }
      supBookNamed = true;
      continue;
    }
    if (summary_.supBooks[entry.supBook].kind != SupBook::Kind::Self || sheetNamed) continue;
    for (const std::uint16_t sheet : {entry.firstSheet, entry.lastSheet}) {
      if (sheet >= sheets && sheet != kWholeBook && sheet != kNoSheet) {
        findings_.Add("externsheet-sheet", *externSheetPos_,
                      what + " names sheets " + std::to_string(entry.firstSheet) + " to " +
                          std::to_string(entry.lastSheet) + " of the workbook's " +
                          std::to_string(sheets));
        sheetNamed = true;
        break;
      }
    }
  }
}

}  // namespace tabulix::verify
