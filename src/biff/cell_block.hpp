#pragma once
// One cell record of any kind. A worksheet may hold a million cells, so a CellBlock holds
// only the record of its own kind: the small kinds in place, the rare big ones (a FORMULA
// with its companions, a text cell) behind a box.

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <variant>

#include "biff/cell_box.hpp"
#include "biff/cell_multi.hpp"
#include "biff/cell_records.hpp"
#include "biff/cell_text.hpp"
#include "biff/formula_records.hpp"

namespace tabulix::cells {

// True for the codes of the cell records: FORMULA (also under its BIFF3 and BIFF4 codes
// 0x0206 and 0x0406, which some writers keep), MULRK, MULBLANK, LABELSST, BLANK, NUMBER,
// LABEL, BOOLERR, RK and RSTRING.
bool IsCellCode(std::uint16_t code);

class CellBlock {
 public:
  using Blank = cells::Blank;
  using BoolErr = cells::BoolErr;
  using LabelSST = cells::LabelSST;
  using Number = cells::Number;
  using RK = cells::RK;
  using MulBlank = cells::MulBlank;
  using MulRK = cells::MulRK;
  using Label = cells::Label;
  using Formula = cells::Formula;

  using Cell = std::variant<std::monostate, Blank, BoolErr, LabelSST, Number, RK, MulBlank, MulRK,
                            Boxed<Label>, Boxed<Formula>>;

  // Reads the cell record at `pos` (with a FORMULA, its companions and STRING). Returns the
  // stream bytes taken; 0 for a code that is not a cell record's or a record that runs
  // past the stream (the block is then empty).
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos);
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos);
  std::uint32_t DataSize();
  std::uint32_t RecordSize();
  void Reset();

  std::uint16_t Row() const;
  // The column of the cell; the first column for MULRK and MULBLANK.
  std::uint16_t Column() const;

  // The XF index of a single-cell record; nullptr for none and for MULRK and MULBLANK,
  // whose cells carry one each.
  std::uint16_t* XfField();

  // The held record when it is a T (Label and Formula included), else nullptr.
  template <class T>
  const T* As() const {
    if constexpr (std::is_same_v<T, Label> || std::is_same_v<T, Formula>) {
      const Boxed<T>* box = std::get_if<Boxed<T>>(&cell_);
      return box != nullptr ? box->get() : nullptr;
    } else {
      return std::get_if<T>(&cell_);
    }
  }
  template <class T>
  T* As() {
    return const_cast<T*>(std::as_const(*this).As<T>());
  }

  // Puts a record in (the type follows its code).
  template <class T>
  T& Emplace(T record = T()) {
    if constexpr (std::is_same_v<T, Label> || std::is_same_v<T, Formula>) {
      T& held = cell_.emplace<Boxed<T>>(std::move(record)).Get();
      type_ = held.code_;
      return held;
    } else {
      T& held = cell_.emplace<T>(std::move(record));
      type_ = held.code_;
      return held;
    }
  }

 private:
  Record* Held();
  const Record* Held() const;

  // Declared before type_ and free to share its room: type_ then takes bytes the variant
  // pads with, and a cell takes 8 bytes less.
  [[no_unique_address]] Cell cell_;

 public:
  // The code of the record held (LABEL for a text cell, whatever it was read as); 0 when
  // none.
  std::uint16_t type_ = 0;
};

}  // namespace tabulix::cells
