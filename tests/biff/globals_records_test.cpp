// The workbook-globals record classes: their defaults, their layouts, and what they do
// with records that are short, long or lie about their contents.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "biff/byte_builder.hpp"
#include "biff/workbook.hpp"
#include "support/test_support.hpp"

namespace tabulix {
namespace {

using test::ByteBuilder;
using Bytes = std::vector<std::uint8_t>;

Bytes Written(Record& record) {
  Bytes out(record.RecordSize());
  EXPECT_EQ(record.Write(out, 0), out.size());
  return out;
}

// The data lengths of the pieces (the record and its CONTINUE records) in `bytes`.
std::vector<std::uint32_t> PieceLengths(const Bytes& bytes) {
  std::vector<std::uint32_t> lengths;
  for (std::size_t at = 0; at + 4 <= bytes.size();) {
    const std::uint32_t length = bytes[at + 2] | (bytes[at + 3] << 8);
    lengths.push_back(length);
    at += 4 + length;
  }
  return lengths;
}

Bytes Text8(const std::string& text) { return Bytes(text.begin(), text.end()); }

TEST(GlobalsSingleValues, ReadWriteShortAndLongRecords) {
  test::LogCapture log;
  Workbook::WINDOWPROTECT protect;
  EXPECT_EQ(protect.code_, 0x0019);
  EXPECT_EQ(protect.RecordSize(), 6u);
  EXPECT_EQ(Workbook::FNGROUPCOUNT().value_, 14);
  EXPECT_EQ(Workbook::INTERFACEHDR().value_, 1200);

  const Bytes sound = ByteBuilder().Header(0x0019, 2).U16(1).bytes();
  EXPECT_EQ(protect.Read(sound, 0), 6u);
  EXPECT_EQ(protect.value_, 1);
  EXPECT_EQ(Written(protect), sound);
  EXPECT_TRUE(Workbook::WINDOWPROTECT::Validate(sound, 0));

  // A record of 1 byte keeps the value it does not hold and is written back as read.
  const Bytes shortRecord = ByteBuilder().Header(0x0019, 1).U8(7).bytes();
  EXPECT_FALSE(Workbook::WINDOWPROTECT::Validate(shortRecord, 0));
  EXPECT_EQ(protect.Read(shortRecord, 0), 5u);
  EXPECT_EQ(protect.value_, 1);
  EXPECT_EQ(log.CountError("Exception reading in Workbook::WINDOWPROTECT::Read"), 1);
  EXPECT_EQ(Written(protect), shortRecord);

  // A longer record keeps its extra bytes.
  const Bytes longRecord = ByteBuilder().Header(0x0040, 4).U16(1).U16(0xBEEF).bytes();
  Workbook::BACKUP backup;
  EXPECT_EQ(backup.Read(longRecord, 0), 8u);
  EXPECT_EQ(backup.value_, 1);
  EXPECT_EQ(Written(backup), longRecord);

  // A header whose length runs past the stream consumes nothing.
  const Bytes cut = ByteBuilder().Header(0x0022, 2).U8(1).bytes();
  Workbook::DATE1904 date;
  EXPECT_EQ(date.Read(cut, 0), 0u);
  EXPECT_EQ(log.CountError("Exception reading in Workbook::DATE1904::Read"), 1);
  EXPECT_FALSE(Workbook::DATE1904::Validate(cut, 2));  // no whole header there

  date.value_ = 1;
  date.Reset();
  EXPECT_EQ(date.value_, 0);

  Workbook::INTERFACEEND end;
  EXPECT_EQ(Written(end), ByteBuilder().Header(0x00E2, 0).bytes());
  Workbook::MMS mms;
  EXPECT_EQ(mms.Read(ByteBuilder().Header(0x00C1, 2).U8(3).U8(4).bytes(), 0), 6u);
  EXPECT_EQ(mms.menusAdded_, 3);
  EXPECT_EQ(mms.menusDeleted_, 4);
}

TEST(GlobalsSingleValues, WhatIsWrittenIsWhatIsCounted) {
  test::LogCapture log;
  // A record whose length runs past the stream leaves the record as it was, so that it
  // still writes what it counts.
  Workbook::XF xf;
  const Bytes cut = ByteBuilder().Header(0x00E0, 38932).Fill(40).bytes();
  EXPECT_EQ(xf.Read(cut, 0), 0u);
  EXPECT_EQ(xf.dataSize_, 20u);
  EXPECT_EQ(Written(xf).size(), 24u);
  EXPECT_EQ(log.CountError("Exception in Workbook::XF::Read"), 1);

  // One piece longer than 8224 bytes is written split, and counted so.
  const Bytes big = ByteBuilder().Header(0x00E0, 9000).Fill(9000).bytes();
  EXPECT_EQ(xf.Read(big, 0), 9004u);
  EXPECT_EQ(xf.RecordSize(), 9008u);
  Workbook::XF back;
  EXPECT_EQ(back.Read(Written(xf), 0), 9008u);
  EXPECT_EQ(back.data_, xf.data_);
}

TEST(GlobalsFixedLayouts, CountryWindowRecalcAndBookExt) {
  Workbook::COUNTRY country;
  const Bytes bytes = ByteBuilder().Header(0x008C, 4).U16(44).U16(49).bytes();
  EXPECT_EQ(country.Read(bytes, 0), 8u);
  EXPECT_EQ(country.defaultCountry_, 44);
  EXPECT_EQ(country.systemCountry_, 49);
  country.systemCountry_ = 7;
  EXPECT_EQ(Written(country), ByteBuilder().Header(0x008C, 4).U16(44).U16(7).bytes());

  Workbook::Window1 window;
  EXPECT_EQ(window.horizontal_, 120);
  EXPECT_EQ(window.height_, 9300);
  window.Reset();
  EXPECT_EQ(Written(window), ByteBuilder()
                                 .Header(0x003D, 18)
                                 .U16(480)
                                 .U16(90)
                                 .U16(16275)
                                 .U16(9015)
                                 .U16(0x38)
                                 .U16(0)
                                 .U16(0)
                                 .U16(1)
                                 .U16(600)
                                 .bytes());

  Workbook::RECALCID recalc;
  EXPECT_EQ(Written(recalc),
            ByteBuilder().Header(0x01C1, 8).U16(0x01C1).U16(0).U32(114210).bytes());

  Workbook::BOOKEXT ext;
  const Bytes extBytes = Written(ext);
  ASSERT_EQ(extBytes.size(), 25u);
  EXPECT_EQ(extBytes[4], 0x63);
  EXPECT_EQ(extBytes[4 + 12], 21);
  EXPECT_EQ(extBytes[4 + 20], 0xD2);

  Workbook::XF xf;
  EXPECT_EQ(Written(xf), ByteBuilder()
                             .Header(0x00E0, 20)
                             .U16(0)
                             .U16(0)
                             .U16(0xFFF5)
                             .U8(0x20)
                             .U8(0)
                             .U8(0)
                             .U8(0)
                             .U32(0)
                             .U32(0)
                             .U16(0x20C0)
                             .bytes());
}

TEST(GlobalsWriteAccess, PaddingAndLengths) {
  test::LogCapture log;
  Workbook::WRITEACCESS access;
  const Bytes bytes = Written(access);
  ASSERT_EQ(bytes.size(), 116u);
  const Bytes expected = ByteBuilder().Header(0x005C, 112).U16(20).U8(0).bytes();
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin()));
  EXPECT_EQ(std::string(bytes.begin() + 7, bytes.begin() + 27), "Quillbar Tabulix 2.5");
  EXPECT_EQ(std::count(bytes.begin() + 27, bytes.end(), 0x20), 89);

