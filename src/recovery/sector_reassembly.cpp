// The sector reassembly: one walk of the record chain per start and piece size, each
// join and each shift settled by the records on both sides of it.

#include "recovery/sector_reassembly.hpp"

#include <algorithm>
#include <array>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "base/little_endian.hpp"
#include "biff/bof.hpp"
#include "biff/cell_block.hpp"
#include "biff/record_codes.hpp"
#include "recovery/record_scan_tables.hpp"

namespace tabulix {

namespace {

constexpr std::uint16_t kBofCode = BOF::kCode;
constexpr std::uint16_t kEofCode = ToCode(RecordCode::EOF_);
constexpr std::uint16_t kBoundSheetCode = ToCode(RecordCode::BOUNDSHEET);
constexpr std::uint16_t kRowCode = ToCode(RecordCode::ROW);
constexpr std::uint16_t kContinueCode = ToCode(RecordCode::CONTINUE);
constexpr std::uint16_t kSstCode = ToCode(RecordCode::SST);
// The longest body a BIFF8 record has.
constexpr std::uint32_t kMaxBody = 8224;
constexpr std::uint32_t kSmallUnit = 64;
// Inserted or lost bytes are looked for this far on either side of a break.
constexpr std::uint32_t kMaxShift = 16;
// Bounds on the work of one walk: shifts corrected, candidates tried per join, index
// entries looked at per join, entries kept per piece, globals BOFs a chain is tried from,
// and grids an index is built for.
constexpr std::size_t kMaxShifts = 64;
constexpr std::size_t kOrderCandidates = 8;
constexpr std::size_t kIndexCandidates = 16;
constexpr std::size_t kIndexScan = 64;
constexpr std::size_t kEntriesPerPiece = 8;
constexpr std::size_t kMaxStarts = 8;
constexpr std::size_t kMaxIndexedGrids = 4;
// A candidate continues the chain when this many sound records follow in it (or it walks
// to its piece's end, or the file's).
constexpr std::size_t kLookaheadRecords = 4;
// A break this many records into a piece is taken for damage inside it before a wrong
// piece is suspected.
constexpr std::size_t kLateRecords = 3;
constexpr int kClearlyBetter = 2;
// The strings looked at while placing a stretch inserted into or lost from a shared-string
// table: a table's record holds a few thousand at most.
constexpr std::size_t kRealignBudget = std::size_t{1} << 20;
// The score a join must reach behind a record taken on trust: a first entry whose record
// may follow the crossing one.
constexpr int kTrustedJoin = 12;
// The count a file block holds when it belongs to the container's allocation table: far
// above any count of bytes the chain copies from it.
constexpr std::uint32_t kTableBlock = std::uint32_t{1} << 30;

std::uint16_t U16(std::span<const std::uint8_t> bytes, std::uint64_t pos) {
  return pos + 2 <= bytes.size() ? LittleEndian::U16(bytes, static_cast<std::size_t>(pos)) : 0;
}

// A header the walk takes on its own word: a code and length the scan calls sound.
bool StrictHeader(std::uint16_t code, std::uint16_t length) {
  if (length > kMaxBody) return false;
  return IsSoundRecord(ScanTable::Both, static_cast<std::int16_t>(code),
                       static_cast<std::int16_t>(length));
}

bool StrictHeaderAt(std::span<const std::uint8_t> bytes, std::uint64_t pos) {
  if (pos + 4 > bytes.size()) return false;
  return StrictHeader(U16(bytes, pos), U16(bytes, pos + 2));
}

// A record the tables do not know (a drawing, an object, a chart's records, a newer
// version's records) still has a code from one of the format's ranges and a length a
// record can have.
bool WeakHeader(std::uint16_t code, std::uint16_t length) {
  const bool formatCode = (code != 0 && code < 0x0300) || (code >= 0x0400 && code < 0x0500) ||
                          (code >= 0x0800 && code < 0x0900) || (code >= 0x1000 && code < 0x1070);
  return formatCode && length <= kMaxBody;
}

// Whether `code` is one whose length the format bounds (a cell record, a row, a cell
// format; a font, a number format, a style or a sheet entry, whose names have at most 255
// characters), and `length` lies past the bound. Most other records may be long.
bool PastFormatBound(std::uint16_t code, std::uint16_t length) {
  constexpr std::uint16_t kLongestName = 530;
  switch (static_cast<RecordCode>(code)) {
    case RecordCode::BLANK:
      return length > 6;
    case RecordCode::BOOLERR:
      return length > 8;
    case RecordCode::LABELSST:
    case RecordCode::RK:
      return length > 10;
    case RecordCode::NUMBER:
      return length > 14;
    case RecordCode::ROW:
      return length > 16;
    case RecordCode::XF:
      return length > 20;
    case RecordCode::FONT:
    case RecordCode::FORMAT:
    case RecordCode::STYLE:
    case RecordCode::BOUNDSHEET:
      return length > kLongestName;
    default:
      return false;
  }
}

// A header the walk takes: one it takes on its own word, or a format code followed by two
// more headers it would take (unknown records come in runs, a drawing's objects one after
// the other, but random bytes seldom chain three times). What lies at or past `limit` is
// another piece's and cannot vouch either way: a run that reaches it is taken.
bool SoundAt(std::span<const std::uint8_t> bytes, std::uint64_t pos, int behind = 2,
             std::uint64_t limit = ~std::uint64_t{0}) {
  if (pos + 4 > limit) return true;
  if (StrictHeaderAt(bytes, pos)) return true;
  if (pos + 4 > bytes.size() || !WeakHeader(U16(bytes, pos), U16(bytes, pos + 2))) return false;
  return behind == 0 || SoundAt(bytes, pos + 4 + U16(bytes, pos + 2), behind - 1, limit);
}

bool IsGlobalsBof(std::span<const std::uint8_t> bytes, std::uint64_t pos) {
  if (pos + 8 > bytes.size() || U16(bytes, pos) != kBofCode) return false;
  const std::uint16_t length = U16(bytes, pos + 2);
  return length >= 8 && length <= 32 && U16(bytes, pos + 4) == BOF::kBiff8 &&
         U16(bytes, pos + 6) == BOF::kWorkbookGlobals;
}

// Whether the 512 bytes at `pos` read as a sector of the container's allocation table: an
// array of sector numbers, most of them either one more than the one before (a stream
// stored in a run) or one of the table's markers (free, end of chain, table sectors). Such
// a sector also reads as a run of short records of small codes, and large files hold one
// every 128 sectors among the workbook's: a walk must not take it for a piece.
bool LooksLikeAllocationTable(std::span<const std::uint8_t> file, std::uint64_t pos) {
  constexpr std::uint32_t kEntries = 128;
  constexpr std::uint32_t kFirstMarker = 0xFFFFFFFC;
  if (pos + 4 * kEntries > file.size()) return false;
  std::uint32_t tableLike = 0;
  std::uint32_t runs = 0;
  std::uint32_t previous = 0;
  for (std::uint32_t i = 0; i < kEntries; ++i) {
    const std::uint32_t value = LittleEndian::U32(file, static_cast<std::size_t>(pos + 4 * i));
    if (value >= kFirstMarker) {
      ++tableLike;
    } else if (i > 0 && value == previous + 1) {
      ++tableLike;
      ++runs;
    }
    previous = value;
  }
  // A run of 0xFF bytes inside a record (a picture's) is all markers: it takes links too.
  return tableLike >= kEntries * 3 / 4 && runs >= 8;
}

// Whether `code` is a record that only the other kind of substream holds: a cell or a row
// block in the globals, a font, a cell format, a number format or the string table in a
// sheet. Sectors of a sheet's cells read as a fine run of records anywhere; only where they
// stand tells they are in the wrong place.
bool OnlyElsewhere(std::uint16_t code, bool inGlobals) {
  if (inGlobals)
    return cells::IsCellCode(code) || code == kRowCode || code == ToCode(RecordCode::DBCELL);
  switch (static_cast<RecordCode>(code)) {
    case RecordCode::FONT:
    case RecordCode::XF:
    case RecordCode::FORMAT:
    case RecordCode::STYLE:
    case RecordCode::BOUNDSHEET:
    case RecordCode::SST:
    case RecordCode::EXTSST:
      return true;
    default:
      return false;
  }
}

// The substream type a BOF's body gives, when the body holds it.
std::uint16_t BofType(std::span<const std::uint8_t> bytes, std::uint64_t header) {
  return U16(bytes, header + 2) >= 4 ? U16(bytes, header + 6) : 0;
}

// Where the chain stands between records: how deep in nested substreams (an embedded
// chart's BOF and EOF sit inside its sheet's), the type of the top-level one, how many
// top-level substreams ended, and how many sheets the globals list.
struct ChainState {
  int depth = 0;
  std::uint16_t type = 0;
  std::size_t ended = 0;
  std::size_t sheets = 0;

