// The first route to the workbook stream: a sound compound document read strictly.

#include <string>

#include "base/log.hpp"
#include "document/xls_document.hpp"
#include "format/name_folding.hpp"
#include "storage/storage_reader.hpp"

namespace tabulix {

namespace {

std::string_view FailureText(storage::ReadStatus status) {
  switch (status) {
    case storage::ReadStatus::NoSuchStream:
      return "Failed OpenStream";
    case storage::ReadStatus::SizeUnknown:
      return "Failed To determine stream size";
    case storage::ReadStatus::Incomplete:
      return "Could not read complete data from stream";
    case storage::ReadStatus::NotCompound:
      return "Failed StgOpenStorageEx";
    case storage::ReadStatus::ReadFailed:
    case storage::ReadStatus::Ok:
      break;
  }
  return "Failed read from Stream";
}

}  // namespace

bool XlsDocument::LoadStorageStream(std::span<const std::uint8_t> file, ReassemblyHints& hints) {
  auto fail = [this](std::string_view logText, std::string reason) {
    WriteLog(0, 0, logText, true);
    report_.routeFailures_.push_back({StreamRoute::Storage, std::move(reason)});
    return false;
  };
  try {
    std::string reason;
    const auto storage = storage::StorageReader::View(file, &reason);
    if (!storage)
      return fail("Failed StgOpenStorageEx", "not a sound compound document: " + reason);
    std::string name = "Workbook";
    if (!storage->HasStream(u"Workbook")) {
      name = "Book";
      if (!storage->HasStream(u"Book"))
        return fail("Failed OpenStream", "no \"Workbook\" or \"Book\" stream");
    }
    const std::u16string wideName(name.begin(), name.end());
    const storage::ReadStatus status = storage->ReadStream(wideName, stream_, &reason);
    if (status != storage::ReadStatus::Ok)
      return fail(FailureText(status), "stream \"" + name + "\" unreadable: " + reason);
    report_.streamName_ = name;
    KeepOtherEntries(*storage);
    // Where the pieces lie, in the table's order, should the records say it is wrong.
    storage::StreamLayout layout;
    if (storage->Layout(wideName, layout) == storage::ReadStatus::Ok && !layout.pieces.empty()) {
      hints.unit_ = static_cast<std::uint32_t>(layout.unit);
      hints.size_ = layout.size;
      hints.start_ = layout.pieces.front().fileOffset;
      hints.order_.reserve(layout.pieces.size());
      for (const storage::StreamPiece& piece : layout.pieces)
        hints.order_.push_back(piece.fileOffset);
      // The tables stood: a break is most often damage inside a piece or pieces out of
      // order. Bytes inserted or lost behind the tables are looked for only when no order
      // of pieces mends the stream.
      hints.shifts_ = false;
    }
    WriteLog(0, 0,
             "Read stream \"" + name +
                 "\" through structured storage: " + std::to_string(stream_.size()) + " bytes",
             false);
    return true;
  } catch (...) {
    stream_.clear();
    return fail("Exception in XlsDocument::LoadStorageStream", "the strict reader failed");
  }
}

void XlsDocument::KeepOtherEntries(const storage::StorageReader& storage) {
  std::string reason;
  std::vector<std::string> skipped;
  // The save writes the workbook stream anew as "Workbook", in place of the one it was
  // read from ("Workbook", or "Book" when there was no other); a "Book" beside a
  // "Workbook" (an older version's copy some writers add) stays as it was. The stream read
  // is not read a second time only to be dropped.
  const std::u16string workbook = FoldedName(u"Workbook");
  const std::u16string read =
      FoldedName(std::u16string(report_.streamName_.begin(), report_.streamName_.end()));
  std::optional<storage::StorageTree> tree =
      storage.ReadTree(&reason, &skipped, [&](std::u16string_view name) {
        const std::u16string folded = FoldedName(name);
        return folded == workbook || folded == read;
      });
  // A stream of the document that cannot be read (its size or its chain broken) is not
  // saved; the others are.
  otherStreamsDropped_ = skipped.size();
  for (const std::string& problem : skipped)
    WriteLog(0, 0, "Other stream of the document not kept: " + problem, false);
  if (!tree) {
    // The workbook stream stands whole, so the load goes on; what else the document held is
    // not saved.
    WriteLog(0, 0, "Other streams of the document not kept: " + reason, false);
    return;
  }
  otherEntries_ = std::move(*tree);
}

}  // namespace tabulix
