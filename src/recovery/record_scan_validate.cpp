// Validation of the scan's candidates. A clean stream gives one candidate per record plus
// the false ones that data bytes happen to form; a false candidate nearly always overlaps
// a true record, and the true record is the one whose extent ends exactly where another
// candidate begins. Validation walks the candidates once, deciding each overlap by that
// exact successor, and drops the rest.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "recovery/record_scan.hpp"
#include "recovery/record_scan_dump.hpp"

namespace tabulix {

namespace {

// Puts the three lists in ascending offset order (the scan leaves them so; a caller that
// filled them by hand may not have) and makes them the same length.
void Normalise(RecordScan& scan) {
  const std::size_t n =
      std::min({scan.objPositions_.size(), scan.objCodes_.size(), scan.objSizes_.size()});
  scan.objPositions_.resize(n);
  scan.objCodes_.resize(n);
  scan.objSizes_.resize(n);
  if (scan.objExtents_.size() != n) scan.objExtents_.clear();
  if (std::is_sorted(scan.objPositions_.begin(), scan.objPositions_.end())) return;
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&scan](std::size_t a, std::size_t b) {
    return scan.objPositions_[a] < scan.objPositions_[b];
  });
  RecordScan sorted;
  for (std::size_t k : order) {
    sorted.objPositions_.push_back(scan.objPositions_[k]);
    sorted.objCodes_.push_back(scan.objCodes_[k]);
    sorted.objSizes_.push_back(scan.objSizes_[k]);
    if (!scan.objExtents_.empty()) sorted.objExtents_.push_back(scan.objExtents_[k]);
  }
  scan.objPositions_ = std::move(sorted.objPositions_);
  scan.objCodes_ = std::move(sorted.objCodes_);
  scan.objSizes_ = std::move(sorted.objSizes_);
  scan.objExtents_ = std::move(sorted.objExtents_);
}

}  // namespace

bool RecordScan::ValidateObjectPositions() {
  Normalise(*this);
  const std::size_t n = objPositions_.size();
  if (n == 0) return false;

  const std::vector<std::uint32_t>& pos = objPositions_;
  // End of a candidate's extent, with its length taken as signed; a sum that comes out
  // negative counts as huge, as in every bound test of the scan.
  const bool extents = objExtents_.size() == n;
  auto end = [this, extents](std::size_t k) -> std::int64_t {
    const std::int64_t e = std::int64_t{objPositions_[k]} +
                           (extents ? std::int64_t{objExtents_[k]} : objSizes_[k] + 4);
    return e < 0 ? std::numeric_limits<std::int64_t>::max() : e;
  };

  // The last candidate counts as a successor like any other: a record followed exactly by
  // it is as well vouched for as one followed by any other candidate. Leaving it out of the
  // exact-successor test and of the overlap search would drop the last sound records of
  // every slice.
  //
  // chained[k]: how many candidates j < k are followed exactly by candidate j + 1, so that
  // the chain inside an overlapping extent is counted in constant time however often the
  // walk looks at the same stretch.
  std::vector<std::uint32_t> chained(n + 1, 0);
  for (std::size_t j = 0; j < n; ++j) {
    const bool exact = j + 1 < n && end(j) == std::int64_t{pos[j + 1]};
    chained[j + 1] = chained[j] + (exact ? 1u : 0u);
  }

  std::vector<std::uint8_t> sound(n, 0);
  bool lastVouchedFor = false;  // a kept candidate ends exactly where the last one starts
  std::size_t q = 0;
  // Keeps q and moves on to p, the candidate that starts where q's extent ends.
  auto keepUpTo = [&](std::size_t p) {
    sound[q] = 1;
    if (p == n - 1) lastVouchedFor = true;
    q = p;
  };
  while (q + 1 < n) {
    const std::int64_t e = end(q);
    const std::int64_t following = pos[q + 1];
    if (e == following) {  // exact successor
      keepUpTo(q + 1);
      continue;
    }
    if (e < following) {  // a gap: kept unless it starts inside the extent before it
      sound[q] = (q > 0 && std::int64_t{pos[q]} < end(q - 1)) ? 0 : 1;
      ++q;
      continue;
    }
    // Overlap: look for a candidate starting exactly at the end of q's extent. The search
    // stops at the first candidate at or past that end, so a binary search over the sorted
    // offsets finds the same one and keeps validation from going quadratic.
    std::size_t p = n;
    if (q + 2 < n) {
      const auto first = pos.begin() + static_cast<std::ptrdiff_t>(q + 2);
      const auto it = std::lower_bound(
          first, pos.end(), e,
          [](std::uint32_t offset, std::int64_t x) { return std::int64_t{offset} < x; });
      p = static_cast<std::size_t>(it - pos.begin());
    }
    if (p >= n || std::int64_t{pos[p]} != e) {  // nothing vouches for q
      ++q;
      continue;
    }
    // One candidate inside q's extent, and q's successor right behind it: that one is
    // false. So is a run whose first record is one q is expected to be followed by.
    if (p == q + 2 || IsExpectedSuccessor(objCodes_[q], objCodes_[p])) {
      keepUpTo(p);
      continue;
    }
    // Several candidates lie inside q's extent. If at least half of them chain exactly
    // into each other, they are the real records and q is the false one.
    const std::size_t inner = chained[p] - chained[q + 1];
    const std::size_t span = p - q;
    if (2 * inner >= span) {
      ++q;
    } else {
      keepUpTo(p);
    }
  }
  // The last candidate has no successor of its own: kept when a kept candidate runs into it
  // exactly, or else as if a gap followed it.
  sound[n - 1] = (lastVouchedFor || !(n > 1 && std::int64_t{pos[n - 1]} < end(n - 2))) ? 1 : 0;

  {
    PositionDump deleted(kDeletedPositionsDump, PositionDump::OffsetFormat::ZeroBlank);
    if (deleted.open()) {
      for (std::size_t k = n; k-- > 0;) {
        if (sound[k] == 0) deleted.Line(k, pos[k], objCodes_[k], objSizes_[k]);
      }
    }
  }

  std::size_t kept = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if (sound[k] == 0) continue;
    objPositions_[kept] = objPositions_[k];
    objCodes_[kept] = objCodes_[k];
    objSizes_[kept] = objSizes_[k];
    ++kept;
  }
  objPositions_.resize(kept);
  objCodes_.resize(kept);
  objSizes_.resize(kept);

  {
    PositionDump valid(kValidPositionsDump, PositionDump::OffsetFormat::ZeroBlank);
    if (valid.open()) {
      for (std::size_t k = 0; k < kept; ++k) {
        valid.Line(k, objPositions_[k], objCodes_[k], objSizes_[k]);
      }
    }
  }

  objCodes_.clear();
  objSizes_.clear();
  objExtents_.clear();
  return true;
}

}  // namespace tabulix