  // A workbook lists one sheet at least: globals that end before any most often ended in
  // a wrong piece's EOF, and the walk goes on looking for a sheet's BOF.
  bool Complete() const { return sheets > 0 && depth == 0 && ended >= sheets + 1; }
  // The globals ended without listing a sheet; complete when nothing else follows.
  bool EndedWithoutSheets() const { return sheets == 0 && depth == 0 && ended > 0; }
  // Between substreams only a BOF may come; inside the globals or a sheet (not a chart
  // within it) no record that belongs only to the other kind.
  bool Accepts(std::uint16_t code) const {
    if (depth == 0) return code == kBofCode;
    if (depth > 1) return true;
    if (type == BOF::kWorkbookGlobals) return !OnlyElsewhere(code, true);
    if (type == BOF::kWorksheet || type == BOF::kMacroSheet) return !OnlyElsewhere(code, false);
    return true;
  }
  // `bofType` is the type a BOF's body gives (read only for a BOF).
  void Take(std::uint16_t code, std::uint16_t bofType) {
    if (code == kBofCode) {
      if (depth++ == 0) type = bofType;
    } else if (code == kEofCode && depth > 0) {
      if (--depth == 0) ++ended;
    } else if (code == kBoundSheetCode && ended == 0 && depth == 1) {
      ++sheets;
    }
  }
};

// Whether a chain of sound records runs from `pos` in the file's own order: to `end` (the
// header there may be cut by it), to the file's end, or for kLookaheadRecords records.
bool WalksOn(std::span<const std::uint8_t> file, std::uint64_t pos, std::uint64_t end,
             ChainState state) {
  for (std::size_t records = 0; records < kLookaheadRecords; ++records) {
    // A header the piece's end cuts lies partly in the next piece, unknown here.
    if (pos + 4 > end || pos >= file.size()) return true;
    if (!SoundAt(file, pos, 2, end)) return false;
    const std::uint16_t code = U16(file, pos);
    if (!state.Accepts(code)) return false;
    state.Take(code, BofType(file, pos));
    pos += 4 + std::uint64_t{U16(file, pos + 2)};
    if (state.Complete()) return true;
  }
  return true;
}

// How the shared strings that `byteAt` gives from a record's `pos` on fill it to `end`.
struct StringFill {
  bool sound = false;  // every string well formed, as far as the record holds it
  // The last string runs past the record's end: where its characters are cut (and how
  // many bytes of them, and of its runs and phonetic data, the continuation holds), or
  // how many bytes of its runs and phonetic data are left.
  bool cutInText = false;
  std::uint64_t textLeft = 0;
  std::uint64_t tailLeft = 0;
};

template <typename ByteAt>
StringFill FillStrings(ByteAt byteAt, std::uint64_t pos, std::uint64_t end, std::size_t& budget) {
  StringFill fill;
  const auto u16 = [&](std::uint64_t at) {
    return static_cast<std::uint32_t>(byteAt(at) | (byteAt(at + 1) << 8));
  };
  while (pos < end) {
    if (budget == 0) return fill;
    --budget;
    // A string's header, cut by the record's end, goes on in the continuation as it is.
    if (pos + 3 > end) {
      fill.sound = true;
      return fill;
    }
    const std::uint32_t count = u16(pos);
    const std::uint8_t flags = byteAt(pos + 2);
    if ((flags & ~0x0Du) != 0) return fill;
    std::uint64_t size = 3;
    std::uint64_t tail = 0;
    if ((flags & 0x08u) != 0) {
      if (pos + size + 2 > end) return fill;
      tail += 4 * std::uint64_t{u16(pos + size)};
      size += 2;
    }
    if ((flags & 0x04u) != 0) {
      if (pos + size + 4 > end) return fill;
      const std::uint64_t phonetic = u16(pos + size) | (std::uint64_t{u16(pos + size + 2)} << 16);
      if (phonetic > kMaxBody) return fill;
      tail += phonetic;
      size += 4;
    }
    const std::uint64_t width = (flags & 0x01u) != 0 ? 2 : 1;
    const std::uint64_t text = pos + size;
    const std::uint64_t textEnd = text + std::uint64_t{count} * width;
    if (textEnd > end) {
      // Characters are never cut in half.
      if ((end - text) % width != 0) return fill;
      fill.sound = true;
      fill.cutInText = true;
      fill.textLeft = (textEnd - end) / width;
      fill.tailLeft = tail;
      return fill;
    }
    pos = textEnd + tail;
  }
  fill.sound = true;
  fill.tailLeft = pos - end;
  return fill;
}

// The offsets near the start of each piece of one grid where a chain of sound headers
// begins and runs to the piece's end: where the record that a previous piece left
// unfinished may end. Beyond the first few of a piece, the headers the scan knows are kept
// too, as extras: where the tables stood and only pieces moved, they find entries that
// data crowded out; where bytes may have been inserted or lost, a break is as often a
// shift inside the right piece, and the extras would offer wrong pieces in its place.
class PieceIndex {
 public:
  PieceIndex(std::span<const std::uint8_t> file, std::uint32_t unit, std::uint64_t phase)
      : unit_(unit), phase_(phase) {
    std::vector<std::uint8_t> good(unit);
    std::uint32_t piece = 0;
    for (std::uint64_t start = phase; start < file.size(); start += unit, ++piece) {
      const auto length =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(unit, file.size() - start));
      // From the end back: a header is good when its record leaves the piece, or lands on
      // another good header or on one the piece's end cuts (whose last bytes lie in
      // whichever piece comes next, not in the file's next bytes).
      for (std::uint32_t e = length; e-- > 0;) {
        good[e] = 0;
        if (e + 4 > length) continue;
        const std::uint64_t next = std::uint64_t{e} + 4 + U16(file, start + e + 2);
        const bool leaves = next + 4 > length;
        if (StrictHeaderAt(file, start + e)) {
          good[e] = leaves || good[next] != 0;
        } else if (WeakHeader(U16(file, start + e), U16(file, start + e + 2))) {
          good[e] = leaves || (good[next] != 0 && SoundAt(file, start + next, 1, start + length));
        }
      }
      // The first few entries, and as many again of those whose header the scan knows:
      // text and other data read as unknown headers at nearly every offset, and would
      // crowd a real entry further on out.
      std::size_t kept = 0;
      std::size_t strictKept = 0;
      for (std::uint32_t e = 0; e < length && strictKept < kEntriesPerPiece; ++e) {
        if (good[e] == 0) continue;
        if (kept >= kEntriesPerPiece) {
          if (!StrictHeaderAt(file, start + e)) continue;
          ++strictKept;
        }
        const std::uint32_t extra = kept >= kEntriesPerPiece ? kExtra : 0;
        anyCode_.push_back({e | extra, piece});
        byCode_.push_back({(e << 16) | U16(file, start + e) | extra, piece});
        ++kept;
      }
      // A header the previous piece's end cut after `cut` bytes: the piece's first bytes
      // complete it, and its record must end on a good header of the piece.
      for (std::uint32_t cut = 1; cut <= 2; ++cut) {
        const std::uint32_t lengthAt = cut == 1 ? 1 : 0;
        if (start + lengthAt + 2 > file.size()) continue;
        const std::uint64_t next = 4 - cut + std::uint64_t{U16(file, start + lengthAt)};
        if (next < length && (next + 4 > length || good[next] != 0))
          completes_[cut - 1].push_back(piece);
      }
    }
    SortByKey(anyCode_);
    SortByKey(byCode_);
  }

  // Up to `want` pieces, the first after `after` in file order (then from the file's
  // start), whose first bytes complete a header cut after `cut` bytes (1 or 2) so that
  // its record ends on a good header, and that `usable` accepts.
  template <typename Usable>
  std::vector<std::uint64_t> Completing(std::uint32_t cut, std::uint64_t after, std::size_t want,
                                        Usable usable) const {
    const std::vector<std::uint32_t>& pieces = completes_[cut - 1];
    std::vector<std::uint64_t> found;
    if (pieces.empty()) return found;
    auto at = std::lower_bound(pieces.begin(), pieces.end(), PiecesUpTo(after));
    for (std::size_t looked = 0;
         looked < kIndexScan && looked < pieces.size() && found.size() < want; ++looked) {
      if (at == pieces.end()) at = pieces.begin();
      if (usable(Start(*at))) found.push_back(Start(*at));
      ++at;
    }
    return found;
  }

  // Up to `want` pieces with a chain entry at `entry` (whose record has code `code`, when
  // given), the first after `after` in file order (then from the file's start), that
  // `usable` accepts; with `extras`, then those where the entry lies further on.
  template <typename Usable>
  std::vector<std::uint64_t> Find(std::uint32_t entry, std::optional<std::uint16_t> code,
                                  std::uint64_t after, std::size_t want, Usable usable,
                                  bool extras) const {
    const std::vector<Entry>& entries = code ? byCode_ : anyCode_;
    const std::uint32_t key = code ? (entry << 16) | *code : entry;
    std::vector<std::uint64_t> found;
    for (const std::uint32_t tier : {0u, kExtra}) {
      if (tier != 0 && !extras) break;
      const auto first = std::lower_bound(entries.begin(), entries.end(), Entry{key | tier, 0});
      const auto last =
          std::upper_bound(entries.begin(), entries.end(), Entry{key | tier, ~std::uint32_t{0}});
      if (first == last) continue;
      auto at = std::lower_bound(first, last, Entry{key | tier, PiecesUpTo(after)});
      for (std::size_t looked = 0;
           looked < kIndexScan && looked < std::size_t(last - first) && found.size() < want;
           ++looked) {
        if (at == last) at = first;
        if (usable(Start(at->piece))) found.push_back(Start(at->piece));
        ++at;
      }
    }
    return found;
  }

 private:
  // The key's top bit marks an entry kept beyond the first few of its piece.
  static constexpr std::uint32_t kExtra = std::uint32_t{1} << 31;
  // Pieces are kept by their number on the grid, in four bytes rather than eight.
  struct Entry {
    std::uint32_t key;
    std::uint32_t piece;
    bool operator<(const Entry& other) const {
      return key != other.key ? key < other.key : piece < other.piece;
    }
  };
  // Puts `entries`, made piece by piece, in the order of their keys and, for one key, of
  // their pieces. A radix sort by key keeps the pieces' order and takes linear time: the
  // index of a file of tens of megabytes holds hundreds of thousands of entries, and a
  // damaged stream may have it made for several grids.
  static void SortByKey(std::vector<Entry>& entries) {
    std::vector<Entry> spare(entries.size());
    for (unsigned shift = 0; shift < 32; shift += 8) {
      std::array<std::size_t, 257> starts{};
      for (const Entry& e : entries) ++starts[((e.key >> shift) & 0xFF) + 1];
      if (starts[1 + ((entries.empty() ? 0 : entries.front().key >> shift) & 0xFF)] ==
          entries.size())
        continue;  // every key has the same byte here: the order stands
      for (std::size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
      for (const Entry& e : entries) spare[starts[(e.key >> shift) & 0xFF]++] = e;
      entries.swap(spare);
    }
  }
  std::uint64_t Start(std::uint32_t piece) const { return phase_ + std::uint64_t{piece} * unit_; }
  // How many pieces of the grid start at or before `offset`.
  std::uint32_t PiecesUpTo(std::uint64_t offset) const {
    return offset < phase_ ? 0 : static_cast<std::uint32_t>((offset - phase_) / unit_ + 1);
  }

  std::uint32_t unit_;
  std::uint64_t phase_;
  // Keyed by the entry alone, and by the entry and the code of the record there.
  std::vector<Entry> anyCode_;
  std::vector<Entry> byCode_;
  // Pieces whose first bytes complete a header cut after 1 and after 2 bytes, in order.
  std::array<std::vector<std::uint32_t>, 2> completes_;
};

class Walker {
 public:
  Walker(std::span<const std::uint8_t> file, std::uint32_t unit, const ReassemblyHints& hints,
         std::map<std::pair<std::uint32_t, std::uint64_t>, PieceIndex>& indexes,
         std::span<const std::uint64_t> tableSectors, std::span<const std::uint64_t> namedTables)
      : file_(file), unit_(unit), hints_(hints), indexes_(indexes), namedTables_(namedTables) {
    cap_ = hints.size_.value_or(file.size());
    cap_ = std::min<std::uint64_t>(cap_, file.size() + kMaxShifts * kMaxShift);
    copyBudget_ = 4 * file.size() + (std::uint64_t{1} << 20);
    blockUse_.assign(file.size() / kSmallUnit + 1, 0);
    // Allocation-table sectors count as taken for good, so no walk enters one.
    for (const std::uint64_t pos : tableSectors) {
      for (std::uint64_t block = pos / kSmallUnit; block < (pos + 512) / kSmallUnit; ++block)
        blockUse_[block] = kTableBlock;
    }
    if (hints.unit_ == unit && !hints.order_.empty()) {
      useOrder_ = true;
      for (std::size_t i = 0; i < hints.order_.size(); ++i) orderAt_.emplace(hints.order_[i], i);
      // A chain that gave out before the stream's size: behind its last piece the file's
      // order is all there is.
      partialOrder_ = hints.size_ && std::uint64_t{unit} * hints.order_.size() < *hints.size_;
    }
  }

  Reassembly Run(std::uint64_t start) {
    Reassembly result;
    result.start_ = start;
    result.unit_ = unit_;
    phase_ = start % unit_;
    if (useOrder_ && !orderAt_.contains(start)) useOrder_ = false;
    // A start further on in the order than its first piece traded places with it.
    if (useOrder_ && orderAt_.find(start)->second > 0) standsFor_[start] = hints_.order_.front();
    // The chain is at most the file's size (or the directory's): one buffer for it, not a
    // series of ever larger copies.
    out_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(cap_, file_.size())));
    Take(start);

