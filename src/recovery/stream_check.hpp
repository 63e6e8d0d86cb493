#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tabulix {

// Empty when the stream holds at least one BIFF8 BOF record header anywhere; otherwise a
// sentence for the user saying why there is nothing to recover.
std::string_view DescribeUnusableStream(std::span<const std::uint8_t> stream);

}  // namespace tabulix
