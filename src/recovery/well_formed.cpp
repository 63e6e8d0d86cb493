// The pass that makes the recovered model well-formed before it is shown and saved. It
// runs once, over the globals first (the cells need to know which strings, formats and
// records exist), then over each worksheet's cells, rows and ranges.

#include "recovery/well_formed.hpp"

#include <algorithm>
#include <array>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "base/log.hpp"
#include "biff/cell_block.hpp"
#include "biff/cell_text.hpp"
#include "biff/formula_records.hpp"
#include "biff/formula_tokens.hpp"
#include "biff/row_block.hpp"
#include "biff/text_encoding.hpp"

namespace tabulix {

namespace {

using cells::Blank;
using cells::BoolErr;
using cells::CellBlock;
using cells::Formula;
using cells::Label;
using cells::LabelSST;
using cells::MulBlank;
using cells::MulRK;
using cells::Number;
using cells::RK;
using cells::Row;
using cells::RowBlock;

constexpr std::uint32_t kLastColumn = 255;
constexpr char16_t kReplacement = 0xFFFD;
// A LABEL holds at most this many characters; a longer text goes to the shared strings,
// whose records carry it on in CONTINUE records the way readers expect.
constexpr std::size_t kMaxLabelChars = 255;
// A formula's text result longer than this is cut when it has to be written anew: one
// STRING record holds it then, with no CONTINUE to get wrong.
constexpr std::size_t kMaxResultChars = 4000;
// Options of a ROW record made for cells that had none: the bit the format wants set.
constexpr std::uint32_t kNewRowOptions = 0x100;
// Error codes a BOOLERR may hold: #NULL!, #DIV/0!, #VALUE!, #REF!, #NAME?, #NUM!, #N/A.
constexpr std::array<std::uint8_t, 7> kErrorCodes = {0x00, 0x07, 0x0F, 0x17, 0x1D, 0x24, 0x2A};
constexpr std::uint8_t kNotAvailable = 0x2A;

// A record of fixed fields read with another length (a writer's quirk, or damage) would
// be written back with it: the saved record has its own length, the fields as read.
template <class T>
void FixSize(T& record) {
  if (record.dataSize_ == T::kDataSize) return;
  record.data_.clear();
  record.continueIndices_.clear();
  record.dataSize_ = T::kDataSize;
  record.recordSize_ = T::kDataSize + 4;
}

template <class Text>
bool RepairText(Text& text) {
  return text.IsWide() && RepairUtf16(text.wide_);
}

// The shared string table as the cells see it: lost strings and indexes past the end are
// answered with placeholders, and texts that move into the table (long labels, formula
// results saved as values) are added once each.
class SharedStrings {
 public:
  explicit SharedStrings(Workbook::SST& sst) : sst_(sst), readCount_(sst.strings_.size()) {}

  // Marks the strings the damage destroyed with their placeholders. Returns how many.
  std::size_t MarkLost() {
    std::size_t lost = 0;
    for (std::size_t i = 0; i < readCount_; ++i) {
      if (!sst_.IsLost(i)) continue;
      sst_.strings_[i].Assign(LostTextPlaceholder(static_cast<std::uint32_t>(i)));
      ++lost;
    }
    return lost;
  }

  // The index a LABELSST naming `index` is saved with; `lost` when its text is gone.
  std::uint32_t Resolve(std::uint32_t index, bool& lost) {
    lost = index >= readCount_ || sst_.IsLost(index);
    if (index < readCount_) return index;
    return Add(LostTextPlaceholder(index));
  }

  std::uint32_t Add(const std::string& utf8) {
    const auto found = added_.find(utf8);
    if (found != added_.end()) return found->second;
    const auto index = static_cast<std::uint32_t>(sst_.strings_.size());
    sst_.strings_.emplace_back().Assign(utf8);
    added_.emplace(utf8, index);
    return index;
  }

  std::uint32_t Add(const LargeString& text) {
    const auto index = static_cast<std::uint32_t>(sst_.strings_.size());
    sst_.strings_.push_back(text);
    return index;
  }

  void CountReference() { ++references_; }

  // The table's counts agree with what it holds and with the cells that name it.
  void Finish() {
    sst_.unique_ = static_cast<std::uint32_t>(sst_.strings_.size());
    sst_.total_ =
        static_cast<std::uint32_t>(std::max<std::size_t>(references_, sst_.strings_.size()));
  }

