#pragma once
// The writer: a new compound document, as the platform's structured-storage service
// creates it for the save route, holding one stream or a whole tree of storages and
// streams. Version 3, 512-byte sectors; streams below 4096 bytes go into the one mini
// stream, larger ones into regular sectors; FAT sectors beyond the header's 109 slots are
// listed in extension (DIFAT) sectors.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/storage_tree.hpp"

namespace tabulix::storage {

enum class WriteStatus {
  Ok,
  CreateFailed,        // temporary file or target not creatable/replaceable
  CreateStreamFailed,  // a name is not a valid one, or two siblings share a name
  WriteFailed,         // the bytes could not be written (or the streams are too large)
  CommitFailed,        // flushing or renaming over the target failed
};

// A stream name is valid when it has 1 to 31 UTF-16 units, none of them NUL, '/', '\',
// ':' or '!'.
bool IsValidStreamName(std::u16string_view name);

// The whole document in memory. Empty when the name is not valid or the data is 4 GiB or
// more (a version-3 size field holds 32 bits). The same bytes as BuildDocument makes of a
// tree that holds only this stream.
std::vector<std::uint8_t> BuildSingleStreamDocument(std::u16string_view streamName,
                                                    std::span<const std::uint8_t> data);

// The whole document of a tree, in memory. Every entry keeps its class id, state bits and
// times; each storage's entries form a red-black tree in the order the format sorts
// names in (shorter first, then unit by unit upper-cased). Entries are numbered in the
// tree's pre-order, and stream data follows the same order. Empty when a name is not valid,
// two entries of one storage have names equal but for case, a stream has entries or a
// storage has bytes (they would be lost), or the streams hold 4 GiB or more together;
// `reason` then says which.
std::vector<std::uint8_t> BuildDocument(const StorageTree& tree, std::string* reason = nullptr);

// Builds the document and saves it all-or-nothing: into a new temporary file beside the
// target (created exclusively, never through a symbolic link, locked while it is written),
// flushed to disk, then renamed over the target. A new target gets mode 0644 less the
// umask; a replaced one keeps its permission bits. A failed save leaves an existing target
// as it was and removes the temporary file, and so does a run stopped by SIGINT, SIGTERM
// or SIGHUP once the front end has installed RemoveTemporariesOnSignals. Stale
// temporaries of earlier saves to the same target are removed first
// (RemoveStaleTemporaries). Refused (CreateFailed) before anything is written: a missing
// or read-only folder (no write bit in its mode, which counts even for root), a target
// that is a directory or another non-regular file, an existing target without any write
// bit. A symbolic link in the target's place is replaced by the new file; what it pointed
// at is left alone. `reason` receives the cause of a failure in words for the user.
WriteStatus WriteSingleStreamFile(const std::filesystem::path& target,
                                  std::u16string_view streamName,
                                  std::span<const std::uint8_t> data,
                                  std::string* reason = nullptr);

// Saves the document of a tree (BuildDocument) exactly as WriteSingleStreamFile saves
// one stream: the same checks, temporary file, permissions and statuses. A tree BuildDocument
// refuses gives CreateStreamFailed for its names, WriteFailed for its size.
WriteStatus WriteDocumentFile(const std::filesystem::path& target, const StorageTree& tree,
                              std::string* reason = nullptr);

// Removes the temporaries that saves to `target` left behind when their process died
// (killed outright, crashed, power lost) and returns how many. A file goes only when all of
// these hold: it lies beside the target and bears the name this writer gives a temporary
// for that target, ".<name>.tabulix-" and eight hex digits; it is a regular file with one
// name, owned by this user; and no live process holds it. Every writer keeps its
// temporary locked (flock) until the file is renamed or removed, and the system releases
// the lock when the process ends however it ends, so a temporary we can lock has no
// writer left. The lock is taken a moment after the file is created, so an unlocked file
// must also be unchanged for kStaleTemporaryAge; on a file system without these locks only
// age speaks, and then it must be unchanged for kStaleUnlockableTemporaryAge. At most
// kStaleTemporaryScanLimit entries of the folder are looked at.
inline constexpr std::chrono::seconds kStaleTemporaryAge{60};
inline constexpr std::chrono::seconds kStaleUnlockableTemporaryAge{24 * 3600};
inline constexpr std::size_t kStaleTemporaryScanLimit = 100000;
std::size_t RemoveStaleTemporaries(const std::filesystem::path& target);

// The temporaries of a save to `target` stand beside it, named ".<target's name>.tabulix-"
// and eight hex digits, the target's name shortened so that the whole stays within a file
// name's length limit. Every writer of outputs names its temporaries so, and one clean-up
// of stale ones serves them all.
std::string TemporaryPrefix(const std::filesystem::path& target);
bool IsTemporaryName(std::string_view name, std::string_view prefix);
// Tries temporary names beside `target` until `make` creates one; `make` answers false,
// with errno EEXIST, for a name already taken. False, with errno set, when none could be.
bool MakeTemporary(const std::filesystem::path& target, std::filesystem::path& temp,
                   const std::function<bool(const std::filesystem::path&)>& make);

}  // namespace tabulix::storage