    while (out_.size() < cap_ && !state_.Complete() && copied_ <= copyBudget_) {
      // A join inside a header leaves the header whole in out_, to be read again.
      const std::uint64_t h = pendingHeader_.value_or(out_.size());
      const std::size_t crossingsAtHeader = crossingsMade_;
      if (pendingHeader_) {
        pendingHeader_.reset();
      } else if (!Copy(4)) {
        Truncate(h);
        break;
      }
      const bool headerCrossed = crossingsMade_ != crossingsAtHeader ||
                                 (!crossings_.empty() && crossings_.back().outPos > h);
      const std::uint16_t code = U16(out_, h);
      const std::uint16_t length = U16(out_, h + 2);
      // An unknown record with a code of the format's is taken on trust: if it is no
      // record, the header behind it breaks the chain, still in the same piece. Not so the
      // first header in a piece the chain crossed into: that one fixes where the crossing
      // record ended, and the headers behind it (as far as the piece holds them) must
      // stand too.
      const bool entering = !crossings_.empty() && !crossings_.back().entry;
      const bool sound =
          StrictHeader(code, length) ||
          (WeakHeader(code, length) && (!entering || SoundAt(file_, src_ + length, 1, pieceEnd_)));
      if (!sound || !state_.Accepts(code)) {
        // A break several records into a piece is more likely damage inside it than a
        // wrong piece: a shift is looked for first there, and another piece must continue
        // the crossing record clearly better than this one did up to the break.
        const bool late = !crossings_.empty() && crossings_.back().entry &&
                          chainRecords_ >= crossings_.back().entry->records + kLateRecords;
        // Globals that ended without listing a sheet, and no BOF behind them, ended in the
        // wrong piece: a workbook lists a sheet at least.
        const bool disproved = state_.EndedWithoutSheets();
        const bool shifts = hints_.shifts_;
        const bool mended = late || hints_.shiftsFirst_
                                ? (shifts && Shift(h, result)) || Join(h, result, true, disproved)
                                : Join(h, result, true, disproved) || (shifts && Shift(h, result));
        if (h > 0 && mended) continue;
        Truncate(h);
        break;
      }
      // A sheet's BOF where the globals' list names no sheet most often comes with a piece
      // of another sheet, taken in the wrong place: any candidate that continues the
      // crossing record takes its place. Where none does, the list itself may be what is
      // damaged, and the BOF stands. Not behind a shift: records may have come or gone.
      if (code == kBofCode && result.shifts_.empty() && !ListedSheetAt(h) &&
          Join(h, result, true, true))
        continue;
      // A header the piece's end cut, completed by the next piece into a length the format
      // does not allow its code: that piece may be the wrong one (a font of 2,304 bytes),
      // and another that completes the header clearly better takes its place.
      if (headerCrossed && PastFormatBound(code, length) && Join(h, result, false)) continue;
      // The first header behind a crossing is where the record that crossed ended: the
      // entry a join there must match, and the chain's state to go back to.
      bool doubtful = false;
      for (Crossing& c : crossings_) {
        if (c.outPos < h + 4 && !c.entry) {
          c.entry = Crossing::Entry{h, state_, chainRecords_};
          doubtful = doubtful || c.afterJoin;
        }
      }
      // Behind a piece the records moved, neither the order's next piece nor the first
      // it has left is sure to come next: a sound header there is weighed against the
      // other candidates, and gives way to one that continues the record clearly better.
      if (doubtful && Join(h, result, false)) continue;
      std::erase_if(crossings_, [this, h](const Crossing& c) { return c.outPos + unit_ < h; });
      std::optional<LastRecord> taking;
      if (!headerCrossed)
        taking = LastRecord{src_ - 4,
                            piece_,
                            h,
                            code,
                            crossings_.size(),
                            Before{state_, chainRecords_, recordCode_, recordStart_}};
      recordCode_ = code;
      recordStart_ = h;
      // Only a record longer than a piece can hold a piece whole in its body.
      if (4 + std::uint64_t{length} > unit_) longRecords_.push_back({h, h + 4 + length});
      const std::size_t crossingsBefore = crossingsMade_;
      if (!Copy(length, true)) {
        // The record runs on past the last free piece: its header was no header. When it
        // was the first in its piece, another piece may continue the record before it.
        std::erase_if(crossings_, [h](const Crossing& c) { return c.outPos >= h + 4; });
        Truncate(h + 4);
        for (Crossing& c : crossings_) {
          if (c.entry && c.entry->pos == h) c.entry.reset();
        }
        if (h > 0 && Join(h, result)) continue;
        Truncate(h);
        break;
      }
      if (code == kBoundSheetCode && state_.depth == 1 && state_.ended == 0 && length >= 4)
        sheetsListed_.emplace_back(h, LittleEndian::U32(out_, static_cast<std::size_t>(h + 4)));
      state_.Take(code, BofType(out_, h));
      ++chainRecords_;
      last_ = taking;
      if (chainRecords_ > 1) seenPairs_.insert(Pair(previousCode_, code));
      previousCode_ = code;
      // The last few records that lie whole in one piece, for a shift to reach back to.
      if (crossingsMade_ != crossingsBefore || headerCrossed) {
        history_.clear();
      } else {
        if (history_.size() == kHistory) history_.erase(history_.begin());
        history_.push_back({src_ - length - 4, src_, out_.size(), state_, chainRecords_, h});
      }
    }
    result.chainRecords_ = chainRecords_;
    result.chainBytes_ = out_.size();
    // Against the table's order, the pieces out of place are those the chain holds where
    // the table puts another, whichever way each came there (a join, or the first free
    // piece behind one) and however often a join there was undone.
    if (useOrder_ && result.shifts_.empty()) result.joins_ = OutOfOrder(result.chainBytes_);
    result.complete_ = state_.Complete() || (state_.EndedWithoutSheets() && PaddingBehind());
    result.found_ = chainRecords_ > 0;
    // A chain that ends early, or ends a piece or more short of the size the directory
    // gives, left records behind: the scan gets the pieces it did not take.
    const bool short_ = hints_.size_ && result.chainBytes_ + unit_ <= *hints_.size_;
    if (!result.complete_ || short_) AppendLeftovers(result);
    result.stream_ = std::move(out_);
    return result;
  }

  // Whether nothing but zeros lies behind where the walk stopped, to its piece's end.
  bool PaddingBehind() const {
    const std::uint64_t from = std::max(src_ >= 4 ? src_ - 4 : 0, piece_);
    return std::all_of(file_.begin() + static_cast<std::ptrdiff_t>(std::min(from, pieceEnd_)),
                       file_.begin() + static_cast<std::ptrdiff_t>(pieceEnd_),
                       [](std::uint8_t byte) { return byte == 0; });
  }

  // The pieces the stream's first `chainBytes` bytes hold where the table's order puts
  // other ones.
  std::vector<Reassembly::Join> OutOfOrder(std::uint64_t chainBytes) const {
    std::vector<Reassembly::Join> moved;
    auto segment = segments_.begin();
    for (std::uint64_t pos = 0, k = 0; pos < chainBytes && k < hints_.order_.size();
         pos += unit_, ++k) {
      while (segment != segments_.end() && segment->outPos + segment->length <= pos) ++segment;
      if (segment == segments_.end() || segment->outPos > pos) break;
      const std::uint64_t piece = PieceOf(segment->src + (pos - segment->outPos));
      if (piece != hints_.order_[k]) moved.push_back({pos, hints_.order_[k], piece});
    }
    return moved;
  }

