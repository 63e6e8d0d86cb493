// The writer: documents read back by our reader and by olefile, and saves that fail
// without harm.

#include "storage/storage_writer.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "storage/storage_reader.hpp"
#include "storage_test_util.hpp"

namespace tabulix::storage {
namespace {

namespace fs = std::filesystem;
using tabulix::test::ReadFileBytes;
using tabulix::test::ShellQuote;
using tabulix::test::TempDir;
using tabulix::test::WriteFileBytes;
using test::Crc32;
using test::Pattern;

std::set<std::string> Listing(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

TEST(StorageWriterTest, ReadBackByOurReaderAndByOlefile) {
  TempDir dir;
  const std::size_t sizes[] = {0, 1, 4095, 4096, 4097, 7u << 20, 20u << 20};
  std::string files;
  std::map<std::string, std::vector<std::uint8_t>> expected;
  for (std::size_t size : sizes) {
    SCOPED_TRACE(size);
    const auto data = Pattern(size, static_cast<std::uint32_t>(size) + 1);
    const auto doc = BuildSingleStreamDocument(u"Workbook", data);
    ASSERT_FALSE(doc.empty());
    EXPECT_EQ(doc.size() % 512, 0u);
    // Sizes from 7 MB on need FAT sectors beyond the header's 109 slots.
    const std::uint32_t extensionSectors = LittleEndian::U32(doc, 72);
    EXPECT_EQ(extensionSectors, size == (7u << 20) ? 1u : size == (20u << 20) ? 2u : 0u);

    auto reader = StorageReader::FromBytes(doc);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->StreamNames(), std::vector<std::u16string>{u"Workbook"});
    std::vector<std::uint8_t> out;
    ASSERT_EQ(reader->ReadStream(u"Workbook", out), ReadStatus::Ok);
    EXPECT_TRUE(out == data);

    const fs::path path = dir / ("size" + std::to_string(size) + ".xls");
    std::string reason;
    ASSERT_EQ(WriteSingleStreamFile(path, u"Workbook", data, &reason), WriteStatus::Ok) << reason;
    EXPECT_TRUE(ReadFileBytes(path) == doc);
    // Appended rather than "literal" + temporary string, on which GCC 12 at -O3 warns falsely.
    files.append(" ").append(ShellQuote(path.string()));
    expected[path.string()] = data;
  }

  std::string output;
  ASSERT_EQ(test::RunScript("ole_probe.py", "streams" + files, &output), 0) << output;
  std::istringstream lines(output);
  std::string line, current;
  std::map<std::string, std::vector<std::string>> seen;
  while (std::getline(lines, line)) {
    const auto tab = line.find('\t');
    const std::string key = line.substr(0, tab), value = line.substr(tab + 1);
    if (key == "file") current = value;
    seen[current].push_back(line);
  }
  for (const auto& [path, data] : expected) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08x", Crc32(data));
    const std::vector<std::string> want = {"file\t" + path, "stream\tWorkbook",
                                           "workbook\t" + std::to_string(data.size()) + "\t" + crc};
    EXPECT_EQ(seen[path], want);
  }
}

TEST(StorageWriterTest, RefusesInvalidStreamNames) {
  TempDir dir;
  const std::u16string names[] = {u"",    std::u16string(32, u'a'),  u"a/b", u"a\\b", u"a:b",
                                  u"a!b", std::u16string(u"a\0b", 3)};
  for (const auto& name : names) {
    EXPECT_TRUE(BuildSingleStreamDocument(name, Pattern(10)).empty());
    EXPECT_EQ(WriteSingleStreamFile(dir / "x.xls", name, Pattern(10)),
              WriteStatus::CreateStreamFailed);
  }
  EXPECT_FALSE(BuildSingleStreamDocument(std::u16string(31, u'a'), Pattern(10)).empty());
  EXPECT_TRUE(Listing(dir.path()).empty());
}

TEST(StorageWriterTest, SavesReplaceOrRefuseWithoutHarm) {
  TempDir dir;
  const auto data = Pattern(5000);
  const auto doc = BuildSingleStreamDocument(u"Workbook", data);
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  std::string reason;

  // Saving over an existing file replaces it.
  WriteFileBytes(dir / "over.xls", old);
  EXPECT_EQ(WriteSingleStreamFile(dir / "over.xls", u"Workbook", data), WriteStatus::Ok);
  EXPECT_TRUE(ReadFileBytes(dir / "over.xls") == doc);

  // A read-only file stays as it was.
  WriteFileBytes(dir / "readonly.xls", old);
  fs::permissions(dir / "readonly.xls", fs::perms(0444));
  EXPECT_EQ(WriteSingleStreamFile(dir / "readonly.xls", u"Workbook", data, &reason),
            WriteStatus::CreateFailed);
  EXPECT_EQ(reason, "the target is read-only");
  EXPECT_EQ(ReadFileBytes(dir / "readonly.xls"), old);
  EXPECT_EQ(fs::status(dir / "readonly.xls").permissions(), fs::perms(0444));

  // A directory in the target's place, a missing folder.
  fs::create_directory(dir / "folder.xls");
  EXPECT_EQ(WriteSingleStreamFile(dir / "folder.xls", u"Workbook", data, &reason),
            WriteStatus::CreateFailed);
  EXPECT_EQ(reason, "the target is a directory");
  EXPECT_EQ(WriteSingleStreamFile(dir / "missing" / "a.xls", u"Workbook", data),
            WriteStatus::CreateFailed);

  // A symbolic link in the target's place is replaced; what it points at is untouched.
  WriteFileBytes(dir / "pointed.txt", old);
  fs::create_symlink(dir / "pointed.txt", dir / "link.xls");
  EXPECT_EQ(WriteSingleStreamFile(dir / "link.xls", u"Workbook", data), WriteStatus::Ok);
  EXPECT_FALSE(fs::is_symlink(dir / "link.xls"));
  EXPECT_TRUE(ReadFileBytes(dir / "link.xls") == doc);
  EXPECT_EQ(ReadFileBytes(dir / "pointed.txt"), old);

  // No temporary file is left behind by any of these.
  EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{"over.xls", "readonly.xls", "folder.xls",
                                                        "pointed.txt", "link.xls"}));
}

