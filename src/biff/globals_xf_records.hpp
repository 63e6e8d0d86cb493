#pragma once
// The cell format record (XF): font, number format, protection and parent, alignment,
// borders and fill of one cell or style format.

#include <cstdint>

#include "biff/fixed_record.hpp"

namespace tabulix::globals {

class XF : public FixedRecord<XF, Scope::kWorkbook> {
 public:
  static constexpr std::uint16_t kCode = 0x00E0;
  static constexpr std::uint32_t kDataSize = 20;
  static constexpr std::string_view kName = "XF";
  static RecordTexts Texts() {
    return {"Exception in Workbook::XF::Validate", "Exception in Workbook::XF::Read",
            "Exception writing in Workbook::XF::Write"};
  }

  template <class Visit>
  void Fields(Visit& visit) {
    visit(fontIndex_, 0);
    visit(formatIndex_, 2);
    visit(typeProtection_, 4);
    visit(alignment_, 6);
    visit(rotation_, 7);
    visit(indentShrinkMerge_, 8);
    visit(usedAttributes_, 9);
    visit(borderLines_, 10);
    visit(borderColours_, 14);
    visit(fillColours_, 18);
  }

  std::uint16_t fontIndex_ = 0;
  std::uint16_t formatIndex_ = 0;
  std::uint16_t typeProtection_ = 0xFFF5;  // type, protection and parent XF index
  std::uint8_t alignment_ = 0x20;
  std::uint8_t rotation_ = 0;
  std::uint8_t indentShrinkMerge_ = 0;
  std::uint8_t usedAttributes_ = 0;
  std::uint32_t borderLines_ = 0;
  std::uint32_t borderColours_ = 0;  // and the fill pattern
  std::uint16_t fillColours_ = 0x20C0;
};

}  // namespace tabulix::globals
