#pragma once
// What a load found and recovered, in the core's own account, for the front ends to show:
// the command line prints it, the desktop program shows it, a JSON report serialises it.
// Front ends print these facts; they never work them out from the model themselves.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "document/file_kind.hpp"

namespace tabulix {

// Which route gave the workbook stream.
enum class StreamRoute {
  None,         // no stream (nothing loaded, or the load failed before one was found)
  Storage,      // a sound compound document, read strictly
  Compound,     // the tolerant reader of damaged compound documents
  Reassembled,  // put back together from the file's pieces by its record chain
  Raw,          // the file's own bytes
};

// "structured storage", "compound-document repair", "sector reassembly", "raw file bytes"
// or "none".
std::string_view StreamRouteName(StreamRoute route);

// "workbook globals", "worksheet", "chart", "macro sheet", "Visual Basic module",
// "workspace", or "unknown" for the substream type of a BOF record.
std::string_view SubstreamTypeName(std::uint16_t type);

struct RecoveryReport {
  // A route that was tried and gave no stream.
  struct RouteFailure {
    StreamRoute route_ = StreamRoute::None;
    std::string reason_;
  };

  // A substream the boundary search found: a BOF and the EOF paired with it.
  struct Substream {
    std::uint32_t start_ = 0;  // stream offset of its BOF header
    std::uint32_t end_ = 0;    // stream offset of its EOF header (0 when none was paired)
    std::uint16_t type_ = 0;   // substream type of its BOF record
    bool intact_ = false;      // read whole; otherwise recovered record by record
  };

  // A recovered worksheet, in the order the save writes them.
  struct Sheet {
    std::string name_;            // UTF-8, the name the saved workbook gives it
    std::uint32_t rows_ = 0;      // rows from the first to the last row holding a cell
    std::uint32_t columns_ = 0;   // columns from the first to the last holding a cell
    std::size_t valueCells_ = 0;  // cells with a value; blanks do not count
    bool intact_ = false;         // read whole from an intact substream, else rebuilt
    // The sheet's BOF type: a worksheet, or a chart or macro sheet saved as it stood.
    std::uint16_t type_ = 0x0010;
    bool IsWorksheet() const { return type_ == 0x0010; }
    // Saved as it stood, with every record the model leaves out.
    bool keptWhole_ = false;
    // What making the saved workbook well-formed changed on this sheet.
    std::size_t lostText_ = 0;           // cells showing a placeholder for their lost text
    std::size_t formulasAsValues_ = 0;   // formulas saved as their last value
    std::size_t droppedOutOfRange_ = 0;  // cells beyond column 255, left out
    std::size_t droppedUnreadable_ = 0;  // cells too damaged to read, or on a taken place
    std::size_t stringsRepaired_ = 0;    // cell texts mended (invalid UTF-16, cut lengths)
  };

  // How the workbook stream was put back together from the file's pieces, when the
  // container's account of their order was lost or wrong.
  struct Reassembly {
    bool done_ = false;
    std::uint32_t unit_ = 0;           // bytes in a piece: 512 or 4096, 64 for a small stream
    std::uint64_t start_ = 0;          // file offset of the globals BOF the chain starts at
    std::uint64_t chainBytes_ = 0;     // the stream's leading bytes the record chain covers
    bool complete_ = false;            // the chain runs to the EOF of the last sheet
    std::uint64_t leftoverBytes_ = 0;  // untaken pieces put behind the chain for the scan
    // Pieces taken out of the order the table or the file gave: where in the stream, the
    // piece the order put there, the piece the records chose (file offsets).
    struct Join {
      std::uint64_t streamOffset_ = 0;
      std::uint64_t expected_ = 0;
      std::uint64_t taken_ = 0;
    };
    std::vector<Join> joins_;
    // Bytes found inserted (positive) or lost (negative) before this file offset.
    struct Shift {
      std::uint64_t fileOffset_ = 0;
      std::int32_t bytes_ = 0;
    };
    std::vector<Shift> shifts_;
  };

  std::string file_;     // the path as given to the load
  bool loaded_ = false;  // the load succeeded: there is a model to show and save
  // What the file is when it is not an Excel 97-2003 workbook (the load then failed and
  // said so); Workbook otherwise.
  FileKind fileKind_ = FileKind::Workbook;
  StreamRoute route_ = StreamRoute::None;
  std::string streamName_;  // "Workbook" or "Book" when a container route gave the stream
  std::vector<RouteFailure> routeFailures_;  // the routes tried before route_, in order
  // What the tolerant reader repaired to get the stream (route_ Compound only).
  std::vector<std::string> containerRepairs_;
  std::uint64_t fileBytes_ = 0;
  std::uint64_t streamBytes_ = 0;
  Reassembly reassembly_;
  // The substreams' starts and ends pair up into a contiguous run from offset 0.
  bool boundariesConsistent_ = false;
  std::vector<Substream> substreams_;
  std::vector<Sheet> sheets_;
  bool passwordProtected_ = false;
  // Shared strings the damage destroyed (each saved as a placeholder), and texts of the
  // globals mended (shared strings, sheet names, formats, fonts, styles).
  std::size_t sharedStringsLost_ = 0;
  std::size_t globalStringsRepaired_ = 0;
  // Records of the kinds the model does not interpret, and sheets it does not show: how
  // many the saved workbook keeps and how many it drops.
  struct KeptKind {
    std::string kind_;  // "defined names", "comments", "chart sheets", "other streams"...
    std::size_t kept_ = 0;
    std::size_t dropped_ = 0;
  };
  std::vector<KeptKind> keptRecords_;
  // Why records of the kinds above were dropped; empty when none was (or only streams
  // of the document that could not be read, which the log names).
  std::string keptRecordsNote_;
  // Every message shown to the user during the load, in order.
  std::vector<std::string> messages_;

  std::size_t IntactSubstreams() const;
  std::size_t ValueCells() const;
  // The sums over the sheets of what making the workbook well-formed changed.
  std::size_t LostTextCells() const;
  std::size_t FormulasAsValues() const;
  std::size_t DroppedCells() const;
  std::size_t StringsRepaired() const;
};

}  // namespace tabulix
