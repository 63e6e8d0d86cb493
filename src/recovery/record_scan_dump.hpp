#pragma once
// One dump file of candidate lists in the diagnostics folder, written in pieces so that a
// stream with millions of candidates never needs its whole dump in memory.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tabulix {

class PositionDump {
 public:
  // Plain: the scan's files ("%10d" offsets). ZeroBlank: validation's files, whose
  // "%10.0d" prints an offset of 0 as blanks.
  enum class OffsetFormat { Plain, ZeroBlank };

  // Creates (truncating) the file; nothing happens when the diagnostics folder is missing,
  // the name is empty, or the file cannot be created.
  PositionDump(std::string_view name, OffsetFormat format);
  PositionDump(const PositionDump&) = delete;
  PositionDump& operator=(const PositionDump&) = delete;
  ~PositionDump();

  bool open() const { return open_; }

  // Appends the line of candidate `index`.
  void Line(std::size_t index, std::uint32_t offset, std::int16_t code, std::int16_t size);

 private:
  static constexpr std::size_t kFlushBytes = std::size_t{1} << 20;

  void Flush();

  OffsetFormat format_;
  std::filesystem::path path_;
  std::string text_;
  bool open_ = false;
};

}  // namespace tabulix
