// The views of the preview and the workbook-level lookups that name and find sheets.

#include <exception>

#include "recovery/xls_document.hpp"

namespace tabulix {

void XlsDocument::UpdateSheetViews() {
  sheetViews_.clear();
  sheetViews_.reserve(worksheets_.size());
  for (std::size_t i = 0; i < worksheets_.size(); ++i) {
    // The worksheet list never outgrows a 16-bit sheet index, so the index fits.
    sheetViews_.emplace_back(workbook_, worksheets_[i], static_cast<std::uint32_t>(i));
  }
}

const WorksheetView* XlsDocument::GetWorksheetView(std::string_view name) const {
  const auto& entries = workbook_.sheets_;
  for (std::size_t i = 0; i < entries.size() && i < sheetViews_.size(); ++i) {
    // Names in any script compare as UTF-8, exactly as stored: sheet names are
    // case-sensitive here, whatever the spreadsheet program makes of them.
    if (entries[i].name_.ToUtf8() == name) return &sheetViews_[i];
  }
  return nullptr;
}

std::optional<std::string> XlsDocument::GetSheetName(std::size_t index) const {
  try {
    if (index >= workbook_.sheets_.size()) return std::nullopt;
    return workbook_.sheets_[index].name_.ToUtf8();
  } catch (const std::exception&) {
    // A name that cannot be given (out of memory) is no name; the caller shows none.
    return std::nullopt;
  }
}

}  // namespace tabulix
