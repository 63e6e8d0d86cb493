#include "storage/storage_writer.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>

#include "base/interrupt_cleanup.hpp"
#include "base/little_endian.hpp"
#include "base/safe_file.hpp"
#include "format/compound_layout.hpp"
#include "format/name_folding.hpp"

namespace tabulix::storage {

namespace fs = std::filesystem;
namespace le = tabulix::LittleEndian;
using namespace layout;

namespace {

constexpr std::size_t kSectorSize = std::size_t{1} << kSectorShiftV3;
constexpr std::size_t kIdsPerSector = kSectorSize / 4;   // 128 FAT entries a sector
constexpr std::size_t kIdsPerDifat = kIdsPerSector - 1;  // the last one links onwards
constexpr std::size_t kMiniPerSector = kSectorSize / kMiniSectorSize;
constexpr std::uint8_t kColourRed = 0;

std::size_t DivideRoundingUp(std::size_t value, std::size_t divisor) {
  return value / divisor + (value % divisor != 0 ? 1 : 0);
}

void SetReason(std::string* reason, std::string text) {
  if (reason != nullptr) *reason = std::move(text);
}

// Where each part of the document goes, in sectors, in file order: FAT, extension table,
// directory, mini FAT, mini stream, stream data.
struct Plan {
  std::size_t fat = 0, difat = 0, directory = 1, miniFat = 0, miniStream = 0, data = 0;
  std::size_t miniSectors = 0;

  std::size_t FirstFat() const { return 0; }
  std::size_t FirstDifat() const { return fat; }
  std::size_t FirstDirectory() const { return FirstDifat() + difat; }
  std::size_t FirstMiniFat() const { return FirstDirectory() + directory; }
  std::size_t FirstMiniStream() const { return FirstMiniFat() + miniFat; }
  std::size_t FirstData() const { return FirstMiniStream() + miniStream; }
  std::size_t Total() const { return FirstData() + data; }
};

Plan MakePlan(std::size_t entries, std::size_t miniSectors, std::size_t dataSectors) {
  Plan plan;
  plan.directory = DivideRoundingUp(entries, kSectorSize / kDirEntrySize);
  plan.miniSectors = miniSectors;
  plan.miniFat = DivideRoundingUp(miniSectors, kIdsPerSector);
  plan.miniStream = DivideRoundingUp(miniSectors, kMiniPerSector);
  plan.data = dataSectors;
  // The FAT covers itself and the extension table, which in turn grows with the FAT: grow
  // both until they cover everything. Each round only grows them, so this settles fast.
  for (;;) {
    const std::size_t fat = DivideRoundingUp(plan.Total(), kIdsPerSector);
    const std::size_t difat =
        fat > kHeaderDifatSlots ? DivideRoundingUp(fat - kHeaderDifatSlots, kIdsPerDifat) : 0;
    if (fat == plan.fat && difat == plan.difat) return plan;
    plan.fat = fat;
    plan.difat = difat;
  }
}

// Number of sector `index` as the tables store it (the plan keeps sizes small enough).
std::uint32_t Id(std::size_t index) { return static_cast<std::uint32_t>(index); }

void WriteHeader(le::MutableBytes doc, const Plan& plan) {
  std::copy(kSignature.begin(), kSignature.end(), doc.begin() + kOffSignature);
  // Class id (8..23), reserved bytes, transaction signature: zero.
  le::Write(doc, kMinorVersion, kOffMinorVersion);
  le::Write(doc, std::uint16_t{3}, kOffMajorVersion);
  le::Write(doc, kByteOrderMark, kOffByteOrder);
  le::Write(doc, kSectorShiftV3, kOffSectorShift);
  le::Write(doc, kMiniSectorShift, kOffMiniSectorShift);
  le::Write(doc, std::uint32_t{0}, kOffDirSectorCount);  // must stay 0 in version 3
  le::Write(doc, Id(plan.fat), kOffFatSectorCount);
  le::Write(doc, Id(plan.FirstDirectory()), kOffDirStart);
  le::Write(doc, kMiniStreamCutoff, kOffMiniCutoff);
  le::Write(doc, plan.miniFat > 0 ? Id(plan.FirstMiniFat()) : kEndOfChain, kOffMiniFatStart);
  le::Write(doc, Id(plan.miniFat), kOffMiniFatCount);
  le::Write(doc, plan.difat > 0 ? Id(plan.FirstDifat()) : kEndOfChain, kOffDifatStart);
  le::Write(doc, Id(plan.difat), kOffDifatCount);
  for (std::size_t i = 0; i < kHeaderDifatSlots; ++i) {
    le::Write(doc, i < plan.fat ? Id(plan.FirstFat() + i) : kFreeSector, kOffHeaderDifat + 4 * i);
  }
}

std::size_t SectorOffset(std::size_t sector) { return (sector + 1) * kSectorSize; }

// Links `count` consecutive entries from `first` into one chain of `table` (a span of
// 32-bit entries inside the document).
void WriteChain(le::MutableBytes table, std::size_t first, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t next = i + 1 < count ? Id(first + i + 1) : kEndOfChain;
    le::Write(table, next, 4 * (first + i));
  }
}

// One directory entry of the document, flattened out of the tree; a stream's bytes stay
// where the caller keeps them.
struct Node {
  std::u16string_view name;
  std::uint8_t type = kTypeStream;
  std::array<std::uint8_t, 16> clsid{};
  std::uint32_t stateBits = 0;
  std::array<std::uint8_t, 16> times{};
  std::span<const std::uint8_t> data;
  std::vector<std::uint32_t> children;  // entry numbers, in the tree's order
  bool stray = false;                   // a stream with entries below it, or a storage with bytes
  // Set by the layout: the links of the red-black tree of the entry's siblings, the top of
  // its children's tree, and where its bytes start (a mini sector for a small stream, a
  // sector otherwise).
  std::uint32_t left = kNoStream, right = kNoStream, child = kNoStream;
  std::uint8_t colour = kColourBlack;
  std::size_t start = 0;

