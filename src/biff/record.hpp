#pragma once
// The base of every BIFF8 record: a 4-byte header (code, length) and a data part. A record
// whose data does not fit one record goes on in CONTINUE records; Read joins them into one
// data part and remembers where each began, so that Write can put the source's split
// points back exactly.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
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

// Where each CONTINUE part of a record began in its data. Nearly every record was read in
// one part, and a sheet holds up to a million records: an empty list costs one pointer
// rather than a vector's three.
class SplitPoints {
 public:
  SplitPoints() = default;
  SplitPoints(std::initializer_list<std::uint32_t> points) { *this = std::vector(points); }
  SplitPoints(const SplitPoints& other) { *this = other; }
  SplitPoints& operator=(const SplitPoints& other) {
    if (this != &other)
      points_ =
          other.empty() ? nullptr : std::make_unique<std::vector<std::uint32_t>>(*other.points_);
    return *this;
  }
  SplitPoints(SplitPoints&&) noexcept = default;
  SplitPoints& operator=(SplitPoints&&) noexcept = default;
  SplitPoints& operator=(std::vector<std::uint32_t> points) {
    points_ =
        points.empty() ? nullptr : std::make_unique<std::vector<std::uint32_t>>(std::move(points));
    return *this;
  }
  SplitPoints& operator=(std::initializer_list<std::uint32_t> points) {
    return *this = std::vector(points);
  }
  ~SplitPoints() = default;

  bool empty() const { return !points_ || points_->empty(); }
  std::size_t size() const { return points_ ? points_->size() : 0; }
  std::uint32_t operator[](std::size_t i) const { return (*points_)[i]; }
  const std::uint32_t* begin() const { return points_ ? points_->data() : nullptr; }
  const std::uint32_t* end() const { return points_ ? points_->data() + points_->size() : nullptr; }
  operator std::span<const std::uint32_t>() const { return {begin(), size()}; }  // NOLINT
  bool operator==(const std::vector<std::uint32_t>& other) const {
    return std::equal(begin(), end(), other.begin(), other.end());
  }
  bool operator==(const SplitPoints& other) const {
    return std::equal(begin(), end(), other.begin(), other.end());
  }

  void clear() { points_.reset(); }
  void push_back(std::uint32_t point) {
    if (!points_) points_ = std::make_unique<std::vector<std::uint32_t>>();
    points_->push_back(point);
  }
  // Drops the points at `size` or beyond (a record cut to `size` data bytes).
  void DropFrom(std::uint32_t size) {
    if (points_) std::erase_if(*points_, [size](std::uint32_t point) { return point >= size; });
  }

 private:
  std::unique_ptr<std::vector<std::uint32_t>> points_;
};

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

  // The fields go largest first: a derived class's small fields then fill the room the
  // code leaves at the end, and a cell takes 8 bytes less.
  std::vector<std::uint8_t> data_;
  // Where each CONTINUE part began in data_, for a record read in several parts.
  SplitPoints continueIndices_;
  std::uint32_t dataSize_ = 0;
  std::uint32_t recordSize_ = kRecordHeaderSize;
  std::uint16_t code_ = 0;

 protected:
  // For classes that compute their size: DataSize() plus one header per piece. Stores the
  // result in recordSize_.
  std::uint32_t SizeWithHeaders();

  // Resizes data_ to DataSize() before a derived Write encodes its fields; bytes already
  // there stay, new ones are zero.
  void PrepareData();
};

}  // namespace tabulix
