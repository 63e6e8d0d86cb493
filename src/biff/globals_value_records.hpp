#pragma once
// The workbook-globals records that hold one 16-bit setting (or nothing at all): code
// page, protection flags and password hashes, backup, object display, date system,
// precision and the like.

#include <cstdint>

#include "biff/globals_base_records.hpp"

namespace tabulix::globals {

using INTERFACEHDR = ValueRecord<0x00E1, 1200, "INTERFACEHDR">;  // code page
using INTERFACEEND = EmptyRecord<0x00E2, "INTERFACEEND">;
using DSF = ValueRecord<0x0161, 0, "DSF">;                    // double-stream flag
using EXCEL9FILE = EmptyRecord<0x01C0, "EXCEL9FILE">;
using FNGROUPCOUNT = ValueRecord<0x009C, 14, "FNGROUPCOUNT">;  // function groups
using WINDOWPROTECT = ValueRecord<0x0019, 0, "WINDOWPROTECT">;
using PROTECT = ValueRecord<0x0012, 0, "PROTECT">;
using PASSWORD = ValueRecord<0x0013, 0, "PASSWORD">;  // password hash
using PROT4REV = ValueRecord<0x01AF, 0, "PROT4REV">;
using PROT4REVPASS = ValueRecord<0x01BC, 0, "PROT4REVPASS">;
using BACKUP = ValueRecord<0x0040, 0, "BACKUP">;
using HIDEOBJ = ValueRecord<0x008D, 0, "HIDEOBJ">;  // object display mode
using DATE1904 = ValueRecord<0x0022, 0, "DATE1904">;
using PRECISION = ValueRecord<0x000E, 0, "PRECISION">;
using REFRESHALL = ValueRecord<0x01B7, 0, "REFRESHALL">;
using BOOKBOOL = ValueRecord<0x00DA, 0, "BOOKBOOL">;  // workbook option flags
using USESELFS = ValueRecord<0x0160, 0, "USESELFS">;  // natural-language formulas

// Menus added and deleted, one byte each.
class MMS : public FixedRecord<MMS> {
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