 private:
  Workbook::SST& sst_;
  const std::size_t readCount_;
  std::unordered_map<std::string, std::uint32_t> added_;
  std::size_t references_ = 0;
};

// ---- the globals ----

bool ValidUnderline(std::uint8_t underline) {
  return underline <= 2 || underline == 0x21 || underline == 0x22;
}

bool ValidCharset(std::uint8_t charset) {
  static constexpr std::array<std::uint8_t, 19> kCharsets = {
      0, 1, 2, 77, 128, 129, 130, 134, 136, 161, 162, 163, 177, 178, 186, 204, 222, 238, 255};
  return std::find(kCharsets.begin(), kCharsets.end(), charset) != kCharsets.end();
}

// A colour index names a palette entry (0 to 63), a system colour, or the automatic one.
bool ValidColour(std::uint16_t colour) {
  return colour <= 0x41 || (colour >= 0x4D && colour <= 0x51) || colour == 0x7FFF;
}

// Font fields a damaged record can carry that no reader knows: the defaults take their
// place, as a reader would assume.
void MendFont(Workbook::Font& font) {
  if (font.escapement_ > 2) font.escapement_ = 0;
  if (!ValidUnderline(font.underline_)) font.underline_ = 0;
  if (font.family_ > 5) font.family_ = 0;
  if (!ValidCharset(font.charset_)) font.charset_ = 0;
  if (!ValidColour(font.colour_)) font.colour_ = 0x7FFF;
  if (font.weight_ < 100 || font.weight_ > 1000) font.weight_ = 400;
  if (font.height_ < 20 || font.height_ > 8191) font.height_ = 200;
}

constexpr std::uint16_t kStyleXfBit = 0x0004;
constexpr std::uint16_t kNoParent = 0x0FFF;

void MendXfLines(Workbook::XF& xf);

// Vertical alignments a reader knows: top, centre, bottom, justified, distributed.
constexpr std::uint8_t kLastVertical = 4;
constexpr std::uint8_t kBottom = 2;

// A cell format inherits from a style format; a style format from none. XF 0 is the
// Normal style every workbook has: when the damage made a cell format of it, it is made
// the style again, so that every cell format has a parent to name.
void MendXfs(std::vector<Workbook::XF>& xfs) {
  const std::size_t count = xfs.size();
  auto isStyle = [](const Workbook::XF& xf) { return (xf.typeProtection_ & kStyleXfBit) != 0; };
  if (count > 0 && !isStyle(xfs[0])) {
    xfs[0].typeProtection_ = static_cast<std::uint16_t>((xfs[0].typeProtection_ & 0x0003) |
                                                        kStyleXfBit | (kNoParent << 4));
  }
  for (Workbook::XF& xf : xfs) {
    const std::uint16_t low = xf.typeProtection_ & 0x000F;
    const std::uint16_t parent = xf.typeProtection_ >> 4;
    if (isStyle(xf)) {
      if (parent != kNoParent)
        xf.typeProtection_ = static_cast<std::uint16_t>(low | (kNoParent << 4));
    } else if (parent >= count || !isStyle(xfs[parent])) {
      xf.typeProtection_ = low;  // parent 0: the Normal style
    }
    const std::uint8_t vertical = (xf.alignment_ >> 4) & 0x07;
    if (vertical > kLastVertical)
      xf.alignment_ = static_cast<std::uint8_t>((xf.alignment_ & 0x8F) | (kBottom << 4));
    MendXfLines(xf);
  }
}

// Sets the `width`-bit field at `shift` of `word` to `value` when it holds more than `last`.
template <class Word>
void Cap(Word& word, unsigned shift, unsigned width, unsigned last, unsigned value) {
  const Word mask = static_cast<Word>(((1u << width) - 1u) << shift);
  if (static_cast<unsigned>((word & mask) >> shift) > last)
    word = static_cast<Word>((word & ~mask) | (static_cast<Word>(value) << shift));
}

// Border styles, colour indexes and fill patterns no reader knows, from damaged XF bytes:
// no border, the automatic colour, no pattern.
void MendXfLines(Workbook::XF& xf) {
  constexpr unsigned kLastLineStyle = 13;
  constexpr unsigned kLastColour = 65;  // the palette's 56, the system's two
  constexpr unsigned kAutomatic = 64;
  constexpr unsigned kLastPattern = 18;
  for (const unsigned shift : {0u, 4u, 8u, 12u}) Cap(xf.borderLines_, shift, 4, kLastLineStyle, 0);
  Cap(xf.borderLines_, 16, 7, kLastColour, kAutomatic);    // left
  Cap(xf.borderLines_, 23, 7, kLastColour, kAutomatic);    // right
  Cap(xf.borderColours_, 0, 7, kLastColour, kAutomatic);   // top
  Cap(xf.borderColours_, 7, 7, kLastColour, kAutomatic);   // bottom
  Cap(xf.borderColours_, 14, 7, kLastColour, kAutomatic);  // diagonal
  Cap(xf.borderColours_, 21, 4, kLastLineStyle, 0);        // diagonal style
  Cap(xf.borderColours_, 26, 6, kLastPattern, 0);
  Cap(xf.fillColours_, 0, 7, kLastColour, kAutomatic);  // pattern
  Cap(xf.fillColours_, 7, 7, kLastColour, kAutomatic);  // background
}

// The user name is saved in the long form readers of this format expect (the short one is
// an older version's), cut to what the record holds.
void MendWriteAccess(Workbook::WRITEACCESS& access, std::size_t& repaired) {
  using WriteAccess = Workbook::WRITEACCESS;
  if (access.dataSize_ != WriteAccess::kLongSize) {
    access.userName_.Assign(access.userNameShort_.ToUtf8());
    access.dataSize_ = WriteAccess::kLongSize;
    access.recordSize_ = WriteAccess::kLongSize + 4;
    access.data_.clear();
    access.continueIndices_.clear();
  }
  repaired += RepairText(access.userName_) ? 1 : 0;
  LargeString& name = access.userName_;
  constexpr std::size_t kRoom = WriteAccess::kLongSize - 3;
  if (name.IsWide() && name.wide_.size() * 2 > kRoom) {
    name.wide_.resize(kRoom / 2);
    RepairUtf16(name.wide_);
    ++repaired;
  } else if (!name.IsWide() && name.narrow_.size() > kRoom) {
    name.narrow_.resize(kRoom);
    ++repaired;
  }
  // A name written over bytes kept from the source leaves their tail as it was: the
  // padding is spaces.
  access.data_.clear();
}

// The globals' records of fixed fields at their own length.
void FixGlobalSizes(Workbook& globals) {
  FixSize(globals.interfaceHdr_);
  FixSize(globals.mms_);
  FixSize(globals.interfaceEnd_);
  FixSize(globals.dsf_);
  FixSize(globals.excel9File_);
  FixSize(globals.fnGroupCount_);
  FixSize(globals.windowProtect_);
  FixSize(globals.protect_);
  FixSize(globals.password_);
  FixSize(globals.prot4Rev_);
  FixSize(globals.prot4RevPass_);
  FixSize(globals.window1_);
  FixSize(globals.backup_);
  FixSize(globals.hideObj_);
  FixSize(globals.date1904_);
  FixSize(globals.precision_);
  FixSize(globals.refreshAll_);
  FixSize(globals.bookBool_);
  FixSize(globals.useSelfs_);
  FixSize(globals.country_);
  FixSize(globals.recalcId_);
  for (Workbook::XF& xf : globals.xfs_) FixSize(xf);
  // Readers take the record's first two bytes for the code page the text is in: a name
  // there, or a code page no reader knows, and they refuse the workbook.
  Workbook::CODENAME& page = globals.codeName_;
  if (page.dataSize_ != 2 || !text::KnownCodePage(page.value_)) {
    page.value_ = 1200;
    page.dataSize_ = 2;
    page.recordSize_ = 6;
    page.data_.clear();
    page.continueIndices_.clear();
  }
}

void MendGlobals(Workbook& globals, WellFormedCounts& counts) {
  FixGlobalSizes(globals);
  // A flag that is not 0 or 1 is a damaged one; readers refuse a date system they do not
  // know. Set is what any other value says.
  if (globals.date1904_.value_ > 1) globals.date1904_.value_ = 1;
  std::size_t& repaired = counts.stringsRepaired;
  for (Workbook::Font& font : globals.fonts_) {
    MendFont(font);
    repaired += RepairText(font.name_) ? 1 : 0;
  }
  for (Workbook::Format& format : globals.formats_) repaired += RepairText(format.text_) ? 1 : 0;
  MendXfs(globals.xfs_);
  for (Workbook::Style& style : globals.styles_) {
    // Bit 15 tells a built-in style; the rest names its XF.
    if ((style.xfIndex_ & 0x0FFF) >= globals.xfs_.size()) style.xfIndex_ &= 0x8000;
    repaired += RepairText(style.name_) ? 1 : 0;
  }
  for (Workbook::BoundSheet& sheet : globals.sheets_) repaired += RepairText(sheet.name_) ? 1 : 0;
  MendWriteAccess(globals.writeAccess_, repaired);
  repaired += RepairText(globals.codeName_.name_) ? 1 : 0;
  for (LargeString& text : globals.sst_.strings_) repaired += RepairText(text) ? 1 : 0;
}

// ---- the cells ----

// Where a cell ends: the column after its last.
std::uint32_t EndColumn(const CellBlock& cell) {
  if (const auto* run = cell.As<MulRK>()) return cell.Column() + run->entries().size();
  if (const auto* run = cell.As<MulBlank>()) return cell.Column() + run->xfs().size();
  return std::uint32_t{cell.Column()} + 1;
}

bool IsBlankCell(const CellBlock& cell) {
  return cell.As<Blank>() != nullptr || cell.As<MulBlank>() != nullptr;
}

template <class T>
bool ExactSize(T& record) {
  return record.dataSize_ == T::kDataSize;
}

// Blanks side by side in a row, gathered to be written as one run.
class BlankRun {
 public:
  bool Extends(const Blank& blank) const {
    return !xfs_.empty() && blank.row_ == row_ && blank.column_ == first_ + xfs_.size();
  }
  void Add(const Blank& blank) {
    if (xfs_.empty()) {
      row_ = blank.row_;
      first_ = blank.column_;
    }
    xfs_.push_back(blank.xf_);
  }
  void FlushInto(std::vector<CellBlock>& cells) {
    if (xfs_.empty()) return;
    if (xfs_.size() == 1) {
      Blank blank;
      blank.row_ = row_;
      blank.column_ = first_;
      blank.xf_ = xfs_.front();
      cells.emplace_back().Emplace(std::move(blank));
    } else {
      MulBlank run;
      run.row_ = row_;
      run.column_ = first_;
      run.SetXfs(std::move(xfs_));
      cells.emplace_back().Emplace(std::move(run));
    }
    xfs_.clear();
  }

