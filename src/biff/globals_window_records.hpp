#pragma once
// Workbook-globals records of fixed layout with several fields: the workbook window, the
// country codes, the recalculation engine and the book extension.

#include <cstdint>

#include "biff/fixed_record.hpp"

namespace tabulix::globals {

class Window1 : public FixedRecord<Window1, Scope::kWorkbook> {
 public:
  static constexpr std::uint16_t kCode = 0x003D;
  static constexpr std::uint32_t kDataSize = 18;
  static constexpr std::string_view kName = "Window1";
  static RecordTexts Texts() {
    return {"Exception in Workbook::Window1::Validate", "Error reading Window1 Record",
            "Error writing Window1 Record"};
  }

  // A new workbook's window is larger than a constructed record's.
  void Reset() {
    FixedRecord::Reset();
    horizontal_ = 480;
    vertical_ = 90;
    width_ = 16275;
    height_ = 9015;
  }

  template <class Visit>
  void Fields(Visit& visit) {
    visit(horizontal_, 0);
    visit(vertical_, 2);
    visit(width_, 4);
    visit(height_, 6);
    visit(options_, 8);
    visit(activeSheet_, 10);
    visit(firstVisibleTab_, 12);
    visit(selectedSheets_, 14);
    visit(tabRatio_, 16);
  }

  std::uint16_t horizontal_ = 120;
  std::uint16_t vertical_ = 120;
  std::uint16_t width_ = 15135;
  std::uint16_t height_ = 9300;
  std::uint16_t options_ = 0x0038;
  std::uint16_t activeSheet_ = 0;
  std::uint16_t firstVisibleTab_ = 0;
  std::uint16_t selectedSheets_ = 1;
  std::uint16_t tabRatio_ = 600;  // tab bar width, per mille
};

class COUNTRY : public FixedRecord<COUNTRY, Scope::kWorkbook> {
 public:
  static constexpr std::uint16_t kCode = 0x008C;
  static constexpr std::uint32_t kDataSize = 4;
  static constexpr std::string_view kName = "COUNTRY";

  template <class Visit>
  void Fields(Visit& visit) {
    visit(defaultCountry_, 0);
    visit(systemCountry_, 2);
  }

  std::uint16_t defaultCountry_ = 1;
  std::uint16_t systemCountry_ = 1;
};

class RECALCID : public FixedRecord<RECALCID, Scope::kWorkbook> {
 public:
  static constexpr std::uint16_t kCode = 0x01C1;
  static constexpr std::uint32_t kDataSize = 8;
  static constexpr std::string_view kName = "RECALCID";

  template <class Visit>
  void Fields(Visit& visit) {
    visit(repeatedCode_, 0);
    visit(reserved_, 2);
    visit(engineId_, 4);
  }

  std::uint16_t repeatedCode_ = kCode;
  std::uint16_t reserved_ = 0;
  std::uint32_t engineId_ = 114210;
};

class BOOKEXT : public FixedRecord<BOOKEXT, Scope::kWorkbook> {
 public:
  static constexpr std::uint16_t kCode = 0x0863;
  static constexpr std::uint32_t kDataSize = 21;
  static constexpr std::string_view kName = "BOOKEXT";

  template <class Visit>
  void Fields(Visit& visit) {
    visit(repeatedCode_, 0);
    visit(reservedFlags_, 2);
    visit(reserved_, 4);
    visit(length_, 12);
    visit(options_, 16);
    visit(optionByte_, 20);
  }

  std::uint16_t repeatedCode_ = kCode;
  std::uint16_t reservedFlags_ = 0;
  std::uint64_t reserved_ = 0;
  std::uint32_t length_ = kDataSize;
  std::uint32_t options_ = 0;
  std::uint8_t optionByte_ = 0xD2;
};

}  // namespace tabulix::globals