  Workbook::WRITEACCESS back;
  back.userName_.Assign(std::string_view("someone else"));
  EXPECT_EQ(back.Read(bytes, 0), 116u);
  EXPECT_EQ(back.userName_.ToUtf8(), "Quillbar Tabulix 2.5");
  EXPECT_EQ(Written(back), bytes);

  // Length 50 reads nothing, is taken as 112 and logged; the walk still moves on by 54.
  const Bytes odd = ByteBuilder().Header(0x005C, 50).U16(3).U8(0).Fill(47, 'a').bytes();
  Workbook::WRITEACCESS bad;
  EXPECT_EQ(bad.Read(odd, 0), 54u);
  EXPECT_EQ(bad.dataSize_, 112u);
  EXPECT_EQ(bad.userName_.ToUtf8(), "Quillbar Tabulix 2.5");
  EXPECT_EQ(log.CountError("Error Condition in Workbook::WRITEACCESS::Read::dataSize_ incorrect"),
            1);
  EXPECT_EQ(bad.RecordSize(), 116u);
  EXPECT_FALSE(Workbook::WRITEACCESS::Validate(odd, 0));

  // The short form.
  const Bytes shortForm =
      ByteBuilder().Header(0x005C, 32).U8(3).U8(0).Raw({'B', 'o', 'b'}).Fill(27, 0x20).bytes();
  Workbook::WRITEACCESS small;
  EXPECT_EQ(small.Read(shortForm, 0), 36u);
  EXPECT_EQ(small.userNameShort_.ToUtf8(), "Bob");
  EXPECT_EQ(Written(small), shortForm);
}

