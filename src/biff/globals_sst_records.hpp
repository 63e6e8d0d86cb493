#pragma once
// The shared string table (SST) and its bucket index (EXTSST). The table is usually far
// longer than one record holds: it goes on in CONTINUE records, and a string that crosses
// a CONTINUE boundary carries a fresh flags byte at the start of each further piece (its
// character width may change there). A string never starts with a flags byte: a CONTINUE
// that begins exactly at a string begins with the string's own header.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "biff/large_string.hpp"
#include "biff/record.hpp"

namespace tabulix::globals {

class SST : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x00FC;

  SST();  // no strings
  void Reset();

  // Reads the counts and the strings, following the source's split points. The unique
  // count comes from the file: a count larger than the data can hold (3 bytes a string at
  // least) or than the strings actually there is logged, and the list holds the strings
  // read. Returns the stream bytes consumed, all CONTINUE records included.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  // Writes the counts (the unique count being the strings held) and the strings, split at
  // the points DataSize lays out.
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  // The data length as written, laying out the split points in continueIndices_ (the ones
  // read are replaced). Formatting runs and phonetic data are not written.
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  // String i as UTF-8; empty when i is out of range.
  std::string Text(std::size_t i) const;

  std::uint32_t total_ = 0;   // string references in the workbook
  std::uint32_t unique_ = 0;  // strings in the table
  std::vector<LargeString> strings_;

 private:
  // Reads the string at `q` into `text`; `split` indexes the first split point after `q`
  // and moves past those the string crosses. Returns the position after the string.
  std::size_t ReadSplitString(LargeString& text, std::size_t q, std::size_t& split);
};

class ExtSST : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x00FF;

  struct Bucket {
    std::uint32_t streamPosition = 0;  // of the bucket's first string
    std::uint16_t pieceOffset = 0;     // of that string inside its SST piece
    std::uint16_t reserved = 0;
  };

  ExtSST();  // 8 strings per bucket, no buckets
  void Reset();

  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos) override;
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos) override;
  std::uint32_t DataSize() override;
  std::uint32_t RecordSize() override;
  // Code 0x00FF and a length of 2 plus whole 8-byte buckets.
  static bool Validate(std::span<const std::uint8_t> stream, std::size_t pos);

  std::uint16_t stringsPerBucket_ = 8;
  std::vector<Bucket> buckets_;
};

}  // namespace tabulix::globals
