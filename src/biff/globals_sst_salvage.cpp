// Reading the shared string table again behind damage, with the bucket index of EXTSST.
//
// What the buckets hold, as the corpus shows it: for every `stringsPerBucket_`-th string,
// its absolute offset in the workbook stream (where its character count stands) and its
// offset inside its SST or CONTINUE record counted from that record's header, so 12 for
// the first string (4 header bytes, then the two 32-bit counts) and at least 4 in a
// CONTINUE. Some writers get the second number wrong (negative, or zero throughout), and
// some pad the record with garbage buckets beyond the ones the unique count needs; a
// stream that lost or gained bytes before the table, or a slice that starts at the
// globals' BOF, moves every first number by the same amount. So the stream offsets lead,
// shifted by where the SST really stands; the in-record offsets only help to find a
// CONTINUE header behind a broken one; and a bucket counts only where the table's own
// bytes agree with it.
//
// The salvage in short: find the table's pieces in the stream (following CONTINUE records
// past a broken header where the next sound one can be found) and the EXTSST behind the
// last one; take every bucket whose position lands on a plausible string header as a
// candidate anchor; keep the anchors that the strings confirm (reading a bucket's strings
// from its start ends exactly where the next bucket starts, or the strings of the bucket
// before end exactly at it); then read from each anchor to the next. A stretch that lines
// up is sound, but for a string next to a destroyed header or holding U+0000 (a zeroed
// stretch inside its characters). One that does not line up keeps the strings before the
// first doubtful one (but the last of them, which borders the damage) and loses the rest,
// so that no string lands at another string's index. An index that no string confirms
// leaves the first read as it was.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

#include "base/little_endian.hpp"
#include "biff/fixed_record.hpp"
#include "biff/globals_sst_records.hpp"

namespace tabulix::globals {

namespace {

constexpr std::uint8_t kWideFlag = 0x01;
constexpr std::uint8_t kPhoneticFlag = 0x04;
constexpr std::uint8_t kRichTextFlag = 0x08;
// A string's own flags byte; the flags byte that opens a further piece knows the width only.
constexpr std::uint8_t kStringFlags = kWideFlag | kPhoneticFlag | kRichTextFlag;
constexpr std::uint8_t kPieceFlags = kWideFlag;
constexpr std::size_t kMinStringSize = 3;
// The strings start behind the total and unique counts.
constexpr std::size_t kFirstString = 8;
// Where bucket 0 points: behind the SST's header and its two counts.
constexpr std::size_t kFirstStringInRecord = kRecordHeaderSize + kFirstString;

// The table as it lies in the stream: its pieces joined as Record::Read joins them, but
// found past a damaged CONTINUE header too.
struct Table {
  struct Piece {
    std::size_t dataStart = 0;  // stream offset of its data
    std::size_t length = 0;     // its data bytes
    std::size_t joined = 0;     // offset of its data in `bytes`
  };
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint32_t> splits;  // offsets in `bytes` where each further piece begins
  // Offsets in `bytes` of pieces that follow bytes no piece accounts for. No string may
  // be read across one.
  std::vector<std::size_t> gaps;
  // Offsets in `bytes` of pieces found behind a header that was destroyed, not merely
  // recoded: the damage that took the header most likely took the bytes next to it.
  std::vector<std::size_t> scarred;
  std::vector<Piece> pieces;
  std::size_t streamEnd = 0;  // stream offset behind the last piece
  // Stream offset of the EXTSST that ends the table, when the walk came upon one.
  std::optional<std::size_t> indexAt;

  void Add(std::span<const std::uint8_t> stream, std::size_t dataStart, std::size_t length,
           bool afterGap, bool scar = false) {
    if (!bytes.empty()) {
      splits.push_back(static_cast<std::uint32_t>(bytes.size()));
      if (afterGap) gaps.push_back(bytes.size());
      if (scar) scarred.push_back(bytes.size());
    }
    pieces.push_back({dataStart, length, bytes.size()});
    const auto run = stream.subspan(dataStart, length);
    bytes.insert(bytes.end(), run.begin(), run.end());
    streamEnd = dataStart + length;
  }