TEST(GlobalsNames, CodeNameAndTabId) {
  test::LogCapture log;
  Workbook::CODENAME codeName;
  EXPECT_EQ(codeName.value_, 0);
  codeName.Reset();
  EXPECT_EQ(Written(codeName), ByteBuilder().Header(0x0042, 2).U16(1200).bytes());

  const Bytes named =
      ByteBuilder().Header(0x0042, 7).U16(4).U8(0).Raw({'B', 'o', 'o', 'k'}).bytes();
  Workbook::CODENAME withName;
  EXPECT_EQ(withName.Read(named, 0), 11u);
  EXPECT_EQ(withName.name_.ToUtf8(), "Book");
  EXPECT_EQ(Written(withName), named);

  const Bytes three = ByteBuilder().Header(0x0042, 3).Raw({1, 2, 3}).bytes();
  Workbook::CODENAME bad;
  EXPECT_EQ(bad.Read(three, 0), 7u);
  EXPECT_EQ(bad.dataSize_, 2u);
  EXPECT_EQ(log.CountError("Error Condition in Workbook::CODENAME::Read::dataSize_ incorrect"), 1);
  EXPECT_EQ(Written(bad).size(), 6u);

  Workbook::TABID tabs;
  tabs.Reset();
  EXPECT_EQ(Written(tabs), ByteBuilder().Header(0x013D, 6).U16(1).U16(2).U16(3).bytes());
  const Bytes oddTabs = ByteBuilder().Header(0x013D, 5).U16(9).U16(8).U8(7).bytes();
  EXPECT_EQ(tabs.Read(oddTabs, 0), 9u);
  EXPECT_EQ(tabs.ids_, (std::vector<std::uint16_t>{9, 8}));
  EXPECT_EQ(tabs.RecordSize(), 8u);
}

