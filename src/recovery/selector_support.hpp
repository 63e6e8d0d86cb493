#pragma once
// What the two record selectors share: the tests that decide whether a candidate record
// may be read, and the wording of their log lines.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tabulix::selector {

// The record at `offset` is taken as `length` bytes long (header included): there must be
// room behind it, and the bytes there must look like the start of another record.
bool FitsBefore(std::span<const std::uint8_t> slice, std::uint32_t offset, std::uint32_t length);

// "<prefix><offset>, code = <code in lower-case hex>, size = <size>", the shape of every
// selector log line; `prefix` ends with "ObjOffset = ".
std::string Message(std::string_view prefix, std::uint32_t offset, std::int16_t code,
                    std::int16_t size);

// The substream type of the BOF record at `offset` (the caller has checked that it fits).
std::uint16_t BofType(std::span<const std::uint8_t> slice, std::uint32_t offset);

}  // namespace tabulix::selector
