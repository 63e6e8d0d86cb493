// The save route: the recovered globals and worksheets written as one new workbook stream,
// stored as the single stream "Workbook" of a new compound document.

#include <exception>
#include <string>

#include "base/diagnostics.hpp"
#include "base/log.hpp"
#include "document/xls_document.hpp"
#include "storage/storage_writer.hpp"

namespace tabulix {

namespace {

constexpr std::u16string_view kStreamName = u"Workbook";

// The step of the save that failed, in the words the error log has always used.
std::string_view FailureText(storage::WriteStatus status) {
  switch (status) {
    case storage::WriteStatus::CreateFailed:
      return "Failed StgCreateStorageEx";
    case storage::WriteStatus::CreateStreamFailed:
      return "Failed CreateStream";
    case storage::WriteStatus::WriteFailed:
      return "Failed Write to Stream";
    case storage::WriteStatus::CommitFailed:
      return "Failed to Commit";
    case storage::WriteStatus::Ok:
      break;
  }
  return {};
}

}  // namespace

void XlsDocument::FixCellIndexPositions() {
  std::uint32_t position = model_.workbook_.RecordSize();
  for (Worksheet& sheet : model_.worksheets_) {
    // The worksheet's fix only adds entries. Those beyond the blocks and rows written (the
    // single 0 an empty sheet's INDEX keeps, blocks or rows of the source that were not
    // kept) would name whatever stands at those positions in the new stream.
    auto& blocks = sheet.cellTable_.rowBlocks_;
    if (sheet.index_.positions_.size() > blocks.size())
      sheet.index_.positions_.resize(blocks.size());
    for (cells::RowBlock& block : blocks) {
      if (block.dbCell_.offsets_.size() > block.rows_.size())
        block.dbCell_.offsets_.resize(block.rows_.size());
    }
    position = sheet.FixCellIndexPositions(position);
  }
}

void XlsDocument::WriteStreamBuffer(std::span<std::uint8_t> out, const SaveProgress& progress) {
  auto report = [&progress](int percent) {
    if (progress) progress(percent);
  };
  report(0);
  std::size_t at = out.empty() ? 0 : model_.workbook_.Write(out, 0);
  report(20);
  const std::size_t n = model_.worksheets_.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (!out.empty()) at += model_.worksheets_[i].Write(out, at);
    report(static_cast<int>(20 + (80 * (i + 1)) / n));
  }
  report(100);
}

bool XlsDocument::BuildSavedStream(const SaveProgress& progress) {
  if (savedStreamReady_ && savedPositions_.size() == model_.workbook_.sheets_.size()) {
    // The load's check built these very bytes; only the entries go back to the positions
    // of the stream they describe, as a build would leave them.
    for (std::size_t e = 0; e < savedPositions_.size(); ++e)
      model_.workbook_.sheets_[e].position_ = savedPositions_[e];
    WriteStreamBuffer({}, progress);
    WriteDiagnosticDump("Out_payload.bin", saveBuffer_);
    return true;
  }
  // Each fix changes sizes the other relies on: the sheet entries set the length of the
  // globals, and the index fix gives every rebuilt row block its DBCELL offsets and every
  // sheet its INDEX entries, which lengthens the sheet. Once both have grown what they
  // grow, the second round finds every position where the bytes will be.
  FixSheetPositions();
  FixCellIndexPositions();
  FixSheetPositions();
  FixCellIndexPositions();

  std::uint64_t size = model_.workbook_.RecordSize();
  for (Worksheet& sheet : model_.worksheets_) size += sheet.RecordSize();
  if (size > 0xFFFFFFFFu) {
    // A compound document of the old version holds no stream of 4 GiB or more.
    WriteLog(0, 0, "Failed Write to Stream", true);
    return false;
  }
  saveBuffer_.assign(static_cast<std::size_t>(size), 0);
  WriteStreamBuffer(saveBuffer_, progress);
  WriteDiagnosticDump("Out_payload.bin", saveBuffer_);
  return true;
}

storage::WriteStatus XlsDocument::WriteDocument(const std::string& path, std::string& reason) {
  // A source document that held the one stream still gives its root's class id.
  if (!otherEntries_)
    return storage::WriteSingleStreamFile(path, kStreamName, saveBuffer_, &reason);
  // The new stream joins the source's other entries for the save, without a copy of either.
  auto& entries = otherEntries_->entries;
  storage::TreeEntry& stream = entries.emplace_back();
  stream.name = kStreamName;
  stream.data = std::move(saveBuffer_);
  auto giveBack = [&] {
    saveBuffer_ = std::move(entries.back().data);
    entries.pop_back();
  };
  storage::WriteStatus status = storage::WriteStatus::WriteFailed;
  try {
    status = storage::WriteDocumentFile(path, *otherEntries_, &reason);
  } catch (...) {
    giveBack();
    throw;
  }
  giveBack();
  if (status != storage::WriteStatus::CreateStreamFailed) return status;
  // An entry of the source that a document may not hold (a name the format forbids, two
  // names alike): the workbook is saved alone rather than not at all.
  WriteLog(0, 0, "Other streams of the document not saved: " + reason, true);
  reason.clear();
  return storage::WriteSingleStreamFile(path, kStreamName, saveBuffer_, &reason);
}

bool XlsDocument::SaveStorageFile(const std::string& path, const SaveProgress& progress) {
  const FlushLogRepeatsAtEnd flushLogs;
  saveError_.clear();
  try {
    if (!BuildSavedStream(progress)) {
      saveError_ =
          "the recovered workbook stream would be 4 GiB or more, more than a workbook "
          "file can hold";
      return false;
    }
    std::string reason;
    const storage::WriteStatus status = WriteDocument(path, reason);
    if (status != storage::WriteStatus::Ok) {
      WriteLog(0, 0, FailureText(status), true);
      if (!reason.empty()) WriteLog(0, 0, reason, true);
      saveError_ = reason.empty() ? std::string(FailureText(status)) : reason;
      return false;
    }
    WriteLog(0, 0, "Saved " + std::to_string(saveBuffer_.size()) + " bytes as stream \"Workbook\"",
             false);
    return true;
  } catch (...) {
    WriteLog(0, 0, "Exception while saving file", true);
  }
  // Even the words for the user need memory, which may be what ran out.
  try {
    saveError_ = "the save stopped on an unexpected error (such as a lack of memory)";
  } catch (...) {
    saveError_.clear();
  }
  return false;
}

}  // namespace tabulix
