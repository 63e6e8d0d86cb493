#include "biff/worksheet.hpp"

#include "base/little_endian.hpp"
#include "biff/kept_substream.hpp"

namespace tabulix {

namespace {

std::size_t Remaining(std::span<const std::uint8_t> stream, std::size_t pos) {
  return pos < stream.size() ? stream.size() - pos : 0;
}

// Steps over a substream nested in the sheet, from its BOF at `pos` to its matching EOF,
// header by header. A nested substream that never closes, or a record that runs past the
// end, takes the rest of the stream: the walk cannot find its way back into the sheet.
std::size_t SkipSubstream(std::span<const std::uint8_t> stream, std::size_t pos) {
  std::size_t depth = 0;
  std::size_t at = pos;
  while (Remaining(stream, at) >= kRecordHeaderSize) {
    const std::uint16_t code = LittleEndian::U16(stream, at);
    const std::size_t size = kRecordHeaderSize + LittleEndian::U16(stream, at + 2);
    if (size > Remaining(stream, at)) break;
    at += size;
    if (code == BOF::kCode) {
      ++depth;
    } else if (code == Eof::kCode && --depth == 0) {
      return at - pos;
    }
  }
  return stream.size() - pos;
}

// The stream bytes of the record at `pos` with the CONTINUE records that belong to it, as
// the record reader takes them; 0 when its header or data run past the end.
std::size_t RecordSpan(std::span<const std::uint8_t> stream, std::size_t pos) {
  const std::size_t available = Remaining(stream, pos);
  if (available < kRecordHeaderSize) return 0;
  std::size_t span = kRecordHeaderSize + LittleEndian::U16(stream, pos + 2);
  if (span > available) return 0;
  while (available - span >= kRecordHeaderSize &&
         LittleEndian::U16(stream, pos + span) == kContinueCode) {
    const std::size_t next = kRecordHeaderSize + LittleEndian::U16(stream, pos + span + 2);
    if (next > available - span) break;
    span += next;
  }
  return span;
}

}  // namespace

Worksheet::Worksheet() { Reset(); }

void Worksheet::Reset() {
  bof_.Reset();
  bof_.type_ = BOF::kWorksheet;
  index_.Reset();
  calcMode_.Reset();
  calcCount_.Reset();
  refMode_.Reset();
  iteration_.Reset();
  delta_.Reset();
  saveRecalc_.Reset();
  printHeaders_.Reset();
  printGridlines_.Reset();
  gridset_.Reset();
  guts_.Reset();
  defaultRowHeight_.Reset();
  wsBool_.Reset();
  header_.Reset();
  footer_.Reset();
  hCenter_.Reset();
  vCenter_.Reset();
  setup_.Reset();
  defColWidth_.Reset();
  colInfos_.clear();
  dimensions_.Reset();
  cellTable_.Reset();
  window2_.Reset();
  selection_.Reset();
  mergedCells_.clear();
  eof_.Reset();
  source_.clear();
  recovered_ = 0;
  sourcePosition_ = kNoSource;
  scratch_.Reset();
  rowIndex_.clear();
  cellIndex_.clear();
  minRow_ = kNoMinimum;
  maxRow_ = 0;
  minCol_ = kNoMinimum;
  maxCol_ = 0;
}

Record* Worksheet::MemberFor(std::uint16_t code) {
  switch (code) {
    case BOF::kCode:
      return &bof_;
    case Index::kCode:
      return &index_;
    case CALCMODE::kCode:
      return &calcMode_;
    case CALCCOUNT::kCode:
      return &calcCount_;
    case REFMODE::kCode:
      return &refMode_;
    case ITERATION::kCode:
      return &iteration_;
    case DELTA::kCode:
      return &delta_;
    case SAVERECALC::kCode:
      return &saveRecalc_;
    case PrintHeaders::kCode:
      return &printHeaders_;
    case PrintGridlines::kCode:
      return &printGridlines_;
    case Gridset::kCode:
      return &gridset_;
    case Guts::kCode:
      return &guts_;
    case DefaultRowHeight::kCode:
      return &defaultRowHeight_;
    case WSBool::kCode:
      return &wsBool_;
    case Header::kCode:
      return &header_;
    case Footer::kCode:
      return &footer_;
    case HCenter::kCode:
      return &hCenter_;
    case VCenter::kCode:
      return &vCenter_;
    case Setup::kCode:
      return &setup_;
    case DefColWidth::kCode:
      return &defColWidth_;
    case Dimensions::kCode:
      return &dimensions_;
    case Window2::kCode:
      return &window2_;
    case Selection::kCode:
      return &selection_;
    default:
      return nullptr;
  }
}

std::uint32_t Worksheet::Read(std::span<const std::uint8_t> stream, std::size_t pos) {
  std::size_t q = pos;
  std::size_t colInfoCount = 0;
  std::size_t mergedCount = 0;
  while (true) {
    // The stream's own framing moves the walk on, whatever a member makes of its record: a
    // member that fails, or whose size is computed from what it kept, cannot stall or
    // misalign it.
    const std::size_t span = RecordSpan(stream, q);
    if (span == 0) {
      // Not even the record's header and data fit: the stream ends here. The record
      // reader says so in the log.
      if (Remaining(stream, q) >= kRecordHeaderSize) Record().Read(stream, q);
      break;
    }
    const std::uint16_t code = LittleEndian::U16(stream, q);
    std::size_t used = span;
    if (code == Eof::kCode) {
      // The sheet's own EOF; anything it carried beyond its header is not kept.
      eof_.Reset();
      q += span;
      break;
    }
    if (code == BOF::kCode) {
      if (q == pos) {
        bof_.Read(stream, q);
      } else {
        used = SkipSubstream(stream, q);
      }
    } else if (cells::IsCellTableCode(code)) {
      // Cells are kept wherever they stand: the table appends what it reads.
      const std::size_t taken = cellTable_.Read(stream, q);
      if (taken != 0 && taken <= Remaining(stream, q)) used = taken;
    } else if (code == ColInfo::kCode) {
      if (colInfoCount == colInfos_.size()) colInfos_.emplace_back();
      colInfos_[colInfoCount++].Read(stream, q);
    } else if (code == MergedCells::kCode) {
      if (mergedCount == mergedCells_.size()) mergedCells_.emplace_back();
      mergedCells_[mergedCount++].Read(stream, q);
    } else if (Record* member = MemberFor(code)) {
      member->Read(stream, q);
    }
    // Any other record (a DBCELL, STRING or formula companion on its own included) is
    // stepped over and dropped.
    q += used;
  }
  return static_cast<std::uint32_t>(q - pos);
}

std::array<Record*, Worksheet::kLeadingCount> Worksheet::LeadingMembers() {
  return {&bof_,       &index_,   &calcMode_,         &calcCount_,    &refMode_,
          &iteration_, &delta_,   &saveRecalc_,       &printHeaders_, &printGridlines_,
          &gridset_,   &guts_,    &defaultRowHeight_, &wsBool_,       &header_,
          &footer_,    &hCenter_, &vCenter_,          &setup_,        &defColWidth_};
}

std::uint32_t Worksheet::Write(std::span<std::uint8_t> out, std::size_t pos) {
  if (!source_.empty())
    return static_cast<std::uint32_t>(kept::WriteSheet(source_, sourcePosition_, out, pos));
  std::size_t p = pos;
  auto put = [&](Record& record) { p += record.Write(out, p); };
  for (Record* member : LeadingMembers()) put(*member);
  for (ColInfo& colInfo : colInfos_) put(colInfo);
  put(dimensions_);
  p += cellTable_.Write(out, p);
  put(window2_);
  put(selection_);
  for (MergedCells& merged : mergedCells_) put(merged);
  put(eof_);
  return static_cast<std::uint32_t>(p - pos);
}

std::uint32_t Worksheet::TrailingSize() {
  std::uint64_t size = window2_.RecordSize() + std::uint64_t{selection_.RecordSize()};
  for (MergedCells& merged : mergedCells_) size += merged.RecordSize();
  size += eof_.RecordSize();
  return static_cast<std::uint32_t>(size);
}

std::uint32_t Worksheet::RecordSize() {
  if (!source_.empty()) return static_cast<std::uint32_t>(source_.size());
  std::uint64_t size = 0;
  for (Record* member : LeadingMembers()) size += member->RecordSize();
  for (ColInfo& colInfo : colInfos_) size += colInfo.RecordSize();
  size += dimensions_.RecordSize();
  size += cellTable_.RecordSize();
  size += TrailingSize();
  return static_cast<std::uint32_t>(size);
}

std::uint32_t Worksheet::FixCellIndexPositions(std::uint32_t sheetStart) {
  // Kept bytes carry their own INDEX and DBCELLs; the write moves the INDEX along.
  if (!source_.empty()) return static_cast<std::uint32_t>(sheetStart + source_.size());
  std::vector<cells::RowBlock>& blocks = cellTable_.rowBlocks_;
  // Every block needs an INDEX entry, every ROW a DBCELL offset, before any size is taken:
  // both records grow with them.
  if (index_.positions_.size() < blocks.size()) index_.positions_.resize(blocks.size(), 0);
  for (cells::RowBlock& block : blocks) {
    if (block.dbCell_.offsets_.size() < block.rows_.size()) {
      block.dbCell_.offsets_.resize(block.rows_.size(), 0);
    }
  }

  std::uint64_t p = sheetStart;
  for (Record* member : LeadingMembers()) p += member->RecordSize();
  for (ColInfo& colInfo : colInfos_) p += colInfo.RecordSize();
  p += dimensions_.RecordSize();

  for (std::size_t b = 0; b < blocks.size(); ++b) {
    cells::RowBlock& block = blocks[b];
    std::uint64_t s = 0;  // bytes from the block's first ROW
    for (cells::Row& row : block.rows_) s += row.RecordSize();
    // The first row's cells are counted from the second ROW record on.
    std::uint64_t v = block.rows_.empty() ? 0 : s - block.rows_.front().RecordSize();
    for (cells::CellBlock& cell : block.cellBlocks_) s += cell.RecordSize();
    p += s;
    index_.positions_[b] = static_cast<std::uint32_t>(p);
    p += block.dbCell_.RecordSize();
    block.dbCell_.firstRowOffset_ = static_cast<std::uint32_t>(s);

    // Each row's offset runs from the previous row's first cell (the second ROW for the
    // first row) to its own first cell. Rows compare unsigned: 0 to 65535.
    std::size_t cursor = 0;
    for (std::size_t r = 0; r < block.rows_.size(); ++r) {
      const std::uint16_t rowIndex = block.rows_[r].row_;
      while (cursor < block.cellBlocks_.size() && block.cellBlocks_[cursor].Row() < rowIndex) {
        v += block.cellBlocks_[cursor].RecordSize();
        ++cursor;
      }
      if (cursor == block.cellBlocks_.size()) break;  // no cell reaches this row or the later ones
      block.dbCell_.offsets_[r] = static_cast<std::uint16_t>(v);
      v = 0;
    }
  }

  p += TrailingSize();
  return static_cast<std::uint32_t>(p);
}

}  // namespace tabulix
