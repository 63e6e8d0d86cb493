// The sector reassembly as the load uses it: a route of its own where no container route
// gave a stream, and a check on the stream a container route gave, whose pieces may be
// out of order (sectors swapped, bytes inserted) while the tables still stand.

#include <algorithm>
#include <span>
#include <string>
#include <utility>

#include "base/log.hpp"
#include "document/xls_document.hpp"

namespace tabulix {

namespace {

// A file of many moved pieces would fill the log with one line each; past this many the
// rest are counted in one line.
constexpr std::size_t kLoggedJoins = 50;

}  // namespace

void XlsDocument::TakeReassembly(Reassembly&& reassembly) {
  RecoveryReport::Reassembly& out = report_.reassembly_;
  out = RecoveryReport::Reassembly();
  out.done_ = true;
  out.unit_ = reassembly.unit_;
  out.start_ = reassembly.start_;
  out.chainBytes_ = reassembly.chainBytes_;
  out.complete_ = reassembly.complete_;
  out.leftoverBytes_ = reassembly.leftoverBytes_;
  for (const Reassembly::Join& join : reassembly.joins_)
    out.joins_.push_back({join.streamOffset_, join.expected_, join.taken_});
  for (const Reassembly::Shift& shift : reassembly.shifts_)
    out.shifts_.push_back({shift.fileOffset_, shift.bytes_});

  WriteLog(0, 0,
           "Workbook stream reassembled from " + std::to_string(out.unit_) +
               "-byte pieces: record chain of " + std::to_string(out.chainBytes_) +
               " bytes from file offset " + std::to_string(out.start_) +
               (out.complete_ ? " to the last sheet's EOF" : ", broken before the last sheet") +
               "; " + std::to_string(out.joins_.size()) + " pieces reordered, " +
               std::to_string(out.shifts_.size()) + " shifts corrected",
           false);
  for (std::size_t i = 0; i < out.joins_.size() && i < kLoggedJoins; ++i) {
    const auto& join = out.joins_[i];
    WriteLog(0, 0,
             "Stream offset " + std::to_string(join.streamOffset_) + ": piece at file offset " +
                 std::to_string(join.taken_) + " taken instead of " +
                 std::to_string(join.expected_),
             false);
  }
  if (out.joins_.size() > kLoggedJoins)
    WriteLog(0, 0, std::to_string(out.joins_.size() - kLoggedJoins) + " more pieces reordered",
             false);
  for (const auto& shift : out.shifts_) {
    WriteLog(0, 0,
             std::to_string(shift.bytes_ > 0 ? shift.bytes_ : -shift.bytes_) + " bytes " +
                 (shift.bytes_ > 0 ? "inserted" : "lost") + " before file offset " +
                 std::to_string(shift.fileOffset_) + "; read on from there",
             false);
  }
  stream_ = std::move(reassembly.stream_);
}

bool XlsDocument::LoadReassembledStream(std::span<const std::uint8_t> file,
                                        const ReassemblyHints& hints) {
  Reassembly reassembly = ReassembleWorkbookStream(file, hints);
  if (!reassembly.found_) {
    // A bare record stream is no failure of this route: the raw route reads it as it is.
    if (!reassembly.bare_)
      report_.routeFailures_.push_back(
          {StreamRoute::Reassembled, "no workbook globals BOF starts a record chain"});
    return false;
  }
  TakeReassembly(std::move(reassembly));
  return true;
}

std::vector<std::uint8_t> XlsDocument::MendStreamOrder(std::span<const std::uint8_t> file,
                                                       const ReassemblyHints& hints) {
  const ChainWalk walk = WalkRecordChain(stream_);
  if (walk.complete_) return {};
  // Only a chain that the reassembly walks to the last sheet's EOF, further than the
  // stream as it came and through every piece but the writer's zero padding behind the
  // last EOF, replaces the stream: a container route read it through tables that stood,
  // and most breaks in such a stream are damage inside its pieces, which no order of
  // pieces mends (a walk that leaves records behind went round the damage).
  const auto mends = [&walk](const Reassembly& reassembly) {
    const auto leftovers =
        std::span<const std::uint8_t>(reassembly.stream_)
            .subspan(std::min<std::size_t>(reassembly.chainBytes_, reassembly.stream_.size()));
    const bool padding = std::all_of(leftovers.begin(), leftovers.end(),
                                     [](std::uint8_t byte) { return byte == 0; });
    return reassembly.found_ && reassembly.complete_ && padding &&
           reassembly.chainBytes_ > walk.bytes_;
  };
  Reassembly reassembly = ReassembleWorkbookStream(file, hints);
  if (!mends(reassembly) && !hints.shifts_) {
    // Tables that stood still hold bytes inserted into the file or lost from it behind
    // them: every sector from there on sits off its boundary.
    ReassemblyHints shifted = hints;
    shifted.shifts_ = true;
    reassembly = ReassembleWorkbookStream(file, shifted);
  }
  if (!mends(reassembly)) return {};
  std::vector<std::uint8_t> replaced = std::move(stream_);
  TakeReassembly(std::move(reassembly));
  return replaced;
}

}  // namespace tabulix