TEST(GlobalsFonts, FontFormatStyleAndPalette) {
  test::LogCapture log;
  Workbook::Font font;
  EXPECT_EQ(font.DataSize(), 26u);
  const Bytes arial = Written(font);
  EXPECT_EQ(arial[4], 200);
  EXPECT_EQ(arial[4 + 14], 5);  // name length
  EXPECT_EQ(arial[4 + 15], 1);  // 16-bit characters

  Workbook::Font named;
  named.name_.Assign(std::string_view("Old"));
  const Bytes empty = ByteBuilder().Header(0x0031, 16).U16(240).Fill(12, 0).U8(0).U8(0).bytes();
  EXPECT_EQ(named.Read(empty, 0), 0u);  // an empty name consumes nothing
  EXPECT_EQ(named.height_, 240);

  // A name count that runs past the data: the characters there are read, no further.
  const Bytes lying = ByteBuilder()
                          .Header(0x0031, 19)
                          .U16(180)
                          .Fill(12, 0)
                          .U8(200)
                          .U8(0)
                          .Raw({'T', 'i', 'm'})
                          .bytes();
  Workbook::Font cut;
  EXPECT_EQ(cut.Read(lying, 0), 23u);
  EXPECT_EQ(cut.name_.ToUtf8(), "Tim");
  EXPECT_GE(log.CountError("Exception in Workbook::Font::Read"), 1);

  // A font shorter than its fixed fields keeps the rest.
  Workbook::Font stub;
  EXPECT_EQ(stub.Read(ByteBuilder().Header(0x0031, 2).U16(100).bytes(), 0), 6u);
  EXPECT_EQ(stub.height_, 100);
  EXPECT_EQ(stub.weight_, 400);
  EXPECT_EQ(stub.name_.ToUtf8(), "Arial");

  Workbook::Format format;
  const Bytes formatBytes =
      ByteBuilder().Header(0x041E, 8).U16(164).U16(3).U8(0).Raw({'0', '.', '0'}).bytes();
  EXPECT_EQ(format.Read(formatBytes, 0), 12u);
  EXPECT_EQ(format.index_, 164);
  EXPECT_EQ(format.text_.ToUtf8(), "0.0");
  EXPECT_EQ(Written(format), formatBytes);

  Workbook::Style style;
  const Bytes builtIn = ByteBuilder().Header(0x0293, 4).U16(0x8010).U8(3).U8(0xFF).bytes();
  EXPECT_EQ(style.Read(builtIn, 0), 8u);
  EXPECT_TRUE(style.IsBuiltIn());
  EXPECT_EQ(style.builtInId_, 3);
  EXPECT_EQ(style.outlineLevel_, 0xFF);
  EXPECT_EQ(style.DataSize(), 4u);
  EXPECT_EQ(Written(style), builtIn);
  const Bytes user =
      ByteBuilder().Header(0x0293, 7).U16(0x0015).U16(2).U8(0).Raw({'M', 'y'}).bytes();
  EXPECT_EQ(style.Read(user, 0), 11u);
  EXPECT_EQ(style.name_.ToUtf8(), "My");
  EXPECT_EQ(style.DataSize(), 7u);
  EXPECT_EQ(Written(style), user);

  Workbook::Palette palette;
  EXPECT_FALSE(palette.Present());
  EXPECT_EQ(palette.DataSize(), 226u);
  const Bytes two = ByteBuilder().Header(0x0092, 10).U16(2).U32(0x00FF0000).U32(0x0000FF00).bytes();
  EXPECT_EQ(palette.Read(two, 0), 14u);
  EXPECT_TRUE(palette.Present());
  EXPECT_EQ(Written(palette), two);
  // A count larger than the colours there is cut to them.
  const Bytes liar = ByteBuilder().Header(0x0092, 6).U16(0xFFFF).U32(0x00010203).bytes();
  EXPECT_EQ(palette.Read(liar, 0), 10u);
  EXPECT_EQ(palette.count_, 1);
  EXPECT_EQ(palette.DataSize(), 6u);
  EXPECT_GE(log.CountError("Exception in Workbook::Palette::Read"), 1);
}

