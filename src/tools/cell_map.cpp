// tabulix-cellmap: where each cell of a sound workbook lies in its file.
//
// The quality benchmark asks, for a damaged copy, which of the original's cells could have
// been recovered at all: those whose bytes the damage left alone. This program answers the
// other half of that question on the undamaged original. It opens the file with the strict
// reader (a damaged file is refused: the map is only ever made of an original) and prints
// JSON with
//   - the workbook stream's pieces: the file offset and length of each sector (or mini
//     sector) in stream order, so that any stream offset can be turned into a file offset;
//   - every record of the stream's record chain (offset, code, length), for damage that
//     aims at records;
//   - for each worksheet named in the globals, its cells: row, column and the stream ranges
//     a reader must see intact to get the value back: the cell's record (for a MULRK, the
//     record's header, row and column fields and the cell's own six bytes), the shared
//     string a LABELSST names, and the STRING record that holds a formula's text result.
// Only what a reader of values needs is mapped; blanks carry no value and are left out.

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/little_endian.hpp"
#include "biff/text_encoding.hpp"
#include "storage/storage_reader.hpp"

namespace {

namespace le = tabulix::LittleEndian;
using Bytes = std::span<const std::uint8_t>;

constexpr std::uint16_t kBof = 0x0809;
constexpr std::uint16_t kEof = 0x000A;
constexpr std::uint16_t kBoundSheet = 0x0085;
constexpr std::uint16_t kSst = 0x00FC;
constexpr std::uint16_t kContinue = 0x003C;
constexpr std::uint16_t kNumber = 0x0203;
constexpr std::uint16_t kRk = 0x027E;
constexpr std::uint16_t kMulRk = 0x00BD;
constexpr std::uint16_t kLabelSst = 0x00FD;
constexpr std::uint16_t kLabel = 0x0204;
constexpr std::uint16_t kRString = 0x00D6;
constexpr std::uint16_t kBoolErr = 0x0205;
constexpr std::uint16_t kFormula = 0x0006;
// Codes of older versions' formulas that some writers still put in BIFF8 files and
// readers accept.
constexpr std::uint16_t kFormula3 = 0x0206;
constexpr std::uint16_t kFormula4 = 0x0406;
constexpr std::uint16_t kString = 0x0207;

struct Record {
  std::size_t pos = 0;  // of the header
  std::uint16_t code = 0;
  std::uint16_t length = 0;
  std::size_t end() const { return pos + 4 + length; }
};

using Range = std::pair<std::size_t, std::size_t>;  // [first, past the last)

struct Sheet {
  std::string name;
  std::size_t bofPosition = 0;
  // (row, column) -> ranges; a later record for the same cell replaces an earlier one, as
  // readers do.
  std::map<std::pair<int, int>, std::vector<Range>> cells;
};

// The record chain from the stream's start, up to the first record that does not fit.
std::vector<Record> Chain(Bytes stream) {
  std::vector<Record> records;
  std::size_t pos = 0;
  while (pos + 4 <= stream.size()) {
    const Record r{pos, le::U16(stream, pos), le::U16(stream, pos + 2)};
    if (r.end() > stream.size()) break;
    records.push_back(r);
    pos = r.end();
  }
  return records;
}

// The stream range of each string of the SST that starts at records[first]: from its
// character count to the end of its last formatting run or phonetic byte, the CONTINUE
// headers it crosses included.
std::vector<Range> SharedStrings(Bytes stream, const std::vector<Record>& records,
                                 std::size_t first) {
  // The pieces of the table's data: the SST's own and those of its CONTINUE records.
  std::vector<Range> pieces{{records[first].pos + 4, records[first].end()}};
  for (std::size_t k = first + 1; k < records.size() && records[k].code == kContinue; ++k) {
    pieces.emplace_back(records[k].pos + 4, records[k].end());
  }
  std::vector<Range> strings;
  std::size_t piece = 0;
  std::size_t pos = pieces[0].first + 8;  // past the two counts
  const std::uint32_t unique = le::U32(stream, pieces[0].first + 4);
  // Moves `pos` on by `count` characters (or plain bytes), stepping into the next piece at a
  // piece's end; a piece entered in the middle of a string's characters starts with a fresh
  // flags byte that sets their width. Returns false when the data ends first.
  bool wide = false;
  auto advance = [&](std::size_t count, bool characters) {
    while (count > 0) {
      if (pos >= pieces[piece].second) {
        if (++piece >= pieces.size()) return false;
        pos = pieces[piece].first;
        if (characters) {
          wide = (le::U8(stream, pos) & 1) != 0;
          ++pos;
        }
        continue;
      }
      const std::size_t unitSize = characters && wide ? 2 : 1;
      const std::size_t room = (pieces[piece].second - pos) / unitSize;
      const std::size_t take = std::min(room, count);
      if (take == 0) {  // half a character left in the piece: the table is damaged
        return false;
      }
      pos += take * unitSize;
      count -= take;
    }
    return true;
  };
  while (strings.size() < unique) {
    if (pos >= pieces[piece].second) {
      if (++piece >= pieces.size()) break;
      pos = pieces[piece].first;
    }
    const std::size_t start = pos;
    if (pos + 3 > pieces[piece].second) break;
    const std::uint16_t characters = le::U16(stream, pos);
    const std::uint8_t flags = le::U8(stream, pos + 2);
    pos += 3;
    wide = (flags & 0x01) != 0;
    std::size_t runs = 0;
    std::size_t phonetic = 0;
    if ((flags & 0x08) != 0) {
      runs = le::U16(stream, pos);
      pos += 2;
    }
    if ((flags & 0x04) != 0) {
      phonetic = le::U32(stream, pos);
      pos += 4;
    }
    if (pos > pieces[piece].second) break;
    if (!advance(characters, true)) break;
    if (!advance(runs * 4 + phonetic, false)) break;
    strings.emplace_back(start, pos);
  }
  return strings;
}

// A BOUNDSHEET's name as UTF-8 (a short string: count, flags, characters).
std::string SheetName(Bytes stream, const Record& r) {
  const std::size_t at = r.pos + 4 + 6;
  const std::size_t count = le::U8(stream, at);
  const bool wide = (le::U8(stream, at + 1) & 1) != 0;
  std::u16string name;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t p = at + 2 + i * (wide ? 2 : 1);
    if (p + (wide ? 2 : 1) > r.end()) break;
    name.push_back(wide ? static_cast<char16_t>(le::U16(stream, p))
                        : static_cast<char16_t>(le::U8(stream, p)));
  }
  return tabulix::text::Utf16ToUtf8(name);
}

