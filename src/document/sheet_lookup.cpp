// The views of the preview and the workbook-level lookups that name and find sheets.

#include <cstdint>
#include <exception>
#include <string>
#include <unordered_map>
#include <vector>

#include "document/xls_document.hpp"

namespace tabulix {

namespace {

// The sheet type of a worksheet's entry.
constexpr std::uint8_t kWorksheetEntry = 0;

}  // namespace

void XlsDocument::UpdateSheetViews() {
  const auto& worksheets = model_.worksheets_;
  sheetViews_.clear();
  sheetViews_.reserve(worksheets.size());
  for (std::size_t i = 0; i < worksheets.size(); ++i) {
    // The worksheet list never outgrows a 16-bit sheet index, so the index fits.
    sheetViews_.emplace_back(model_.workbook_, worksheets[i], static_cast<std::uint32_t>(i));
  }
}

std::optional<std::size_t> XlsDocument::WorksheetOfEntry(std::size_t entry) const {
  const auto& entries = model_.workbook_.sheets_;
  const auto& worksheets = model_.worksheets_;
  if (entry >= entries.size()) return std::nullopt;
  // After a save the entries stand one per worksheet, in order.
  if (entriesFixed_)
    return entry < worksheets.size() ? std::optional<std::size_t>(entry) : std::nullopt;
  // The worksheet read or recovered from the BOF the entry points at is the entry's own.
  for (std::size_t i = 0; i < worksheets.size(); ++i) {
    if (worksheets[i].sourcePosition_ == entries[entry].position_) return i;
  }
  // Else the entry's place among the worksheet entries: chart and macro sheets have
  // entries but no worksheet.
  std::size_t place = 0;
  for (std::size_t k = 0; k < entry; ++k) place += entries[k].type_ == kWorksheetEntry ? 1 : 0;
  if (entries[entry].type_ != kWorksheetEntry || place >= worksheets.size()) return std::nullopt;
  return place;
}

const WorksheetView* XlsDocument::GetWorksheetView(std::string_view name) const {
  const auto& entries = model_.workbook_.sheets_;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    // Names in any script compare as UTF-8, exactly as stored: sheet names are
    // case-sensitive here, whatever the spreadsheet program makes of them.
    if (entries[i].name_.ToUtf8() != name) continue;
    const auto sheet = WorksheetOfEntry(i);
    return sheet && *sheet < sheetViews_.size() ? &sheetViews_[*sheet] : nullptr;
  }
  return nullptr;
}

std::optional<std::string> XlsDocument::GetSheetName(std::size_t index) const {
  try {
    const auto& entries = model_.workbook_.sheets_;
    if (index >= entries.size()) return std::nullopt;
    return entries[index].name_.ToUtf8();
  } catch (const std::exception&) {
    // A name that cannot be given (out of memory) is no name; the caller shows none.
    return std::nullopt;
  }
}

std::vector<std::string> XlsDocument::SourceSheetNames() const {
  const auto& entries = model_.workbook_.sheets_;
  const auto& worksheets = model_.worksheets_;
  std::vector<std::string> names(worksheets.size());
  std::vector<bool> named(worksheets.size(), false);
  // The worksheet recovered from the BOF an entry points at is the entry's own; the others
  // take the worksheet entries left, in order, as WorksheetOfEntry pairs them.
  std::unordered_map<std::uint32_t, std::size_t> bySource;
  bySource.reserve(worksheets.size());
  for (std::size_t i = 0; i < worksheets.size(); ++i) {
    bySource.try_emplace(worksheets[i].sourcePosition_, i);
  }
  std::size_t place = 0;
  for (const Workbook::BoundSheet& entry : entries) {
    std::optional<std::size_t> sheet;
    if (const auto found = bySource.find(entry.position_); found != bySource.end()) {
      sheet = found->second;
    } else if (entry.type_ == kWorksheetEntry && place < worksheets.size()) {
      sheet = place;
    }
    if (entry.type_ == kWorksheetEntry) ++place;
    if (!sheet || named[*sheet]) continue;
    named[*sheet] = true;
    try {
      names[*sheet] = entry.name_.ToUtf8();
    } catch (const std::exception&) {
      // A name that cannot be given (out of memory) is no name.
    }
  }
  return names;
}

}  // namespace tabulix