TEST(GlobalsBoundSheet, ReadWriteAndHeaderCheck) {
  test::LogCapture log;
  auto sheet = [](std::uint32_t position, std::uint8_t visibility, std::uint8_t type,
                  const std::string& name) {
    ByteBuilder b;
    b.Header(0x0085, static_cast<std::uint16_t>(8 + name.size()))
        .U32(position)
        .U8(visibility)
        .U8(type)
        .U8(static_cast<std::uint8_t>(name.size()))
        .U8(0);
    for (char c : name) b.U8(static_cast<std::uint8_t>(c));
    return b.bytes();
  };
  const Bytes data = sheet(2048, 1, 0, "Data");
  Workbook::BoundSheet read;
  EXPECT_EQ(read.Read(data, 0), data.size());
  EXPECT_EQ(read.position_, 2048u);
  EXPECT_EQ(read.visibility_, 1);
  EXPECT_EQ(read.name_.ToUtf8(), "Data");
  EXPECT_EQ(Written(read), data);

  EXPECT_TRUE(Workbook::BoundSheet::Validate(data, 0));
  EXPECT_FALSE(Workbook::BoundSheet::Validate(sheet(2048, 2, 0, "Data"), 0));
  EXPECT_FALSE(Workbook::BoundSheet::Validate(sheet(2048, 0, 7, "Data"), 0));
  EXPECT_FALSE(Workbook::BoundSheet::Validate(sheet(0x80000000u, 0, 0, "Data"), 0));
  EXPECT_FALSE(Workbook::BoundSheet::Validate(sheet(2048, 0, 0, ""), 0));
  EXPECT_FALSE(Workbook::BoundSheet::Validate(ByteBuilder().Header(0x0085, 0).bytes(), 0));
  EXPECT_FALSE(Workbook::BoundSheet::Validate(data, data.size() - 2));
  EXPECT_EQ(log.CountError("Exception in Workbook::BoundSheet::Validate"), 1);
  EXPECT_EQ(read.Read(ByteBuilder().Header(0x0085, 0).bytes(), 0), 0u);
}

// ---- the shared string table ----

// An SST record from pieces of data: the first piece is the SST's, each further one a
// CONTINUE.
Bytes SstRecord(const std::vector<Bytes>& pieces) {
  ByteBuilder b;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    b.Header(i == 0 ? 0x00FC : 0x003C, static_cast<std::uint16_t>(pieces[i].size()));
    for (std::uint8_t byte : pieces[i]) b.U8(byte);
  }
  return b.bytes();
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Wide(std::u16string_view text) {
  ByteBuilder b;
  for (char16_t c : text) b.U16(static_cast<std::uint16_t>(c));
  return b.bytes();
}

