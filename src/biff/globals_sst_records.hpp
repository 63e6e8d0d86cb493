#pragma once
// The shared string table (SST) and its bucket index (EXTSST). The table is usually far
// longer than one record holds: it goes on in CONTINUE records, and a string that crosses
// a CONTINUE boundary carries a fresh flags byte at the start of each further piece (its
// character width may change there). A string never starts with a flags byte: a CONTINUE
// that begins exactly at a string begins with the string's own header.
//
// Damage in the middle of the table costs more than the strings it hits: the strings after
// it are read one after the other, so they are either lost or, when the read goes on out
// of step, every later index names the wrong text. The bucket index in EXTSST says where
// every n-th string starts, which lets Salvage read the table again behind the damage with
// the strings' true indexes (see globals_sst_salvage.cpp).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "biff/large_string.hpp"
#include "biff/record.hpp"

namespace tabulix::globals {

class ExtSST;

class SST : public Record {
 public:
  static constexpr std::uint16_t kCode = 0x00FC;

  // What a salvage did, for the log line.
  struct SalvageCounts {
    std::size_t read = 0;       // strings the first read had right
    std::size_t readAgain = 0;  // strings that came back only through the salvage
    std::size_t lost = 0;       // strings whose bytes could not be read back
  };

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

  // Whether string i was damaged beyond reading (its entry is then empty). False past the
  // end of strings_: an index beyond the table is the caller's to handle.
  bool IsLost(std::size_t i) const { return i < lost_.size() && lost_[i] != 0; }
  std::size_t LostCount() const;

  // Whether the last Read left the table short of its unique count, ended off the end of
  // its data or met a string holding U+0000: damage, which Salvage may undo.
  bool NeedsSalvage() const { return needsSalvage_; }
  // Whether the table since the last Read is the salvage's and not simply what was read.
  bool Salvaged() const { return salvaged_; }

  // Reads the table again from `stream`, the span the last Read was given, with the
  // buckets of the EXTSST found right behind the table in `stream`, or else of `index` (the
  // one the caller read), when that read met damage. Replaces strings_ with one entry per
  // index up to the table's true length and flags the entries it could not read back in
  // lost_. Keeps the first read as it was when no index agrees with the table. Runs once
  // per Read; nothing changes when the first read was sound.
  SalvageCounts Salvage(std::span<const std::uint8_t> stream, const ExtSST& index);

  std::uint32_t total_ = 0;   // string references in the workbook
  std::uint32_t unique_ = 0;  // strings in the table
  std::vector<LargeString> strings_;
  // Empty when no string is lost; else one flag per entry of strings_, 1 for a lost one.
  std::vector<std::uint8_t> lost_;
  // Where the record's header stood in the span the last Read was given.
  std::size_t sourcePosition_ = 0;

  // Reads the string at `q` of `data` (the pieces joined, each further piece beginning at
  // a point of `splits`) into `text`; `split` indexes the first split point after `q` and
  // moves past those the string crosses. Returns the position after the string.
  static std::size_t ReadSplitString(std::span<const std::uint8_t> data,
                                     std::span<const std::uint32_t> splits, LargeString& text,
                                     std::size_t q, std::size_t& split);

 private:
  bool needsSalvage_ = false;
  bool salvaged_ = false;
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
