#pragma once
// The workbook-globals substream as one object: one member per fixed globals record and
// lists of the repeated ones (fonts, formats, XFs, styles, sheets), declared in the order
// in which Write puts them. Reset gives a new workbook a complete set of defaults with
// three empty sheets; Read fills the members from a source's globals.

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "biff/bof.hpp"
#include "biff/globals_font_records.hpp"
#include "biff/globals_name_records.hpp"
#include "biff/globals_sheet_records.hpp"
#include "biff/globals_sst_records.hpp"
#include "biff/globals_value_records.hpp"
#include "biff/globals_window_records.hpp"
#include "biff/globals_xf_records.hpp"
#include "biff/row_records.hpp"

namespace tabulix {

class Workbook {
 public:
  // The record classes under their names in the workbook's scope.
  using INTERFACEHDR = globals::INTERFACEHDR;
  using MMS = globals::MMS;
  using INTERFACEEND = globals::INTERFACEEND;
  using WRITEACCESS = globals::WRITEACCESS;
  using CODENAME = globals::CODENAME;
  using DSF = globals::DSF;
  using EXCEL9FILE = globals::EXCEL9FILE;
  using TABID = globals::TABID;
  using FNGROUPCOUNT = globals::FNGROUPCOUNT;
  using WINDOWPROTECT = globals::WINDOWPROTECT;
  using PROTECT = globals::PROTECT;
  using PASSWORD = globals::PASSWORD;
  using PROT4REV = globals::PROT4REV;
  using PROT4REVPASS = globals::PROT4REVPASS;
  using Window1 = globals::Window1;
  using BACKUP = globals::BACKUP;
  using HIDEOBJ = globals::HIDEOBJ;
  using DATE1904 = globals::DATE1904;
  using PRECISION = globals::PRECISION;
  using REFRESHALL = globals::REFRESHALL;
  using BOOKBOOL = globals::BOOKBOOL;
  using Font = globals::Font;
  using Format = globals::Format;
  using XF = globals::XF;
  using Style = globals::Style;
  using USESELFS = globals::USESELFS;
  using BoundSheet = globals::BoundSheet;
  using COUNTRY = globals::COUNTRY;
  using RECALCID = globals::RECALCID;
  using Palette = globals::Palette;
  using SST = globals::SST;
  using ExtSST = globals::ExtSST;
  using BOOKEXT = globals::BOOKEXT;
  // INDEX is a worksheet record; the design names it in the workbook's scope.
  using Index = cells::Index;

  static constexpr std::uint16_t kFilePassCode = 0x002F;

  // Empty: lists empty, palette absent, fixed records at their constructed values.
  Workbook();

  // The defaults of a new workbook with three empty sheets.
  void Reset();

  // Reads the globals substream whose BOF is at `pos`: up to and including its EOF, or up
  // to the next BOF (where a sheet begins), or to the end of `stream`. List records
  // (fonts, formats, XFs, styles, sheets) overwrite the list elements in order and append
  // when the list is shorter; unknown records are skipped with their CONTINUE records. A
  // FILEPASS record sets passwordProtected_ and ends the read. A damaged shared string
  // table is salvaged at the end. Returns the stream bytes consumed.
  std::uint32_t Read(std::span<const std::uint8_t> stream, std::size_t pos);

  // Reads the shared strings again with the bucket index when the last SST read left the
  // table damaged (see SST::Salvage); `stream` is the span that SST was read from. Read
  // does this itself; the recovery passes call it when they are done with their slice.
  // Logs how many strings came back and how many are lost. Runs once per SST read.
  void SalvageSharedStrings(std::span<const std::uint8_t> stream);

  // Writes every record in order (the palette only when one was read); returns the bytes
  // written. Globals kept whole are written as they stood, with the positions of sheets_
  // in their sheet entries, one for one.
  std::uint32_t Write(std::span<std::uint8_t> out, std::size_t pos);

  // The bytes Write produces: the length of the globals substream, and so the stream
  // position of the first sheet's BOF.
  std::uint32_t RecordSize();

  BOF bof_;
  INTERFACEHDR interfaceHdr_;
  MMS mms_;
  INTERFACEEND interfaceEnd_;
  WRITEACCESS writeAccess_;
  CODENAME codeName_;
  DSF dsf_;
  EXCEL9FILE excel9File_;
  TABID tabId_;
  FNGROUPCOUNT fnGroupCount_;
  WINDOWPROTECT windowProtect_;
  PROTECT protect_;
  PASSWORD password_;
  PROT4REV prot4Rev_;
  PROT4REVPASS prot4RevPass_;
  Window1 window1_;
  BACKUP backup_;
  HIDEOBJ hideObj_;
  DATE1904 date1904_;
  PRECISION precision_;
  REFRESHALL refreshAll_;
  BOOKBOOL bookBool_;
  std::vector<Font> fonts_;
  std::vector<Format> formats_;
  std::vector<XF> xfs_;
  std::vector<Style> styles_;
  USESELFS useSelfs_;
  std::vector<BoundSheet> sheets_;
  COUNTRY country_;
  RECALCID recalcId_;
  Palette palette_;
  SST sst_;
  ExtSST extSst_;
  BOOKEXT bookExt_;
  Eof eof_;

  // The source carries a FILEPASS record: its contents are encrypted.
  bool passwordProtected_ = false;

  // How many entries of sheets_ came from a source (read or recovered): the new workbook's
  // default entries beyond them name sheets the source never had.
  std::size_t sheetEntriesRead_ = 0;

  // The globals' own bytes, from their BOF through their EOF, when they were read whole and
  // are saved as they stood (every record the members above leave out kept in its place);
  // empty when the save writes the members. sourceStart_ is where they stood in the stream.
  std::vector<std::uint8_t> source_;
  std::uint32_t sourceStart_ = 0;

  // Format index -> position in formats_ of the first FORMAT record recovered with that
  // index. Filled by the recovery engine only; Reset and Read leave it empty.
  std::map<std::uint16_t, std::uint32_t> formatPositions_;

  // The member that holds the single globals record of `code` (not the list records, not
  // BOF or EOF), or nullptr.
  Record* FixedMember(std::uint16_t code);

 private:
  // Reads the record at `pos` into the next element of `list` (appending one when the
  // list is that short). Returns the bytes consumed.
  template <class T>
  static std::uint32_t ReadListRecord(std::vector<T>& list, std::size_t& next,
                                      std::span<const std::uint8_t> stream, std::size_t pos);
  // Calls `visit` with every record in write order.
  template <class Visit>
  void ForEachRecord(Visit&& visit);
};

}  // namespace tabulix