 private:
  std::uint16_t row_ = 0;
  std::uint16_t first_ = 0;
  std::vector<std::uint16_t> xfs_;
};

class SheetPass {
 public:
  SheetPass(Worksheet& sheet, const Workbook& globals, SharedStrings& strings,
            WellFormedSheetCounts& counts, bool referencesKept)
      : sheet_(sheet),
        globals_(globals),
        strings_(strings),
        counts_(counts),
        referencesKept_(referencesKept) {}

  void Run() {
    CollectFormulaAnchors();
    for (RowBlock& block : sheet_.cellTable_.rowBlocks_) {
      std::vector<CellBlock> kept;
      kept.reserve(block.cellBlocks_.size());
      for (CellBlock& cell : block.cellBlocks_) {
        if (MendCell(cell)) kept.push_back(std::move(cell));
      }
      block.cellBlocks_ = std::move(kept);
    }
    if (!InOrder() || !BlocksFit()) Regroup();
    MendRows();
    MendDimensionsAndIndex();
    MendRanges();
    counts_.stringsRepaired += RepairText(sheet_.header_.text_) ? 1 : 0;
    counts_.stringsRepaired += RepairText(sheet_.footer_.text_) ? 1 : 0;
  }

 private:
  // False when the cell cannot be kept.
  bool MendCell(CellBlock& cell) {
    if (cell.type_ == 0) {
      ++counts_.droppedUnreadable;
      return false;
    }
    if (cell.Column() > kLastColumn) {
      ++counts_.droppedOutOfRange;
      return false;
    }
    if (auto* run = cell.As<MulRK>()) return MendRun<MulRK, RK>(cell, *run, run->entries());
    if (auto* run = cell.As<MulBlank>()) return MendRun<MulBlank, Blank>(cell, *run, run->xfs());
    if (auto* label = cell.As<Label>()) return MendLabel(cell, *label);
    if (auto* formula = cell.As<Formula>()) return MendFormula(cell, *formula);
    if (auto* text = cell.As<LabelSST>()) {
      if (!Fixed(*text)) return false;
      bool lost = false;
      text->sstIndex_ = strings_.Resolve(text->sstIndex_, lost);
      counts_.lostText += lost ? 1 : 0;
      strings_.CountReference();
      return true;
    }
    if (auto* value = cell.As<BoolErr>()) {
      if (!Fixed(*value)) return false;
      if (value->error_ > 1) value->error_ = 1;
      if (value->error_ == 0 && value->value_ > 1) value->value_ = 1;
      if (value->error_ == 1 &&
          std::find(kErrorCodes.begin(), kErrorCodes.end(), value->value_) == kErrorCodes.end())
        value->value_ = kNotAvailable;
      return true;
    }
    if (auto* value = cell.As<Number>()) return Fixed(*value);
    if (auto* value = cell.As<RK>()) return Fixed(*value);
    if (auto* value = cell.As<Blank>()) return Fixed(*value);
    ++counts_.droppedUnreadable;
    return false;
  }

