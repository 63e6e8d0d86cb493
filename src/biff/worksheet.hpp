#pragma once
// One worksheet substream as an object: its records in the order they are written, its
// cell table, and the working members of the recovery engine.

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "biff/bof.hpp"
#include "biff/cell_table.hpp"
#include "biff/record.hpp"
#include "biff/row_records.hpp"
#include "biff/sheet_fixed_records.hpp"
#include "biff/sheet_page_records.hpp"
#include "biff/sheet_view_records.hpp"

namespace tabulix {

class Worksheet {
 public:
  using CALCMODE = sheet::CALCMODE;
  using CALCCOUNT = sheet::CALCCOUNT;
  using REFMODE = sheet::REFMODE;
  using ITERATION = sheet::ITERATION;
  using DELTA = sheet::DELTA;
  using SAVERECALC = sheet::SAVERECALC;
  using PrintHeaders = sheet::PrintHeaders;
  using PrintGridlines = sheet::PrintGridlines;
  using Gridset = sheet::Gridset;
  using Guts = sheet::Guts;
  using DefaultRowHeight = sheet::DefaultRowHeight;
  using WSBool = sheet::WSBool;
  using Header = sheet::Header;
  using Footer = sheet::Footer;
  using HCenter = sheet::HCenter;
  using VCenter = sheet::VCenter;
  using Setup = sheet::Setup;
  using DefColWidth = sheet::DefColWidth;
  using ColInfo = sheet::ColInfo;
  using Dimensions = sheet::Dimensions;
  using Window2 = sheet::Window2;
  using Selection = sheet::Selection;
  using MergedCells = sheet::MergedCells;
  using Index = cells::Index;
  using CellTable = cells::CellTable;

  // Above any row or column: the recovery engine lowers the minimums to what it finds.
  static constexpr std::uint32_t kNoMinimum = 0x10001;

  Worksheet();

  // A new sheet: BOF of type worksheet, every record at its default, no column
  // information, no merged ranges, no cells.
  void Reset();

  // Reads the substream whose BOF is at `pos`, up to and with its EOF (or to the end of
  // `stream` when the EOF is missing). The first BOF is the sheet's own; a substream nested
  // in the sheet (an embedded chart) is stepped over whole. Cell records are kept wherever
  // they stand; records of no known member are dropped. Returns the bytes consumed.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos);

  // Writes every record in order. Returns the bytes written.
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos);

  // The bytes Write produces.
  std::uint32_t RecordSize();

  // Given the stream position of this sheet's BOF in the file to be written, fills the
  // INDEX positions of the DBCELL records and each DBCELL's offsets, and returns the
  // position right after the sheet.
  std::uint32_t FixCellIndexPositions(std::uint32_t sheetStart);

  // The member that holds the single record of `code` (BOF, INDEX, the settings, the
  // dimensions, the window and the selection); nullptr for codes kept in lists, cell
  // table records and unknown codes.
  Record* MemberFor(std::uint16_t code);

  BOF bof_;
  Index index_;
  CALCMODE calcMode_;
  CALCCOUNT calcCount_;
  REFMODE refMode_;
  ITERATION iteration_;
  DELTA delta_;
  SAVERECALC saveRecalc_;
  PrintHeaders printHeaders_;
  PrintGridlines printGridlines_;
  Gridset gridset_;
  Guts guts_;
  DefaultRowHeight defaultRowHeight_;
  WSBool wsBool_;
  Header header_;
  Footer footer_;
  HCenter hCenter_;
  VCenter vCenter_;
  Setup setup_;
  DefColWidth defColWidth_;
  std::vector<ColInfo> colInfos_;
  Dimensions dimensions_;
  CellTable cellTable_;
  Window2 window2_;
  Selection selection_;
  std::vector<MergedCells> mergedCells_;
  Eof eof_;

  // The sheet's own bytes, from its BOF through its EOF, when it was read whole and is saved
  // as it stood (records the members above leave out, embedded charts among them, kept in
  // their places); empty when the save writes the members. A chart or macro sheet read
  // whole has only these. Where they stood is sourcePosition_.
  std::vector<std::uint8_t> source_;

  // Working members of the recovery engine; never written.
  // Something was taken into this worksheet (a sheet nothing was taken into is dropped).
  std::uint8_t recovered_ = 0;
  // Stream offset of the BOF the sheet was read or recovered from, kNoSource when none:
  // the sheet entry whose position names it is the sheet's own.
  static constexpr std::uint32_t kNoSource = 0xFFFFFFFF;
  std::uint32_t sourcePosition_ = kNoSource;
  // Every ROW record and every cell record the record selector took, in the order taken,
  // duplicates and all; the cell-table rebuild turns them into cellTable_.
  cells::RowBlock scratch_;
  // Row number -> position in scratch_.rows_ of the first ROW record taken for that row.
  std::map<std::uint16_t, std::uint32_t> rowIndex_;
  // Row -> column -> position in scratch_.cellBlocks_ of the first cell taken there (the
  // first column for MULRK and MULBLANK).
  std::map<std::uint16_t, std::map<std::uint16_t, std::uint32_t>> cellIndex_;
  // Smallest and largest row and column of a cell taken; the minimums start above any.
  std::uint32_t minRow_ = kNoMinimum;
  std::uint32_t maxRow_ = 0;
  std::uint32_t minCol_ = kNoMinimum;
  std::uint32_t maxCol_ = 0;

 private:
  static constexpr std::size_t kLeadingCount = 20;
  // The members written before the column information (BOF to DEFCOLWIDTH), in order.
  std::array<Record*, kLeadingCount> LeadingMembers();
  // Sum of the sizes of the members written after the cell table.
  std::uint32_t TrailingSize();
};

}  // namespace tabulix