TEST(GlobalsSst, ReadsStringsAcrossContinueBoundaries) {
  test::LogCapture log;
  // "fill" takes the first piece up to 5 bytes before the boundary, where a 10-character
  // string starts: count, flags and 2 characters before it, 8 after its flags byte.
  const Bytes first = Concat({ByteBuilder().U32(2).U32(2).U16(4).U8(0).bytes(), Text8("fill"),
                              ByteBuilder().U16(10).U8(0).bytes(), Text8("ab")});
  const Bytes second = Concat({ByteBuilder().U8(0).bytes(), Text8("cdefghij")});
  const Bytes stream = SstRecord({first, second});
  Workbook::SST sst;
  EXPECT_EQ(sst.Read(stream, 0), stream.size());
  ASSERT_EQ(sst.strings_.size(), 2u);
  EXPECT_EQ(sst.Text(0), "fill");
  EXPECT_EQ(sst.Text(1), "abcdefghij");
  EXPECT_EQ(sst.Text(2), "");
  EXPECT_EQ(log.ErrorLines().size(), 0u);

  // CJK text whose width changes at each boundary, and a string that starts exactly at a
  // boundary (no flags byte of its own there).
  const Bytes p1 = Concat({ByteBuilder().U32(4).U32(4).U16(10).U8(1).bytes(), Wide(u"漢字テスト")});
  const Bytes p2 = Concat({ByteBuilder().U8(0).bytes(), Text8("abc")});
  const Bytes p3 = Concat({ByteBuilder().U8(1).bytes(), Wide(u"日本"),
                           ByteBuilder().U16(4).U8(0).bytes(), Text8("ab")});
  const Bytes p4 = Concat({ByteBuilder().U8(1).bytes(), Wide(u"中文")});
  const Bytes p5 = Concat({ByteBuilder().U16(2).U8(1).bytes(), Wide(u"終わ"),
                           ByteBuilder().U16(1).U8(0).bytes(), Text8("z")});
  const Bytes cjk = SstRecord({p1, p2, p3, p4, p5});
  Workbook::SST wide;
  EXPECT_EQ(wide.Read(cjk, 0), cjk.size());
  ASSERT_EQ(wide.strings_.size(), 4u);
  EXPECT_EQ(wide.Text(0), "漢字テストabc日本");
  EXPECT_EQ(wide.Text(1), "ab中文");
  EXPECT_EQ(wide.Text(2), "終わ");
  EXPECT_EQ(wide.Text(3), "z");
  EXPECT_EQ(log.ErrorLines().size(), 0u);

  // Written and read again, the texts stay.
  const Bytes again = Written(wide);
  Workbook::SST back;
  EXPECT_EQ(back.Read(again, 0), again.size());
  ASSERT_EQ(back.strings_.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(back.Text(i), wide.Text(i));

  // Formatting runs and a phonetic block are stepped over (and not written).
  const Bytes rich = SstRecord(
      {Concat({ByteBuilder().U32(2).U32(2).U16(2).U8(0x0C).U16(1).U32(3).bytes(), Text8("hi"),
               Bytes(4 + 3, 0xEE), ByteBuilder().U16(1).U8(0).bytes(), Text8("x")})});
  EXPECT_EQ(back.Read(rich, 0), rich.size());
  ASSERT_EQ(back.strings_.size(), 2u);
  EXPECT_EQ(back.Text(0), "hi");
  EXPECT_EQ(back.Text(1), "x");
  EXPECT_EQ(back.DataSize(), 8u + 5 + 4);
}

TEST(GlobalsSst, LaysOutSplitPointsForLongStrings) {
  test::LogCapture log;
  Workbook::SST sst;
  sst.strings_.resize(1);
  sst.strings_[0].Assign(std::string(20000, 'q'));
  EXPECT_EQ(sst.DataSize(), 20013u);
  EXPECT_EQ(sst.continueIndices_, (std::vector<std::uint32_t>{8224, 16448}));
  const Bytes bytes = Written(sst);
  EXPECT_EQ(PieceLengths(bytes), (std::vector<std::uint32_t>{8224, 8224, 3565}));
  Workbook::SST back;
  EXPECT_EQ(back.Read(bytes, 0), bytes.size());
  ASSERT_EQ(back.strings_.size(), 1u);
  EXPECT_EQ(back.Text(0), std::string(20000, 'q'));

  // A string whose rest fills its last piece exactly opens no empty piece behind it, so
  // the string after it starts the next piece with its own header.
  Workbook::SST exact;
  exact.strings_.resize(2);
  exact.strings_[0].Assign(std::string(8213 + 8223, 'e'));
  exact.strings_[1].Assign(std::string_view("tail"));
  const Bytes exactBytes = Written(exact);
  EXPECT_EQ(PieceLengths(exactBytes), (std::vector<std::uint32_t>{8224, 8224, 7}));
  Workbook::SST exactBack;
  exactBack.Read(exactBytes, 0);
  ASSERT_EQ(exactBack.strings_.size(), 2u);
  EXPECT_EQ(exactBack.Text(0), exact.Text(0));
  EXPECT_EQ(exactBack.Text(1), "tail");

  // 16-bit strings split on whole characters, through several continuation pieces, and
  // the short strings around them; every piece holds at most 8224 bytes.
  Workbook::SST wide;
  std::u16string big(30000, u'\u6F22');
  for (std::size_t i = 0; i < big.size(); i += 7) big[i] = u'A';
  wide.strings_.resize(4);
  wide.strings_[0].Assign(std::string(8200, 's'));
  wide.strings_[1].Assign(big);
  wide.strings_[2].Assign(std::u16string(u"\u4E2D\u6587"));
  wide.strings_[3].Assign(std::string(9000, 't'));
  const Bytes wideBytes = Written(wide);
  for (std::uint32_t length : PieceLengths(wideBytes)) EXPECT_LE(length, 8224u);
  Workbook::SST wideBack;
  EXPECT_EQ(wideBack.Read(wideBytes, 0), wideBytes.size());
  ASSERT_EQ(wideBack.strings_.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(wideBack.Text(i), wide.Text(i)) << i;
  EXPECT_EQ(Written(wideBack), wideBytes);
  EXPECT_EQ(log.ErrorLines().size(), 0u);
}

TEST(GlobalsSst, CountsThatLie) {
  test::LogCapture log;
  // Claims 1000 strings, holds 2.
  const Bytes few =
      SstRecord({Concat({ByteBuilder().U32(5).U32(1000).U16(1).U8(0).bytes(), Text8("a"),
                         ByteBuilder().U16(1).U8(0).bytes(), Text8("b")})});
  Workbook::SST sst;
  EXPECT_EQ(sst.Read(few, 0), few.size());
  EXPECT_EQ(sst.strings_.size(), 2u);
  EXPECT_EQ(log.CountError("Exception reading in Workbook::SST::Read"), 1);
  const Bytes written = Written(sst);
  EXPECT_EQ(written[8], 2);  // the unique count written is the strings held

  // Claims 2^32 - 1 strings in 8 bytes; then a string whose count runs past the data.
  Workbook::SST huge;
  EXPECT_EQ(huge.Read(SstRecord({ByteBuilder().U32(0xFFFFFFFF).U32(0xFFFFFFFF).bytes()}), 0), 12u);
  EXPECT_TRUE(huge.strings_.empty());
  const Bytes runsOver =
      SstRecord({Concat({ByteBuilder().U32(1).U32(1).U16(500).U8(1).bytes(), Wide(u"ab")})});
  EXPECT_EQ(huge.Read(runsOver, 0), runsOver.size());
  ASSERT_EQ(huge.strings_.size(), 1u);
  EXPECT_EQ(huge.Text(0), "ab");
  // A CONTINUE claimed by a string count that runs past every piece.
  const Bytes overPieces =
      SstRecord({Concat({ByteBuilder().U32(1).U32(3).U16(9000).U8(0).bytes(), Text8("xy")}),
                 Concat({ByteBuilder().U8(1).bytes(), Wide(u"z")})});
  EXPECT_EQ(huge.Read(overPieces, 0), overPieces.size());
  ASSERT_EQ(huge.strings_.size(), 1u);
  EXPECT_EQ(huge.Text(0), "xyz");
  // Shorter than its counts.
  EXPECT_EQ(huge.Read(SstRecord({ByteBuilder().U32(1).U16(0).bytes()}), 0), 10u);
  EXPECT_FALSE(Workbook::SST::Validate(ByteBuilder().Header(0x00FC, 8).U32(1).U32(5).bytes(), 0));
  EXPECT_TRUE(Workbook::SST::Validate(ByteBuilder().Header(0x00FC, 12).U32(1).U32(1).bytes(), 0));
}

TEST(GlobalsSst, ExtSstWrittenAsRead) {
  Workbook::ExtSST ext;
  EXPECT_EQ(Written(ext), ByteBuilder().Header(0x00FF, 2).U16(8).bytes());
  const Bytes two = ByteBuilder()
                        .Header(0x00FF, 18)
                        .U16(8)
                        .U32(1000)
                        .U16(12)
                        .U16(0)
                        .U32(3000)
                        .U16(40)
                        .U16(0)
                        .bytes();
  EXPECT_EQ(ext.Read(two, 0), two.size());
  ASSERT_EQ(ext.buckets_.size(), 2u);
  EXPECT_EQ(ext.buckets_[1].streamPosition, 3000u);
  EXPECT_EQ(Written(ext), two);
  EXPECT_TRUE(Workbook::ExtSST::Validate(two, 0));
  ext.Reset();
  EXPECT_TRUE(ext.buckets_.empty());
}

}  // namespace
}  // namespace tabulix