  // A record too short for its value holds none; one too long loses its extra bytes.
  template <class T>
  bool Fixed(T& record) {
    if (ExactSize(record)) return true;
    if (record.dataSize_ < T::kDataSize) {
      ++counts_.droppedUnreadable;
      return false;
    }
    FixSize(record);
    return true;
  }

  // A run is written from the entries it holds, within the grid; a run of one is the
  // single-cell record.
  template <class Run, class Single, class Entry>
  bool MendRun(CellBlock& cell, Run& run, std::span<const Entry> held) {
    std::vector<Entry> entries(held.begin(), held.end());
    const std::size_t room = kLastColumn + 1 - run.column_;
    if (entries.size() > room) {
      std::size_t beyond = entries.size() - room;
      if constexpr (std::is_same_v<Run, MulRK>) {
        counts_.droppedOutOfRange += beyond;
      }
      entries.resize(room);
    }
    if (entries.empty()) {
      ++counts_.droppedUnreadable;
      return false;
    }
    if (entries.size() == 1) {
      Single single;
      single.row_ = run.row_;
      single.column_ = run.column_;
      if constexpr (std::is_same_v<Run, MulRK>) {
        single.xf_ = entries.front().xf_;
        single.rk_ = entries.front().rk_;
      } else {
        single.xf_ = entries.front();
      }
      cell.Emplace(std::move(single));
      return true;
    }
    const bool changed = run.AsRead() || entries.size() != held.size() ||
                         run.lastColumn_ != run.column_ + entries.size() - 1;
    if (changed) {
      if constexpr (std::is_same_v<Run, MulRK>) {
        run.SetEntries(std::move(entries));
      } else {
        run.SetXfs(std::move(entries));
      }
    }
    return true;
  }

  bool MendLabel(CellBlock& cell, Label& label) {
    if (label.dataSize_ < Label::kFixedBytes) {
      ++counts_.droppedUnreadable;
      return false;
    }
    counts_.stringsRepaired += RepairText(label.text_) ? 1 : 0;
    const std::size_t chars =
        label.text_.IsWide() ? label.text_.wide_.size() : label.text_.narrow_.size();
    if (chars <= kMaxLabelChars) return true;
    // Too long for a LABEL: the shared strings carry it.
    LabelSST shared;
    shared.row_ = label.row_;
    shared.column_ = label.column_;
    shared.xf_ = label.xf_;
    shared.sstIndex_ = strings_.Add(label.text_);
    strings_.CountReference();
    cell.Emplace(std::move(shared));
    return true;
  }

  // ---- formulas ----

  // A shared formula, an array or a table is written behind the first formula of its
  // range; the formulas inside the range point at that cell. Only an anchor whose own
  // formula and companion are whole can serve them.
  void CollectFormulaAnchors() {
    for (RowBlock& block : sheet_.cellTable_.rowBlocks_) {
      for (CellBlock& cell : block.cellBlocks_) {
        Formula* formula = cell.As<Formula>();
        if (formula == nullptr || formula->kind_ == 0) continue;
        const cells::CellRange* range = CompanionRange(*formula);
        if (range == nullptr || !CompanionSound(*formula)) continue;
        // The anchor's own tokens point at itself.
        const cells::FormulaTokenCheck check = cells::CheckFormulaTokens(*formula);
        if (!Usable(check) || !(check.isExp || check.isTable) || check.expRow != formula->row_ ||
            check.expColumn != formula->column_)
          continue;
        anchors_.emplace(Key(formula->row_, formula->column_), *range);
      }
    }
  }

  static std::uint32_t Key(std::uint16_t row, std::uint16_t column) {
    return (std::uint32_t{row} << 16) | column;
  }

  static const cells::CellRange* CompanionRange(const Formula& formula) {
    switch (formula.kind_) {
      case cells::Array::kCode:
        return &formula.array_;
      case cells::ShrFmla::kCode:
        return &formula.shrFmla_;
      case cells::ShrFmla1::kCode:
        return &formula.shrFmla1_;
      case cells::Table::kCode:
      case cells::Table::kBiff8Code:
        return &formula.table_;
      default:
        return nullptr;
    }
  }