  bool Small() const { return data.size() < kMiniStreamCutoff; }
};

Node RootNode(const StorageTree& tree) {
  Node root;
  root.name = u"Root Entry";
  root.type = kTypeRoot;
  root.clsid = tree.clsid;
  root.stateBits = tree.stateBits;
  root.times = tree.times;
  return root;
}

// The entries numbered in pre-order (an entry, then everything below it), the root first.
// An explicit stack: a caller's tree may nest deeper than the call stack would allow.
std::vector<Node> Flatten(const StorageTree& tree) {
  std::vector<Node> nodes{RootNode(tree)};
  struct Pending {
    const TreeEntry* entry;
    std::uint32_t parent;
  };
  std::vector<Pending> stack;
  for (auto it = tree.entries.rbegin(); it != tree.entries.rend(); ++it) stack.push_back({&*it, 0});
  while (!stack.empty()) {
    const Pending item = stack.back();
    stack.pop_back();
    const auto id = Id(nodes.size());
    nodes[item.parent].children.push_back(id);
    Node node;
    node.name = item.entry->name;
    node.type = item.entry->storage ? kTypeStorage : kTypeStream;
    node.clsid = item.entry->clsid;
    node.stateBits = item.entry->stateBits;
    node.times = item.entry->times;
    if (!item.entry->storage) node.data = item.entry->data;
    node.stray = item.entry->storage ? !item.entry->data.empty() : !item.entry->children.empty();
    nodes.push_back(std::move(node));
    const auto& children = item.entry->children;
    if (item.entry->storage) {
      for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back({&*it, id});
    }
  }
  return nodes;
}

// The order of siblings in their tree: shorter names first, names of one length unit by
// unit in upper case (negative, zero or positive, as a comparison).
int CompareNames(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char16_t x = FoldNameCase(a[i]), y = FoldNameCase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

// Links the siblings sorted[lo, hi) into a balanced tree: the middle one on top, each half
// below it on its side. Subtrees of one node differ in size by one at most, so every path
// from the top to a missing child passes the same number of levels but one; colouring the
// deepest level red (when it is not the top) gives every such path the same number of
// black entries and no red entry a red child. Returns the top.
std::uint32_t LinkSiblings(std::vector<Node>& nodes, const std::vector<std::uint32_t>& sorted,
                           std::size_t lo, std::size_t hi, std::size_t level,
                           std::vector<std::size_t>& levels) {
  if (lo >= hi) return kNoStream;
  const std::size_t mid = lo + (hi - lo) / 2;
  levels[mid] = level;
  // The recursion halves the range each time: at most 32 levels for any entry count.
  const std::uint32_t left = LinkSiblings(nodes, sorted, lo, mid, level + 1, levels);
  const std::uint32_t right = LinkSiblings(nodes, sorted, mid + 1, hi, level + 1, levels);
  nodes[sorted[mid]].left = left;
  nodes[sorted[mid]].right = right;
  return sorted[mid];
}

WriteStatus LinkChildren(std::vector<Node>& nodes, std::uint32_t parent, std::string* reason) {
  std::vector<std::uint32_t> sorted = nodes[parent].children;
  if (sorted.empty()) return WriteStatus::Ok;
  // Stable, so that a refusal of twins names them in the caller's order.
  std::stable_sort(sorted.begin(), sorted.end(), [&](std::uint32_t a, std::uint32_t b) {
    return CompareNames(nodes[a].name, nodes[b].name) < 0;
  });
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    if (CompareNames(nodes[sorted[i - 1]].name, nodes[sorted[i]].name) == 0) {
      SetReason(reason, "two entries of one storage are named \"" +
                            PrintableName(nodes[sorted[i - 1]].name) + "\" and \"" +
                            PrintableName(nodes[sorted[i]].name) + "\"");
      return WriteStatus::CreateStreamFailed;
    }
  }
  std::vector<std::size_t> levels(sorted.size(), 0);
  nodes[parent].child = LinkSiblings(nodes, sorted, 0, sorted.size(), 0, levels);
  const std::size_t deepest = *std::max_element(levels.begin(), levels.end());
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    nodes[sorted[i]].colour = deepest > 0 && levels[i] == deepest ? kColourRed : kColourBlack;
  }
  return WriteStatus::Ok;
}