TEST(StorageWriterTest, ReadOnlyFolderIsRefusedEvenForRoot) {
  // Root may create files in a folder of mode 0555; the writer reads the mode bits instead,
  // so the refusal holds for every user.
  TempDir dir;
  fs::create_directory(dir / "locked");
  fs::permissions(dir / "locked", fs::perms(0555));
  std::string reason;
  EXPECT_EQ(WriteSingleStreamFile(dir / "locked" / "a.xls", u"Workbook", Pattern(10), &reason),
            WriteStatus::CreateFailed);
  EXPECT_NE(reason.find("not writable"), std::string::npos) << reason;
  EXPECT_TRUE(Listing(dir / "locked").empty());
  fs::permissions(dir / "locked", fs::perms(0755));
}

TEST(StorageWriterTest, FailedWriteKeepsTheOldFileAndRemovesTheTemporary) {
  // A file-size limit makes the write fail part-way (EFBIG once SIGXFSZ is ignored).
  TempDir dir;
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  WriteFileBytes(dir / "keep.xls", old);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 8192;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  std::string reason;
  const WriteStatus status =
      WriteSingleStreamFile(dir / "keep.xls", u"Workbook", Pattern(100000), &reason);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_EQ(status, WriteStatus::WriteFailed) << reason;
  EXPECT_EQ(ReadFileBytes(dir / "keep.xls"), old);
  EXPECT_EQ(Listing(dir.path()), std::set<std::string>{"keep.xls"});
}

