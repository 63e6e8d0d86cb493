#include "biff/kept_substream.hpp"

#include <algorithm>

#include "base/little_endian.hpp"
#include "biff/record.hpp"
#include "biff/record_codes.hpp"

namespace tabulix::kept {

namespace {

constexpr std::uint16_t Code(RecordCode code) { return static_cast<std::uint16_t>(code); }

constexpr std::uint16_t kBof = Code(RecordCode::BOF);
constexpr std::uint16_t kEof = Code(RecordCode::EOF_);
constexpr std::uint16_t kBoundSheet = Code(RecordCode::BOUNDSHEET);
constexpr std::uint16_t kExtSst = Code(RecordCode::EXTSST);
constexpr std::uint16_t kIndex = Code(RecordCode::INDEX);
// Records no reader of ours interprets, and so not in the table of known codes.
constexpr std::uint16_t kNote = 0x001C;
constexpr std::uint16_t kObj = 0x005D;
constexpr std::uint16_t kTxo = 0x01B6;
constexpr std::uint16_t kDrawingGroup = 0x00EB;
constexpr std::uint16_t kDrawing = 0x00EC;
constexpr std::uint16_t kFilterMode = 0x009B;
constexpr std::uint16_t kAutoFilterInfo = 0x009D;
constexpr std::uint16_t kAutoFilter = 0x009E;
constexpr std::uint16_t kChartType = 0x0020;

// INDEX: four reserved bytes, the first row, the row after the last, four reserved bytes,
// then one DBCELL position per row block.
constexpr std::size_t kIndexPositions = 16;
// EXTSST: the strings per bucket, then per bucket its position, offset and a reserved word.
constexpr std::size_t kExtSstBuckets = 2;
constexpr std::size_t kExtSstBucketSize = 8;
// BOUNDSHEET: the BOF position, the visibility, the sheet type.
constexpr std::size_t kBoundSheetFields = 6;

// One record of a substream: its header's offset, code and data length.
struct Header {
  std::size_t at = 0;
  std::uint16_t code = 0;
  std::size_t length = 0;
  std::size_t data() const { return at + kRecordHeaderSize; }
  std::size_t end() const { return data() + length; }
};

// Calls `visit` with every record of `bytes` from the start that lies whole inside it.
template <class Visit>
void ForEachRecord(std::span<const std::uint8_t> bytes, Visit&& visit) {
  std::size_t at = 0;
  while (bytes.size() - at >= kRecordHeaderSize) {
    const Header header{at, LittleEndian::U16(bytes, at), LittleEndian::U16(bytes, at + 2)};
    if (header.end() > bytes.size()) return;
    if (!visit(header)) return;
    at = header.end();
  }
}

void MovePosition(std::span<std::uint8_t> out, std::size_t at, std::int64_t delta) {
  const std::uint32_t old = LittleEndian::U32(out, at);
  LittleEndian::Write(out, static_cast<std::uint32_t>(old + static_cast<std::uint64_t>(delta)), at);
}

}  // namespace

std::span<const std::uint8_t> SubstreamBytes(std::span<const std::uint8_t> stream,
                                             std::size_t pos) {
  if (pos >= stream.size()) return {};
  const std::span<const std::uint8_t> rest = stream.subspan(pos);
  std::size_t depth = 0;
  std::size_t end = 0;
  ForEachRecord(rest, [&](const Header& record) {
    if (record.code == kBof) {
      ++depth;
    } else if (record.code == kEof && depth > 0 && --depth == 0) {
      end = record.end();
      return false;
    }
    // The walk stops at the first record that is not the BOF: a stray EOF can't close it.
    return depth > 0;
  });
  return rest.first(end);
}

std::vector<SheetEntry> SheetEntries(std::span<const std::uint8_t> globals) {
  std::vector<SheetEntry> entries;
  ForEachRecord(globals, [&](const Header& record) {
    if (record.code == kBoundSheet && record.length >= kBoundSheetFields) {
      entries.push_back({record.at, LittleEndian::U32(globals, record.data()),
                         LittleEndian::U8(globals, record.data() + 4),
                         LittleEndian::U8(globals, record.data() + 5)});
    }
    return record.code != kEof;
  });
  return entries;
}

namespace {

// Byte by byte rather than std::copy or memcpy: GCC 12 at -O2 takes the length of these
// spans for an unbounded one and warns of an overflow that cannot happen (the callers
// check it), and the loop compiles to the same copy.
void CopyBytes(std::span<const std::uint8_t> from, std::span<std::uint8_t> to) {
  const std::size_t count = std::min(from.size(), to.size());
  for (std::size_t i = 0; i < count; ++i) to[i] = from[i];
}

}  // namespace

std::size_t WriteGlobals(std::span<const std::uint8_t> globals, std::uint32_t oldStart,
                         std::span<const std::uint32_t> positions, std::span<std::uint8_t> out,
                         std::size_t at) {
  if (at > out.size() || out.size() - at < globals.size()) return 0;
  const std::span<std::uint8_t> copy = out.subspan(at, globals.size());
  CopyBytes(globals, copy);
  const std::int64_t delta = static_cast<std::int64_t>(at) - oldStart;
  std::size_t entry = 0;
  ForEachRecord(globals, [&](const Header& record) {
    if (record.code == kBoundSheet && record.length >= kBoundSheetFields) {
      if (entry < positions.size()) LittleEndian::Write(copy, positions[entry], record.data());
      ++entry;
    } else if (record.code == kExtSst && delta != 0) {
      for (std::size_t b = record.data() + kExtSstBuckets; b + kExtSstBucketSize <= record.end();
           b += kExtSstBucketSize)
        MovePosition(copy, b, delta);
    }
    return record.code != kEof;
  });
  return globals.size();
}

std::size_t WriteSheet(std::span<const std::uint8_t> sheet, std::uint32_t oldStart,
                       std::span<std::uint8_t> out, std::size_t at) {
  if (at > out.size() || out.size() - at < sheet.size()) return 0;
  const std::span<std::uint8_t> copy = out.subspan(at, sheet.size());
  CopyBytes(sheet, copy);
  const std::int64_t delta = static_cast<std::int64_t>(at) - oldStart;
  if (delta == 0) return sheet.size();
  std::size_t depth = 0;
  ForEachRecord(sheet, [&](const Header& record) {
    if (record.code == kBof) ++depth;
    if (record.code == kEof && depth > 0) --depth;
    // The sheet's own INDEX: a chart nested in it has none of its own.
    if (record.code == kIndex && depth == 1) {
      for (std::size_t p = record.data() + kIndexPositions; p + 4 <= record.end(); p += 4)
        MovePosition(copy, p, delta);
    }
    return depth > 0;
  });
  return sheet.size();
}

std::string_view KindName(Kind kind) {
  switch (kind) {
    case Kind::DefinedNames:
      return "defined names";
    case Kind::ExternalReferences:
      return "external references";
    case Kind::Comments:
      return "comments";
    case Kind::Hyperlinks:
      return "hyperlinks";
    case Kind::Drawings:
      return "drawing records";
    case Kind::EmbeddedCharts:
      return "embedded charts";
    case Kind::DataValidation:
      return "data validation records";
    case Kind::ConditionalFormats:
      return "conditional format records";
    case Kind::AutoFilters:
      return "filter records";
    case Kind::Count:
      break;
  }
  return "records";
}

void CountKinds(std::span<const std::uint8_t> bytes, KindCounts& counts) {
  auto add = [&counts](Kind kind) { ++counts[static_cast<std::size_t>(kind)]; };
  std::size_t depth = 0;
  ForEachRecord(bytes, [&](const Header& record) {
    switch (record.code) {
      case kBof:
        if (++depth == 2 && record.length >= 4 &&
            LittleEndian::U16(bytes, record.data() + 2) == kChartType)
          add(Kind::EmbeddedCharts);
        break;
      case kEof:
        if (depth > 0) --depth;
        break;
      case Code(RecordCode::NAME):
        add(Kind::DefinedNames);
        break;
      case Code(RecordCode::SUPBOOK):
      case Code(RecordCode::EXTERNSHEET):
      case Code(RecordCode::EXTERNNAME):
        add(Kind::ExternalReferences);
        break;
      case kNote:
        add(Kind::Comments);
        break;
      case Code(RecordCode::HLINK):
        add(Kind::Hyperlinks);
        break;
      case kDrawingGroup:
      case kDrawing:
      case kObj:
      case kTxo:
        // An embedded chart's own records are counted with the chart.
        if (depth <= 1) add(Kind::Drawings);
        break;
      case Code(RecordCode::DVAL):
      case Code(RecordCode::DV):
        add(Kind::DataValidation);
        break;
      case Code(RecordCode::CONDFMT):
      case Code(RecordCode::CF):
        add(Kind::ConditionalFormats);
        break;
      case kFilterMode:
      case kAutoFilterInfo:
      case kAutoFilter:
        add(Kind::AutoFilters);
        break;
      default:
        break;
    }
    return depth > 0;
  });
}

}  // namespace tabulix::kept
