#pragma once
// Checks of a whole workbook stream made before (or instead of) recovering it: whether it
// holds anything of an Excel 97-2003 workbook at all, whether it is of an older version
// that must not be read as if it were one, and whether it is encrypted.

#include <cstdint>
#include <span>
#include <string_view>

namespace tabulix {

// Empty when the stream holds at least one BIFF8 BOF record header anywhere; otherwise a
// sentence for the user saying why there is nothing to recover.
std::string_view DescribeUnusableStream(std::span<const std::uint8_t> stream);

// Whether a FILEPASS record stands among the records of a workbook globals substream: the
// record chain is followed from every globals BOF of the stream (a damaged stream may
// hold its globals anywhere) for as long as it holds. Encrypted records are no cells, so
// a workbook with one cannot be recovered.
bool HasFilePass(std::span<const std::uint8_t> stream);

}  // namespace tabulix