  // The file's ranges the chain's bytes came from, in file order.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ChainRanges(std::uint64_t chainBytes) const {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (const Segment& segment : segments_) {
      if (segment.outPos >= chainBytes) break;
      ranges.emplace_back(segment.src,
                          segment.src + std::min(segment.length, chainBytes - segment.outPos));
    }
    std::sort(ranges.begin(), ranges.end());
    return ranges;
  }

 private:
  struct Crossing {
    std::uint64_t outPos;    // where in the stream the taken piece begins
    std::uint64_t previous;  // the piece before it
    std::uint64_t taken;
    std::uint16_t code;  // the record whose bytes crossed, and where it starts
    std::uint64_t codeStart;
    // The first header taken behind the crossing, with the chain as it stood there.
    struct Entry {
      std::uint64_t pos;
      ChainState state;
      std::size_t records;
    };
    std::optional<Entry> entry;
    bool afterJoin = false;  // the piece before it was one a join chose
  };

  // Whether a BOF at stream offset `h` may stand there as far as the sheet list goes: a
  // sheet's BOF stands where the globals' list says a sheet begins.
  bool ListedSheetAt(std::uint64_t h) const {
    if (state_.depth != 0 || state_.ended == 0) return true;
    bool listed = false;
    for (const auto& [at, position] : sheetsListed_) {
      if (at >= h) continue;
      if (position == h) return true;
      listed = true;
    }
    return !listed;
  }

  static std::uint32_t Pair(std::uint16_t code, std::uint16_t next) {
    return (std::uint32_t{code} << 16) | next;
  }
  // Whether a record of code `next` may follow one of `code`: the same code again, a pair
  // the record tables expect, or one the chain already holds (each writer has its own
  // habits, a style's extension behind every style, which the tables cannot all know).
  bool MayFollow(std::uint16_t code, std::uint16_t next) const {
    return next == code || seenPairs_.contains(Pair(code, next)) ||
           IsExpectedSuccessor(static_cast<std::int16_t>(code), static_cast<std::int16_t>(next));
  }

  std::uint64_t PieceOf(std::uint64_t offset) const {
    return offset - (offset + unit_ - phase_) % unit_;
  }

  // A piece none of whose bytes the chain holds. The chain's bytes are counted per 64-byte
  // block of the file, so that pieces of another grid (after a shift) are told apart too.
  bool Usable(std::uint64_t piece) const {
    if (piece >= file_.size()) return false;
    // Off the file's own grid (after a shift) the table's sectors were not found up front.
    if (piece % 512 != 0 && unit_ >= 512 && LooksLikeAllocationTable(file_, piece)) return false;
    const std::uint64_t end = std::min<std::uint64_t>(piece + unit_, file_.size());
    for (std::uint64_t block = piece / kSmallUnit; block * kSmallUnit < end; ++block) {
      // A block the piece shares with its neighbour (after a shift moved the grid) may
      // hold as many of the chain's bytes as lie outside the piece.
      const std::uint64_t first = block * kSmallUnit;
      const std::uint64_t outside = (piece > first ? piece - first : 0) +
                                    (first + kSmallUnit > end ? first + kSmallUnit - end : 0);
      if (blockUse_[block] > outside) return false;
    }
    return true;
  }

  // Counts (delta 1) or uncounts (delta -1) the file blocks of the chain's bytes from
  // stream offset `from` on.
  void CountFrom(std::uint64_t from, int delta) {
    for (const Segment& segment : segments_) {
      const std::uint64_t end = segment.outPos + segment.length;
      if (end <= from) continue;
      const std::uint64_t skip = from > segment.outPos ? from - segment.outPos : 0;
      CountRange(segment.src + skip, segment.length - skip, delta);
      // A piece given back is free again, though the order's first free one had passed it.
      if (delta < 0 && useOrder_) {
        if (const auto at = InOrder(PieceOf(segment.src + skip)))
          orderCursor_ = std::min(orderCursor_, *at);
      }
    }
  }

  // Counts bytes, not touches: a block copied in two runs and cut back in one must come
  // out free again.
  void CountRange(std::uint64_t src, std::uint64_t length, int delta) {
    const std::uint64_t end = src + length;
    for (std::uint64_t pos = src; pos < end;) {
      const std::uint64_t block = pos / kSmallUnit;
      const std::uint64_t next = std::min<std::uint64_t>((block + 1) * kSmallUnit, end);
      const auto bytes = static_cast<std::int64_t>(next - pos);
      blockUse_[block] =
          static_cast<std::uint32_t>(static_cast<std::int64_t>(blockUse_[block]) + delta * bytes);
      pos = next;
    }
  }

  // The piece the table (or the file) puts after `piece`, when it is still free.
  std::optional<std::uint64_t> Successor(std::uint64_t piece) {
    if (useOrder_) {
      // A piece a join took from further on in the order most often traded places with
      // the one it was taken for: the chain goes on behind that one (and the other of the
      // two comes back where the first stood, as the first free piece).
      if (const auto swapped = standsFor_.find(piece); swapped != standsFor_.end()) {
        const auto at = InOrder(swapped->second);
        if (at && *at + 1 < hints_.order_.size() && Usable(Now(hints_.order_[*at + 1])))
          return Now(hints_.order_[*at + 1]);
      }
      const auto at = InOrder(piece);
      if (at && *at + 1 < hints_.order_.size() && Usable(Now(hints_.order_[*at + 1])))
        return Now(hints_.order_[*at + 1]);
      if (const auto first = FirstFreeInOrder(); first || !partialOrder_) return first;
    }
    // The next piece in file order; when the chain took it already (the stream went on
    // elsewhere and came back), the next free one behind it.
    std::uint64_t next = piece + unit_;
    for (std::size_t skipped = 0; next < file_.size() && skipped < kIndexScan; ++skipped) {
      if (Usable(next) && !NamedTable(next)) return next;
      next += unit_;
    }
    return std::nullopt;
  }

  // Whether the header names `piece` as a sector of the allocation table. A walk in file
  // order passes over it; a join may still take it, should the header be wrong.
  bool NamedTable(std::uint64_t piece) const {
    return std::binary_search(namedTables_.begin(), namedTables_.end(), piece);
  }

  std::optional<std::uint64_t> FirstFreeInOrder() {
    while (orderCursor_ < hints_.order_.size() && !Usable(Now(hints_.order_[orderCursor_])))
      ++orderCursor_;
    if (orderCursor_ < hints_.order_.size()) return Now(hints_.order_[orderCursor_]);
    return std::nullopt;
  }

  // Where the order's piece `piece` lies in the file now: behind a shift, the pieces from
  // the one it was found in on moved with it; those before it in the file did not.
  std::uint64_t Now(std::uint64_t piece) const {
    return piece >= movedFrom_
               ? static_cast<std::uint64_t>(static_cast<std::int64_t>(piece) + moved_)
               : piece;
  }

  // The place in the order of the piece that lies at file offset `at` now.
  std::optional<std::size_t> InOrder(std::uint64_t at) const {
    if (moved_ != 0) {
      const auto was = static_cast<std::uint64_t>(static_cast<std::int64_t>(at) - moved_);
      if (const auto found = orderAt_.find(was); was >= movedFrom_ && found != orderAt_.end())
        return found->second;
    }
    if (const auto found = orderAt_.find(at); at < movedFrom_ && found != orderAt_.end())
      return found->second;
    return std::nullopt;
  }

  // Copies `count` bytes of the chain, crossing into the successor piece wherever one
  // ends. False when the pieces run out first. `body` when the bytes are the body of the
  // record whose header the chain took last.
  bool Copy(std::uint64_t count, bool body = false) {
    while (count > 0) {
      if (src_ >= pieceEnd_) {
        auto next = Successor(piece_);
        if (!next && body && count < unit_) next = Continuing(static_cast<std::uint32_t>(count));
        if (!next) return false;
        crossings_.push_back(
            {out_.size(), piece_, *next, recordCode_, recordStart_, {}, joined_.contains(piece_)});
        ++crossingsMade_;
        takenAt_[*next] = out_.size();
        Take(*next);
      }
      const std::uint64_t n = std::min(count, pieceEnd_ - src_);
      if (n == 0) return false;
      out_.insert(out_.end(), file_.begin() + static_cast<std::ptrdiff_t>(src_),
                  file_.begin() + static_cast<std::ptrdiff_t>(src_ + n));
      CountRange(src_, n, 1);
      if (!segments_.empty() &&
          segments_.back().outPos + segments_.back().length + n == out_.size() &&
          segments_.back().src + segments_.back().length == src_) {
        segments_.back().length += n;
      } else {
        segments_.push_back({out_.size() - n, src_, n});
      }
      src_ += n;
      count -= n;
      copied_ += n;
    }
    return true;
  }

  // Where neither the order nor the file has a free piece next (the stream's pieces jump
  // back from the file's end), the record's remaining `count` bytes say where it ends in
  // the piece that continues it.
  std::optional<std::uint64_t> Continuing(std::uint32_t count) {
    const Crossing crossing{out_.size(), piece_, piece_, recordCode_, recordStart_, {}, false};
    ChainState after = state_;
    after.Take(recordCode_, BofType(out_, recordStart_));
    const int bar = StrictHeaderAt(out_, recordStart_) ? -1 : kTrustedJoin - 1;
    return Best(Candidates(crossing, count), bar,
                [&](std::uint64_t piece) { return Score(piece, count, crossing, after); });
  }

  // Cuts the stream back to `size` bytes, forgetting where the cut bytes came from.
  void Truncate(std::uint64_t size) {
    CountFrom(size, -1);
    out_.resize(size);
    while (!longRecords_.empty() && longRecords_.back().first >= size) longRecords_.pop_back();
    while (!segments_.empty() && segments_.back().outPos >= size) segments_.pop_back();
    if (!segments_.empty() && segments_.back().outPos + segments_.back().length > size)
      segments_.back().length = size - segments_.back().outPos;
  }

  void Take(std::uint64_t piece) {
    piece_ = piece;
    src_ = piece;
    pieceEnd_ = std::min<std::uint64_t>(piece + unit_, file_.size());
  }

  const PieceIndex* IndexFor(std::uint64_t phase) {
    const auto key = std::make_pair(unit_, phase);
    auto at = indexes_.find(key);
    if (at == indexes_.end()) {
      if (indexes_.size() >= kMaxIndexedGrids) return nullptr;
      at = indexes_.emplace(key, PieceIndex(file_, unit_, phase)).first;
    }
    return &at->second;
  }

  // The pieces that may continue the record that crossed: the order's first free ones,
  // the file's next, and from the index those whose chain entry lies at `entry` (when
  // given), first with the record's own code there.
  std::vector<std::uint64_t> Candidates(const Crossing& crossing,
                                        std::optional<std::uint32_t> entry) {
    std::vector<std::uint64_t> candidates;
    auto consider = [&](std::uint64_t piece) {
      if (piece != crossing.taken && Usable(piece) &&
          std::find(candidates.begin(), candidates.end(), piece) == candidates.end())
        candidates.push_back(piece);
    };
    if (useOrder_) {
      FirstFreeInOrder();
      for (std::size_t i = orderCursor_, n = 0; i < hints_.order_.size() && n < kOrderCandidates;
           ++i) {
        if (Usable(Now(hints_.order_[i]))) {
          consider(Now(hints_.order_[i]));
          ++n;
        }
      }
    }
    consider(crossing.previous + unit_);
    const PieceIndex* index = entry ? IndexFor(phase_) : nullptr;
    if (index != nullptr) {
      const auto usable = [this, &crossing](std::uint64_t p) {
        return p != crossing.taken && Usable(p);
      };
      for (const std::uint64_t piece : Entering(*index, *entry, crossing, usable)) consider(piece);
    }
    return candidates;
  }

  // The index's pieces with a chain entry at `entry` that `usable` accepts: first those
  // where the crossing record's own code stands there, then those with any code.
  template <typename Usable>
  std::vector<std::uint64_t> Entering(const PieceIndex& index, std::uint32_t entry,
                                      const Crossing& crossing, Usable usable) const {
    std::vector<std::uint64_t> found;
    for (const std::optional<std::uint16_t> code :
         {std::optional<std::uint16_t>(crossing.code), std::optional<std::uint16_t>()}) {
      for (const std::uint64_t piece :
           index.Find(entry, code, crossing.previous, kIndexCandidates, usable, !hints_.shifts_))
        found.push_back(piece);
    }
    return found;
  }

  // The candidate `score` rates above `bar`, the highest; ties go to the earlier one.
  template <typename ScoreOf>
  static std::optional<std::uint64_t> Best(const std::vector<std::uint64_t>& candidates, int bar,
                                           ScoreOf score) {
    std::optional<std::uint64_t> chosen;
    for (const std::uint64_t piece : candidates) {
      const int value = score(piece);
      if (value > bar) {
        bar = value;
        chosen = piece;
      }
    }
    return chosen;
  }

  // What another piece must beat to replace the one the crossing took, judged on what it
  // held up to the break at `h`: its own score and a margin, or nothing when it broke at
  // its entry (or is `disproved` otherwise).
  // A break within a few records of the entry speaks against the piece as much as for
  // damage inside it: there a candidate that continues as well takes its place.
  int IncumbentBar(const Crossing& crossing, std::uint32_t entry, const ChainState& state,
                   std::uint64_t h, bool disproved = false, bool early = false) const {
    if (!crossing.entry || disproved) return -1;
    const std::uint64_t upTo = crossing.taken + (h - crossing.outPos);
    return Score(crossing.taken, entry, crossing, state, upTo) + (early ? -1 : kClearlyBetter - 1);
  }

  // The pieces that may complete a header the crossing cut after `cut` bytes: the order's
  // and the file's, then from the index those whose first bytes end the record on a good
  // header (with the length's low byte known, those whose entry it gives).
  std::vector<std::uint64_t> StraddleCandidates(const Crossing& crossing,
                                                const std::array<std::uint8_t, 4>& header,
                                                std::uint32_t cut) {
    std::vector<std::uint64_t> candidates = Candidates(crossing, std::nullopt);
    const PieceIndex* index = IndexFor(phase_);
    if (index == nullptr) return candidates;
    const auto usable = [this, &crossing, &candidates](std::uint64_t p) {
      return p != crossing.taken && Usable(p) &&
             std::find(candidates.begin(), candidates.end(), p) == candidates.end();
    };
    if (cut < 3) {
      for (const std::uint64_t piece :
           index->Completing(cut, crossing.previous, kIndexCandidates, usable))
        candidates.push_back(piece);
    } else {
      for (std::uint32_t entry = 1 + header[2]; entry < unit_; entry += 256) {
        for (const std::uint64_t piece : index->Find(entry, std::nullopt, crossing.previous,
                                                     kIndexCandidates, usable, !hints_.shifts_))
          candidates.push_back(piece);
      }
    }
    return candidates;
  }

  // Takes `piece` for the crossing: the chain goes back to where the crossing was, as it
  // stood there, and copies `count` bytes of the piece.
  bool Rejoin(const Crossing& crossing, std::uint64_t piece, std::uint64_t count,
              Reassembly& result) {
    std::erase_if(crossings_,
                  [&crossing](const Crossing& c) { return c.outPos >= crossing.outPos; });
    if (crossing.entry) {
      state_ = crossing.entry->state;
      chainRecords_ = crossing.entry->records;
    }
    recordCode_ = crossing.code;
    recordStart_ = crossing.codeStart;
    Truncate(crossing.outPos);
    history_.clear();
    last_.reset();
    Crossing joined = crossing;
    joined.taken = piece;
    joined.entry.reset();
    crossings_.push_back(joined);
    Take(piece);
    takenAt_[piece] = crossing.outPos;
    joined_.insert(piece);
    if (useOrder_) {
      const auto expected = InOrder(crossing.taken);
      const auto taken = InOrder(piece);
      // Only a piece taken from further on: one taken from earlier on mends a wrong turn.
      if (expected && taken && *taken > *expected)
        standsFor_[piece] = crossing.taken;
      else
        standsFor_.erase(piece);
    }
    result.joins_.push_back({crossing.outPos, crossing.taken, piece});
    return Copy(count);
  }

  // Frees the pieces taken at and behind the crossing while candidates are weighed
  // (`free`), or takes them back when none is chosen.
  void Release(const Crossing& crossing, bool free) { CountFrom(crossing.outPos, free ? -1 : 1); }

  // The chain broke at `h`, in the piece the last crossing took or at its first header.
  // Another piece may continue the record that crossed: one whose sound headers start
  // exactly where that record's remaining bytes end. A piece the chain already walked on
  // in is replaced only by one that continues it clearly better.
  // `broken` is false where a sound header is only weighed against the other candidates:
  // then nothing behind the crossing is called into doubt. `disproved` when the break
  // itself shows the piece is not the one (a sheet begins where the list names none).
  bool Join(std::uint64_t h, Reassembly& result, bool broken = true, bool disproved = false) {
    auto last = std::find_if(crossings_.rbegin(), crossings_.rend(),
                             [h](const Crossing& c) { return c.outPos < h + 4; });
    if (last == crossings_.rend()) return false;
    const Crossing crossing = *last;
    if (h < crossing.outPos + unit_ && JoinAt(crossing, h, result, disproved, !broken)) return true;
    if (!broken) return false;
    // The record that crossed into the piece may itself be the first of the piece before,
    // taken on trust: an unknown code whose length carried the chain over the piece's end
    // where no header could gainsay it. Then that piece was the wrong one.
    const auto before = std::find_if(crossings_.begin(), crossings_.end(), [&](const Crossing& c) {
      return c.outPos < crossing.outPos && c.entry && c.entry->pos == crossing.codeStart;
    });
    if (before != crossings_.end() && JoinAt(Crossing(*before), h, result, true)) return true;
    return h < crossing.outPos + unit_ && SwapBack(crossing, h, result);
  }

  // Two pieces that traded places where one of them lies inside the body of a long record
  // (a picture's, a shared-string table's) leave no break there: any bytes pass for a
  // body. The chain breaks only where the other one stands. The piece that continues the
  // crossing record may then be one the chain took already, wholly inside such a body:
  // it comes here, and the piece that broke the chain goes there in its place.
  bool SwapBack(const Crossing& crossing, std::uint64_t h, Reassembly& result) {
    const std::uint64_t entryPos = crossing.entry ? crossing.entry->pos : h;
    if (swapsBack_ >= kMaxShifts || entryPos < crossing.outPos) return false;
    const std::uint64_t incumbent = crossing.taken;
    if (incumbent + unit_ > file_.size() || (incumbent - phase_) % unit_ != 0) return false;
    const PieceIndex* index = IndexFor(phase_);
    if (index == nullptr) return false;
    const auto entry = static_cast<std::uint32_t>(entryPos - crossing.outPos);
    const ChainState state = crossing.entry ? crossing.entry->state : state_;
    const auto inBody = [this, &crossing](std::uint64_t p) {
      const auto at = takenAt_.find(p);
      return at != takenAt_.end() && at->second + unit_ <= crossing.outPos &&
             HoldsPieceAt(at->second, p) && InsideOneBody(at->second);
    };
    const std::optional<std::uint64_t> chosen =
        Best(Entering(*index, entry, crossing, inBody), IncumbentBar(crossing, entry, state, h),
             [&](std::uint64_t piece) { return Score(piece, entry, crossing, state); });
    if (!chosen) return false;
    ++swapsBack_;
    const std::uint64_t there = takenAt_[*chosen];
    if (!Rejoin(crossing, *chosen, entry, result)) return false;
    // The chosen piece's bytes in the body make way for the incumbent's.
    CountRange(*chosen, unit_, -1);
    CountRange(incumbent, unit_, 1);
    std::copy_n(file_.begin() + static_cast<std::ptrdiff_t>(incumbent), unit_,
                out_.begin() + static_cast<std::ptrdiff_t>(there));
    Resource(there, incumbent);
    takenAt_[incumbent] = there;
    result.joins_.push_back({there, *chosen, incumbent});
    return true;
  }

  // Whether the stream's bytes at `outPos` are the whole of `piece`, in one run or more.
  bool HoldsPieceAt(std::uint64_t outPos, std::uint64_t piece) const {
    auto at = std::upper_bound(segments_.begin(), segments_.end(), outPos,
                               [](std::uint64_t pos, const Segment& s) { return pos < s.outPos; });
    if (at == segments_.begin()) return false;
    --at;
    for (std::uint64_t pos = outPos; pos < outPos + unit_; ++at) {
      if (at == segments_.end() || at->outPos > pos || at->outPos + at->length <= pos ||
          at->src + (pos - at->outPos) != piece + (pos - outPos))
        return false;
      pos = at->outPos + at->length;
    }
    return true;
  }

  // Whether the piece at `outPos` lies inside one record's body, no header touching it.
  bool InsideOneBody(std::uint64_t outPos) const {
    if (outPos < 4) return false;
    // The last long record whose header lies wholly before the piece.
    auto at =
        std::upper_bound(longRecords_.begin(), longRecords_.end(), outPos - 4,
                         [](std::uint64_t pos, const std::pair<std::uint64_t, std::uint64_t>& r) {
                           return pos < r.first;
                         });
    if (at == longRecords_.begin()) return false;
    return std::prev(at)->second >= outPos + unit_;
  }

  // The stream's piece at `outPos` now comes from `src`.
  void Resource(std::uint64_t outPos, std::uint64_t src) {
    std::vector<Segment> next;
    next.reserve(segments_.size() + 2);
    bool placed = false;
    for (const Segment& s : segments_) {
      const std::uint64_t end = s.outPos + s.length;
      if (end <= outPos || s.outPos >= outPos + unit_) {
        next.push_back(s);
        continue;
      }
      if (s.outPos < outPos) next.push_back({s.outPos, s.src, outPos - s.outPos});
      if (!placed) next.push_back({outPos, src, unit_});
      placed = true;
      if (end > outPos + unit_) {
        const std::uint64_t skip = outPos + unit_ - s.outPos;
        next.push_back({outPos + unit_, s.src + skip, end - (outPos + unit_)});
      }
    }
    segments_ = std::move(next);
  }

  // The join at `crossing`; `disproved` when the piece it took broke the chain already,
  // `weighed` when it did not break it but is weighed against the others.
  bool JoinAt(const Crossing& crossing, std::uint64_t h, Reassembly& result, bool disproved = false,
              bool weighed = false) {
    const std::uint64_t entryPos = crossing.entry ? crossing.entry->pos : h;
    // Two joins at one place at most, so that no two pieces can take turns for ever.
    if (++joinsAt_[crossing.outPos] > 2) return false;
    // A header cut by the piece's end: its first bytes are the chain's, the rest come
    // from the piece that continues it.
    if (entryPos < crossing.outPos)
      return JoinInsideHeader(crossing, entryPos, result, weighed || crossing.entry);
    const auto entry = static_cast<std::uint32_t>(entryPos - crossing.outPos);
    const ChainState state = crossing.entry ? crossing.entry->state : state_;

    Release(crossing, true);
    // Ties go to the order's and the file's choice, which come first.
    const auto score = [&](std::uint64_t piece) { return Score(piece, entry, crossing, state); };
    // Where bytes may have been inserted or lost, a break near the entry may as well be
    // a shift inside the right piece: there the margin stands.
    const bool early = !weighed && !hints_.shifts_ && crossing.entry &&
                       chainRecords_ < crossing.entry->records + kLateRecords;
    // A record taken on trust that carried the chain over the piece's end may be no
    // record at all (bytes inserted before it make one): another piece must then at least
    // continue with a record that may follow it.
    const int trustBar = StrictHeaderAt(out_, crossing.codeStart) ? -1 : kTrustedJoin - 1;
    const int bar = std::max(IncumbentBar(crossing, entry, state, h, disproved, early), trustBar);
    const std::optional<std::uint64_t> chosen = Best(Candidates(crossing, entry), bar, score);
    Release(crossing, false);
    if (!chosen) return false;
    return Rejoin(crossing, *chosen, entry, result);
  }

  // The join when the piece's end cuts the header at `headerPos`: a candidate completes
  // the header, and the chain must walk on behind its record.
  // `incumbent` when the piece the crossing took must be beaten clearly.
  bool JoinInsideHeader(const Crossing& crossing, std::uint64_t headerPos, Reassembly& result,
                        bool incumbent) {
    const auto cut = static_cast<std::uint32_t>(crossing.outPos - headerPos);
    const ChainState state = crossing.entry ? crossing.entry->state : state_;
    std::array<std::uint8_t, 4> header{};
    for (std::uint32_t i = 0; i < cut; ++i) header[i] = out_[headerPos + i];
    Release(crossing, true);
    const int bar =
        incumbent ? HeaderScore(crossing.taken, header, cut, state, crossing) + kClearlyBetter - 1
                  : -1;
    const auto score = [&](std::uint64_t piece) {
      return HeaderScore(piece, header, cut, state, crossing);
    };
    const std::optional<std::uint64_t> chosen =
        Best(StraddleCandidates(crossing, header, cut), bar, score);
    Release(crossing, false);
    if (!chosen) return false;
    if (!Rejoin(crossing, *chosen, 4 - cut, result)) return false;
    pendingHeader_ = headerPos;
    return true;
  }

  // How well `piece` completes a header whose first `cut` bytes the chain holds: -1 when
  // it makes no header the walk takes, else 8 when a chain walks on behind its record in
  // the piece, 4 when the record may follow the one before it, 1 when the scan knows it.
  int HeaderScore(std::uint64_t piece, std::array<std::uint8_t, 4> header, std::uint32_t cut,
                  const ChainState& state, const Crossing& crossing) const {
    if (piece + 4 - cut > file_.size()) return -1;
    for (std::uint32_t i = cut; i < 4; ++i) header[i] = file_[piece + i - cut];
    const auto code = static_cast<std::uint16_t>(header[0] | (header[1] << 8));
    const auto length = static_cast<std::uint16_t>(header[2] | (header[3] << 8));
    const bool strict = StrictHeader(code, length);
    if ((!strict && !WeakHeader(code, length)) || !state.Accepts(code)) return -1;
    ChainState after = state;
    after.Take(code, length >= 4 ? U16(file_, piece + 4 - cut + 2) : 0);
    const std::uint64_t next = piece + 4 - cut + length;
    const std::uint64_t end = std::min<std::uint64_t>(piece + unit_, file_.size());
    int score = strict ? 1 : 0;
    if (next + 4 <= end) {
      if (!SoundAt(file_, next, 2, end) || !WalksOn(file_, next, end, after)) return -1;
      score += 8;
    }
    if (MayFollow(crossing.code, code)) score += 4;
    return score;
  }

  // How well a record that crossed into the piece at `piece` continues there: its entry
  // is the piece's first header (a piece whose own records lead up to the entry holds it
  // as a later header, continuing some other record), the record there may follow the
  // one that crossed (its row too, where both have rows), and it is one the scan knows.
  // -1 when no chain walks on there.
  int Score(std::uint64_t piece, std::uint32_t entry, const Crossing& crossing,
            const ChainState& state, std::uint64_t limit = ~std::uint64_t{0}) const {
    const std::uint64_t at = piece + entry;
    const std::uint64_t end = std::min({piece + unit_, std::uint64_t{file_.size()}, limit});
    if (!SoundAt(file_, at, 2, end) || !state.Accepts(U16(file_, at)) ||
        !WalksOn(file_, at, end, state))
      return -1;
    bool rowsApply = false;
    return (EntryIsFirst(piece, entry) ? 8 : 0) + Follows(at, crossing, rowsApply) +
           (StrictHeaderAt(file_, at) ? 1 : 0) + (rowsApply ? 0 : 2);
  }

  // How well the record at file offset `at` follows the one that crossed: 4 when the
  // record tables expect it there (or it repeats the code), and 2 more when the rows of
  // the two fit a sound row block (cells on the same row or the next, ROW records rising,
  // cells of a block at or above its last ROW). `rowsApply` tells whether both had rows.
  int Follows(std::uint64_t at, const Crossing& crossing, bool& rowsApply) const {
    const std::uint16_t code = U16(file_, at);
    int score = 0;
    if (code == kContinueCode || MayFollow(crossing.code, code)) score += 4;
    const bool lastHasRow = cells::IsCellCode(crossing.code) || crossing.code == kRowCode;
    const bool hasRow = cells::IsCellCode(code) || code == kRowCode;
    rowsApply =
        lastHasRow && hasRow && crossing.codeStart + 6 <= out_.size() && at + 6 <= file_.size();
    if (!rowsApply) return score;
    const int lastRow = U16(out_, crossing.codeStart + 4);
    const int row = U16(file_, at + 4);
    bool fits = false;
    if (crossing.code == kRowCode && code == kRowCode) {
      fits = row > lastRow && row - lastRow <= 32;
    } else if (crossing.code == kRowCode) {
      fits = row <= lastRow && lastRow - row < 32;
    } else if (code == kRowCode) {
      fits = row > lastRow;
    } else {
      fits = row == lastRow || row == lastRow + 1;
    }
    return score + (fits ? 2 : 0);
  }

  // Whether `entry` is the piece's first header: no chain of the piece's own records leads
  // up to it. A single record that ends there proves little (the tail of a cell record is
  // full of small numbers that read as headers), so it takes two records in a row, or one
  // that starts the piece.
  bool EntryIsFirst(std::uint64_t piece, std::uint32_t entry) const {
    // For each offset, how many records in a row end there (capped at 2), with the chain
    // starting at the piece's first byte counting as two.
    reach_.assign(entry + 1, 0);
    for (std::uint32_t e = 0; e + 4 <= entry; ++e) {
      if (!StrictHeaderAt(file_, piece + e)) continue;
      const std::uint64_t next = std::uint64_t{e} + 4 + U16(file_, piece + e + 2);
      if (next > entry) continue;
      const std::uint8_t count = e == 0 ? 2 : std::min<std::uint8_t>(2, reach_[e] + 1);
      reach_[next] = std::max(reach_[next], count);
    }
    return reach_[entry] < 2;
  }

  // The header at `h` broke the chain inside a piece: when a chain walks on from a few
  // bytes further or nearer, bytes were inserted there or lost. Everything behind the
  // place has moved with them, so the grid of pieces moves too. Nearer may reach back
  // into the records just taken (a lost stretch can leave a false header that passes
  // for one more record): those records are given up, and the record the stretch was
  // lost from keeps its stated length, its last bytes coming twice, as its own and as
  // the next header.
  bool Shift(std::uint64_t h, Reassembly& result) {
    if (result.shifts_.size() >= kMaxShifts) return false;
    const std::optional<Moved> here = FindShift(h);
    // A record taken on trust just before the break may be no record at all: a long
    // record's stated end, a few bytes off, put a header there whose length carried the
    // chain on. The bytes may have moved before it, then. Of the two places, the nearer
    // shift is taken: a shift found far behind a false record most often makes up a
    // second fault to cover the first.
    if (last_ && last_->outStart == recordStart_ && !StrictHeaderAt(out_, recordStart_)) {
      const LastRecord trusted = *last_;
      const ChainState state = state_;
      const std::size_t records = chainRecords_;
      const std::uint64_t src = src_;
      const std::uint64_t piece = piece_;
      const std::vector<Crossing> crossings = crossings_;
      const std::vector<Taken> history = history_;
      if (!history_.empty() && history_.back().outStart == trusted.outStart) history_.pop_back();
      state_ = trusted.before.state;
      chainRecords_ = trusted.before.records;
      recordCode_ = trusted.before.code;
      recordStart_ = trusted.before.start;
      Take(trusted.piece);
      src_ = trusted.srcStart + 4;
      crossings_.resize(std::min(crossings_.size(), trusted.crossings));
      const std::optional<Moved> before = FindShift(trusted.outStart);
      if (before && (!here || Distance(*before) < Distance(*here))) {
        last_.reset();
        ApplyShift(trusted.outStart, *before, result);
        return true;
      }
      state_ = state;
      chainRecords_ = records;
      recordCode_ = trusted.code;
      recordStart_ = trusted.outStart;
      Take(piece);
      src_ = src;
      crossings_ = crossings;
      history_ = history;
    }
    if (!here) return false;
    ApplyShift(h, *here, result);
    return true;
  }

  // A shift found at a break: where the chain walks on, by how many bytes it moved, the
  // broken header's place in the file, and the record of the piece's own to go back to.
  struct Moved {
    std::uint64_t q;
    std::int64_t moved;
    std::uint64_t at;
    // The record of the piece's own the chain goes back to, when it does: where it ends
    // in the stream, and the chain as it stood behind it.
    bool back;
    std::uint64_t outEnd;
    ChainState stateAfter;
    std::size_t recordsAfter;
  };
  static std::uint64_t Distance(const Moved& found) {
    return static_cast<std::uint64_t>(found.moved < 0 ? -found.moved : found.moved);
  }

  std::optional<Moved> FindShift(std::uint64_t h) const {
    // The header must have come whole from the piece the walk stands in.
    if (src_ < piece_ + 4 || (!crossings_.empty() && crossings_.back().outPos > h))
      return std::nullopt;
    const std::uint64_t at = src_ - 4;
    for (std::uint32_t d = 1; d <= kMaxShift; ++d) {
      for (const int sign : {1, -1}) {
        if (sign < 0 && at < piece_ + d) continue;
        const std::uint64_t q = sign > 0 ? at + d : at - d;
        // Behind `at` the chain goes on from `h` as it stands; before it, from the last
        // record whose header lies wholly before q.
        const Taken* from = nullptr;
        if (sign < 0) {
          for (auto r = history_.rbegin(); r != history_.rend(); ++r) {
            if (r->srcStart + 4 <= q) {
              from = &*r;
              break;
            }
          }
          // With no record of its own before the break, the piece holds only the end of
          // one that crossed into it: that record lost the stretch and keeps its length.
          if (from == nullptr ? !history_.empty() : q == from->srcEnd) continue;
        }
        const ChainState& state = from ? from->stateAfter : state_;
        if (!SoundAt(file_, q) || !state.Accepts(U16(file_, q))) continue;
        if (!WalksOn(file_, q, file_.size(), state)) continue;
        const std::int64_t moved =
            static_cast<std::int64_t>(q) - static_cast<std::int64_t>(from ? from->srcEnd : at);
        if (from == nullptr) return Moved{q, moved, at, false, 0, state_, chainRecords_};
        return Moved{q, moved, at, true, from->outEnd, from->stateAfter, from->recordsAfter};
      }
    }
    return std::nullopt;
  }

  void ApplyShift(std::uint64_t h, const Moved& found, Reassembly& result) {
    const std::uint64_t q = found.q;
    const std::int64_t moved = found.moved;
    if (found.back) {
      Truncate(found.outEnd);
      state_ = found.stateAfter;
      chainRecords_ = found.recordsAfter;
    } else {
      Truncate(h);
      if (recordCode_ == kSstCode) Realign(h, found.at, moved);
    }
    // Where bytes were lost, the record before keeps its stated length, its last bytes
    // the next header's too: they count for the chain once, or the piece that follows on
    // the moved grid, which shares their block, would seem taken.
    if (moved < 0) CountRange(q, static_cast<std::uint64_t>(-moved), -1);
    history_.clear();
    phase_ = static_cast<std::uint64_t>(
        (static_cast<std::int64_t>(phase_) + moved % unit_ + unit_) % unit_);
    // The order still holds behind one shift, its pieces from this one on moved by it.
    if (useOrder_ && result.shifts_.empty()) {
      moved_ = moved;
      movedFrom_ = piece_;
    } else {
      useOrder_ = false;
    }
    src_ = q;
    piece_ = PieceOf(q);
    pieceEnd_ = std::min<std::uint64_t>(piece_ + unit_, file_.size());
    crossings_.clear();
    last_.reset();
    result.shifts_.push_back({q, static_cast<std::int32_t>(moved)});
  }

  // The shared-string table that ends at `h` is the record the stretch of `moved` bytes
  // was inserted into (or lost from): its stated length kept, every string behind the
  // place reads from the wrong byte, and with them every cell that shows one. The strings
  // say where the place was: one where, with the stretch taken out (or the lost bytes put
  // back as zeros), the rest of the record parses into whole strings to its end, and the
  // table's continuation goes on from there. There the body's bytes are moved back in
  // place; the string the stretch hit stays damaged. The inserted bytes that the stated
  // length left out lie at `at` in the file.
  void Realign(std::uint64_t h, std::uint64_t at, std::int64_t moved) {
    constexpr std::uint64_t kCounts = 8;  // the table's two counts before its strings
    const std::uint64_t body = recordStart_ + 4;
    if (h < body + kCounts || moved == 0) return;
    const std::uint64_t length = h - body;
    const auto stretch = static_cast<std::uint64_t>(moved > 0 ? moved : -moved);
    if (stretch >= length) return;
    // The record's real bytes: those the chain holds, and the inserted ones behind them;
    // or, where bytes were lost, those the chain holds but the next header's.
    const std::uint64_t real = moved > 0 ? length + stretch : length - stretch;
    if (moved > 0 && at + stretch > file_.size()) return;
    const auto realAt = [&](std::uint64_t i) -> std::uint8_t {
      if (i < length) return out_[static_cast<std::size_t>(body + i)];
      return file_[static_cast<std::size_t>(at + (i - length))];
    };
    // The body as it reads with the stretch at `place` taken out or put back.
    const auto mended = [&](std::uint64_t place) {
      return [&, place](std::uint64_t i) -> std::uint8_t {
        if (i < place) return realAt(i);
        if (moved > 0) return realAt(i + stretch);
        return i < place + stretch ? 0 : realAt(i - stretch);
      };
    };
    std::size_t budget = kRealignBudget;
    // The continuation behind the record, where the table goes on: it must go on with
    // what the record's last string left, and then with whole strings of its own.
    const auto behind = static_cast<std::uint64_t>(static_cast<std::int64_t>(at) + moved);
    const bool continued = U16(file_, behind) == kContinueCode;
    const std::uint64_t contStart = behind + 4;
    const std::uint64_t contEnd =
        std::min<std::uint64_t>(contStart + U16(file_, behind + 2), file_.size());
    const auto fileAt = [this](std::uint64_t i) -> std::uint8_t {
      return i < file_.size() ? file_[static_cast<std::size_t>(i)] : 0;
    };
    const auto fits = [&](const StringFill& fill) {
      if (!fill.sound) return false;
      if (!fill.cutInText && fill.tailLeft == 0) return true;
      if (!continued || contStart >= contEnd) return false;
      std::uint64_t pos = contStart;
      if (fill.cutInText) {
        // The rest of the characters, behind a byte that says their width anew.
        const std::uint8_t flags = fileAt(pos);
        if ((flags & ~0x01u) != 0) return false;
        pos += 1 + fill.textLeft * ((flags & 0x01u) != 0 ? 2 : 1);
      }
      pos += fill.tailLeft;
      if (pos > contEnd) return false;
      return FillStrings(fileAt, pos, contEnd, budget).sound;
    };
    // The strings as the record's bytes read them are right up to the one the stretch hit,
    // and read wrong from there on until they no longer parse. Places before that string
    // can fit by chance too (text read from a byte off passes for strings for a while):
    // the last place that fits, before the reading fails, is taken.
    std::optional<std::uint64_t> place;
    for (std::uint64_t start = kCounts; start + 3 <= real && budget > 0;) {
      const auto u16 = [&](std::uint64_t i) {
        return static_cast<std::uint32_t>(realAt(i) | (realAt(i + 1) << 8));
      };
      const std::uint8_t flags = realAt(start + 2);
      if ((flags & ~0x0Du) != 0) break;
      std::uint64_t size = 3;
      std::uint64_t extra = 0;
      if ((flags & 0x08u) != 0 && start + size + 2 <= real) {
        extra += 4 * std::uint64_t{u16(start + size)};
        size += 2;
      }
      if ((flags & 0x04u) != 0 && start + size + 4 <= real) {
        extra += u16(start + size) | (std::uint64_t{u16(start + size + 2)} << 16);
        size += 4;
      }
      const std::uint64_t next =
          start + size + std::uint64_t{u16(start)} * ((flags & 0x01u) != 0 ? 2 : 1) + extra;
      // The stretch inside this string's header, or anywhere in its characters (where the
      // lost bytes go back, they must leave the string's end in place).
      const std::uint64_t inside = moved > 0 ? next - 1 : next - stretch;
      for (const std::uint64_t candidate : {start, start + 1, start + 2, inside}) {
        if (candidate < start || candidate >= length || (moved > 0 && candidate + stretch > real))
          continue;
        if (fits(FillStrings(mended(candidate), start, length, budget))) {
          place = candidate;
          break;
        }
      }
      start = next;
    }
    if (!place) return;
    if (moved > 0) {
      for (std::uint64_t i = *place; i < length; ++i)
        out_[static_cast<std::size_t>(body + i)] = realAt(i + stretch);
    } else {
      for (std::uint64_t i = length; i-- > *place + stretch;)
        out_[static_cast<std::size_t>(body + i)] =
            out_[static_cast<std::size_t>(body + i - stretch)];
      for (std::uint64_t i = *place; i < *place + stretch; ++i)
        out_[static_cast<std::size_t>(body + i)] = 0;
    }
  }

  // What the chain did not take goes behind it for the record scan: the file's bytes no
  // kept part of the chain came from, in the table's order of its pieces, or in file order.
  void AppendLeftovers(Reassembly& result) {
    const std::size_t before = out_.size();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> taken;
    for (const Segment& segment : segments_)
      taken.emplace_back(segment.src, segment.src + segment.length);
    std::sort(taken.begin(), taken.end());
    // Appends the bytes of [first, end) outside the taken ranges.
    auto appendFree = [&](std::uint64_t first, std::uint64_t end) {
      auto at =
          std::lower_bound(taken.begin(), taken.end(), std::make_pair(first, std::uint64_t{0}));
      if (at != taken.begin()) --at;
      std::uint64_t pos = first;
      for (; at != taken.end() && at->first < end && pos < end; ++at) {
        if (at->second <= pos) continue;
        if (at->first > pos)
          out_.insert(out_.end(), file_.begin() + static_cast<std::ptrdiff_t>(pos),
                      file_.begin() + static_cast<std::ptrdiff_t>(std::min(at->first, end)));
        pos = std::max(pos, at->second);
      }
      if (pos < end)
        out_.insert(out_.end(), file_.begin() + static_cast<std::ptrdiff_t>(pos),
                    file_.begin() + static_cast<std::ptrdiff_t>(end));
    };
    // An order cut short names only some of the stream's pieces: the rest of the file is
    // scanned in its own order.
    if (useOrder_ && !partialOrder_) {
      for (const std::uint64_t listed : hints_.order_) {
        const std::uint64_t piece = Now(listed);
        if (piece >= file_.size()) continue;
        appendFree(piece, std::min<std::uint64_t>(piece + unit_, file_.size()));
      }
    } else {
      appendFree(0, file_.size());
    }
    result.leftoverBytes_ = out_.size() - before;
  }

  std::span<const std::uint8_t> file_;
  std::uint32_t unit_;
  const ReassemblyHints& hints_;
  std::map<std::pair<std::uint32_t, std::uint64_t>, PieceIndex>& indexes_;
  std::span<const std::uint64_t> namedTables_;
  std::uint64_t cap_ = 0;
  bool useOrder_ = false;
  bool partialOrder_ = false;
  // Behind a shift the order's pieces from `movedFrom_` on lie `moved_` bytes further on.
  std::int64_t moved_ = 0;
  std::uint64_t movedFrom_ = ~std::uint64_t{0};
  std::unordered_map<std::uint64_t, std::size_t> orderAt_;
  std::size_t orderCursor_ = 0;
  std::uint64_t phase_ = 0;
  std::uint64_t piece_ = 0;
  std::uint64_t src_ = 0;
  std::uint64_t pieceEnd_ = 0;
  std::vector<std::uint32_t> blockUse_;
  std::vector<Crossing> crossings_;
  std::vector<std::uint8_t> out_;
  ChainState state_;
  std::size_t chainRecords_ = 0;
  // The record being copied: its code and where it starts in out_.
  std::uint16_t recordCode_ = 0;
  std::uint64_t recordStart_ = 0;
  std::unordered_map<std::uint64_t, int> joinsAt_;
  // The pairs of codes seen one behind the other in the chain, and the last code taken.
  std::unordered_set<std::uint32_t> seenPairs_;
  // Where in the stream the globals list each sheet's BOF, with where the entry stands.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> sheetsListed_;
  std::uint16_t previousCode_ = 0;
  mutable std::vector<std::uint8_t> reach_;
  // A record the chain took: where its header and its end lie in the file, where it ends
  // in the stream, and the chain as it stood behind it.
  // The chain as it stood before a record: its state, records, and the record before.
  struct Before {
    ChainState state;
    std::size_t records;
    std::uint16_t code;
    std::uint64_t start;
  };
  struct Taken {
    std::uint64_t srcStart;
    std::uint64_t srcEnd;
    std::uint64_t outEnd;
    ChainState stateAfter;
    std::size_t recordsAfter;
    std::uint64_t outStart;
  };
  // The last record the chain took, where its header lay whole in one piece.
  struct LastRecord {
    std::uint64_t srcStart;
    std::uint64_t piece;
    std::uint64_t outStart;
    std::uint16_t code;
    std::size_t crossings;
    Before before;
  };
  std::optional<LastRecord> last_;
  static constexpr std::size_t kHistory = 4;
  std::vector<Taken> history_;
  std::size_t crossingsMade_ = 0;
  std::unordered_set<std::uint64_t> joined_;
  // The pieces joins took from further on in the order, with the piece each was taken for.
  std::unordered_map<std::uint64_t, std::uint64_t> standsFor_;
  std::optional<std::uint64_t> pendingHeader_;
  // Where the stream's bytes came from in the file, run by run.
  struct Segment {
    std::uint64_t outPos;
    std::uint64_t src;
    std::uint64_t length;
  };
  std::vector<Segment> segments_;
  // Where each piece was last taken in the stream (checked against segments_ before use),
  // where the records longer than a piece begin and end, and how many swaps were undone.
  std::unordered_map<std::uint64_t, std::uint64_t> takenAt_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> longRecords_;
  std::size_t swapsBack_ = 0;
  // Every byte is copied a bounded number of times, whatever the joins and shifts undo.
  std::uint64_t copied_ = 0;
  std::uint64_t copyBudget_ = 0;
};

