#pragma once
// The worksheet records with a fixed layout of plain integer fields (their machinery is
// fixed_record.hpp's), and the base of the worksheet records whose size follows their
// contents.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "biff/fixed_record.hpp"
#include "biff/record.hpp"

namespace tabulix::sheet {

// Base of the worksheet records whose size is computed from their contents.
class SheetRecord : public Record {
 protected:
  SheetRecord(std::uint16_t code, std::uint32_t dataSize);

  // Split points kept from a read lie inside the data of that read; a record whose data
  // has since shrunk drops those beyond its new end.
  void FitContinues(std::uint32_t dataSize);
};

// Calculation mode: -1 automatic except tables, 0 manual, 1 automatic.
using CALCMODE = ValueRecord<std::int16_t, 0x000D, 1, "CALCMODE", Scope::kWorksheet>;
// The number of iterations.
using CALCCOUNT = ValueRecord<std::uint16_t, 0x000C, 100, "CALCCOUNT", Scope::kWorksheet>;
// 1: A1 style.
using REFMODE = ValueRecord<std::uint16_t, 0x000F, 1, "REFMODE", Scope::kWorksheet>;
using ITERATION = ValueRecord<std::uint16_t, 0x0011, 0, "ITERATION", Scope::kWorksheet>;
using SAVERECALC = ValueRecord<std::uint16_t, 0x005F, 1, "SAVERECALC", Scope::kWorksheet>;
using PrintHeaders = ValueRecord<std::uint16_t, 0x002A, 0, "PrintHeaders", Scope::kWorksheet>;
using PrintGridlines = ValueRecord<std::uint16_t, 0x002B, 0, "PrintGridlines", Scope::kWorksheet>;
using Gridset = ValueRecord<std::uint16_t, 0x0082, 1, "Gridset", Scope::kWorksheet>;
using WSBool = ValueRecord<std::uint16_t, 0x0081, 0x04C1, "WSBool", Scope::kWorksheet>;
using HCenter = ValueRecord<std::uint16_t, 0x0083, 0, "HCenter", Scope::kWorksheet>;
using VCenter = ValueRecord<std::uint16_t, 0x0084, 0, "VCenter", Scope::kWorksheet>;
// The default column width in characters.
using DefColWidth = ValueRecord<std::uint16_t, 0x0055, 8, "DefColWidth", Scope::kWorksheet>;

// The largest change of an iteration, an IEEE 754 double kept as its bit pattern so that
// it writes back exactly as read.
class DELTA : public FixedRecord<DELTA, Scope::kWorksheet> {
 public:
  static constexpr std::uint16_t kCode = 0x0010;
  static constexpr std::uint32_t kDataSize = 8;
  static constexpr std::string_view kName = "DELTA";
  static constexpr std::uint64_t kDefaultBits = 0x3F50624DD2F1A9FCull;  // 0.001

  template <class Visit>
  void Fields(Visit& visit) {
    visit(maxChangeBits_, 0);
  }

  double MaxChange() const;
  void SetMaxChange(double value);

  std::uint64_t maxChangeBits_ = kDefaultBits;
};

}  // namespace tabulix::sheet
