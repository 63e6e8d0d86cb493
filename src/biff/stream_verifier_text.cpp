// The list of findings and the strict reading of the strings of a record.

#include <algorithm>
#include <cstdio>

#include "base/little_endian.hpp"
#include "biff/stream_verifier.hpp"
#include "biff/stream_verifier_parts.hpp"

namespace tabulix::verify {

void Findings::Add(std::string_view invariant, std::size_t pos, std::string_view what) {
  std::size_t& listed = listed_[invariant];
  if (lines_.size() >= kMaxStreamFindings || listed >= kMaxFindingsPerInvariant) {
    ++more_[invariant];
    return;
  }
  ++listed;
  std::string line(invariant);
  line += " at ";
  line += std::to_string(pos);
  line += ": ";
  line += what;
  lines_.push_back(std::move(line));
}

std::vector<std::string> Findings::Take() {
  std::vector<std::string> lines = std::move(lines_);
  if (!more_.empty()) {
    std::vector<std::pair<std::string_view, std::size_t>> left(more_.begin(), more_.end());
    std::stable_sort(left.begin(), left.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    std::size_t total = 0;
    std::string each;
    for (const auto& [invariant, count] : left) {
      total += count;
      each += (each.empty() ? "" : ", ") + std::string(invariant) + " " + std::to_string(count);
    }
    lines.push_back("... and " + std::to_string(total) + " more: " + each);
  }
  lines_.clear();
  listed_.clear();
  more_.clear();
  return lines;
}

namespace {

constexpr std::uint8_t kWide = 0x01;
constexpr std::uint8_t kPhonetic = 0x04;
constexpr std::uint8_t kRuns = 0x08;

bool IsHighSurrogate(std::uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(std::uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

}  // namespace

TextCursor::TextCursor(Bytes stream, std::span<const RawRecord> pieces, std::size_t offset,
                       bool continues)
    : stream_(stream), pieces_(pieces), continues_(continues), offset_(offset) {}

Bytes TextCursor::Piece() const {
  return piece_ < pieces_.size() ? DataOf(stream_, pieces_[piece_]) : Bytes();
}

bool TextCursor::NextPiece() {
  if (!continues_ || piece_ + 1 >= pieces_.size()) return false;
  ++piece_;
  offset_ = 0;
  return true;
}

std::size_t TextCursor::Left() const {
  std::size_t left = Piece().size() - std::min(offset_, Piece().size());
  for (std::size_t i = piece_ + 1; continues_ && i < pieces_.size(); ++i) left += pieces_[i].length;
  return left;
}

bool TextCursor::AtEnd() const {
  if (offset_ < Piece().size()) return false;
  for (std::size_t i = piece_ + 1; continues_ && i < pieces_.size(); ++i) {
    if (pieces_[i].length > 0) return false;  // usually the very next one
  }
  return true;
}

std::size_t TextCursor::StreamPos() const {
  if (piece_ >= pieces_.size()) return pieces_.empty() ? 0 : pieces_.back().pos;
  return pieces_[piece_].pos + 4 + offset_;
}

TextFault TextCursor::Missing(std::size_t count, const char* unit) const {
  if (continues_) {
    return {"continue-missing",
            "needs " + std::to_string(count) + " more " + unit + " and no CONTINUE record follows"};
  }
  return {"text-length",
          "needs " + std::to_string(count) + " more " + unit + " than its record holds"};
}

std::optional<TextFault> TextCursor::Read(std::size_t countBytes, bool extended) {
  // A CONTINUE record that begins exactly at a string begins with the string's header.
  if (offset_ >= Piece().size()) NextPiece();
  const Bytes piece = Piece();
  const std::size_t header = countBytes + 1;
  // The header (count, flags, run count, phonetic size) never spans two records: readers
  // take it from one piece.
  const auto headerFault = [&](std::size_t needed) -> TextFault {
    if (continues_ && piece_ + 1 < pieces_.size()) {
      return {"text-split", "its header is split by a CONTINUE record"};
    }
    return Missing(needed, "header bytes");
  };
  if (offset_ > piece.size() || piece.size() - offset_ < header) {
    return headerFault(header - (piece.size() - std::min(offset_, piece.size())));
  }
  const std::size_t count = countBytes == 1 ? piece[offset_] : LittleEndian::U16(piece, offset_);
  const std::uint8_t flags = piece[offset_ + countBytes];
  offset_ += header;
  std::uint64_t trailing = 0;  // formatting runs and phonetic block, behind the characters
  if (extended && (flags & kRuns) != 0) {
    if (piece.size() - offset_ < 2) return headerFault(2 - (piece.size() - offset_));
    trailing += std::uint64_t{LittleEndian::U16(piece, offset_)} * 4;
    offset_ += 2;
  }
  if (extended && (flags & kPhonetic) != 0) {
    if (piece.size() - offset_ < 4) return headerFault(4 - (piece.size() - offset_));
    trailing += LittleEndian::U32(piece, offset_);
    offset_ += 4;
  }
  std::string surrogate;
  if (auto fault = Characters(count, (flags & kWide) != 0, surrogate)) return fault;
  // The runs and the phonetic block are plain bytes: they may cross into a CONTINUE record
  // without a flags byte of their own.
  while (trailing > 0) {
    const std::size_t avail = Piece().size() - std::min(offset_, Piece().size());
    if (avail == 0) {
      if (!NextPiece()) return Missing(static_cast<std::size_t>(trailing), "bytes of runs");
      continue;
    }
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(trailing, avail));
    offset_ += take;
    trailing -= take;
  }
  if (!surrogate.empty()) return TextFault{"surrogate", surrogate};
  return std::nullopt;
}

std::optional<TextFault> TextCursor::Characters(std::size_t count, bool wide,
                                                std::string& surrogate) {
  std::size_t index = 0;  // of the next character
  bool high = false;      // the character before was a high surrogate
  const auto unpaired = [&](std::size_t at, std::uint16_t unit) {
    if (surrogate.empty()) {
      surrogate = "unpaired surrogate " + Hex(unit, 4) + " at character " + std::to_string(at);
    }
  };
  std::uint16_t lastUnit = 0;
  while (index < count) {
    const Bytes piece = Piece();
    const std::size_t avail = piece.size() - std::min(offset_, piece.size());
    if (avail == 0) {
      if (!NextPiece()) return Missing(count - index, "characters");
      // Each further piece of the characters opens with a flags byte: bit 0 alone may be set.
      const Bytes next = Piece();
      if (next.empty()) {
        return TextFault{"text-continue", "a CONTINUE record inside it holds no flags byte"};
      }
      if ((next[0] & ~kWide) != 0) {
        return TextFault{"text-continue",
                         "a CONTINUE record inside it opens with flags " + Hex(next[0], 2)};
      }
      wide = (next[0] & kWide) != 0;
      offset_ = 1;
      continue;
    }
    const std::size_t width = wide ? 2 : 1;
    const std::size_t take = std::min(count - index, avail / width);
    if (take == 0) {
      if (continues_ && piece_ + 1 < pieces_.size()) {
        return TextFault{"text-split", "a 16-bit character is split by a CONTINUE record"};
      }
      return Missing(count - index, "characters");
    }
    for (std::size_t k = 0; k < take; ++k, ++index) {
      const std::uint16_t unit =
          wide ? LittleEndian::U16(piece, offset_ + 2 * k) : piece[offset_ + k];
      if (IsHighSurrogate(unit)) {
        if (high) unpaired(index - 1, lastUnit);
        high = true;
      } else {
        if (IsLowSurrogate(unit) && !high) unpaired(index, unit);
        if (!IsLowSurrogate(unit) && high) unpaired(index - 1, lastUnit);
        high = false;
      }
      lastUnit = unit;
    }
    offset_ += take * width;
  }
  if (high) unpaired(index - 1, lastUnit);
  return std::nullopt;
}

}  // namespace tabulix::verify