// Checks names and sizes, links every storage's entries and places every stream: small
// ones in the mini stream, the others in regular sectors, both in entry order.
WriteStatus LayOut(std::vector<Node>& nodes, Plan& plan, std::string* reason) {
  std::uint64_t total = 0;
  std::size_t miniSectors = 0, dataSectors = 0;
  for (std::uint32_t id = 0; id < nodes.size(); ++id) {
    Node& node = nodes[id];
    if (id != 0 && !IsValidStreamName(node.name)) {
      SetReason(reason, std::string(node.type == kTypeStorage ? "invalid storage name \""
                                                              : "invalid stream name \"") +
                            PrintableName(node.name) + "\"");
      return WriteStatus::CreateStreamFailed;
    }
    // Either would be lost on the way into the file.
    if (node.stray) {
      SetReason(reason, std::string(node.type == kTypeStorage ? "storage \"" : "stream \"") +
                            PrintableName(node.name) +
                            (node.type == kTypeStorage ? "\" holds bytes" : "\" holds entries"));
      return WriteStatus::CreateStreamFailed;
    }
    if (const WriteStatus status = LinkChildren(nodes, id, reason); status != WriteStatus::Ok) {
      return status;
    }
    if (node.type != kTypeStream || node.data.empty()) continue;
    total += node.data.size();
    // A version-3 size field holds 32 bits, and so do the sector numbers of the whole.
    if (total > 0xFFFFFFFFu) {
      SetReason(reason, "streams too large for a version-3 document (4 GiB or more)");
      return WriteStatus::WriteFailed;
    }
    if (node.Small()) {
      node.start = miniSectors;
      miniSectors += DivideRoundingUp(node.data.size(), kMiniSectorSize);
    } else {
      node.start = dataSectors;
      dataSectors += DivideRoundingUp(node.data.size(), kSectorSize);
    }
  }
  plan = MakePlan(nodes.size(), miniSectors, dataSectors);
  if (plan.Total() > kMaxRegularSector) {
    SetReason(reason, "too many entries for a version-3 document");
    return WriteStatus::WriteFailed;
  }
  return WriteStatus::Ok;
}