  bool CompanionSound(const Formula& formula) const {
    const cells::CellRange* range = CompanionRange(formula);
    if (range == nullptr) return false;
    // Its fixed fields and formula bytes within one record (see MendFormula).
    const cells::FormulaPart* part = &formula.table_;
    if (formula.kind_ == cells::Array::kCode) part = &formula.array_;
    if (formula.kind_ == cells::ShrFmla::kCode) part = &formula.shrFmla_;
    if (formula.kind_ == cells::ShrFmla1::kCode) part = &formula.shrFmla1_;
    constexpr std::size_t kLargestFixedPart = 16;
    if (part->formula_.size() > kMaxRecordData - kLargestFixedPart) return false;
    if (range->firstRow_ > range->lastRow_ || range->firstColumn_ > range->lastColumn_)
      return false;
    if (formula.row_ < range->firstRow_ || formula.row_ > range->lastRow_ ||
        formula.column_ < range->firstColumn_ || formula.column_ > range->lastColumn_)
      return false;
    switch (formula.kind_) {
      case cells::Array::kCode:
        return !formula.array_.asRead_ && Usable(cells::CheckFormulaTokens(formula.array_));
      case cells::ShrFmla::kCode:
        return !formula.shrFmla_.asRead_ && Usable(cells::CheckFormulaTokens(formula.shrFmla_));
      case cells::ShrFmla1::kCode:
        return !formula.shrFmla1_.asRead_ && Usable(cells::CheckFormulaTokens(formula.shrFmla1_));
      default:
        return !formula.table_.asRead_;
    }
  }

  // Tokens the saved workbook can hold: they parse, and they name no defined name or
  // other sheet unless the saved workbook keeps the globals' names and references.
  bool Usable(const cells::FormulaTokenCheck& check) const {
    return check.sound && (referencesKept_ || (!check.needsNames && !check.needsExternSheet));
  }

  bool MendFormula(CellBlock& cell, Formula& formula) {
    if (formula.asRead_) {
      ++counts_.droppedUnreadable;
      return false;
    }
    const cells::FormulaTokenCheck check = cells::CheckFormulaTokens(formula);
    // A record read longer than a record may be (a damaged length) would be written in
    // pieces that no reader joins for a formula.
    bool whole = Usable(check) && Formula::kFixedBytes + formula.formula_.size() <= kMaxRecordData;
    if (whole && (check.isExp || check.isTable)) {
      // Its anchor must stand at the cell it names, with a range that takes this cell in.
      const auto anchor = anchors_.find(Key(check.expRow, check.expColumn));
      whole = anchor != anchors_.end() && formula.row_ >= anchor->second.firstRow_ &&
              formula.row_ <= anchor->second.lastRow_ &&
              formula.column_ >= anchor->second.firstColumn_ &&
              formula.column_ <= anchor->second.lastColumn_;
    }
    // A companion behind a formula that is not its anchor would stand alone in the saved
    // sheet; one whose range or tokens are broken serves nobody.
    if (whole && formula.kind_ != 0 &&
        !((check.isExp || check.isTable) && check.expRow == formula.row_ &&
          check.expColumn == formula.column_ &&
          anchors_.contains(Key(formula.row_, formula.column_)))) {
      formula.kind_ = 0;
    }
    if (!whole) return SaveAsValue(cell, formula);
    // Some writers keep an older version's code for FORMULA; readers of this format expect
    // its own.
    formula.code_ = Formula::kCode;
    cell.type_ = Formula::kCode;

    switch (formula.resultKind()) {
      case Formula::ResultKind::String:
        MendResultText(formula);
        break;
      case Formula::ResultKind::Number:
      case Formula::ResultKind::Boolean:
      case Formula::ResultKind::Error:
      case Formula::ResultKind::EmptyString:
        // Only a text result has a STRING behind it.
        formula.hasString_ = false;
        break;
      case Formula::ResultKind::Other:
        // A result of no known kind: an empty text is the harmless reading.
        formula.result_ = 0xFFFF000000000003ULL;
        formula.hasString_ = false;
        break;
    }
    return true;
  }

  // A formula with a text result keeps exactly one STRING behind it, whole and valid; a
  // STRING that is gone leaves a placeholder as the last value, until the next
  // recalculation gives the true one.
  void MendResultText(Formula& formula) {
    cells::String& string = formula.string_;
    if (!formula.hasString_) {
      string.SetText(kLostFormulaText);
      formula.hasString_ = true;
      ++counts_.lostText;
      return;
    }
    LargeString text;
    std::size_t end = 0;
    const bool sound =
        cells::ReadPiecedString(string.data_, 0, string.continueIndices_, text, end) &&
        end == string.data_.size();
    const bool repaired = RepairText(text);
    if (sound && !repaired) return;
    std::string utf8 = text.ToUtf8();
    std::u16string wide = text::Utf8ToUtf16(utf8);
    if (wide.size() > kMaxResultChars) {
      wide.resize(kMaxResultChars);
      RepairUtf16(wide);
      utf8 = text::Utf16ToUtf8(wide);
    }
    string.SetText(utf8);
    ++counts_.stringsRepaired;
  }

  // The formula goes; the value it last had stays, with the cell's format.
  bool SaveAsValue(CellBlock& cell, Formula& formula) {
    ++counts_.formulasAsValues;
    const std::uint16_t row = formula.row_;
    const std::uint16_t column = formula.column_;
    const std::uint16_t xf = formula.xf_;
    auto place = [&](auto& record) {
      record.row_ = row;
      record.column_ = column;
      record.xf_ = xf;
    };
    switch (formula.resultKind()) {
      case Formula::ResultKind::Number: {
        Number number;
        place(number);
        number.bits_ = formula.result_;
        cell.Emplace(std::move(number));
        return true;
      }
      case Formula::ResultKind::Boolean:
      case Formula::ResultKind::Error: {
        BoolErr value;
        place(value);
        const bool error = formula.resultKind() == Formula::ResultKind::Error;
        value.error_ = error ? 1 : 0;
        value.value_ = error ? formula.resultError() : (formula.resultBoolean() ? 1 : 0);
        if (error &&
            std::find(kErrorCodes.begin(), kErrorCodes.end(), value.value_) == kErrorCodes.end())
          value.value_ = kNotAvailable;
        cell.Emplace(std::move(value));
        return true;
      }
      case Formula::ResultKind::String: {
        LabelSST text;
        place(text);
        std::string utf8;
        bool lost = true;
        if (formula.hasString_) {
          LargeString held;
          std::size_t end = 0;
          lost = !cells::ReadPiecedString(formula.string_.data_, 0,
                                          formula.string_.continueIndices_, held, end);
          RepairText(held);
          if (!lost) text.sstIndex_ = strings_.Add(held);
        }
        if (lost) {
          text.sstIndex_ = strings_.Add(std::string(kLostFormulaText));
          ++counts_.lostText;
        }
        strings_.CountReference();
        cell.Emplace(std::move(text));
        return true;
      }
      case Formula::ResultKind::EmptyString: {
        // An empty text is still text to a reader.
        LabelSST text;
        place(text);
        text.sstIndex_ = strings_.Add(std::string());
        strings_.CountReference();
        cell.Emplace(std::move(text));
        return true;
      }
      case Formula::ResultKind::Other: {
        Blank blank;
        place(blank);
        cell.Emplace(std::move(blank));
        return true;
      }
    }
    return true;
  }

