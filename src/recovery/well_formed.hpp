#pragma once
// The last stage of a load: whatever the stages before took from damaged bytes, the model
// that is shown and saved must make a workbook every reader opens. One pass over the model
// holds it to the rules a saved workbook keeps, instead of special cases in every stage:
// every shared-string index names a string, every format reference a record, every text
// is valid UTF-16, every cell lies on the grid once and in order, the row, dimension and
// index records agree with the cells, and every formula is whole (its tokens parse, its
// companions and its text result stand behind it) or is saved as the value it last had.
//
// What it changed is counted, so that the user hears of it: a cell whose text is gone
// keeps its place and shows a placeholder that names the lost string.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "recovery/recovery_state.hpp"

namespace tabulix {

// What the pass changed on one worksheet.
struct WellFormedSheetCounts {
  // Cells whose text is gone (a shared string lost to the damage, or named past the end of
  // the table; a formula's text result without its STRING): they show a placeholder.
  std::size_t lostText = 0;
  // Formulas saved as their last value: their tokens did not parse, they need records the
  // saved workbook does not have, or their shared formula, array or table is gone.
  std::size_t formulasAsValues = 0;
  // Cells left out because they lie beyond the grid (column 255).
  std::size_t droppedOutOfRange = 0;
  // Cells left out because they could not be read (a record too short for its value) or
  // stood where another cell already was.
  std::size_t droppedUnreadable = 0;
  // Texts of the sheet's cells mended: unpaired surrogates, a formula text result cut short.
  std::size_t stringsRepaired = 0;
};

struct WellFormedCounts {
  // Shared strings the damage destroyed; each is saved as a placeholder.
  std::size_t sharedStringsLost = 0;
  // Texts of the globals mended: shared strings, sheet names, formats, fonts, styles.
  std::size_t stringsRepaired = 0;
  std::vector<WellFormedSheetCounts> sheets;  // one per worksheet, in order
  // Formulas that use defined names or other sheets were kept: the globals, which hold the
  // names and the references, are saved as they stood.
  bool referencesKept = false;
};

// The text a cell shows in place of the shared string `index` it named: "#LOST TEXT 123".
std::string LostTextPlaceholder(std::uint32_t index);
// The text a formula shows in place of a text result that is gone.
inline constexpr std::string_view kLostFormulaText = "#LOST TEXT";

// Replaces every unpaired UTF-16 surrogate of `text` with U+FFFD; true when any was.
bool RepairUtf16(std::u16string& text);

// Makes the model well-formed (see above) and says what it changed. `keepReferences`: the
// globals will be saved as they stood, with their defined names and references to sheets,
// unless the pass has to mend them.
WellFormedCounts MakeWellFormed(WorkbookModel& model, bool keepReferences = false);

}  // namespace tabulix