void WriteTables(le::MutableBytes doc, const Plan& plan, const std::vector<Node>& nodes) {
  // FAT: every entry free, then the chains and the table's own sectors.
  auto fat = doc.subspan(SectorOffset(plan.FirstFat()), plan.fat * kSectorSize);
  std::fill(fat.begin(), fat.end(), std::uint8_t{0xFF});
  for (std::size_t i = 0; i < plan.fat; ++i) le::Write(fat, kFatSector, 4 * (plan.FirstFat() + i));
  for (std::size_t i = 0; i < plan.difat; ++i) {
    le::Write(fat, kDifatSector, 4 * (plan.FirstDifat() + i));
  }
  WriteChain(fat, plan.FirstDirectory(), plan.directory);
  WriteChain(fat, plan.FirstMiniFat(), plan.miniFat);
  WriteChain(fat, plan.FirstMiniStream(), plan.miniStream);
  for (const Node& node : nodes) {
    if (node.type == kTypeStream && !node.Small()) {
      WriteChain(fat, plan.FirstData() + node.start,
                 DivideRoundingUp(node.data.size(), kSectorSize));
    }
  }

  // Extension table: FAT sectors 109 onwards, 127 to a sector, each sector linking to the
  // next and the last one ending the chain.
  for (std::size_t d = 0; d < plan.difat; ++d) {
    auto sector = doc.subspan(SectorOffset(plan.FirstDifat() + d), kSectorSize);
    for (std::size_t j = 0; j < kIdsPerDifat; ++j) {
      const std::size_t k = kHeaderDifatSlots + d * kIdsPerDifat + j;
      le::Write(sector, k < plan.fat ? Id(plan.FirstFat() + k) : kFreeSector, 4 * j);
    }
    le::Write(sector, d + 1 < plan.difat ? Id(plan.FirstDifat() + d + 1) : kEndOfChain,
              4 * kIdsPerDifat);
  }

  // Mini FAT: one chain over the mini sectors of each small stream.
  if (plan.miniFat > 0) {
    auto miniFat = doc.subspan(SectorOffset(plan.FirstMiniFat()), plan.miniFat * kSectorSize);
    std::fill(miniFat.begin(), miniFat.end(), std::uint8_t{0xFF});
    for (const Node& node : nodes) {
      if (node.type == kTypeStream && !node.data.empty() && node.Small()) {
        WriteChain(miniFat, node.start, DivideRoundingUp(node.data.size(), kMiniSectorSize));
      }
    }
  }
}

void WriteEntry(le::MutableBytes entry, const Node& node, std::uint32_t start, std::uint32_t size) {
  le::WriteString(entry, std::span(node.name.data(), node.name.size()), kEntOffName,
                  node.name.size());
  le::Write(entry, static_cast<std::uint16_t>(2 * (node.name.size() + 1)), kEntOffNameLength);
  le::Write(entry, node.type, kEntOffType);
  le::Write(entry, node.colour, kEntOffColour);
  le::Write(entry, node.left, kEntOffLeft);
  le::Write(entry, node.right, kEntOffRight);
  le::Write(entry, node.child, kEntOffChild);
  std::copy(node.clsid.begin(), node.clsid.end(), entry.begin() + kEntOffClsid);
  le::Write(entry, node.stateBits, kEntOffState);
  std::copy(node.times.begin(), node.times.end(), entry.begin() + kEntOffCreated);
  le::Write(entry, start, kEntOffStart);
  le::Write(entry, size, kEntOffSize);  // the high half stays zero
}