  // ---- order, rows and ranges ----

  // Every cell after the one before it, in row order and within a row in column order, no
  // two on one place; a row block's cells come after the block before it.
  bool InOrder() const {
    std::uint32_t row = 0;
    std::uint32_t end = 0;  // the column after the last cell of `row`
    bool first = true;
    for (const RowBlock& block : sheet_.cellTable_.rowBlocks_) {
      for (const CellBlock& cell : block.cellBlocks_) {
        const std::uint32_t r = cell.Row();
        if (!first && (r < row || (r == row && cell.Column() < end))) return false;
        first = false;
        row = r;
        end = EndColumn(cell);
      }
    }
    return true;
  }

  // No block spans more than 32 rows: its DBCELL holds one offset per row, and readers
  // expect the blocks Excel writes. A writer that put every cell in one block leaves one
  // of thousands of rows.
  bool BlocksFit() const {
    std::set<std::uint32_t> groups;
    for (const RowBlock& block : sheet_.cellTable_.rowBlocks_) {
      std::uint32_t low = 0xFFFF;
      std::uint32_t high = 0;
      for (const CellBlock& cell : block.cellBlocks_) {
        low = std::min<std::uint32_t>(low, cell.Row());
        high = std::max<std::uint32_t>(high, cell.Row());
      }
      for (const Row& row : block.rows_) {
        low = std::min<std::uint32_t>(low, row.row_);
        high = std::max<std::uint32_t>(high, row.row_);
      }
      if (low > high) continue;
      if (low / 32 != high / 32) return false;
      // One block per group: a ROW in one block and its cells in another would not agree.
      if (!groups.insert(low / 32).second) return false;
    }
    return true;
  }

  // Puts the cells in order: by row and column, the first cell of a place kept (a value
  // before a blank laid over it), in blocks of 32 rows with their ROW records.
  void Regroup() {
    std::vector<CellBlock> all;
    std::map<std::uint16_t, Row> rows;
    for (RowBlock& block : sheet_.cellTable_.rowBlocks_) {
      for (CellBlock& cell : block.cellBlocks_) {
        // Some writers lay a blank run over a row and write values into it: the run is
        // taken apart, so that a value wins its place and the blanks keep the others.
        if (const MulBlank* run = cell.As<MulBlank>()) {
          const std::span<const std::uint16_t> xfs = run->xfs();
          for (std::size_t i = 0; i < xfs.size(); ++i) {
            Blank blank;
            blank.row_ = run->row_;
            blank.column_ = static_cast<std::uint16_t>(run->column_ + i);
            blank.xf_ = xfs[i];
            all.emplace_back().Emplace(std::move(blank));
          }
          continue;
        }
        all.push_back(std::move(cell));
      }
      for (Row& row : block.rows_) rows.try_emplace(row.row_, row);
    }
    std::stable_sort(all.begin(), all.end(), [](const CellBlock& a, const CellBlock& b) {
      if (a.Row() != b.Row()) return a.Row() < b.Row();
      if (a.Column() != b.Column()) return a.Column() < b.Column();
      return !IsBlankCell(a) && IsBlankCell(b);
    });
    std::vector<RowBlock> blocks;
    BlankRun blanks;
    std::uint32_t lastRow = 0;
    std::uint32_t end = 0;
    bool any = false;
    for (CellBlock& cell : all) {
      const std::uint32_t r = cell.Row();
      if (any && r == lastRow && cell.Column() < end) {
        // A blank under a value is the writer's, not a lost cell.
        if (!IsBlankCell(cell)) ++counts_.droppedUnreadable;
        continue;
      }
      if (blocks.empty() || r / 32 != lastRow / 32) {
        if (!blocks.empty()) blanks.FlushInto(blocks.back().cellBlocks_);
        blocks.emplace_back();
      }
      any = true;
      lastRow = r;
      end = EndColumn(cell);
      // Neighbouring blanks of a row become one run again.
      if (const Blank* blank = cell.As<Blank>()) {
        if (!blanks.Extends(*blank)) blanks.FlushInto(blocks.back().cellBlocks_);
        blanks.Add(*blank);
        continue;
      }
      blanks.FlushInto(blocks.back().cellBlocks_);
      blocks.back().cellBlocks_.push_back(std::move(cell));
    }
    if (!blocks.empty()) blanks.FlushInto(blocks.back().cellBlocks_);
    // ROW records stay with the block of their row; rows with no cell (kept for their
    // height or format) join the block their row falls in, or one of their own.
    std::map<std::uint32_t, std::size_t> blockOf;
    for (std::size_t b = 0; b < blocks.size(); ++b)
      blockOf.emplace(blocks[b].cellBlocks_.front().Row() / 32, b);
    std::vector<RowBlock> rowOnly;
    for (auto& [number, row] : rows) {
      const auto found = blockOf.find(number / 32u);
      if (found != blockOf.end()) {
        blocks[found->second].rows_.push_back(row);
      } else {
        if (rowOnly.empty() || rowOnly.back().rows_.back().row_ / 32 != number / 32)
          rowOnly.emplace_back();
        rowOnly.back().rows_.push_back(row);
      }
    }
    for (RowBlock& block : rowOnly) blocks.push_back(std::move(block));
    std::stable_sort(blocks.begin(), blocks.end(), [](const RowBlock& a, const RowBlock& b) {
      auto first = [](const RowBlock& block) {
        std::uint32_t r = 0x10000;
        if (!block.cellBlocks_.empty()) r = block.cellBlocks_.front().Row();
        if (!block.rows_.empty()) r = std::min<std::uint32_t>(r, block.rows_.front().row_);
        return r;
      };
      return first(a) < first(b);
    });
    sheet_.cellTable_.rowBlocks_ = std::move(blocks);
  }

