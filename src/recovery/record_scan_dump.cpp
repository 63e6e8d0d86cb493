#include "recovery/record_scan_dump.hpp"

#include <algorithm>
#include <cstdio>

#include "base/diagnostics.hpp"
#include "base/safe_file.hpp"

namespace tabulix {

PositionDump::PositionDump(std::string_view name, OffsetFormat format) : format_(format) {
  if (name.empty()) return;
  const auto dir = DiagnosticsDirectory();
  if (!dir) return;
  path_ = *dir / std::filesystem::path(name);
  open_ = WriteFileNoFollow(path_, std::string_view{}, WriteMode::Replace);
}

PositionDump::~PositionDump() { Flush(); }

void PositionDump::Line(std::size_t index, std::uint32_t offset, std::int16_t code,
                        std::int16_t size) {
  if (!open_) return;
  char line[160];
  const int k = static_cast<int>(index);
  const int at = static_cast<int>(offset);
  const auto hex = static_cast<unsigned>(static_cast<int>(code));
  const int length =
      format_ == OffsetFormat::Plain
          ? std::snprintf(line, sizeof line,
                          "\n Object[%5d] = %10d,  Code[%5d] = %10x,  Size[%5d] = %10d", k, at, k,
                          hex, k, int{size})
          : std::snprintf(line, sizeof line,
                          "\n Object[%5d] = %10.0d,  Code[%5d] = %10x,  Size[%5d] = %10d", k, at, k,
                          hex, k, int{size});
  if (length > 0) {
    text_.append(line, std::min(static_cast<std::size_t>(length), sizeof line - 1));
  }
  if (text_.size() >= kFlushBytes) Flush();
}

void PositionDump::Flush() {
  if (!open_ || text_.empty()) return;
  open_ = WriteFileNoFollow(path_, text_, WriteMode::Append);
  text_.clear();
}

}  // namespace tabulix