TEST(StorageWriterTest, AReplacedFileKeepsItsPermissionBits) {
  TempDir dir;
  const mode_t umaskNow = ::umask(022);
  ::umask(umaskNow);
  auto bits = [](const fs::path& path) {
    return static_cast<unsigned>(fs::status(path).permissions() & fs::perms::all);
  };
  // A private file stays private, a shared one stays shared: what the user chose for the
  // old file holds for the new one.
  for (const unsigned mode : {0600u, 0640u, 0664u, 0700u}) {
    const fs::path target = dir / ("kept-" + std::to_string(mode) + ".xls");
    WriteFileBytes(target, {'o', 'l', 'd'});
    fs::permissions(target, static_cast<fs::perms>(mode));
    ASSERT_EQ(WriteSingleStreamFile(target, u"Workbook", Pattern(5000)), WriteStatus::Ok);
    EXPECT_EQ(bits(target), mode) << std::oct << mode;
  }
  // A new file, and one that replaces a symbolic link, is made as any other new file.
  EXPECT_EQ(WriteSingleStreamFile(dir / "new.xls", u"Workbook", Pattern(10)), WriteStatus::Ok);
  EXPECT_EQ(bits(dir / "new.xls"), 0644u & ~static_cast<unsigned>(umaskNow));
  WriteFileBytes(dir / "private.txt", {'o', 'l', 'd'});
  fs::permissions(dir / "private.txt", fs::perms(0600));
  fs::create_symlink(dir / "private.txt", dir / "link.xls");
  EXPECT_EQ(WriteSingleStreamFile(dir / "link.xls", u"Workbook", Pattern(10)), WriteStatus::Ok);
  EXPECT_EQ(bits(dir / "link.xls"), 0644u & ~static_cast<unsigned>(umaskNow));
  EXPECT_EQ(bits(dir / "private.txt"), 0600u);
}

TEST(StorageWriterTest, OnlyStaleTemporariesOfTheTargetAreRemoved) {
  TempDir dir;
  const fs::path target = dir / "book.xls";
  const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(2);
  auto make = [&](const std::string& name, bool aged) {
    WriteFileBytes(dir / name, {'t', 'm', 'p'});
    if (aged) fs::last_write_time(dir / name, old);
  };
  make(".book.xls.tabulix-0123abcd", true);   // left by a killed save: removed
  make(".book.xls.tabulix-89abcdef", false);  // just made: its writer may not hold it yet
  make(".book.xls.tabulix-deadbeef", true);   // held by a live writer (locked below)
  make(".other.xls.tabulix-0123abcd", true);  // another target's
  make(".book.xls.tabulix-0123abc", true);    // not the writer's naming
  make(".book.xls.tabulix-0123ABCD", true);
  make("book.xls.tabulix-0123abcd", true);
  make(".book.xls.tabulix-0123abcd.bak", true);
  make("victim.txt", true);
  fs::create_hard_link(dir / "victim.txt", dir / ".book.xls.tabulix-00000001");
  fs::create_symlink(dir / "victim.txt", dir / ".book.xls.tabulix-00000002");
  fs::create_directory(dir / ".book.xls.tabulix-00000003");
  const int held = ::open((dir / ".book.xls.tabulix-deadbeef").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);

  std::set<std::string> expected = Listing(dir.path());
  EXPECT_EQ(RemoveStaleTemporaries(target), 1u);
  expected.erase(".book.xls.tabulix-0123abcd");
  EXPECT_EQ(Listing(dir.path()), expected);
  EXPECT_EQ(ReadFileBytes(dir / "victim.txt"), (std::vector<std::uint8_t>{'t', 'm', 'p'}));

  // A save cleans up before it writes: the young file has aged, and once the live writer
  // is gone its file goes too. Nothing of its own is left.
  fs::last_write_time(dir / ".book.xls.tabulix-89abcdef", old);
  ASSERT_EQ(WriteSingleStreamFile(target, u"Workbook", Pattern(10)), WriteStatus::Ok);
  expected.erase(".book.xls.tabulix-89abcdef");
  expected.insert("book.xls");
  EXPECT_EQ(Listing(dir.path()), expected);
  ::close(held);
  ASSERT_EQ(WriteSingleStreamFile(target, u"Workbook", Pattern(10)), WriteStatus::Ok);
  expected.erase(".book.xls.tabulix-deadbeef");
  EXPECT_EQ(Listing(dir.path()), expected);

  // The name of a long target is shortened in its temporaries, and matched so.
  const std::string longName(250, 'n');
  const std::string longTemp = "." + longName.substr(0, 200) + ".tabulix-00c0ffee";
  make(longTemp, true);
  EXPECT_EQ(RemoveStaleTemporaries(dir / longName), 1u);
  EXPECT_FALSE(fs::exists(dir / longTemp));
}

}  // namespace
}  // namespace tabulix::storage