void WriteDirectory(le::MutableBytes doc, const Plan& plan, const std::vector<Node>& nodes) {
  auto dir = doc.subspan(SectorOffset(plan.FirstDirectory()), plan.directory * kSectorSize);
  for (std::size_t e = 0; e < nodes.size(); ++e) {
    const Node& node = nodes[e];
    auto entry = dir.subspan(e * kDirEntrySize, kDirEntrySize);
    if (node.type == kTypeRoot) {
      // The root's own stream is the mini stream.
      WriteEntry(entry, node, plan.miniSectors > 0 ? Id(plan.FirstMiniStream()) : kEndOfChain,
                 Id(plan.miniSectors * kMiniSectorSize));
    } else if (node.type == kTypeStorage) {
      WriteEntry(entry, node, 0, 0);
    } else {
      std::uint32_t start = kEndOfChain;
      if (!node.data.empty()) start = Id(node.Small() ? node.start : plan.FirstData() + node.start);
      WriteEntry(entry, node, start, static_cast<std::uint32_t>(node.data.size()));
    }
  }
  // The rest of the last sector: unused entries, their links "none".
  for (std::size_t e = nodes.size(); e < plan.directory * (kSectorSize / kDirEntrySize); ++e) {
    auto unused = dir.subspan(e * kDirEntrySize, kDirEntrySize);
    le::Write(unused, kNoStream, kEntOffLeft);
    le::Write(unused, kNoStream, kEntOffRight);
    le::Write(unused, kNoStream, kEntOffChild);
  }
}

// The document of the flattened tree, or a refusal with its reason.
WriteStatus BuildNodes(std::vector<Node>& nodes, std::vector<std::uint8_t>& doc,
                       std::string* reason) {
  doc.clear();
  Plan plan;
  if (const WriteStatus status = LayOut(nodes, plan, reason); status != WriteStatus::Ok) {
    return status;
  }
  doc.assign(kHeaderSize + plan.Total() * kSectorSize, 0);
  const le::MutableBytes bytes(doc);
  WriteHeader(bytes, plan);
  WriteTables(bytes, plan, nodes);
  WriteDirectory(bytes, plan, nodes);
  for (const Node& node : nodes) {
    if (node.type != kTypeStream || node.data.empty()) continue;
    const std::size_t at = node.Small()
                               ? SectorOffset(plan.FirstMiniStream()) + node.start * kMiniSectorSize
                               : SectorOffset(plan.FirstData() + node.start);
    std::copy(node.data.begin(), node.data.end(), doc.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return WriteStatus::Ok;
}

std::vector<Node> SingleStream(std::u16string_view streamName, std::span<const std::uint8_t> data) {
  std::vector<Node> nodes{RootNode(StorageTree{}), Node{}};
  nodes[0].children.push_back(1);
  nodes[1].name = streamName;
  nodes[1].data = data;
  return nodes;
}

}  // namespace

bool IsValidStreamName(std::u16string_view name) {
  if (name.empty() || name.size() > kEntNameUnits - 1) return false;
  return std::none_of(name.begin(), name.end(), [](char16_t c) {
    return c == 0 || c == u'/' || c == u'\\' || c == u':' || c == u'!';
  });
}

std::vector<std::uint8_t> BuildSingleStreamDocument(std::u16string_view streamName,
                                                    std::span<const std::uint8_t> data) {
  std::vector<Node> nodes = SingleStream(streamName, data);
  std::vector<std::uint8_t> doc;
  BuildNodes(nodes, doc, nullptr);
  return doc;
}

std::vector<std::uint8_t> BuildDocument(const StorageTree& tree, std::string* reason) {
  std::vector<Node> nodes = Flatten(tree);
  std::vector<std::uint8_t> doc;
  BuildNodes(nodes, doc, reason);
  return doc;
}

namespace {

std::string ErrnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Checks made before anything is created. Permission bits are read from the mode rather
// than asked of access(): root passes access() for every file, yet a folder or file that
// nobody may write is meant to stay as it is. `oldMode` receives the permission bits of an
// existing regular target (0 when there is none), which the new file keeps.
WriteStatus CheckTarget(const fs::path& target, const fs::path& folder, mode_t& oldMode,
                        std::string* reason) {
  oldMode = 0;
  if (target.filename().empty()) {
    SetReason(reason, "the target has no file name");
    return WriteStatus::CreateFailed;
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetReason(reason, "the folder " + folder.string() + " does not exist");
    return WriteStatus::CreateFailed;
  }
  if ((st.st_mode & 0222) == 0 || ::access(folder.c_str(), W_OK | X_OK) != 0) {
    SetReason(reason, "the folder " + folder.string() + " is not writable (permission denied)");
    return WriteStatus::CreateFailed;
  }
  if (::lstat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      SetReason(reason, "the target is a directory");
      return WriteStatus::CreateFailed;
    }
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
      SetReason(reason, "the target is not a regular file");
      return WriteStatus::CreateFailed;
    }
    if (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) {
      SetReason(reason, "the target is read-only");
      return WriteStatus::CreateFailed;
    }
    // Only the permission bits: a set-user-id bit has no business on a workbook.
    if (S_ISREG(st.st_mode)) oldMode = st.st_mode & 0777;
  } else if (errno != ENOENT) {
    SetReason(reason, ErrnoText("cannot examine the target"));
    return WriteStatus::CreateFailed;
  }
  return WriteStatus::Ok;
}

