// The sheet entries of a saved workbook: exactly one per saved worksheet, in order, each
// pointing at its worksheet's BOF in the new stream. A damaged source may have entries for
// sheets that were not recovered, charts that are not saved, or no entry at all for a sheet
// that was: pairing entry i with worksheet i would put names and types on the wrong sheets.

#include "document/sheet_entries.hpp"

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/little_endian.hpp"
#include "document/xls_document.hpp"
#include "format/name_folding.hpp"

namespace tabulix {

namespace {

using BoundSheet = Workbook::BoundSheet;

constexpr std::uint8_t kWorksheetType = 0;
constexpr std::uint8_t kHidden = 1;
constexpr std::size_t kMaxNameLength = 31;

std::u16string NameOf(const BoundSheet& entry) {
  if (entry.name_.IsWide()) return entry.name_.wide_;
  std::u16string name;
  for (const char c : entry.name_.narrow_) name.push_back(static_cast<unsigned char>(c));
  return name;
}

std::u16string Numbered(std::size_t number) {
  std::u16string text = u"Recovered Sheet ";
  for (const char c : std::to_string(number)) text.push_back(static_cast<char16_t>(c));
  return text;
}

// A name the spreadsheet programs accept: 1 to 31 characters, none of : \ / ? * [ ], no
// apostrophe at either end, no control characters; unique among `taken` (folded names:
// spreadsheet programs compare sheet names without regard to case).
std::u16string UsableName(std::u16string name, std::size_t number,
                          std::set<std::u16string>& taken) {
  for (char16_t& c : name) {
    if (c < 0x20 || c == u':' || c == u'\\' || c == u'/' || c == u'?' || c == u'*' || c == u'[' ||
        c == u']') {
      c = u'_';
    }
  }
  while (!name.empty() && name.front() == u'\'') name.erase(name.begin());
  while (!name.empty() && name.back() == u'\'') name.pop_back();
  if (name.size() > kMaxNameLength) name.resize(kMaxNameLength);
  if (name.empty()) name = Numbered(number);
  std::u16string candidate = name;
  for (std::size_t k = 2; taken.contains(FoldedName(candidate)); ++k) {
    std::u16string suffix = u" (";
    for (const char c : std::to_string(k)) suffix.push_back(static_cast<char16_t>(c));
    suffix += u')';
    candidate = name.substr(0, kMaxNameLength - suffix.size()) + suffix;
  }
  taken.insert(FoldedName(candidate));
  return candidate;
}

bool HoldsCells(const Worksheet& sheet) {
  for (const auto& block : sheet.cellTable_.rowBlocks_) {
    if (!block.cellBlocks_.empty()) return true;
  }
  return false;
}

}  // namespace

std::vector<Workbook::BoundSheet> SavedSheetEntries(const Workbook& workbook,
                                                    const std::vector<Worksheet>& worksheets,
                                                    std::span<const std::uint8_t> stream,
                                                    std::int64_t shift) {
  const auto& entries = workbook.sheets_;
  const std::size_t sheetCount = worksheets.size();
  // Where entry e's sheet began in `stream`.
  auto located = [&](std::size_t e) { return std::int64_t{entries[e].position_} + shift; };

  // The entry of each worksheet: the one pointing at the BOF it came from, else the next
  // unclaimed worksheet entry in order. A worksheet whose BOF is known but named by no
  // entry takes only an entry whose position names no BOF of the source: an entry that
  // does name one belongs to that substream, which was not saved (a dropped sheet), and
  // its name would go to the wrong sheet.
  std::vector<std::optional<std::size_t>> owner(sheetCount);
  std::vector<bool> claimed(entries.size(), false);
  for (std::size_t w = 0; w < sheetCount; ++w) {
    const std::uint32_t source = worksheets[w].sourcePosition_;
    if (source == Worksheet::kNoSource) continue;
    for (std::size_t e = 0; e < entries.size(); ++e) {
      // A position moved by the shift is trusted only for a sheet that holds cells: in a
      // file's raw bytes a sheet's records need not follow its BOF.
      const bool match = entries[e].position_ == source ||
                         (shift != 0 && located(e) == source && HoldsCells(worksheets[w]));
      if (!claimed[e] && match) {
        owner[w] = e;
        claimed[e] = true;
        break;
      }
    }
  }
  // One cursor per kind of worksheet, each moving forward only.
  std::size_t nextAny = 0;
  std::size_t nextUnnamed = 0;
  for (std::size_t w = 0; w < sheetCount; ++w) {
    if (owner[w]) continue;
    const bool sourceKnown = worksheets[w].sourcePosition_ != Worksheet::kNoSource;
    std::size_t& next = sourceKnown ? nextUnnamed : nextAny;
    while (next < entries.size() &&
           (claimed[next] || entries[next].type_ != kWorksheetType ||
            (sourceKnown && located(next) >= 0 &&
             LittleEndian::U16(stream, static_cast<std::size_t>(located(next))) == BOF::kCode))) {
      ++next;
    }
    if (next < entries.size()) {
      owner[w] = next;
      claimed[next] = true;
    }
  }

  std::vector<BoundSheet> fixed(sheetCount);
  std::set<std::u16string> taken;
  bool anyVisible = false;
  for (std::size_t w = 0; w < sheetCount; ++w) {
    BoundSheet& entry = fixed[w];
    std::u16string name = Numbered(w + 1);
    if (owner[w]) {
      entry = entries[*owner[w]];
      name = NameOf(entry);
    }
    entry.type_ = kWorksheetType;
    if (entry.visibility_ > kHidden) entry.visibility_ = 0;
    anyVisible = anyVisible || entry.visibility_ == 0;
    entry.name_.Assign(std::u16string_view(UsableName(std::move(name), w + 1, taken)));
    entry.RecordSize();
  }
  // A workbook whose every sheet is hidden cannot be opened.
  if (!anyVisible && !fixed.empty()) fixed.front().visibility_ = 0;
  return fixed;
}

void XlsDocument::FixSheetPositions() {
  Workbook& workbook = model_.workbook_;
  auto& entries = workbook.sheets_;
  const std::size_t sheetCount = model_.worksheets_.size();
  // Once paired, entry i is worksheet i's: the entries now hold positions of the new
  // stream, which may equal a source position of another sheet. Only the positions move.
  if (entriesFixed_ && entries.size() == sheetCount) {
    PlaceSheetEntries();
    return;
  }
  entries =
      SavedSheetEntries(workbook, model_.worksheets_, stream_, state_.boundaries_.namedShift_);
  workbook.sheetEntriesRead_ = entries.size();

  // The tab order and the window name sheets by index: keep both within the sheets saved.
  const auto count = static_cast<std::uint16_t>(std::min<std::size_t>(sheetCount, 0xFFFF));
  workbook.tabId_.ids_.resize(count);
  for (std::uint16_t i = 0; i < count; ++i)
    workbook.tabId_.ids_[i] = static_cast<std::uint16_t>(i + 1);
  auto& window = workbook.window1_;
  if (window.activeSheet_ >= count) window.activeSheet_ = 0;
  if (window.firstVisibleTab_ >= count) window.firstVisibleTab_ = 0;
  if (window.selectedSheets_ == 0) window.selectedSheets_ = 1;

  entriesFixed_ = true;
  PlaceSheetEntries();
}

void XlsDocument::PlaceSheetEntries() {
  Workbook& workbook = model_.workbook_;
  auto& worksheets = model_.worksheets_;
  auto& entries = workbook.sheets_;
  std::uint64_t offset = workbook.RecordSize();
  for (std::size_t w = 0; w < worksheets.size() && w < entries.size(); ++w) {
    entries[w].position_ = static_cast<std::uint32_t>(offset);
    offset += worksheets[w].RecordSize();
  }
}

}  // namespace tabulix