void MapSheet(Bytes stream, const std::vector<Record>& records, std::size_t first,
              const std::vector<Range>& strings, Sheet& sheet) {
  int depth = 0;
  for (std::size_t k = first; k < records.size(); ++k) {
    const Record& r = records[k];
    if (r.code == kBof) {
      ++depth;
      continue;
    }
    if (r.code == kEof) {
      if (--depth == 0) return;
      continue;
    }
    if (depth != 1 || r.length < 6) continue;  // a chart nested in the sheet has no cells
    const std::size_t data = r.pos + 4;
    const int row = le::U16(stream, data);
    const int column = le::U16(stream, data + 2);
    const Range whole{r.pos, r.end()};
    switch (r.code) {
      case kNumber:
      case kRk:
      case kLabel:
      case kRString:
      case kBoolErr:
        sheet.cells[{row, column}] = {whole};
        break;
      case kLabelSst: {
        const std::uint32_t index = le::U32(stream, data + 6);
        std::vector<Range> ranges{whole};
        if (index < strings.size()) ranges.push_back(strings[index]);
        sheet.cells[{row, column}] = std::move(ranges);
        break;
      }
      case kMulRk: {
        // Row, first column, six bytes a cell, last column.
        if (r.length < 6) break;
        const std::size_t cells = (r.length - 6) / 6;
        for (std::size_t i = 0; i < cells; ++i) {
          const std::size_t own = data + 4 + i * 6;
          sheet.cells[{row, column + static_cast<int>(i)}] = {
              {r.pos, data + 4}, {own, own + 6}, {r.end() - 2, r.end()}};
        }
        break;
      }
      case kFormula:
      case kFormula3:
      case kFormula4: {
        std::vector<Range> ranges{whole};
        // A text result is not in the formula: it follows in a STRING record, after a
        // shared-formula, array or table record at most.
        const bool text =
            r.length >= 14 && le::U16(stream, data + 12) == 0xFFFF && le::U8(stream, data + 6) == 0;
        if (text) {
          for (std::size_t j = k + 1; j < records.size() && j <= k + 3; ++j) {
            if (records[j].code == kString) {
              std::size_t end = records[j].end();
              for (std::size_t c = j + 1; c < records.size() && records[c].code == kContinue; ++c)
                end = records[c].end();
              ranges.emplace_back(records[j].pos, end);
              break;
            }
          }
        }
        sheet.cells[{row, column}] = std::move(ranges);
        break;
      }
      default:
        break;
    }
  }
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
      out += buffer;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help") {
    std::cerr << "usage: tabulix-cellmap FILE.xls\n"
                 "Prints, as JSON, where the workbook stream and each of its cells lie in a "
                 "sound file.\n";
    return argc == 2 ? 0 : 2;
  }
  std::string reason;
  const auto reader = tabulix::storage::StorageReader::Open(argv[1], &reason);
  if (!reader) {
    std::cerr << "tabulix-cellmap: " << argv[1] << ": not a sound compound document: " << reason
              << "\n";
    return 1;
  }
  std::u16string name = u"Workbook";
  if (!reader->HasStream(name)) name = u"Book";
  tabulix::storage::StreamLayout layout;
  std::vector<std::uint8_t> bytes;
  if (reader->Layout(name, layout, &reason) != tabulix::storage::ReadStatus::Ok ||
      reader->ReadStream(name, bytes, &reason) != tabulix::storage::ReadStatus::Ok) {
    std::cerr << "tabulix-cellmap: " << argv[1] << ": no readable workbook stream: " << reason
              << "\n";
    return 1;
  }
  const Bytes stream(bytes);
  const std::vector<Record> records = Chain(stream);

  std::vector<Sheet> sheets;
  std::vector<Range> strings;
  for (std::size_t k = 0; k < records.size(); ++k) {
    const Record& r = records[k];
    if (k > 0 && r.code == kEof) break;  // the end of the globals
    if (r.code == kSst && r.length >= 8 && strings.empty())
      strings = SharedStrings(stream, records, k);
    if (r.code == kBoundSheet && r.length >= 8 && le::U8(stream, r.pos + 4 + 5) == 0) {
      sheets.push_back(Sheet{SheetName(stream, r), le::U32(stream, r.pos + 4), {}});
    }
  }
  for (Sheet& sheet : sheets) {
    for (std::size_t k = 0; k < records.size(); ++k) {
      if (records[k].pos == sheet.bofPosition && records[k].code == kBof) {
        MapSheet(stream, records, k, strings, sheet);
        break;
      }
    }
  }

  std::string out = "{\"stream\": {\"name\": " + JsonString(tabulix::text::Utf16ToUtf8(name)) +
                    ", \"size\": " + std::to_string(layout.size) +
                    ", \"unit\": " + std::to_string(layout.unit) + ", \"pieces\": [";
  for (std::size_t i = 0; i < layout.pieces.size(); ++i) {
    if (i > 0) out += ", ";
    out += "[" + std::to_string(layout.pieces[i].fileOffset) + ", " +
           std::to_string(layout.pieces[i].length) + "]";
  }
  out += "]},\n\"records\": [";
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i > 0) out += ", ";
    out += "[" + std::to_string(records[i].pos) + ", " + std::to_string(records[i].code) + ", " +
           std::to_string(records[i].length) + "]";
  }
  out += "],\n\"sheets\": [";
  for (std::size_t s = 0; s < sheets.size(); ++s) {
    out += s > 0 ? ",\n" : "\n";
    out += "{\"name\": " + JsonString(sheets[s].name) + ", \"cells\": [";
    bool firstCell = true;
    for (const auto& [place, ranges] : sheets[s].cells) {
      out += firstCell ? "" : ", ";
      firstCell = false;
      out += "[" + std::to_string(place.first) + ", " + std::to_string(place.second) + ", [";
      for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (i > 0) out += ", ";
        out +=
            "[" + std::to_string(ranges[i].first) + ", " + std::to_string(ranges[i].second) + "]";
      }
      out += "]]";
    }
    out += "]}";
  }
  out += "]}\n";
  std::cout << out;
  return std::cout.good() ? 0 : 1;
}