// Whether the file starts with a compound document's header signature.
bool HasHeaderSignature(std::span<const std::uint8_t> file) {
  constexpr std::array<std::uint8_t, 8> kSignature = {0xD0, 0xCF, 0x11, 0xE0,
                                                      0xA1, 0xB1, 0x1A, 0xE1};
  return file.size() >= 512 && std::equal(kSignature.begin(), kSignature.end(), file.begin());
}

// The sector size the file's header gives, when it gives one of the two a workbook is
// written with; 512 otherwise (a zeroed header most often).
std::uint32_t SectorSize(std::span<const std::uint8_t> file) {
  return HasHeaderSignature(file) && U16(file, 30) == 12 ? 4096 : 512;
}

// The sectors a sound header names as the allocation table's, in file order. Overwritten
// with anything, they still hold no piece of the stream; random bytes there do not read as
// a table, and would pass for a piece inside a long record's body, where no header can
// gainsay them. The header must read sound: its signature and sector size, a count of
// table sectors it lists in full, each named once and inside the file, and the list's
// other entries free.
std::vector<std::uint64_t> HeaderTableSectors(std::span<const std::uint8_t> file) {
  constexpr std::uint32_t kListed = 109;
  constexpr std::uint32_t kFree = 0xFFFFFFFF;
  std::vector<std::uint64_t> sectors;
  if (!HasHeaderSignature(file)) return sectors;
  const std::uint16_t shift = U16(file, 30);
  if (shift != 9 && shift != 12) return sectors;
  const std::uint64_t size = std::uint64_t{1} << shift;
  const std::uint32_t count = LittleEndian::U32(file, 44);
  if (count == 0 || count > kListed) return sectors;
  std::vector<std::uint32_t> ids;
  for (std::uint32_t i = 0; i < kListed; ++i) {
    const std::uint32_t id = LittleEndian::U32(file, 76 + 4 * i);
    if (i >= count) {
      if (id != kFree) return sectors;
    } else if ((std::uint64_t{id} + 2) * size > file.size()) {
      return sectors;
    } else {
      ids.push_back(id);
    }
  }
  std::sort(ids.begin(), ids.end());
  if (std::adjacent_find(ids.begin(), ids.end()) != ids.end()) return sectors;
  for (const std::uint32_t id : ids) {
    for (std::uint64_t part = 0; part < size; part += 512)
      sectors.push_back((std::uint64_t{id} + 1) * size + part);
  }
  return sectors;
}

