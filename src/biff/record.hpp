#pragma once
// The base of every BIFF8 record: a 4-byte header (code, length) and a data part. A record
// whose data does not fit one record goes on in CONTINUE records; Read joins them into one
// data part and remembers where each began, so that Write can put the source's split
// points back exactly.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tabulix {

inline constexpr std::uint16_t kContinueCode = 0x003C;
inline constexpr std::uint32_t kRecordHeaderSize = 4;
// The largest data part of one record when we split a record ourselves.
inline constexpr std::uint32_t kMaxRecordData = 8224;

// Number of records (the first one and its CONTINUE records) that Write produces for
// `dataSize` data bytes: one per stored split point plus one, or else one per started
// 8224 bytes (at least one).
constexpr std::uint32_t RecordPieceCount(std::uint32_t dataSize,
                                         std::size_t continueCount) noexcept {
  if (continueCount > 0) return static_cast<std::uint32_t>(continueCount + 1);
  if (dataSize <= kMaxRecordData) return 1;
  return static_cast<std::uint32_t>((std::uint64_t{dataSize} + kMaxRecordData - 1) /
                                    kMaxRecordData);
}

class Record {
 public:
  Record() = default;
  virtual ~Record() = default;
  Record(const Record&) = default;
  Record& operator=(const Record&) = default;
  Record(Record&&) = default;
  Record& operator=(Record&&) = default;

  // Reads the record whose header is at `pos` of `stream`, with every CONTINUE record that
  // follows it. Returns the stream bytes consumed (RecordSize()); 0 when the header or its
  // data run past the end of `stream`, in which case code_ and dataSize_ hold the header's
  // values (when the header was there) and the rest is left as it was.
  virtual std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos);

  // Writes the header(s) and data at `pos` of `out`, split at continueIndices_ when there
  // are any, else every 8224 bytes. Returns the bytes written; a piece that does not fit
  // in `out` is not written (the pieces before it stay written).
  virtual std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos);

  virtual std::uint32_t DataSize();
  virtual std::uint32_t RecordSize();

  std::uint16_t code_ = 0;
  std::vector<std::uint8_t> data_;
  std::uint32_t dataSize_ = 0;
  std::uint32_t recordSize_ = kRecordHeaderSize;
  // Where each CONTINUE part began in data_, for a record read in several parts.
  std::vector<std::uint32_t> continueIndices_;

 protected:
  // For classes that compute their size: DataSize() plus one header per piece. Stores the
  // result in recordSize_.
  std::uint32_t SizeWithHeaders();

  // Resizes data_ to DataSize() before a derived Write encodes its fields; bytes already
  // there stay, new ones are zero.
  void PrepareData();
};

}  // namespace tabulix