  // The offset in `bytes` of stream offset `at`, when a piece holds it.
  std::optional<std::size_t> Map(std::size_t at) const {
    auto after =
        std::upper_bound(pieces.begin(), pieces.end(), at,
                         [](std::size_t p, const Piece& piece) { return p < piece.dataStart; });
    if (after == pieces.begin()) return std::nullopt;
    const Piece& piece = *(after - 1);
    if (at - piece.dataStart >= piece.length) return std::nullopt;
    return piece.joined + (at - piece.dataStart);
  }

  // The first gap behind `from`, else the end of the table: no read from `from` goes past it.
  std::size_t Stop(std::size_t from) const {
    const auto gap = std::upper_bound(gaps.begin(), gaps.end(), from);
    return gap != gaps.end() ? *gap : bytes.size();
  }

  // Whether the string at [start, end) touches a scarred piece boundary.
  bool Scarred(std::size_t start, std::size_t end) const {
    const auto scar = std::lower_bound(scarred.begin(), scarred.end(), start);
    return scar != scarred.end() && *scar <= end;
  }
};

bool HeaderAt(std::span<const std::uint8_t> stream, std::size_t at, std::uint16_t& code,
              std::uint16_t& length) {
  return ReadHeader(stream, at, code, length) &&
         stream.size() - at - kRecordHeaderSize >= std::size_t{length};
}

// A whole CONTINUE record at `at`.
bool ContinueAt(std::span<const std::uint8_t> stream, std::size_t at, std::uint16_t& length) {
  std::uint16_t code = 0;
  return HeaderAt(stream, at, code, length) && code == kContinueCode;
}

// A whole EXTSST record at `at`: where the table ends.
bool IndexAt(std::span<const std::uint8_t> stream, std::size_t at) {
  std::uint16_t code = 0;
  std::uint16_t length = 0;
  return HeaderAt(stream, at, code, length) && code == ExtSST::kCode && length >= 2 &&
         (length - 2) % 8 == 0;
}

// A CONTINUE at `at` whose successor is another CONTINUE or the EXTSST: two headers in a
// row are hard to come by in string bytes.
bool ContinueChainAt(std::span<const std::uint8_t> stream, std::size_t at) {
  std::uint16_t length = 0;
  std::uint16_t next = 0;
  if (!ContinueAt(stream, at, length)) return false;
  const std::size_t after = at + kRecordHeaderSize + length;
  return ContinueAt(stream, after, next) || IndexAt(stream, after);
}

// Finds the table's pieces from the SST header at `sstAt`. `bucketHeaders` (ascending) are
// the CONTINUE headers the buckets' in-record offsets lead to.
Table FindPieces(std::span<const std::uint8_t> stream, std::size_t sstAt,
                 const std::vector<std::size_t>& bucketHeaders) {
  Table table;
  std::uint16_t code = 0;
  std::uint16_t length = 0;
  if (!HeaderAt(stream, sstAt, code, length) || code != SST::kCode) return table;
  table.Add(stream, sstAt + kRecordHeaderSize, length, false);
  std::size_t at = table.streamEnd;
  auto hint = bucketHeaders.begin();
  bool afterGap = false;
  // Every turn takes a piece or a step forward, so the walk ends within the stream.
  while (at < stream.size()) {
    if (ContinueAt(stream, at, length)) {
      table.Add(stream, at + kRecordHeaderSize, length, afterGap);
      afterGap = false;
      at = table.streamEnd;
      continue;
    }
    if (IndexAt(stream, at)) {
      table.indexAt = at;
      break;
    }
    // The chain is broken here. A header whose code alone was hit still says how long its
    // piece is, and a sound header follows it.
    if (HeaderAt(stream, at, code, length) && length <= kMaxRecordData) {
      const std::size_t after = at + kRecordHeaderSize + length;
      std::uint16_t next = 0;
      if (ContinueAt(stream, after, next) || IndexAt(stream, after)) {
        table.Add(stream, at + kRecordHeaderSize, length, afterGap);
        afterGap = false;
        at = after;
        continue;
      }
    }
    // Else the next sound CONTINUE header: the nearest one a bucket's in-record offset
    // leads to, or one found by looking through the next piece's reach byte by byte (a
    // record holds no more than kMaxRecordData bytes). An EXTSST met first ends the table.
    // Each byte is looked at once: the walk goes on behind it.
    while (hint != bucketHeaders.end() && *hint <= at) ++hint;
    std::size_t resume = hint != bucketHeaders.end() ? *hint : stream.size();
    const std::size_t reach =
        std::min({resume, at + kRecordHeaderSize + kMaxRecordData + 1, stream.size()});
    for (std::size_t p = at + 1; p < reach; ++p) {
      if (IndexAt(stream, p)) {
        table.indexAt = p;
        resume = stream.size();
        break;
      }
      if (ContinueChainAt(stream, p)) {
        resume = p;
        break;
      }
    }
    if (resume >= stream.size()) break;
    if (resume >= at + kRecordHeaderSize && resume - at - kRecordHeaderSize <= kMaxRecordData) {
      // One piece's worth: the piece whose header was destroyed. Its bytes may be sound.
      if (resume > at + kRecordHeaderSize)
        table.Add(stream, at + kRecordHeaderSize, resume - at - kRecordHeaderSize, afterGap, true);
      afterGap = false;
    } else {
      afterGap = true;
    }
    at = resume;
  }
  return table;
}

// The buckets' stream offsets, moved by where bucket 0 (the first string) really stands
// behind the SST header at `sstAt`. At most the buckets `unique` strings need: writers pad
// the record with garbage buckets.
std::vector<std::int64_t> BucketPositions(const ExtSST& index, std::size_t sstAt,
                                          std::uint32_t unique) {
  std::vector<std::int64_t> positions;
  const std::size_t per = index.stringsPerBucket_;
  if (per == 0 || index.buckets_.empty()) return positions;
  const std::size_t needed = (std::size_t{unique} + per - 1) / per;
  positions.resize(std::min(index.buckets_.size(), needed));
  const std::int64_t shift = static_cast<std::int64_t>(sstAt + kFirstStringInRecord) -
                             std::int64_t{index.buckets_[0].streamPosition};
  for (std::size_t b = 0; b < positions.size(); ++b)
    positions[b] = std::int64_t{index.buckets_[b].streamPosition} + shift;
  return positions;
}

// The CONTINUE headers (ascending) that the buckets' in-record offsets lead back to from
// their positions, where a whole CONTINUE holding the position stands there.
std::vector<std::size_t> BucketHeaders(std::span<const std::uint8_t> stream, const ExtSST& index,
                                       const std::vector<std::int64_t>& positions) {
  std::vector<std::size_t> headers;
  for (std::size_t b = 1; b < positions.size(); ++b) {
    if (positions[b] < 0 || static_cast<std::uint64_t>(positions[b]) >= stream.size()) continue;
    const auto at = static_cast<std::size_t>(positions[b]);
    const std::size_t offset = index.buckets_[b].pieceOffset;
    std::uint16_t length = 0;
    if (offset >= kRecordHeaderSize && offset <= at && ContinueAt(stream, at - offset, length) &&
        offset < kRecordHeaderSize + std::size_t{length})
      headers.push_back(at - offset);
  }
  std::sort(headers.begin(), headers.end());
  return headers;
}

// How the table's reader would take the string at `q` of `data`: where it ends, whether it
// is all there, and whether its framing is doubtful (flags bits no writer sets, a header
// or a character split by a piece boundary).
struct Extent {
  std::size_t end = 0;
  bool whole = false;
  bool doubtful = false;
};

// Mirrors SST::ReadSplitString without reading the characters, so that a string running
// past the end of `data` is recognised before it is read (and logged as cut).
Extent Measure(std::span<const std::uint8_t> data, std::span<const std::uint32_t> splits,
               std::size_t q, std::size_t split) {
  Extent extent;
  if (q > data.size() || data.size() - q < kMinStringSize) return extent;
  const std::size_t count = LittleEndian::U16(data, q);
  const std::uint8_t flags = data[q + 2];
  extent.doubtful = (flags & ~kStringFlags) != 0;
  const std::size_t width = (flags & kWideFlag) != 0 ? 2 : 1;
  std::size_t header = 3;
  std::size_t runs = 0;
  std::size_t phonetic = 0;
  if ((flags & kRichTextFlag) != 0) {
    runs = LittleEndian::U16(data, q + header);
    header += 2;
  }
  if ((flags & kPhoneticFlag) != 0) {
    phonetic = LittleEndian::U32(data, q + header);
    header += 4;
  }
  if (data.size() - q < header) return extent;
  if (split < splits.size() && splits[split] < q + header) extent.doubtful = true;
  const std::size_t charsAt = q + header;
  std::size_t end = charsAt + count * width;
  if (count > 0 && split < splits.size() && splits[split] < end) {
    // The characters cross split points: each further piece opens with a flags byte.
    const std::size_t boundary = splits[split];
    std::size_t inPiece = 0;
    if (boundary > charsAt) {
      inPiece = std::min(count, (boundary - charsAt) / width);
      if ((boundary - charsAt) % width != 0) extent.doubtful = true;
    }
    std::size_t left = count - inPiece;
    end = charsAt + inPiece * width;
    while (left > 0) {
      if (split >= splits.size()) return extent;
      const std::size_t at = splits[split++];
      if (at >= data.size()) return extent;
      if ((data[at] & ~kPieceFlags) != 0) extent.doubtful = true;
      const std::size_t pieceWidth = (data[at] & kWideFlag) != 0 ? 2 : 1;
      inPiece = left;
      if (split < splits.size()) {
        const std::size_t limit = splits[split];
        inPiece = limit > at + 1 ? std::min(left, (limit - at - 1) / pieceWidth) : 0;
      }
      end = at + 1 + inPiece * pieceWidth;
      if (end > data.size()) return extent;
      left -= inPiece;
    }
  }
  end += 4 * runs + phonetic;
  extent.end = end;
  extent.whole = end <= data.size();
  return extent;
}

bool DoubtfulChar(char32_t c) {
  // Control characters other than tab, line feed and carriage return, the C1 controls,
  // and the two code points that are no characters at all.
  if (c < 0x20) return c != 0x09 && c != 0x0A && c != 0x0D;
  return (c >= 0x7F && c <= 0x9F) || c == 0xFFFE || c == 0xFFFF;
}

bool HoldsNul(const LargeString& text) {
  return text.IsWide() ? text.wide_.find(u'\0') != std::u16string::npos
                       : text.narrow_.find('\0') != std::string::npos;
}

// Text that random or zeroed bytes give and real strings do not: an empty string (zeroed
// bytes read as a run of them), control characters, a surrogate without its partner.
bool DoubtfulText(const LargeString& text) {
  if (text.IsWide()) {
    const std::u16string& wide = text.wide_;
    if (wide.empty()) return true;
    for (std::size_t i = 0; i < wide.size(); ++i) {
      const char16_t c = wide[i];
      if (c >= 0xD800 && c <= 0xDBFF) {
        if (i + 1 >= wide.size() || wide[i + 1] < 0xDC00 || wide[i + 1] > 0xDFFF) return true;
        ++i;
      } else if ((c >= 0xDC00 && c <= 0xDFFF) || DoubtfulChar(c)) {
        return true;
      }
    }
    return false;
  }
  if (text.narrow_.empty()) return true;
  return std::any_of(text.narrow_.begin(), text.narrow_.end(),
                     [](char c) { return DoubtfulChar(static_cast<unsigned char>(c)); });
}

// Strings read one after the other from one offset of the table.
struct Run {
  std::size_t read = 0;   // strings read whole
  std::size_t sound = 0;  // of them, those before the first doubtful one
  std::size_t end = 0;    // offset behind the last string read whole
  // Of them, those that show damage even where the run lines up: they touch a scarred
  // piece boundary, or hold U+0000, which zeroed bytes leave and no writer stores.
  std::vector<std::size_t> marred;
};

// Reads up to `count` strings from `from`, none past `limit`. Keeps them in `out` when
// given, and in `starts` the offsets of the sound ones before the first doubtful one.
Run ReadRun(const Table& table, std::size_t from, std::size_t limit, std::size_t count,
            std::vector<LargeString>* out, std::vector<std::size_t>* starts = nullptr) {
  const std::span<const std::uint8_t> data =
      std::span<const std::uint8_t>(table.bytes).first(std::min(limit, table.bytes.size()));
  const std::span<const std::uint32_t> splits(table.splits);
  Run run;
  run.end = from;
  std::size_t split = static_cast<std::size_t>(
      std::upper_bound(splits.begin(), splits.end(), from) - splits.begin());
  LargeString scratch;
  std::size_t q = from;
  while (run.read < count) {
    while (split < splits.size() && splits[split] <= q) ++split;
    const Extent extent = Measure(data, splits, q, split);
    if (!extent.whole || extent.end <= q) break;
    LargeString& text = out != nullptr ? out->emplace_back() : scratch;
    SST::ReadSplitString(data, splits, text, q, split);
    if (starts != nullptr && run.sound == run.read) starts->push_back(q);
    const bool marred = table.Scarred(q, extent.end) || HoldsNul(text);
    if (marred) run.marred.push_back(run.read);
    const bool doubtful = marred || extent.doubtful || DoubtfulText(text);
    if (!doubtful && run.sound == run.read) ++run.sound;
    ++run.read;
    q = extent.end;
    run.end = q;
  }
  return run;
}

// A bucket the salvage may start a read at: string `index` at offset `at` of the table.
struct Anchor {
  std::size_t index = 0;
  std::size_t at = 0;
};

// Where a read from `at` must stop: the nearest anchor beyond it (in offset order), the
// next gap, or the table's end. Reads from different anchors thus never cover the same
// bytes, whatever order damaged buckets put their offsets in.
std::size_t StopFor(const Table& table, const std::vector<std::size_t>& sortedAt, std::size_t at) {
  const auto next = std::upper_bound(sortedAt.begin(), sortedAt.end(), at);
  return std::min(next != sortedAt.end() ? *next : table.bytes.size(), table.Stop(at));
}

std::vector<std::size_t> SortedOffsets(const std::vector<Anchor>& anchors) {
  std::vector<std::size_t> at;
  at.reserve(anchors.size());
  for (const Anchor& anchor : anchors) at.push_back(anchor.at);
  std::sort(at.begin(), at.end());
  return at;
}

// Whether the run from anchor k lines up: it reads every string up to the next anchor's
// index and ends exactly at that anchor, or, from the last anchor, ends exactly with the
// table, having read every string up to `length` or fewer that are all sound (the unique
// count may promise more than the table holds; zeroed bytes read as empty strings are not
// sound).
bool LinesUp(const Table& table, const std::vector<Anchor>& anchors, std::size_t k,
             std::size_t length, const Run& run) {
  if (k + 1 < anchors.size())
    return run.read == anchors[k + 1].index - anchors[k].index && run.end == anchors[k + 1].at;
  return run.end == table.bytes.size() &&
         (run.read == length - anchors[k].index || (run.read > 0 && run.sound == run.read));
}

// The table read again with the buckets of `index`: one entry per index, and the lost
// ones flagged (`lost` empty when none is). Nothing when the index does not agree with the
// table, or when it says nothing the first read (`firstCount` strings) did not.
struct Outcome {
  std::vector<LargeString> strings;
  std::vector<std::uint8_t> lost;
};

std::optional<Outcome> ReadAgain(std::span<const std::uint8_t> stream, std::size_t sstAt,
                                 std::uint32_t unique, std::size_t firstCount, const ExtSST& index,
                                 std::optional<std::size_t>& indexAt) {
  const std::vector<std::int64_t> positions = BucketPositions(index, sstAt, unique);
  const Table table = FindPieces(stream, sstAt, BucketHeaders(stream, index, positions));
  indexAt = table.indexAt;
  if (table.bytes.size() < kFirstString) return std::nullopt;
  const std::size_t per = index.stringsPerBucket_;

  // The table's true length: at most what the unique count says and what its bytes hold.
  const std::size_t room =
      (table.streamEnd - table.pieces[0].dataStart - kFirstString) / kMinStringSize;
  const std::size_t trueLength = std::min<std::size_t>(unique, room);

  // Read whole from the start, the table found may be sound after all: a CONTINUE whose
  // code alone was hit ends the first read's join but not this one. Counted first, and
  // kept only when sound: a damaged count over zeroed bytes would hold millions of empty
  // strings.
  std::vector<std::size_t> starts;
  const Run first =
      ReadRun(table, kFirstString, table.Stop(kFirstString), trueLength, nullptr, &starts);
  Outcome outcome;
  if (first.read == trueLength && first.end == table.bytes.size()) {
    ReadRun(table, kFirstString, table.Stop(kFirstString), trueLength, &outcome.strings);
    if (!first.marred.empty()) {
      outcome.lost.assign(outcome.strings.size(), 0);
      for (const std::size_t i : first.marred) {
        outcome.strings[i] = LargeString();
        outcome.lost[i] = 1;
      }
    }
    return outcome;
  }

  // Candidate anchors: the buckets whose position lands in a piece on a string header
  // whose flags a writer could have set.
  std::vector<Anchor> candidates{{0, kFirstString}};
  for (std::size_t b = 1; b < positions.size() && b * per < trueLength; ++b) {
    if (positions[b] < 0 || static_cast<std::uint64_t>(positions[b]) >= stream.size()) continue;
    const auto at = table.Map(static_cast<std::size_t>(positions[b]));
    if (!at || *at <= kFirstString || table.bytes.size() - *at < kMinStringSize) continue;
    if ((table.bytes[*at + 2] & ~kStringFlags) != 0) continue;
    candidates.push_back({b * per, *at});
  }
  // Keep those the strings confirm: reached exactly from the one before, or reaching
  // exactly the one after. A damaged bucket position does neither.
  std::vector<std::size_t> sortedAt = SortedOffsets(candidates);
  std::vector<std::uint8_t> reaches(candidates.size(), 0);
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const bool last = k + 1 == candidates.size();
    const std::size_t count = (last ? trueLength : candidates[k + 1].index) - candidates[k].index;
    const Run run = ReadRun(table, candidates[k].at, StopFor(table, sortedAt, candidates[k].at),
                            count, nullptr);
    reaches[k] = LinesUp(table, candidates, k, trueLength, run) ? 1 : 0;
  }
  std::vector<Anchor> anchors;
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    if (k == 0 || reaches[k] != 0 || reaches[k - 1] != 0) anchors.push_back(candidates[k]);
  }
  // Distrust the index when no bucket is confirmed, or when the confirmed ones all
  // disagree with the first read where that read still looks sound.
  std::size_t checked = 0;
  std::size_t agree = 0;
  for (std::size_t k = 1; k < anchors.size() && anchors[k].index < first.sound; ++k) {
    ++checked;
    if (starts[anchors[k].index] == anchors[k].at) ++agree;
  }
  if (anchors.size() < 2 || (checked > 0 && agree == 0)) return std::nullopt;