// The globals BOFs a chain may start from: the hinted start (or one a few bytes off it),
// else those on a small-block boundary first, then any, in file order.
std::vector<std::uint64_t> Starts(std::span<const std::uint8_t> file,
                                  const ReassemblyHints& hints) {
  std::vector<std::uint64_t> starts;
  if (hints.start_) {
    const std::uint64_t hinted = *hints.start_;
    for (std::uint32_t d = 0; d <= kMaxShift; ++d) {
      if (IsGlobalsBof(file, hinted + d)) starts.push_back(hinted + d);
      if (d > 0 && hinted >= d && IsGlobalsBof(file, hinted - d)) starts.push_back(hinted - d);
    }
  }
  std::vector<std::uint64_t> aligned;
  std::vector<std::uint64_t> other;
  for (std::uint64_t pos = 0; pos + 8 <= file.size(); ++pos) {
    if (file[pos] != 0x09 || file[pos + 1] != 0x08 || !IsGlobalsBof(file, pos)) continue;
    (pos % kSmallUnit == 0 ? aligned : other).push_back(pos);
  }
  for (const auto* list : {&aligned, &other}) {
    for (const std::uint64_t pos : *list) {
      if (starts.size() >= kMaxStarts) break;
      if (std::find(starts.begin(), starts.end(), pos) == starts.end()) starts.push_back(pos);
    }
  }
  return starts;
}