  // Every row with cells has one ROW record in its block, whose columns take its cells in;
  // ROW records stand in row order, one per row, with a sound length.
  void MendRows() {
    for (RowBlock& block : sheet_.cellTable_.rowBlocks_) {
      std::map<std::uint16_t, Row> rows;
      for (Row& row : block.rows_) {
        Row fresh;  // the fields kept, the length the record's own
        fresh.row_ = row.row_;
        fresh.firstColumn_ = row.firstColumn_;
        fresh.lastColumn_ = row.lastColumn_;
        fresh.height_ = row.height_;
        fresh.reserved1_ = row.reserved1_;
        fresh.reserved2_ = row.reserved2_;
        fresh.options_ = row.options_;
        if (fresh.lastColumn_ > kLastColumn + 1) fresh.lastColumn_ = kLastColumn + 1;
        // A row format (bit 7, with its XF in bits 16 to 27) must name an XF record.
        if (((fresh.options_ >> 16) & 0x0FFF) >= globals_.xfs_.size())
          fresh.options_ &= ~(0x0FFF0000u | 0x80u);
        if (fresh.firstColumn_ >= fresh.lastColumn_) fresh.firstColumn_ = fresh.lastColumn_ = 0;
        rows.try_emplace(fresh.row_, fresh);
      }
      std::map<std::uint16_t, std::pair<std::uint32_t, std::uint32_t>> spans;
      for (const CellBlock& cell : block.cellBlocks_) {
        auto [it, made] = spans.try_emplace(cell.Row(), cell.Column(), EndColumn(cell));
        if (!made) {
          it->second.first = std::min<std::uint32_t>(it->second.first, cell.Column());
          it->second.second = std::max(it->second.second, EndColumn(cell));
        }
      }
      for (const auto& [number, span] : spans) {
        auto [it, made] = rows.try_emplace(number);
        Row& row = it->second;
        if (made) {
          row.row_ = number;
          row.options_ = kNewRowOptions;
          row.firstColumn_ = static_cast<std::uint16_t>(span.first);
          row.lastColumn_ = static_cast<std::uint16_t>(span.second);
          continue;
        }
        if (row.firstColumn_ >= row.lastColumn_) {
          row.firstColumn_ = static_cast<std::uint16_t>(span.first);
          row.lastColumn_ = static_cast<std::uint16_t>(span.second);
          continue;
        }
        row.firstColumn_ =
            static_cast<std::uint16_t>(std::min<std::uint32_t>(row.firstColumn_, span.first));
        row.lastColumn_ =
            static_cast<std::uint16_t>(std::max<std::uint32_t>(row.lastColumn_, span.second));
      }
      block.rows_.clear();
      for (auto& [number, row] : rows) block.rows_.push_back(row);
    }
    std::erase_if(sheet_.cellTable_.rowBlocks_, [](const RowBlock& block) {
      return block.rows_.empty() && block.cellBlocks_.empty();
    });
  }

  // DIMENSIONS spans the cells; INDEX the rows of the table.
  void MendDimensionsAndIndex() {
    std::uint32_t firstRow = 0xFFFFFFFF;
    std::uint32_t lastRow = 0;
    std::uint32_t firstColumn = 0xFFFFFFFF;
    std::uint32_t endColumn = 0;
    std::uint32_t firstTableRow = 0xFFFFFFFF;
    std::uint32_t lastTableRow = 0;
    for (const RowBlock& block : sheet_.cellTable_.rowBlocks_) {
      for (const CellBlock& cell : block.cellBlocks_) {
        firstRow = std::min<std::uint32_t>(firstRow, cell.Row());
        lastRow = std::max<std::uint32_t>(lastRow, cell.Row());
        firstColumn = std::min<std::uint32_t>(firstColumn, cell.Column());
        endColumn = std::max(endColumn, EndColumn(cell));
      }
      for (const Row& row : block.rows_) {
        firstTableRow = std::min<std::uint32_t>(firstTableRow, row.row_);
        lastTableRow = std::max<std::uint32_t>(lastTableRow, row.row_);
      }
    }
    Worksheet::Dimensions dimensions;
    // The rows take in those only a ROW record keeps (for a height or a format); the
    // columns are the cells'.
    const std::uint32_t rowsFirst = std::min(firstRow, firstTableRow);
    const std::uint32_t rowsLast = std::max(firstRow <= lastRow ? lastRow : 0,
                                            firstTableRow <= lastTableRow ? lastTableRow : 0);
    if (rowsFirst <= rowsLast) {
      dimensions.firstRow_ = rowsFirst;
      dimensions.lastRowPlus1_ = rowsLast + 1;
    }
    if (firstRow <= lastRow) {
      dimensions.firstColumn_ = static_cast<std::uint16_t>(firstColumn);
      dimensions.lastColumnPlus1_ = static_cast<std::uint16_t>(endColumn);
    }
    sheet_.dimensions_ = dimensions;
    firstTableRow = std::min(firstTableRow, firstRow);
    if (firstTableRow <= std::max(lastTableRow, lastRow)) {
      sheet_.index_.firstRow_ = firstTableRow;
      sheet_.index_.lastRow_ = std::max(lastTableRow, lastRow) + 1;
    } else {
      sheet_.index_.firstRow_ = 0;
      sheet_.index_.lastRow_ = 0;
    }
  }

