// Whole trees of storages and streams: written by BuildDocument, read back by ReadTree and
// by olefile, carried over from real files, and refused when their links or chains break.

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "storage/storage_reader.hpp"
#include "storage/storage_writer.hpp"
#include "storage_test_util.hpp"

namespace tabulix::storage {
namespace {

namespace fs = std::filesystem;
using test::Pattern;
using test::Put32;
using U32 = std::uint32_t;

TreeEntry Stream(std::u16string name, std::size_t size) {
  TreeEntry e;
  e.name = std::move(name);
  e.data = Pattern(size, static_cast<U32>(size) + 7);
  return e;
}
TreeEntry Storage(std::u16string name, std::vector<TreeEntry> children) {
  TreeEntry e = Stream(std::move(name), 0);
  e.storage = true;
  e.children = std::move(children);
  return e;
}
StorageTree Tree(std::vector<TreeEntry> entries) {
  StorageTree tree;
  tree.entries = std::move(entries);
  return tree;
}
std::optional<StorageTree> ReadBack(std::vector<std::uint8_t> doc, std::string* reason) {
  auto reader = StorageReader::FromBytes(std::move(doc), reason);
  return reader ? reader->ReadTree(reason) : std::nullopt;
}
// Where directory entry `e` lies in a document of our writer (its directory is one run).
std::size_t EntryAt(const std::vector<std::uint8_t>& doc, U32 e) {
  return 512 * (LittleEndian::U32(doc, 48) + 1) + 128 * e;
}

// The lines ole_probe.py prints for a tree (after "file").
std::vector<std::string> Lines(const StorageTree& tree) {
  auto hex = [](const auto& bytes) {
    std::string text;
    for (std::uint8_t b : bytes)
      text += "0123456789abcdef"[b >> 4], text += "0123456789abcdef"[b & 15];
    return text;
  };
  auto fields = [&](const auto& e) {
    return hex(e.clsid) + "\t" + std::to_string(e.stateBits) + "\t" + hex(e.times);
  };
  std::vector<std::string> lines;
  auto add = [&](auto& self, const std::vector<TreeEntry>& entries, const std::string& at) -> void {
    for (const auto& e : entries) {
      const std::string path = at + PrintableName(e.name);
      char crc[16];
      std::snprintf(crc, sizeof crc, "\t%08x", test::Crc32(e.data));
      lines.push_back(e.storage ? "storage\t" + path + "\t" + fields(e)
                                : "stream\t" + path + "\t" + fields(e) + "\t" +
                                      std::to_string(e.data.size()) + crc);
      self(self, e.children, path + "/");
    }
  };
  add(add, tree.entries, "");
  std::sort(lines.begin(), lines.end());
  lines.insert(lines.begin(), "root\t" + fields(tree));
  return lines;
}

// What olefile reads of each file, by file.
std::map<std::string, std::vector<std::string>> Olefile(const std::vector<fs::path>& files) {
  std::string arguments = "tree", output, line, file;
  for (const auto& f : files) arguments.append(" ").append(tabulix::test::ShellQuote(f.string()));
  EXPECT_EQ(test::RunScript("ole_probe.py", arguments, &output), 0);
  std::map<std::string, std::vector<std::string>> trees;
  for (std::istringstream in(output); std::getline(in, line);) {
    if (line.rfind("file\t", 0) == 0)
      file = line.substr(5);
    else
      trees[file].push_back(line);
  }
  return trees;
}

TEST(StorageTreeTest, AWorkbookAloneGivesTheBytesOfEveryEarlierSave) {
  // Size and CRC-32 of what the single-stream writer made before trees existed, on both
  // sides of the mini-stream cutoff and of the first and second extension sector.
  const struct {
    std::size_t size, bytes;
    U32 crc, extension;
  } saved[] = {{0, 1536, 0x364DE0A6u, 0},          {1, 2560, 0xD7F5C941u, 0},
               {4095, 6144, 0x106A6772u, 0},       {4096, 5632, 0x6F2E9BABu, 0},
               {4097, 6144, 0x57FDF3DAu, 0},       {7087104, 7143936, 0x9E9E7C4Cu, 0},
               {7087105, 7145472, 0x9B7AAD6Bu, 1}, {20u << 20, 21138944, 0x9F663726u, 2}};
  for (const auto& s : saved) {
    SCOPED_TRACE(s.size);
    StorageTree tree = Tree({Stream(u"Workbook", 0)});
    tree.entries[0].data = Pattern(s.size);
    const auto doc = BuildDocument(tree);
    EXPECT_EQ(doc.size(), s.bytes);
    EXPECT_EQ(test::Crc32(doc), s.crc);
    EXPECT_EQ(LittleEndian::U32(doc, 72), s.extension);
    EXPECT_TRUE(doc == BuildSingleStreamDocument(u"Workbook", tree.entries[0].data));
  }
}

// Black entries on the way from `id` to any missing child; -1 when the siblings below `id`
// are no red-black tree. Appends their names in order.
int BlackHeight(const std::vector<std::uint8_t>& doc, U32 id, bool parentRed,
                std::vector<std::u16string>& inOrder) {
  if (id == 0xFFFFFFFFu) return 1;
  const std::size_t at = EntryAt(doc, id);
  const bool red = doc[at + 67] == 0;
  const int left = BlackHeight(doc, LittleEndian::U32(doc, at + 68), red, inOrder);
  inOrder.emplace_back();
  for (std::size_t i = 0; i + 1 < doc[at + 64] / 2u; ++i) {
    inOrder.back() += static_cast<char16_t>(LittleEndian::U16(doc, at + 2 * i));
  }
  const int right = BlackHeight(doc, LittleEndian::U32(doc, at + 72), red, inOrder);
  return (red && parentRed) || left < 0 || left != right ? -1 : left + (red ? 0 : 1);
}

TEST(StorageTreeTest, NestedTreeReadsBackAndOlefileListsTheSame) {
  // Macros, an embedded object, streams on both sides of the cutoff, empty ones, and 24
  // more siblings so that the root's tree has depth.
  StorageTree tree =
      Tree({Stream(u"Workbook", 70000), Stream(u"\x05SummaryInformation", 200),
            Stream(u"\x01"
                   "CompObj",
                   4096),
            Stream(u"Empty", 0),
            Storage(u"_VBA_PROJECT_CUR",
                    {Stream(u"PROJECT", 4095),
                     Storage(u"VBA", {Stream(u"dir", 1112), Stream(u"_VBA_PROJECT", 9000),
                                      Stream(u"Sheet1", 4097), Storage(u"Void", {})})}),
            Storage(u"MBD0435D8BE",
                    {Stream(u"\x01Ole", 20), Storage(u"a", {Storage(u"b", {Stream(u"c", 1)})})})});
  tree.clsid[0] = 0x20;
  tree.stateBits = 0x11;
  tree.times[7] = 0x01;
  tree.entries[5].clsid[3] = 0x6E;
  tree.entries[4].times[15] = 0x01;
  tree.entries[1].stateBits = 7;
  for (int i = 0; i < 24; ++i) {
    const char16_t letter = static_cast<char16_t>((i % 2 ? u'F' : u'f') + i);
    tree.entries.push_back(Stream(std::u16string(1 + i % 5, letter), i * 397u % 9000));
  }
  tabulix::test::TempDir dir;
  std::string reason;
  ASSERT_EQ(WriteDocumentFile(dir / "tree.xls", tree, &reason), WriteStatus::Ok) << reason;
  const auto doc = tabulix::test::ReadFileBytes(dir / "tree.xls");
  EXPECT_TRUE(doc == BuildDocument(tree));
  const auto read = ReadBack(doc, &reason);
  ASSERT_TRUE(read) << reason;
  EXPECT_EQ(Lines(*read), Lines(tree));
  EXPECT_EQ(Olefile({dir / "tree.xls"})[(dir / "tree.xls").string()], Lines(tree));
  // The siblings of the root and of every storage: a red-black tree in the format's order
  // (shorter names first, then by upper case), which is also the order ReadTree gives.
  auto key = [](std::u16string name) {
    for (auto& c : name) c = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
    return std::make_pair(name.size(), name);
  };
  for (U32 e = 0; e < 42; ++e) {
    if (doc[EntryAt(doc, e) + 66] != 1 && doc[EntryAt(doc, e) + 66] != 5) continue;
    std::vector<std::u16string> names;
    EXPECT_GT(BlackHeight(doc, LittleEndian::U32(doc, EntryAt(doc, e) + 76), true, names), 0) << e;
    for (std::size_t i = 1; i < names.size(); ++i) EXPECT_LT(key(names[i - 1]), key(names[i]));
  }
  for (std::size_t i = 1; i < read->entries.size(); ++i) {
    EXPECT_LT(key(read->entries[i - 1].name), key(read->entries[i].name));
  }
}

TEST(StorageTreeTest, CorpusTreesCarryOverAsOlefileReadsThem) {
  tabulix::test::TempDir dir;
  std::vector<fs::path> originals = tabulix::test::RealCorpusFiles(), copies;
  for (const auto& e : fs::directory_iterator(tabulix::test::CorpusDir() / "odd")) {
    if (e.path().extension() == ".xls") originals.push_back(e.path());
  }
  auto oracle = Olefile(originals);
  int several = 0;
  for (const auto& file : originals) {
    SCOPED_TRACE(file.filename().string());
    std::string reason;
    auto reader = StorageReader::Open(file, &reason);
    const auto tree = reader ? reader->ReadTree(&reason) : std::nullopt;
    // Odd files may be refused: their streams claim more bytes than the file holds.
    EXPECT_TRUE(tree || file.parent_path().filename() == "odd") << reason;
    if (!tree) continue;
    several += tree->entries.size() > 1 ? 1 : 0;
    EXPECT_EQ(Lines(*tree), oracle[file.string()]);
    copies.push_back(dir / (std::to_string(copies.size()) + ".xls"));
    ASSERT_EQ(WriteDocumentFile(copies.back(), *tree, &reason), WriteStatus::Ok) << reason;
    oracle[copies.back().string()] = oracle[file.string()];
  }
  const auto written = Olefile(copies);
  EXPECT_EQ(written.size(), copies.size());
  for (const auto& [copy, lines] : written) EXPECT_EQ(lines, oracle[copy]) << copy;
  EXPECT_GT(several, 300);
}

TEST(StorageTreeTest, HostileTreesAreRefused) {
  // Entries: 0 root, 1 storage A, 2 storage B, 3 stream x (200 bytes: mini sectors 0 to 3),
  // 4 stream y (5000), 5 stream z (5000), 6 stream w (100, mini). A comes first in order.
  const auto sound =
      BuildDocument(Tree({Storage(u"A", {Storage(u"B", {Stream(u"x", 200)}), Stream(u"y", 5000)}),
                          Stream(u"z", 5000), Stream(u"w", 100)}));
  const U32 yStart = LittleEndian::U32(sound, EntryAt(sound, 4) + 116);
  const struct {
    const char* what;
    U32 entry;
    std::size_t field;
    U32 value;
    bool open;
  } cases[] = {{"storage whose child is itself", 2, 76, 2, false},
               {"child pointing back to its parent", 2, 76, 1, false},
               {"sibling pointing back to its parent in the tree", 2, 72, 4, false},
               {"link past the directory", 3, 68, 500, false},
               {"link to an unused entry", 2, 76, 7, false},
               {"two streams sharing sectors", 5, 116, yStart, true},
               {"two small streams sharing mini sectors", 6, 116, 0, true},
               {"stream larger than the file", 4, 120, 0x7FFFFFFF, true}};
  for (const auto& c : cases) {
    auto doc = sound;
    Put32(doc, EntryAt(doc, c.entry) + c.field, c.value);
    std::string reason;
    EXPECT_EQ(StorageReader::FromBytes(doc).has_value(), c.open) << c.what;
    EXPECT_FALSE(ReadBack(doc, &reason)) << c.what;
    EXPECT_FALSE(reason.empty()) << c.what;
    if (!c.open) continue;
    // Asked to, the reader leaves out the stream it cannot read, names it, and keeps the
    // rest: a stream whose sectors another claimed first is the one left out.
    const auto reader = StorageReader::FromBytes(doc);
    std::vector<std::string> skipped;
    const auto tree = reader->ReadTree(&reason, &skipped);
    ASSERT_TRUE(tree) << c.what;
    ASSERT_EQ(skipped.size(), 1u) << c.what;
    const std::string name(1, static_cast<char>("xyzw"[c.entry - 3]));
    EXPECT_NE(skipped[0].find("\"" + name + "\""), std::string::npos) << skipped[0];
    std::size_t streams = 0;
    std::vector<const TreeEntry*> pending;
    for (const TreeEntry& e : tree->entries) pending.push_back(&e);
    while (!pending.empty()) {
      const TreeEntry* e = pending.back();
      pending.pop_back();
      streams += e->storage ? 0 : 1;
      for (const TreeEntry& child : e->children) pending.push_back(&child);
    }
    EXPECT_EQ(streams, 3u) << c.what;
  }
  auto broken = sound;
  Put32(broken, 512 + 4 * yStart, 0xFFFFFFFFu);  // y's chain ends in a free sector
  EXPECT_FALSE(ReadBack(broken, nullptr));
  // Every cut of the sound file reads whole or is refused.
  const auto whole = ReadBack(sound, nullptr);
  for (std::size_t cut = 0; cut < sound.size(); cut += 61) {
    const auto read = ReadBack({sound.begin(), sound.begin() + static_cast<long>(cut)}, nullptr);
    EXPECT_TRUE(!read || *read == *whole) << cut;
  }
  // A thousand entries claiming one 1 MB chain would read as a gigabyte.
  StorageTree many = Tree({Stream(u"big", 1 << 20)});
  for (int i = 0; i < 1000; ++i) {
    many.entries.push_back(Stream(u"e" + std::u16string(1, static_cast<char16_t>(0x100 + i)), 0));
  }
  auto doc = BuildDocument(many);
  for (U32 e = 2; e <= 1000; ++e) {
    Put32(doc, EntryAt(doc, e) + 116, LittleEndian::U32(doc, EntryAt(doc, 1) + 116));
    Put32(doc, EntryAt(doc, e) + 120, 1 << 20);
  }
  EXPECT_FALSE(ReadBack(doc, nullptr));
  // Entries 32 levels below the root are read, 33 levels are refused.
  for (int levels : {32, 33}) {
    TreeEntry inner = Stream(u"leaf", 10);
    for (int i = 1; i < levels; ++i) inner = Storage(u"s", {std::move(inner)});
    EXPECT_EQ(ReadBack(BuildDocument(Tree({inner})), nullptr).has_value(), levels == 32);
  }
}

TEST(StorageTreeTest, StreamsOfTheRootLeftOutAreCheckedButNotRead) {
  // The caller that has read the workbook stream already asks for the rest only; a stream
  // of the same name deeper down is another stream and stays.
  const auto doc = BuildDocument(Tree(
      {Stream(u"Workbook", 9000), Stream(u"x", 100), Storage(u"A", {Stream(u"Workbook", 50)})}));
  const auto reader = StorageReader::FromBytes(doc);
  ASSERT_TRUE(reader);
  const auto workbook = [](std::u16string_view name) { return name == u"Workbook"; };
  std::vector<std::string> skipped;
  const auto tree = reader->ReadTree(nullptr, &skipped, workbook);
  ASSERT_TRUE(tree);
  EXPECT_EQ(Lines(*tree),
            Lines(Tree({Stream(u"x", 100), Storage(u"A", {Stream(u"Workbook", 50)})})));
  EXPECT_TRUE(skipped.empty());

  // Left out, it still claims its sectors: a stream sharing them is refused as before.
  auto shared = doc;
  Put32(shared, EntryAt(shared, 2) + 116, LittleEndian::U32(shared, EntryAt(shared, 1) + 116));
  Put32(shared, EntryAt(shared, 2) + 120, 4096);
  const auto sharing = StorageReader::FromBytes(shared);
  ASSERT_TRUE(sharing);
  std::string reason;
  EXPECT_FALSE(sharing->ReadTree(&reason, nullptr, workbook));
  EXPECT_NE(reason.find("sector"), std::string::npos) << reason;
}

TEST(StorageTreeTest, BadNamesAndTwinSiblingsAreRefusedBeforeAnythingIsWritten) {
  tabulix::test::TempDir dir;
  TreeEntry streamWithEntries = Stream(u"s", 1), storageWithBytes = Storage(u"s", {});
  streamWithEntries.children.push_back(Stream(u"lost", 1));
  storageWithBytes.data = {1};
  // Names are checked as for one stream (that check has its own tests), at any depth.
  const std::vector<StorageTree> refused = {
      Tree({streamWithEntries}),
      Tree({storageWithBytes}),
      Tree({Stream(u"Data", 1), Storage(u"s", {Stream(u"Data", 1)}), Stream(u"DATA", 1)}),
      Tree({Stream(u"\u00c9T\u00c9", 1), Stream(u"\u00e9t\u00e9", 1)}),
      Tree({Storage(u"outer", {Stream(u"a/b", 5)})}),
      Tree({Storage(u"a:b", {})}),
      Tree({Storage(u"outer", {Storage(std::u16string(32, u'n'), {})})})};
  for (const auto& tree : refused) {
    std::string reason;
    EXPECT_TRUE(BuildDocument(tree, &reason).empty());
    EXPECT_EQ(WriteDocumentFile(dir / "a.xls", tree), WriteStatus::CreateStreamFailed) << reason;
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));
  std::string reason;
  EXPECT_TRUE(BuildDocument(refused[2], &reason).empty());
  EXPECT_EQ(reason, "two entries of one storage are named \"Data\" and \"DATA\"");
}

}  // namespace
}  // namespace tabulix::storage
