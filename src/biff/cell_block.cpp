#include "biff/cell_block.hpp"

#include "base/little_endian.hpp"
#include "base/log.hpp"

namespace tabulix::cells {

namespace {

constexpr std::string_view kReadError = "Error reading CellBlock Record";
constexpr std::string_view kWriteError = "Error writing CellBlock Record";

struct HeldRecord {
  Record* operator()(std::monostate&) const { return nullptr; }
  template <class T>
  Record* operator()(Boxed<T>& box) const {
    return box.get();
  }
  template <class T>
  Record* operator()(T& record) const {
    return &record;
  }
};

}  // namespace

bool IsCellCode(std::uint16_t code) {
  switch (code) {
    case Formula::kCode:
    case Formula::kBiff3Code:
    case Formula::kBiff4Code:
    case MulRK::kCode:
    case MulBlank::kCode:
    case LabelSST::kCode:
    case Blank::kCode:
    case Number::kCode:
    case Label::kCode:
    case BoolErr::kCode:
    case RK::kCode:
    case Label::kRichCode:
      return true;
    default:
      return false;
  }
}

Record* CellBlock::Held() { return std::visit(HeldRecord{}, cell_); }

const Record* CellBlock::Held() const { return const_cast<CellBlock*>(this)->Held(); }

void CellBlock::Reset() {
  cell_.emplace<std::monostate>();
  type_ = 0;
}

std::uint32_t CellBlock::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  std::uint16_t code = 0;
  if (!LittleEndian::Read(stream, code, pos) || !IsCellCode(code)) {
    WriteLog(0, 0, kReadError, true);
    Reset();
    return 0;
  }
  Record* record = nullptr;
  switch (code) {
    case Formula::kCode:
    case Formula::kBiff3Code:
    case Formula::kBiff4Code:
      record = &cell_.emplace<Boxed<Formula>>(Formula()).Get();
      break;
    case MulRK::kCode:
      record = &cell_.emplace<MulRK>();
      break;
    case MulBlank::kCode:
      record = &cell_.emplace<MulBlank>();
      break;
    case LabelSST::kCode:
      record = &cell_.emplace<LabelSST>();
      break;
    case Blank::kCode:
      record = &cell_.emplace<Blank>();
      break;
    case Number::kCode:
      record = &cell_.emplace<Number>();
      break;
    case BoolErr::kCode:
      record = &cell_.emplace<BoolErr>();
      break;
    case RK::kCode:
      record = &cell_.emplace<RK>();
      break;
    default:  // LABEL and RSTRING
      record = &cell_.emplace<Boxed<Label>>(Label()).Get();
      break;
  }
  const std::uint32_t consumed = record->Read(stream, pos);
  if (consumed == 0) {
    // The record's own read has logged why; nothing half-read is kept.
    Reset();
    return 0;
  }
  type_ = record->code_;
  return consumed;
}

std::uint32_t CellBlock::Write(std::span<std::uint8_t> out, std::size_t pos) {
  Record* record = Held();
  if (record == nullptr) return 0;
  const std::uint32_t written = record->Write(out, pos);
  if (written == 0) WriteLog(0, 0, kWriteError, true);
  return written;
}

std::uint32_t CellBlock::DataSize() {
  Record* record = Held();
  return record != nullptr ? record->DataSize() : 0;
}

std::uint32_t CellBlock::RecordSize() {
  Record* record = Held();
  return record != nullptr ? record->RecordSize() : 0;
}

std::uint16_t* CellBlock::XfField() {
  return std::visit(
      [](auto& cell) -> std::uint16_t* {
        using T = std::decay_t<decltype(cell)>;
        if constexpr (std::is_same_v<T, std::monostate> || std::is_same_v<T, MulRK> ||
                      std::is_same_v<T, MulBlank>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, Boxed<Label>> || std::is_same_v<T, Boxed<Formula>>) {
          return cell ? &cell->xf_ : nullptr;
        } else {
          return &cell.xf_;
        }
      },
      cell_);
}

std::uint16_t CellBlock::Row() const {
  return std::visit(
      [](const auto& cell) -> std::uint16_t {
        using T = std::decay_t<decltype(cell)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return 0;
        } else if constexpr (std::is_same_v<T, Boxed<Label>> || std::is_same_v<T, Boxed<Formula>>) {
          return cell ? cell->row_ : 0;
        } else {
          return cell.row_;
        }
      },
      cell_);
}

std::uint16_t CellBlock::Column() const {
  return std::visit(
      [](const auto& cell) -> std::uint16_t {
        using T = std::decay_t<decltype(cell)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return 0;
        } else if constexpr (std::is_same_v<T, Boxed<Label>> || std::is_same_v<T, Boxed<Formula>>) {
          return cell ? cell->column_ : 0;
        } else {
          return cell.column_;
        }
      },
      cell_);
}

// A sheet may hold a million cells, and touching fresh memory is most of what reading one
// costs. The record base takes 56 bytes; the biggest kinds held in place (MULRK, MULBLANK)
// take 72, and the variant's tag and type_ fit beside them in 80.
static_assert(sizeof(CellBlock) <= 80, "a cell must stay small");

}  // namespace tabulix::cells