  // Merged ranges, column formats and selections name cells of the grid, first before last.
  void MendRanges() {
    for (Worksheet::MergedCells& merged : sheet_.mergedCells_) {
      std::erase_if(merged.ranges_, [](const Worksheet::MergedCells::Range& range) {
        return range.firstRow_ > range.lastRow_ || range.firstColumn_ > range.lastColumn_ ||
               range.lastColumn_ > kLastColumn;
      });
    }
    std::erase_if(sheet_.mergedCells_,
                  [](const Worksheet::MergedCells& merged) { return merged.ranges_.empty(); });
    const std::size_t xfCount = globals_.xfs_.size();
    std::erase_if(sheet_.colInfos_, [](const Worksheet::ColInfo& info) {
      return info.firstColumn_ > kLastColumn || info.firstColumn_ > info.lastColumn_;
    });
    for (Worksheet::ColInfo& info : sheet_.colInfos_) {
      if (info.lastColumn_ > kLastColumn + 1) info.lastColumn_ = kLastColumn + 1;
      if (info.xf_ >= xfCount) info.xf_ = 0;
      FixSize(info);
    }
    MendSelection(sheet_.selection_);
    FixSize(sheet_.calcMode_);
    FixSize(sheet_.calcCount_);
    FixSize(sheet_.refMode_);
    FixSize(sheet_.iteration_);
    FixSize(sheet_.delta_);
    FixSize(sheet_.saveRecalc_);
    FixSize(sheet_.printHeaders_);
    FixSize(sheet_.printGridlines_);
    FixSize(sheet_.gridset_);
    FixSize(sheet_.guts_);
    FixSize(sheet_.defaultRowHeight_);
    FixSize(sheet_.wsBool_);
    FixSize(sheet_.hCenter_);
    FixSize(sheet_.vCenter_);
    FixSize(sheet_.setup_);
    FixSize(sheet_.defColWidth_);
    FixSize(sheet_.window2_);
  }

  // The selection names a cell of the grid and ranges in order; a damaged one is put back
  // to the first cell.
  static void MendSelection(Worksheet::Selection& selection) {
    bool sound = selection.activeColumn_ <= kLastColumn && selection.pane_ <= 3 &&
                 !selection.refs_.empty() && selection.activeRef_ < selection.refs_.size();
    for (const auto& ref : selection.refs_) {
      sound = sound && ref.firstRow_ <= ref.lastRow_ && ref.firstColumn_ <= ref.lastColumn_;
    }
    if (sound) return;
    const std::uint8_t pane = selection.pane_ <= 3 ? selection.pane_ : 3;
    selection.Reset();
    selection.pane_ = pane;
    selection.refs_.assign(1, {});
  }

  Worksheet& sheet_;
  const Workbook& globals_;
  SharedStrings& strings_;
  WellFormedSheetCounts& counts_;
  // The globals are saved as they stood, defined names and references to sheets with them.
  bool referencesKept_ = false;
  // Row and column of each sound anchor -> the range its companion covers.
  std::unordered_map<std::uint32_t, cells::CellRange> anchors_;
};

}  // namespace

std::string LostTextPlaceholder(std::uint32_t index) {
  return "#LOST TEXT " + std::to_string(index);
}

bool RepairUtf16(std::u16string& text) {
  bool changed = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        ++i;  // a whole pair
        continue;
      }
      text[i] = kReplacement;
      changed = true;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      text[i] = kReplacement;
      changed = true;
    }
  }
  return changed;
}

WellFormedCounts MakeWellFormed(WorkbookModel& model, bool keepReferences) {
  WellFormedCounts counts;
  Workbook& globals = model.workbook_;
  MendGlobals(globals, counts);
  SharedStrings strings(globals.sst_);
  counts.sharedStringsLost = strings.MarkLost();
  // Globals that needed mending are not saved as they stood.
  counts.referencesKept =
      keepReferences && counts.sharedStringsLost == 0 && counts.stringsRepaired == 0;
  counts.sheets.resize(model.worksheets_.size());
  for (std::size_t i = 0; i < model.worksheets_.size(); ++i) {
    SheetPass(model.worksheets_[i], globals, strings, counts.sheets[i], counts.referencesKept)
        .Run();
  }
  strings.Finish();
  std::size_t lostText = 0;
  std::size_t asValues = 0;
  std::size_t dropped = 0;
  for (const WellFormedSheetCounts& sheet : counts.sheets) {
    lostText += sheet.lostText;
    asValues += sheet.formulasAsValues;
    dropped += sheet.droppedOutOfRange + sheet.droppedUnreadable;
  }
  if (lostText + asValues + dropped + counts.sharedStringsLost + counts.stringsRepaired > 0) {
    WriteLog(0, 0,
             "Made well-formed: " + std::to_string(lostText) + " cells with lost text, " +
                 std::to_string(asValues) + " formulas saved as values, " +
                 std::to_string(dropped) + " cells dropped, " +
                 std::to_string(counts.stringsRepaired) + " strings repaired",
             false);
  }
  return counts;
}

}  // namespace tabulix
