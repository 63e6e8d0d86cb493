#include "biff/sheet_fixed_records.hpp"

#include <bit>
#include <vector>

namespace tabulix::sheet {

SheetRecord::SheetRecord(std::uint16_t code, std::uint32_t dataSize) {
  code_ = code;
  dataSize_ = dataSize;
  recordSize_ = dataSize + kRecordHeaderSize;
}

void SheetRecord::FitContinues(std::uint32_t dataSize) { continueIndices_.DropFrom(dataSize); }

double DELTA::MaxChange() const { return std::bit_cast<double>(maxChangeBits_); }

void DELTA::SetMaxChange(double value) { maxChangeBits_ = std::bit_cast<std::uint64_t>(value); }

}  // namespace tabulix::sheet
