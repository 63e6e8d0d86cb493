#pragma once
// What the workbook-globals records share beyond the fixed-layout machinery of
// fixed_record.hpp: the sizes and strings of the records with strings and lists.

#include <cstddef>
#include <cstdint>
#include <span>

#include "biff/large_string.hpp"
#include "biff/record.hpp"
#include "biff/small_string.hpp"

namespace tabulix::globals::detail {

// Stores a data length computed from a record's fields. Split points read from the source
// only fit the length they were read with, so a changed length drops them (the record is
// then split by the 8224-byte rule).
std::uint32_t StoreDataSize(Record& record, std::uint32_t size);

// Read the string at `at` of a record's data when its count and flags are there (else the
// string keeps its text). False when the string is missing or its characters run past
// the data (those before the end are kept).
bool ReadShortString(std::span<const std::uint8_t> data, std::size_t at, SmallString& text);
bool ReadLongString(std::span<const std::uint8_t> data, std::size_t at, LargeString& text);

}  // namespace tabulix::globals::detail