// A new file beside the target, created exclusively and never through a link, and locked
// for as long as this process holds it open (see RemoveStaleTemporaries).
int CreateTemporary(const fs::path& target, mode_t mode, fs::path& temp) {
  int fd = -1;
  MakeTemporary(target, temp, [&fd, mode](const fs::path& candidate) {
    fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    return fd >= 0;
  });
  // A file system without these locks still saves; its stale files go by age alone.
  if (fd >= 0) ::flock(fd, LOCK_EX | LOCK_NB);
  return fd;
}

// For the tests that stop a save half-way: a pause, in milliseconds (at most a minute),
// between the temporary file being complete and its rename. Never set in normal use.
void PauseBeforeRenameForTests() {
  const char* value = std::getenv("TABULIX_TEST_PAUSE_BEFORE_RENAME_MS");
  if (value == nullptr) return;
  const long ms = std::strtol(value, nullptr, 10);
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 60000L)));
}

}  // namespace

namespace {
constexpr std::string_view kTemporaryMark = ".tabulix-";
constexpr std::size_t kTemporarySuffixDigits = 8;
}  // namespace

std::string TemporaryPrefix(const fs::path& target) {
  std::string name = ".";  // appended piece by piece: GCC 12 warns falsely on "." + string
  name += target.filename().string().substr(0, 200);
  name += kTemporaryMark;
  return name;
}

bool IsTemporaryName(std::string_view name, std::string_view prefix) {
  if (name.size() != prefix.size() + kTemporarySuffixDigits ||
      name.substr(0, prefix.size()) != prefix)
    return false;
  return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool MakeTemporary(const fs::path& target, fs::path& temp,
                   const std::function<bool(const fs::path&)>& make) {
  // The name need not be unpredictable (creating it exclusively makes it ours), only
  // unlikely to be taken.
  std::uint64_t seed =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(::getpid()) << 32);
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const std::string prefix = TemporaryPrefix(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(seed >> 32));
    temp = folder / (prefix + suffix);
    if (make(temp)) return true;
    if (errno != EEXIST) return false;
  }
  errno = EEXIST;
  return false;
}