// Whether `candidate` beats the best walk so far: a chain longer by more than a sector,
// else one that reaches the last sheet, else the earlier walk stays (the hinted start and
// the sector size come first, and the fewer places a walk can join, the fewer it gets
// wrong).
bool Better(const Reassembly& candidate, const Reassembly& best) {
  if (!best.found_) return candidate.found_;
  if (!candidate.found_) return false;
  constexpr std::uint64_t kMargin = 512;
  if (candidate.chainBytes_ > best.chainBytes_ + kMargin) return true;
  if (best.chainBytes_ > candidate.chainBytes_ + kMargin) return false;
  return candidate.complete_ && !best.complete_;
}

}  // namespace

ChainWalk WalkRecordChain(std::span<const std::uint8_t> stream) {
  ChainWalk walk;
  ChainState state;
  std::uint64_t pos = 0;
  while (pos + 4 <= stream.size() && !state.Complete()) {
    const std::uint16_t code = U16(stream, pos);
    const std::uint16_t length = U16(stream, pos + 2);
    // As in the reassembly's own walk, an unknown record with a format code is taken on
    // trust.
    if (!SoundAt(stream, pos, 0) || !state.Accepts(code)) break;
    if (pos + 4 + length > stream.size()) break;
    state.Take(code, BofType(stream, pos));
    pos += 4 + std::uint64_t{length};
    ++walk.records_;
    walk.bytes_ = pos;
  }
  // Globals that list no sheet end the workbook only where nothing but padding follows.
  walk.complete_ =
      state.Complete() || (state.EndedWithoutSheets() &&
                           std::all_of(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                                       stream.end(), [](std::uint8_t byte) { return byte == 0; }));
  return walk;
}

namespace {

// Rounds of trading two pieces back, and the pairs whole walks are tried for in each.
constexpr std::size_t kMaxTrades = 4;
constexpr std::size_t kTradesTried = 8;
// How many pieces on a trade's walk is followed before whole walks decide, and the records
// those walks may take in one round, per piece of the stream: pieces whose bytes all read
// as short records must not make the round quadratic.
constexpr std::uint64_t kTradeWindow = 16;
constexpr std::size_t kTradeSteps = 64;

// The stream as the table's order of pieces gives it, where two pieces may trade places
// without copying a byte: what a pair is judged by is a walk of its records, and there are
// as many pairs to try as pieces.
class OrderedPieces {
 public:
  OrderedPieces(std::span<const std::uint8_t> file, std::vector<std::uint64_t> order,
                std::uint32_t unit, std::uint64_t size)
      : file_(file), order_(std::move(order)), unit_(unit), size_(size) {}

