#include "recovery/sheet_boundaries.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>

#include "base/diagnostics.hpp"
#include "base/little_endian.hpp"
#include "base/log.hpp"
#include "biff/bof.hpp"
#include "biff/globals_sheet_records.hpp"
#include "biff/record.hpp"
#include "recovery/selector_support.hpp"

namespace tabulix {

namespace {

constexpr std::uint16_t kBoundSheetCode = globals::BoundSheet::kCode;
constexpr std::uint16_t kBofCode = BOF::kCode;
constexpr std::uint16_t kEofCode = Eof::kCode;
// A BOF header with its length 16, and an EOF header with its length 0, as 32-bit values.
constexpr std::uint32_t kBofHeader = 0x00100809;
constexpr std::uint32_t kEofHeader = 0x0000000A;

// A BOUNDSHEET's verdict depends only on its first data bytes: 6 fixed bytes, the name's
// count and flags, at most 255 two-byte characters. The record check joins every CONTINUE
// record behind the header, and garbage can make every marker of a stream share one long
// chain of them; the check is therefore made on a copy that holds the header and at most
// this many bytes of the joined record.
constexpr std::size_t kBoundSheetCopyLimit = 1024;
// The fixed fields and the name's count byte and flags byte.
constexpr std::size_t kBoundSheetLeadBytes = 8;

std::size_t Remaining(std::size_t size, std::size_t pos) { return pos < size ? size - pos : 0; }

void AppendHeader(std::vector<std::uint8_t>& out, std::uint16_t code, std::uint16_t length) {
  out.push_back(static_cast<std::uint8_t>(code & 0xFF));
  out.push_back(static_cast<std::uint8_t>(code >> 8));
  out.push_back(static_cast<std::uint8_t>(length & 0xFF));
  out.push_back(static_cast<std::uint8_t>(length >> 8));
}

// Whether the record at `pos` is a sound BOUNDSHEET, and if so the BOF position it names.
// `copy` is a scratch buffer reused from one marker to the next.
bool ValidBoundSheetAt(std::span<const std::uint8_t> stream, std::size_t pos,
                       std::vector<std::uint8_t>& copy, std::uint32_t& position) {
  const std::size_t size = stream.size();
  const std::size_t available = Remaining(size, pos);
  if (available < kRecordHeaderSize ||
      available - kRecordHeaderSize < LittleEndian::U16(stream, pos + 2)) {
    // No whole first piece: the check refuses it at once (and logs what it logs).
    return globals::BoundSheet::Validate(stream, pos);
  }
  const std::uint16_t length = LittleEndian::U16(stream, pos + 2);
  const std::size_t data = pos + kRecordHeaderSize;
  if (length >= kBoundSheetLeadBytes) {
    // The fields the check tests stand in the first piece: a marker in the middle of other
    // data almost always fails here, without the read failures the check would log for
    // each of the thousands such markers a large stream holds.
    const bool positionSound = stream[data + 3] < 0x80;
    const bool visibilitySound = stream[data + 4] <= 1;
    const bool typeSound = stream[data + 5] <= 6;
    const bool named = stream[data + 6] != 0;
    if (!positionSound || !visibilitySound || !typeSound || !named) return false;
  }

  copy.clear();
  std::size_t budget = kBoundSheetCopyLimit;
  const std::uint16_t first = static_cast<std::uint16_t>(std::min<std::size_t>(length, budget));
  AppendHeader(copy, kBoundSheetCode, first);
  copy.insert(copy.end(), stream.begin() + static_cast<std::ptrdiff_t>(data),
              stream.begin() + static_cast<std::ptrdiff_t>(data + first));
  budget -= first;
  // The CONTINUE records the check would join, as far as the budget goes; each header
  // counts against it so that a chain of empty ones ends too.
  std::size_t q = data + length;
  while (budget >= kRecordHeaderSize && Remaining(size, q) >= kRecordHeaderSize &&
         LittleEndian::U16(stream, q) == kContinueCode) {
    const std::uint16_t piece = LittleEndian::U16(stream, q + 2);
    if (Remaining(size, q) - kRecordHeaderSize < piece) break;  // the check stops here too
    budget -= kRecordHeaderSize;
    const auto take = static_cast<std::uint16_t>(std::min<std::size_t>(piece, budget));
    AppendHeader(copy, kContinueCode, take);
    const std::size_t from = q + kRecordHeaderSize;
    copy.insert(copy.end(), stream.begin() + static_cast<std::ptrdiff_t>(from),
                stream.begin() + static_cast<std::ptrdiff_t>(from + take));
    budget -= take;
    q = from + piece;
  }

  if (!globals::BoundSheet::Validate(copy, 0)) return false;
  globals::BoundSheet sheet;
  sheet.Read(copy, 0);
  position = sheet.position_;
  return true;
}

// Keeps the elements of `list` for which `keep` holds, in their order. (Erasing one by one
// would move the tail of a long list once per erased marker.)
template <class Keep>
void KeepIf(std::vector<std::uint32_t>& list, Keep keep) {
  list.erase(
      std::remove_if(list.begin(), list.end(), [&](std::uint32_t offset) { return !keep(offset); }),
      list.end());
}

bool Contains(const std::vector<std::uint32_t>& sorted, std::uint64_t value) {
  return value <= UINT32_MAX &&
         std::binary_search(sorted.begin(), sorted.end(), static_cast<std::uint32_t>(value));
}

// --- Diagnostic files -----------------------------------------------------------------

void AppendNumber(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

// "<lead><name>[i]  =  <value>," for an index inside the list, else "<lead>,".
template <class T>
void AppendCell(std::string& out, std::string_view lead, std::string_view name,
                const std::vector<T>& list, std::size_t i) {
  out.append(lead);
  if (i < list.size()) {
    out.append(name);
    out.push_back('[');
    AppendNumber(out, i);
    out.append("]  =  ");
    AppendNumber(out, list[i]);
  }
  out.push_back(',');
}

// The header names each list with its count; the first one with one blank before the
// '=', the others with two.
template <class A, class B, class C>
std::string ThreeColumnTable(std::string_view a, const std::vector<A>& listA, std::string_view b,
                             const std::vector<B>& listB, std::string_view c,
                             const std::vector<C>& listC) {
  std::string out;
  out.append("\n sizeof(").append(a).append(") = ");
  AppendNumber(out, listA.size());
  out.append(",sizeof(").append(b).append(") =  ");
  AppendNumber(out, listB.size());
  out.append(",sizeof(").append(c).append(") =  ");
  AppendNumber(out, listC.size());
  out.push_back(',');
  const std::size_t rows = std::max({listA.size(), listB.size(), listC.size()});
  for (std::size_t i = 0; i < rows; ++i) {
    AppendCell(out, "\n ", a, listA, i);
    AppendCell(out, "", b, listB, i);
    AppendCell(out, "", c, listC, i);
  }
  return out;
}

std::string MarkerTable(const SheetBoundaries& boundaries) {
  return ThreeColumnTable("boundMarker_", boundaries.boundMarker_, "BOFMarker_",
                          boundaries.BOFMarker_, "EOFMarker_", boundaries.EOFMarker_);
}

std::string StartEndTable(const SheetBoundaries& boundaries) {
  std::string out = "\n sizeof(startPos_) = ";
  AppendNumber(out, boundaries.startPos_.size());
  out.append(",sizeof(endPos_) =  ");
  AppendNumber(out, boundaries.endPos_.size());
  out.push_back(',');
  const std::size_t rows = std::max(boundaries.startPos_.size(), boundaries.endPos_.size());
  for (std::size_t i = 0; i < rows; ++i) {
    AppendCell(out, "\n ", "startPos_", boundaries.startPos_, i);
    AppendCell(out, "", "endPos_", boundaries.endPos_, i);
  }
  return out;
}

}  // namespace

void SheetBoundaries::Clear() { *this = SheetBoundaries(); }

namespace {

// How far the named positions lie from the worksheet BOFs that stand near them: the shift
// most BOFs agree on. Each BOF votes for the named positions within kReach of it (a few at
// most, so that hostile lists of thousands of entries stay linear).
constexpr std::uint32_t kReach = 64 * 1024;
constexpr std::size_t kVotesPerBof = 4;

std::int64_t MeasureShift(std::span<const std::uint8_t> stream,
                          const std::vector<std::uint32_t>& named,
                          const std::vector<std::uint32_t>& bofs, std::size_t& confirmed) {
  std::map<std::int64_t, std::size_t> votes;
  for (const std::uint32_t bof : bofs) {
    if (bof == 0 || selector::BofType(stream, bof) != BOF::kWorksheet) continue;
    auto it = std::lower_bound(named.begin(), named.end(), bof > kReach ? bof - kReach : 0);
    for (std::size_t n = 0;
         it != named.end() && *it <= std::uint64_t{bof} + kReach && n < kVotesPerBof; ++it, ++n) {
      ++votes[std::int64_t{bof} - std::int64_t{*it}];
    }
  }
  // No shift unless the BOFs agree on one: a shift one BOF alone votes for is as likely
  // the distance to a neighbour's entry (unless there is only the one sheet), and a tie
  // settles nothing.
  const std::size_t atZero = votes.contains(0) ? votes[0] : 0;
  std::int64_t best = 0;
  std::size_t most = 0;
  bool tied = false;
  for (const auto& [shift, count] : votes) {
    if (count > most) {
      best = shift;
      most = count;
      tied = false;
    } else if (count == most) {
      tied = true;
    }
  }
  const bool single = named.size() == 1;
  if (best == 0 || tied || most <= atZero || (most < 2 && !single)) {
    confirmed = atZero;
    return 0;
  }
  confirmed = most;
  return best;
}

}  // namespace

bool NearAny(const std::vector<std::uint32_t>& sorted, std::uint32_t p, std::uint32_t slack) {
  const auto at = std::lower_bound(sorted.begin(), sorted.end(), p > slack ? p - slack : 0);
  return at != sorted.end() && *at <= std::uint64_t{p} + slack;
}

void PlaceNamedStarts(std::span<const std::uint8_t> stream, const std::vector<std::uint32_t>& named,
                      SheetBoundaries& boundaries) {
  std::size_t confirmed = 0;
  boundaries.namedShift_ = MeasureShift(stream, named, boundaries.BOFMarker_, confirmed);
  boundaries.namedStarts_.clear();
  // A sheet list that no worksheet BOF stands by may be of another stream, or damaged:
  // its positions say nothing about this one.
  if (confirmed == 0) return;
  for (const std::uint32_t position : named) {
    const std::int64_t shifted = std::int64_t{position} + boundaries.namedShift_;
    if (shifted > 0 && static_cast<std::uint64_t>(shifted) < stream.size())
      boundaries.namedStarts_.push_back(static_cast<std::uint32_t>(shifted));
  }
}

void FindMarkers(std::span<const std::uint8_t> stream, SheetBoundaries& boundaries) {
  boundaries.boundMarker_.clear();
  boundaries.BOFMarker_.clear();
  boundaries.EOFMarker_.clear();
  if (stream.size() < 2) return;
  // Offsets beyond 32 bits cannot be recorded; the stream routes never give such a stream.
  const std::size_t last = std::min<std::size_t>(stream.size() - 2, UINT32_MAX);
  const std::uint8_t* bytes = stream.data();
  for (std::size_t i = 0; i <= last; ++i) {
    // Every marker's high byte is 0x00 or 0x08: most offsets are settled by one byte.
    const std::uint8_t high = bytes[i + 1];
    if (high == 0x00) {
      if (bytes[i] == 0x85) {
        boundaries.boundMarker_.push_back(static_cast<std::uint32_t>(i));
      } else if (bytes[i] == 0x0A) {
        boundaries.EOFMarker_.push_back(static_cast<std::uint32_t>(i));
      }
    } else if (high == 0x08 && bytes[i] == 0x09) {
      boundaries.BOFMarker_.push_back(static_cast<std::uint32_t>(i));
    }
  }
}

void FindBoundaries(std::span<const std::uint8_t> stream, SheetBoundaries& boundaries) {
  auto& boundMarker = boundaries.boundMarker_;
  auto& bofMarker = boundaries.BOFMarker_;
  auto& eofMarker = boundaries.EOFMarker_;
  auto& startPos = boundaries.startPos_;
  auto& endPos = boundaries.endPos_;
  startPos.clear();
  endPos.clear();
  const std::size_t size = stream.size();
  // The folder is looked at once; without it no dump text is built at all.
  const bool dumping = DiagnosticsDirectory().has_value();

  if (dumping) WriteDiagnosticDump("Boundaries_before.csv", MarkerTable(boundaries));

  // BOUNDSHEET markers, visited from the last to the first: the list of the BOF positions
  // they name follows that order (the flag dump shows it so).
  std::vector<std::uint32_t> namedPositions;
  {
    std::vector<std::uint8_t> copy;
    std::vector<std::uint8_t> keep(boundMarker.size(), 0);
    for (std::size_t k = boundMarker.size(); k-- > 0;) {
      std::uint32_t position = 0;
      if (ValidBoundSheetAt(stream, boundMarker[k], copy, position)) {
        keep[k] = 1;
        namedPositions.push_back(position);
      }
    }
    std::size_t k = 0;
    KeepIf(boundMarker, [&](std::uint32_t) { return keep[k++] != 0; });
  }
  KeepIf(bofMarker, [&](std::uint32_t offset) {
    return Remaining(size, offset) >= 4 && LittleEndian::U32(stream, offset) == kBofHeader &&
           BOF::Validate(stream, offset);
  });
  KeepIf(eofMarker, [&](std::uint32_t offset) {
    return Remaining(size, offset) >= 4 && LittleEndian::U32(stream, offset) == kEofHeader;
  });

  if (dumping) WriteDiagnosticDump("Boundaries_After.csv", MarkerTable(boundaries));

  const std::size_t n = std::max({boundMarker.size(), bofMarker.size(), eofMarker.size()});
  std::vector<std::uint8_t> boundShtsFlags(n, 0);
  std::vector<std::uint8_t> bofsFlags(n, 0);
  std::vector<std::uint8_t> eofsFlags(n, 0);
  // The marker lists are ascending; the named positions are sorted once for the lookups.
  std::vector<std::uint32_t> namedSorted = namedPositions;
  std::sort(namedSorted.begin(), namedSorted.end());

  // A start named by a BOUNDSHEET counts when a BOF header stands there, or when an EOF
  // ends right before it (the BOF itself may be the damaged part).
  for (std::size_t k = 0; k < namedPositions.size(); ++k) {
    const std::uint32_t b = namedPositions[k];
    if (Contains(bofMarker, b) || (b >= 4 && Contains(eofMarker, b - 4))) {
      boundShtsFlags[k] = 1;
      startPos.push_back(b);
    }
  }
  // A BOF header counts when a BOUNDSHEET names it or an EOF ends right before it; the one
  // at offset 0 opens the globals and needs no witness.
  for (std::size_t k = 0; k < bofMarker.size(); ++k) {
    const std::uint32_t f = bofMarker[k];
    if (Contains(namedSorted, f) || (f >= 4 && Contains(eofMarker, f - 4))) bofsFlags[k] = 1;
    if (bofsFlags[k] != 0 || f == 0) startPos.push_back(f);
  }
  // An EOF header counts when a sheet starts right after it; the last one of the stream
  // closes the last substream and needs no witness.
  const bool haveLastEof = !eofMarker.empty();
  const std::uint32_t lastEof = haveLastEof ? eofMarker.back() : 0;
  for (std::size_t k = 0; k < eofMarker.size(); ++k) {
    const std::uint64_t next = std::uint64_t{eofMarker[k]} + 4;
    if (Contains(namedSorted, next) || Contains(bofMarker, next)) eofsFlags[k] = 1;
    if (eofsFlags[k] != 0 || eofMarker[k] == lastEof) endPos.push_back(eofMarker[k]);
  }
  // Ascending and without duplicates (a start can be witnessed by both a BOUNDSHEET and
  // its BOF header).
  for (auto* list : {&startPos, &endPos}) {
    std::sort(list->begin(), list->end());
    list->erase(std::unique(list->begin(), list->end()), list->end());
  }

  if (dumping) {
    WriteDiagnosticDump("Boundaries_Start-End_flags.csv",
                        ThreeColumnTable("boundShtsFlags_", boundShtsFlags, "bofsFlags_", bofsFlags,
                                         "eofsFlags_", eofsFlags));
    WriteDiagnosticDump("Boundaries_Start-End.csv", StartEndTable(boundaries));
  }

  boundaries.boundariesConsistent_ = BoundariesPairUp(startPos, endPos, haveLastEof, lastEof);

  // The sheet list is one run of BOUNDSHEET records in the globals, before the first
  // worksheet: bytes that pass for a BOUNDSHEET inside a sheet's data name nothing. The
  // list is the first run of records that follow each other, and the runs that go on
  // close behind it (a damaged entry breaks a run in two).
  std::uint32_t firstSheet = UINT32_MAX;
  for (const std::uint32_t f : bofMarker) {
    if (f > 0 && selector::BofType(stream, f) == BOF::kWorksheet) {
      firstSheet = f;
      break;
    }
  }
  constexpr std::uint32_t kListGap = 256;
  std::vector<std::uint32_t> listed;
  std::uint64_t listEnd = 0;  // where the last record taken into the list ends
  for (std::size_t k = 0; k < boundMarker.size(); ++k) {
    const std::uint32_t at = boundMarker[k];
    std::uint32_t position = 0;
    if (at >= firstSheet || !LittleEndian::Read(stream, position, std::size_t{at} + 4)) continue;
    if (!listed.empty() && at > listEnd + kListGap) break;
    listed.push_back(position);
    listEnd = std::uint64_t{at} + 4 + LittleEndian::U16(stream, std::size_t{at} + 2);
  }
  std::sort(listed.begin(), listed.end());
  listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
  PlaceNamedStarts(stream, listed, boundaries);
}

bool BoundariesPairUp(const std::vector<std::uint32_t>& startPos,
                      const std::vector<std::uint32_t>& endPos, bool haveLastEof,
                      std::uint32_t lastEof) {
  if (startPos.size() != endPos.size()) return false;
  if (startPos.empty()) return true;
  const std::size_t last = startPos.size() - 1;
  // The globals must start the stream.
  if (startPos[0] != 0) return false;
  // Each substream begins right after the previous EOF.
  for (std::size_t i = 1; i < last; ++i) {
    if (std::uint64_t{startPos[i]} != std::uint64_t{endPos[i - 1]} + 4) return false;
  }
  // The last one also follows its predecessor, or at least ends at the stream's last EOF.
  if (last > 0 && std::uint64_t{startPos[last]} == std::uint64_t{endPos[last - 1]} + 4) {
    return true;
  }
  return haveLastEof && endPos[last] == lastEof;
}

void MarkIntactSheets(std::span<const std::uint8_t> stream, SheetBoundaries& boundaries) {
  const auto& startPos = boundaries.startPos_;
  const auto& endPos = boundaries.endPos_;
  auto& flags = boundaries.intactFlags_;
  flags.assign(startPos.size(), 0);
  const std::size_t size = stream.size();
  // The code at an offset, or 0 when the offset is too close to the end.
  auto codeAt = [&](std::uint32_t offset) -> std::uint16_t {
    return std::uint64_t{offset} + 2 < size ? LittleEndian::U16(stream, offset) : 0;
  };
  const std::size_t count = std::min(startPos.size(), endPos.size());
  for (std::size_t i = 0; i < count; ++i) {
    if (codeAt(startPos[i]) == kBofCode && codeAt(endPos[i]) == kEofCode &&
        jumpthroughSheet(stream, startPos[i], endPos[i])) {
      flags[i] = 1;
    }
  }
}

bool jumpthroughSheet(std::span<const std::uint8_t> stream, std::uint32_t start,
                      std::uint32_t end) {
  const std::size_t size = stream.size();
  if (start > size || end > size || start > end) return false;
  const std::size_t distance = end - start;
  std::size_t w = 0;
  while (w <= distance) {
    const std::size_t field = start + w + 2;
    if (Remaining(size, field) < 2) {
      // The chain ran into the end of the stream before it reached its EOF.
      WriteLog(0, 0, "Exception in XlsDocument::jumpthroughSheet", true);
      return false;
    }
    const auto length = static_cast<std::int16_t>(LittleEndian::U16(stream, field));
    w += 4;
    if (length < 0 || w + static_cast<std::size_t>(length) > distance) return false;
    if (w + static_cast<std::size_t>(length) == distance) return true;
    w += static_cast<std::size_t>(length);
  }
  return false;
}

}  // namespace tabulix
