#include "storage/storage_tree.hpp"

namespace tabulix::storage {

std::string PrintableName(std::u16string_view name) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const char16_t c : name) {
    if (c >= 0x20 && c < 0x7F && c != u'\\') {
      text += static_cast<char>(c);
      continue;
    }
    const int digits = c <= 0xFF ? 2 : 4;
    text += c <= 0xFF ? "\\x" : "\\u";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += kDigits[(c >> shift) & 0xF];
  }
  return text;
}

}  // namespace tabulix::storage
