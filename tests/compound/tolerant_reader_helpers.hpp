#pragma once
// Shared by the tolerant reader's tests: open a file the way the rescue does, and poke
// fields of a compound document held in memory.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/diagnostics.hpp"
#include "base/little_endian.hpp"
#include "compound/compound_file.hpp"
#include "support/test_support.hpp"

namespace tabulix::test {

// Opens the file and loads header, tables and directory, as the rescue does for a file
// with a sound header.
inline bool OpenAndLoad(CompoundFile& file, const std::filesystem::path& path) {
  if (!file.Open(path.string(), BlockFile::kModeRead | BlockFile::kModeWrite)) return false;
  file.LoadHeader();
  file.LoadTables();
  return file.LoadProperties();
}

// Reads "Workbook", else "Book".
inline int ReadWorkbook(CompoundFile& file, std::vector<std::uint8_t>& out,
                        std::size_t* bytesRead = nullptr) {
  const int result = file.ReadStream(std::u16string_view(u"Workbook"), out, bytesRead);
  if (result != CompoundFile::kNoSuchPath) return result;
  return file.ReadStream(std::u16string_view(u"Book"), out, bytesRead);
}

inline void PutU32(std::vector<std::uint8_t>& bytes, std::size_t pos, std::uint32_t value) {
  LittleEndian::Write(std::span<std::uint8_t>(bytes), value, pos);
}

inline std::uint32_t GetU32(const std::vector<std::uint8_t>& bytes, std::size_t pos) {
  return LittleEndian::U32(bytes, pos);
}

// Points the diagnostics folder at a folder that does not exist, so that no test writes
// dumps into the user's own folder, and restores the default afterwards.
class NoDumps {
 public:
  NoDumps() { SetDiagnosticsDirectory(dir_.path() / "absent"); }
  ~NoDumps() { SetDiagnosticsDirectory({}); }
  NoDumps(const NoDumps&) = delete;
  NoDumps& operator=(const NoDumps&) = delete;

 private:
  TempDir dir_;
};

}  // namespace tabulix::test