std::size_t RemoveStaleTemporaries(const fs::path& target) {
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const std::string prefix = TemporaryPrefix(target);
  const std::time_t now = std::time(nullptr);
  std::size_t removed = 0;
  std::size_t examined = 0;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    // A folder of millions of files must not make every save slow.
    if (++examined > kStaleTemporaryScanLimit) break;
    const std::string name = it->path().filename().string();
    if (!IsTemporaryName(name, prefix)) continue;
    const fs::path path = folder / name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    bool stale = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                 st.st_uid == ::geteuid();
    if (stale) {
      const double age = std::difftime(now, st.st_mtime);
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        stale = age >= kStaleTemporaryAge.count();
      } else {
        stale = errno != EWOULDBLOCK && age >= kStaleUnlockableTemporaryAge.count();
      }
    }
    // Still the file examined, not one put in its place since.
    struct stat again {};
    if (stale && ::lstat(path.c_str(), &again) == 0 && again.st_dev == st.st_dev &&
        again.st_ino == st.st_ino && ::unlink(path.c_str()) == 0) {
      ++removed;
    }
    ::close(fd);
  }
  return removed;
}

namespace {

// The one way a document reaches the disk; both public saves flatten their input and come
// here, so that the target's checks come first and a refused tree writes nothing.
WriteStatus SaveNodes(const fs::path& target, std::vector<Node>& nodes, std::string* reason) {
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  mode_t oldMode = 0;
  if (const WriteStatus status = CheckTarget(target, folder, oldMode, reason);
      status != WriteStatus::Ok) {
    return status;
  }
  std::vector<std::uint8_t> doc;
  if (const WriteStatus status = BuildNodes(nodes, doc, reason); status != WriteStatus::Ok) {
    return status;
  }

  RemoveStaleTemporaries(target);
  // A replaced file keeps its permission bits: the temporary starts private and is given
  // them once written. A new file is created as any other, under the umask.
  fs::path temp;
  TemporaryStep creating;
  const int fd = CreateTemporary(target, oldMode != 0 ? 0600 : 0644, temp);
  if (fd < 0) {
    SetReason(reason, ErrnoText("cannot create a temporary file"));
    return WriteStatus::CreateFailed;
  }
  const RemoveOnSignal removeOnSignal(temp);
  creating.Done();
  WriteStatus status = WriteStatus::Ok;
  if (!WriteAllToDescriptor(fd, doc)) {
    SetReason(reason, ErrnoText("cannot write the temporary file"));
    status = WriteStatus::WriteFailed;
  } else {
    // A file system that keeps no permission bits refuses this; the file is then as
    // private as it was made, never more open than the old one.
    if (oldMode != 0) static_cast<void>(::fchmod(fd, oldMode));
    if (::fsync(fd) != 0) {
      SetReason(reason, ErrnoText("cannot flush the temporary file"));
      status = WriteStatus::CommitFailed;
    }
  }
  if (status == WriteStatus::Ok) PauseBeforeRenameForTests();
  if (::close(fd) != 0 && status == WriteStatus::Ok) {
    SetReason(reason, ErrnoText("cannot close the temporary file"));
    status = WriteStatus::CommitFailed;
  }
  if (status == WriteStatus::Ok) {
    const TemporaryStep renaming;
    if (::rename(temp.c_str(), target.c_str()) != 0) {
      SetReason(reason, ErrnoText("cannot replace the target"));
      status = WriteStatus::CommitFailed;
    }
  }
  if (status != WriteStatus::Ok) {
    ::unlink(temp.c_str());
    return status;
  }
  // Make the rename itself durable; a folder that cannot be flushed does not undo the save.
  if (const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return WriteStatus::Ok;
}

}  // namespace

WriteStatus WriteSingleStreamFile(const fs::path& target, std::u16string_view streamName,
                                  std::span<const std::uint8_t> data, std::string* reason) {
  std::vector<Node> nodes = SingleStream(streamName, data);
  return SaveNodes(target, nodes, reason);
}

WriteStatus WriteDocumentFile(const fs::path& target, const StorageTree& tree,
                              std::string* reason) {
  std::vector<Node> nodes = Flatten(tree);
  return SaveNodes(target, nodes, reason);
}

}  // namespace tabulix::storage