  // Read from each anchor to the next.
  sortedAt = SortedOffsets(anchors);
  std::vector<std::vector<LargeString>> runs(anchors.size());
  std::vector<std::size_t> taken(anchors.size(), 0);
  std::vector<std::vector<std::size_t>> marred(anchors.size());
  std::size_t reach = 0;
  // The last bucket's run ended with the table: the table is as long as it read. (A run
  // from an earlier bucket that ends with the table found where its tail was cut off.)
  bool tailFound = false;
  for (std::size_t k = 0; k < anchors.size(); ++k) {
    const bool last = k + 1 == anchors.size();
    const std::size_t count = (last ? trueLength : anchors[k + 1].index) - anchors[k].index;
    const Run run =
        ReadRun(table, anchors[k].at, StopFor(table, sortedAt, anchors[k].at), count, &runs[k]);
    // A run that does not line up met damage after its sound strings; the last of them
    // borders it, and a burst that began inside its characters leaves its length (and so
    // the look of its text) intact. It goes with the damage.
    const bool linesUp = LinesUp(table, anchors, k, trueLength, run);
    taken[k] = linesUp ? run.read : run.sound > 0 ? run.sound - 1 : 0;
    tailFound = linesUp && last && anchors[k].index / per + 1 == positions.size();
    if (taken[k] > 0) reach = std::max(reach, anchors[k].index + taken[k]);
    marred[k] = run.marred;
  }
  // One entry per index the first read or the buckets account for: the strings read up
  // to the table's end, or, when its end was not found, as many as the buckets and the
  // unique count say.
  const std::size_t bucketReach = tailFound ? 0 : std::min(trueLength, positions.size() * per);
  const std::size_t size = std::min(trueLength, std::max({firstCount, bucketReach, reach}));
  outcome.strings.resize(size);
  outcome.lost.assign(size, 1);
  for (std::size_t k = 0; k < anchors.size(); ++k) {
    for (std::size_t j = 0; j < taken[k] && anchors[k].index + j < size; ++j) {
      outcome.strings[anchors[k].index + j] = std::move(runs[k][j]);
      outcome.lost[anchors[k].index + j] = 0;
    }
    // A run that lines up may still hold a string whose characters were hit.
    for (const std::size_t j : marred[k]) {
      if (j >= taken[k] || anchors[k].index + j >= size) continue;
      outcome.strings[anchors[k].index + j] = LargeString();
      outcome.lost[anchors[k].index + j] = 1;
    }
  }
  return outcome;
}

}  // namespace