  std::uint64_t Size() const { return size_; }
  std::size_t Pieces() const { return order_.size(); }
  std::uint64_t PieceAt(std::size_t slot) const { return order_[slot]; }
  void Trade(std::size_t a, std::size_t b) { std::swap(order_[a], order_[b]); }

  std::uint8_t At(std::uint64_t pos) const {
    const std::uint64_t src = order_[static_cast<std::size_t>(pos / unit_)] + pos % unit_;
    return src < file_.size() ? file_[static_cast<std::size_t>(src)] : 0;
  }
  std::uint16_t U16At(std::uint64_t pos) const {
    return static_cast<std::uint16_t>(At(pos) | (At(pos + 1) << 8));
  }

  // The records a walk took, and those of them the scan knows.
  struct Tally {
    std::size_t records = 0;
    std::size_t known = 0;
  };

  // Walks the record chain from the header at `pos` with the chain's `state` there, as
  // the stream's own walk does, until a header breaks it, the workbook is complete, or
  // the next header lies at or past `limit`. `pos` comes back where the walk stopped.
  bool Walk(std::uint64_t& pos, ChainState& state, std::uint64_t limit,
            Tally* tally = nullptr) const {
    while (pos < limit && pos + 4 <= size_ && !state.Complete()) {
      const std::uint16_t code = U16At(pos);
      const std::uint16_t length = U16At(pos + 2);
      const bool known = StrictHeader(code, length);
      if (!(known || WeakHeader(code, length)) || !state.Accepts(code) || pos + 4 + length > size_)
        return false;
      state.Take(code, code == kBofCode && length >= 4 ? U16At(pos + 6) : 0);
      pos += 4 + std::uint64_t{length};
      if (tally != nullptr) {
        ++tally->records;
        tally->known += known ? 1 : 0;
      }
    }
    return true;
  }

  // Whether a walk that stopped at `pos` in `state` ends the workbook, and nothing but the
  // writer's zero padding follows: a chain that ends early on a wrong piece's EOF leaves
  // the stream's other records behind.
  bool Complete(std::uint64_t pos, const ChainState& state) const {
    if (!state.Complete() && !state.EndedWithoutSheets()) return false;
    for (; pos < size_; ++pos) {
      if (At(pos) != 0) return false;
    }
    return true;
  }

  // The last header the chain from the stream's start puts before `pos`, and the chain's
  // state in front of it.
  std::pair<std::uint64_t, ChainState> HeaderBefore(std::uint64_t pos) const {
    std::uint64_t at = 0;
    ChainState state;
    while (true) {
      std::uint64_t next = at;
      ChainState after = state;
      if (!Walk(next, after, next + 1) || next >= pos || next == at) return {at, state};
      at = next;
      state = after;
    }
  }

 private:
  std::span<const std::uint8_t> file_;
  std::vector<std::uint64_t> order_;
  std::uint32_t unit_;
  std::uint64_t size_;
};

// Where the container's tables stood but two pieces traded places, the chain breaks in
// one of them, or just behind it where a header the piece's end cut took its length from
// the wrong piece. Each piece of the order is tried in its place: those with which the
// records walk on through it and the piece behind are tried by a whole walk, and the
// trade that carries the chain furthest is made. A few rounds allow for a few pairs.
// Empty unless the chain then walks through every piece to the last sheet's EOF.
std::optional<Reassembly> TradeBack(std::span<const std::uint8_t> file,
                                    const ReassemblyHints& hints) {
  const std::uint32_t unit = hints.unit_;
  if (unit == 0 || hints.order_.size() < 2) return std::nullopt;
  for (const std::uint64_t piece : hints.order_) {
    if (piece > file.size() || file.size() - piece < unit) return std::nullopt;
  }
  const std::uint64_t whole = std::uint64_t{unit} * hints.order_.size();
  OrderedPieces pieces(file, hints.order_, unit, std::min(hints.size_.value_or(whole), whole));
  const std::size_t count = pieces.Pieces();
  Reassembly result;
  for (std::size_t round = 0;; ++round) {
    std::uint64_t reach = 0;
    ChainState state;
    OrderedPieces::Tally tally;
    pieces.Walk(reach, state, pieces.Size(), &tally);
    if (pieces.Complete(reach, state)) {
      result.chainBytes_ = reach;
      result.chainRecords_ = tally.records;
      break;
    }
    if (round == kMaxTrades || reach == 0) return std::nullopt;
    // The piece the breaking header starts or ends in, and the two before it.
    std::vector<std::size_t> slots;
    const std::uint64_t broken = reach / unit;
    for (const std::uint64_t slot : {(reach + 3) / unit, broken, broken - 1, broken - 2}) {
      if (slot >= 1 && slot < count && slot <= broken + 1 &&
          std::find(slots.begin(), slots.end(), slot) == slots.end())
        slots.push_back(static_cast<std::size_t>(slot));
    }
    // A trade must let the records walk through the piece and the one behind it. Those
    // that do are rated by how far the walk then goes, up to a few pieces on, and by the
    // records the scan knows on the way: random bytes chain a record or two at most, and
    // one long record of an unknown code can carry a walk over any bytes.
    std::vector<
        std::pair<std::pair<std::uint64_t, std::size_t>, std::pair<std::size_t, std::size_t>>>
        rated;
    std::size_t steps = 0;
    for (const std::size_t slot : slots) {
      const std::uint64_t begin = std::uint64_t{slot} * unit;
      const auto [from, before] = pieces.HeaderBefore(begin);
      const std::uint64_t through = std::min(begin + 2 * std::uint64_t{unit}, pieces.Size());
      const std::uint64_t window = std::min(begin + kTradeWindow * unit, pieces.Size());
      for (std::size_t other = 1; other < count && steps <= kTradeSteps * count; ++other) {
        if (other == slot) continue;
        pieces.Trade(slot, other);
        std::uint64_t pos = from;
        ChainState walked = before;
        OrderedPieces::Tally local;
        const bool walkedOn = pieces.Walk(pos, walked, window, &local);
        const bool complete = pieces.Complete(pos, walked);
        pieces.Trade(slot, other);
        steps += local.records + 1;
        if ((walkedOn || pos >= through || complete) && (pos > reach || complete))
          rated.push_back(
              {{complete ? window : std::min(pos, window), local.known}, {slot, other}});
      }
    }
    // Ties go to the piece the chain broke in, then to the earlier one in the order.
    std::stable_sort(rated.begin(), rated.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<std::pair<std::size_t, std::size_t>> trades;
    for (std::size_t i = 0; i < rated.size() && i < kTradesTried; ++i)
      trades.push_back(rated[i].second);
    std::optional<std::pair<std::size_t, std::size_t>> chosen;
    bool chosenComplete = false;
    for (const auto& [slot, other] : trades) {
      pieces.Trade(slot, other);
      std::uint64_t pos = 0;
      ChainState walked;
      pieces.Walk(pos, walked, pieces.Size());
      const bool complete = pieces.Complete(pos, walked);
      pieces.Trade(slot, other);
      if ((complete && !chosenComplete) || (complete == chosenComplete && pos > reach)) {
        chosen = {slot, other};
        chosenComplete = complete;
        reach = pos;
      }
    }
    if (!chosen) return std::nullopt;
    const auto [slot, other] = *chosen;
    result.joins_.push_back(
        {std::uint64_t{slot} * unit, pieces.PieceAt(slot), pieces.PieceAt(other)});
    result.joins_.push_back(
        {std::uint64_t{other} * unit, pieces.PieceAt(other), pieces.PieceAt(slot)});
    pieces.Trade(slot, other);
  }
  result.found_ = true;
  result.complete_ = true;
  result.unit_ = unit;
  result.start_ = pieces.PieceAt(0);
  result.stream_.resize(static_cast<std::size_t>(pieces.Size()));
  for (std::uint64_t pos = 0; pos < pieces.Size(); ++pos)
    result.stream_[static_cast<std::size_t>(pos)] = pieces.At(pos);
  std::sort(result.joins_.begin(), result.joins_.end(),
            [](const Reassembly::Join& a, const Reassembly::Join& b) {
              return a.streamOffset_ < b.streamOffset_;
            });
  return result;
}

}  // namespace

namespace {
Reassembly WalkPieces(std::span<const std::uint8_t> file, const ReassemblyHints& hints);
}  // namespace

Reassembly ReassembleWorkbookStream(std::span<const std::uint8_t> file,
                                    const ReassemblyHints& hints) {
  // Where the table's order is known, two pieces that traded places are the likeliest
  // fault: putting them back is tried before a walk that may take any piece anywhere.
  if (std::optional<Reassembly> traded = TradeBack(file, hints)) return std::move(*traded);
  Reassembly walked = WalkPieces(file, hints);
  // A break where a piece ends is taken for a wrong piece before a shift: where that
  // leaves the chain short of the last sheet, the walk goes again the other way round (a
  // few bytes inserted inside a long record leave its end a few bytes off, and some other
  // piece nearly always has a header there).
  // A walk that joined no piece anywhere took every shift it could find already.
  if (walked.complete_ || walked.joins_.empty() || !hints.shifts_ || hints.shiftsFirst_)
    return walked;
  ReassemblyHints shiftsFirst = hints;
  shiftsFirst.shiftsFirst_ = true;
  Reassembly again = WalkPieces(file, shiftsFirst);
  return (again.complete_ || Better(again, walked)) ? again : walked;
}

namespace {

Reassembly WalkPieces(std::span<const std::uint8_t> file, const ReassemblyHints& hints) {
  std::vector<std::uint32_t> units;
  if (hints.unit_ != 0) {
    units.push_back(hints.unit_);
  } else {
    units = {SectorSize(file), kSmallUnit};
  }
  std::map<std::pair<std::uint32_t, std::uint64_t>, PieceIndex> indexes;
  std::vector<std::uint64_t> tableSectors;
  for (std::uint64_t pos = 0; pos + 512 <= file.size(); pos += 512) {
    if (LooksLikeAllocationTable(file, pos)) tableSectors.push_back(pos);
  }
  const std::vector<std::uint64_t> namedTables = HeaderTableSectors(file);
  Reassembly best;
  // The file's bytes the best chain holds: a start among them is a globals BOF inside
  // that chain (an embedded one, or a copy), whose walk goes the same way.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> bestRanges;
  const auto inBest = [&bestRanges](std::uint64_t pos) {
    auto at = std::upper_bound(bestRanges.begin(), bestRanges.end(),
                               std::make_pair(pos, ~std::uint64_t{0}));
    return at != bestRanges.begin() && std::prev(at)->second > pos;
  };
  for (const std::uint64_t start : Starts(file, hints)) {
    if (best.found_ && inBest(start)) continue;
    // A globals BOF at the file's first byte makes the file a bare record stream: it has
    // no pieces to put in order, and the record scan reads it as it is.
    if (start == 0) {
      best.bare_ = true;
      continue;
    }
    // From one start, the small pieces are taken over the sector-sized ones only when they
    // reach the last sheet and the sectors do not: with eight times the places to join,
    // a longer chain of small pieces is as often a wrong one.
    Reassembly fromHere;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> fromHereRanges;
    for (const std::uint32_t unit : units) {
      Walker walker(file, unit, hints, indexes, tableSectors, namedTables);
      Reassembly candidate = walker.Run(start);
      const bool smaller = fromHere.found_ && candidate.unit_ < fromHere.unit_;
      if (smaller ? candidate.complete_ && !fromHere.complete_ : Better(candidate, fromHere)) {
        fromHereRanges = walker.ChainRanges(candidate.chainBytes_);
        fromHere = std::move(candidate);
      }
    }
    if (Better(fromHere, best)) {
      fromHere.bare_ = best.bare_;
      best = std::move(fromHere);
      bestRanges = std::move(fromHereRanges);
    }
    // The hinted start, when it carries a whole chain, is the stream.
    if (best.complete_ && hints.start_) break;
  }
  return best;
}

}  // namespace

}  // namespace tabulix
