// The first route to the workbook stream: a sound compound document read strictly.

#include <string>

#include "log/log.hpp"
#include "recovery/xls_document.hpp"
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

bool XlsDocument::LoadStorageStream(const std::string& path) {
  try {
    streamName_.clear();
    const auto storage = storage::StorageReader::Open(path);
    if (!storage) {
      WriteLog(0, 0, "Failed StgOpenStorageEx", true);
      return false;
    }
    std::string name = "Workbook";
    if (!storage->HasStream(u"Workbook")) {
      name = "Book";
      if (!storage->HasStream(u"Book")) {
        WriteLog(0, 0, "Failed OpenStream", true);
        return false;
      }
    }
    const std::u16string wideName(name.begin(), name.end());
    const storage::ReadStatus status = storage->ReadStream(wideName, stream_);
    if (status != storage::ReadStatus::Ok) {
      WriteLog(0, 0, FailureText(status), true);
      return false;
    }
    streamName_ = name;
    WriteLog(0, 0,
             "Read stream \"" + name +
                 "\" through structured storage: " + std::to_string(stream_.size()) + " bytes",
             false);
    return true;
  } catch (...) {
    WriteLog(0, 0, "Exception in XlsDocument::LoadStorageStream", true);
    return false;
  }
}

}  // namespace tabulix
