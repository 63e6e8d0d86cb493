#pragma once
// How many columns text takes on a terminal, so that tables of cell texts line up
// whatever script the cells are written in. Our own tables of Unicode 15 (East Asian Wide
// and Fullwidth, combining marks, zero-width characters), not the C library's wcwidth(),
// whose answer depends on the locale the program happens to run in.

#include <cstddef>
#include <string_view>

namespace tabulix {

// The columns `c` takes: 2 for East Asian Wide and Fullwidth characters, 0 for combining
// marks, zero-width characters, variation selectors and control characters, 1 otherwise.
int CodePointWidth(char32_t c);

// The columns UTF-8 text takes; each byte that is not part of a well-formed character
// (a stray continuation byte, a cut sequence, an overlong form, an encoded surrogate)
// takes 1.
std::size_t DisplayWidth(std::string_view utf8);

// The longest prefix of `utf8` of whole characters that takes at most `columns` columns.
// A character of width 0 stays with the character before it: a combining sequence is kept
// or dropped whole, and the prefix does not end on a zero-width joiner.
std::string_view FitToWidth(std::string_view utf8, std::size_t columns);

}  // namespace tabulix