SST::SalvageCounts SST::Salvage(std::span<const std::uint8_t> stream, const ExtSST& index) {
  SalvageCounts counts;
  if (!needsSalvage_) return counts;
  needsSalvage_ = false;
  salvaged_ = true;
  counts.read = strings_.size();
  std::uint16_t code = 0;
  std::uint16_t length = 0;
  // A span other than the one the table was read from has something else here.
  if (!HeaderAt(stream, sourcePosition_, code, length) || code != kCode ||
      std::size_t{length} < kFirstString) {
    return counts;
  }

  // The EXTSST right behind the table's last piece is the table's own. The caller's may
  // be another: a globals read that lost its way in the damage never came to it, and the
  // record-by-record recovery takes whatever passes for an EXTSST last in its slice. So
  // the one the walk over the pieces comes upon leads, and the caller's is tried when
  // that one does not agree with the table.
  std::optional<std::size_t> indexAt;
  std::optional<Outcome> outcome =
      ReadAgain(stream, sourcePosition_, unique_, strings_.size(), index, indexAt);
  ExtSST own;
  if (indexAt && own.Read(stream, *indexAt) > 0 && own.data_ != index.data_) {
    std::optional<std::size_t> ignored;
    if (std::optional<Outcome> mine =
            ReadAgain(stream, sourcePosition_, unique_, strings_.size(), own, ignored))
      outcome = std::move(mine);
  }
  if (!outcome) return counts;

  // Tell what the first read had right from what came back only now.
  counts = SalvageCounts();
  const Outcome& result = *outcome;
  for (std::size_t i = 0; i < result.strings.size(); ++i) {
    const LargeString& text = result.strings[i];
    if (!result.lost.empty() && result.lost[i] != 0) {
      ++counts.lost;
    } else if (i < strings_.size() && strings_[i].IsWide() == text.IsWide() &&
               strings_[i].narrow_ == text.narrow_ && strings_[i].wide_ == text.wide_) {
      ++counts.read;
    } else {
      ++counts.readAgain;
    }
  }
  strings_ = std::move(outcome->strings);
  lost_ = counts.lost > 0 ? std::move(outcome->lost) : std::vector<std::uint8_t>();
  return counts;
}

}  // namespace tabulix::globals
