#pragma once
// The workbook-globals records that hold one 16-bit setting (or nothing at all): code
// page, protection flags and password hashes, backup, object display, date system,
// precision and the like.

#include <cstdint>

#include "biff/fixed_record.hpp"

namespace tabulix::globals {

// The code page.
using INTERFACEHDR = ValueRecord<std::uint16_t, 0x00E1, 1200, "INTERFACEHDR", Scope::kWorkbook>;
using INTERFACEEND = EmptyRecord<0x00E2, "INTERFACEEND", Scope::kWorkbook>;
// The double-stream flag.
using DSF = ValueRecord<std::uint16_t, 0x0161, 0, "DSF", Scope::kWorkbook>;
using EXCEL9FILE = EmptyRecord<0x01C0, "EXCEL9FILE", Scope::kWorkbook>;
// The number of function groups.
using FNGROUPCOUNT = ValueRecord<std::uint16_t, 0x009C, 14, "FNGROUPCOUNT", Scope::kWorkbook>;
using WINDOWPROTECT = ValueRecord<std::uint16_t, 0x0019, 0, "WINDOWPROTECT", Scope::kWorkbook>;
using PROTECT = ValueRecord<std::uint16_t, 0x0012, 0, "PROTECT", Scope::kWorkbook>;
// A password hash.
using PASSWORD = ValueRecord<std::uint16_t, 0x0013, 0, "PASSWORD", Scope::kWorkbook>;
using PROT4REV = ValueRecord<std::uint16_t, 0x01AF, 0, "PROT4REV", Scope::kWorkbook>;
using PROT4REVPASS = ValueRecord<std::uint16_t, 0x01BC, 0, "PROT4REVPASS", Scope::kWorkbook>;
using BACKUP = ValueRecord<std::uint16_t, 0x0040, 0, "BACKUP", Scope::kWorkbook>;
// The object display mode.
using HIDEOBJ = ValueRecord<std::uint16_t, 0x008D, 0, "HIDEOBJ", Scope::kWorkbook>;
using DATE1904 = ValueRecord<std::uint16_t, 0x0022, 0, "DATE1904", Scope::kWorkbook>;
using PRECISION = ValueRecord<std::uint16_t, 0x000E, 0, "PRECISION", Scope::kWorkbook>;
using REFRESHALL = ValueRecord<std::uint16_t, 0x01B7, 0, "REFRESHALL", Scope::kWorkbook>;
// Workbook option flags.
using BOOKBOOL = ValueRecord<std::uint16_t, 0x00DA, 0, "BOOKBOOL", Scope::kWorkbook>;
// Natural-language formulas.
using USESELFS = ValueRecord<std::uint16_t, 0x0160, 0, "USESELFS", Scope::kWorkbook>;

// Menus added and deleted, one byte each.
class MMS : public FixedRecord<MMS, Scope::kWorkbook> {
 public:
  static constexpr std::uint16_t kCode = 0x00C1;
  static constexpr std::uint32_t kDataSize = 2;
  static constexpr std::string_view kName = "MMS";

  template <class Visit>
  void Fields(Visit& visit) {
    visit(menusAdded_, 0);
    visit(menusDeleted_, 1);
  }

  std::uint8_t menusAdded_ = 0;
  std::uint8_t menusDeleted_ = 0;
};

}  // namespace tabulix::globals
