#pragma once

#include "toolkit/TFDirectory.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Tar archives compressed with zstd (NAME.tar.zst, as tar --zstd reads
// them), through libarchive: writing one entry and everything beneath it,
// and reading an archive back to check it against the files it was made of.
// Names are raw bytes. Links are stored as links, never followed; a tree
// is not left for another mount. Any thread; nothing here is shared but
// the Control the caller hands in.
namespace TFArchive {

// Read while the work runs, from another thread: bytes of file contents
// done so far; cancel ends the work at the next block.
struct Control {
    std::atomic<uint64_t> bytesDone{0};
    std::atomic<bool> cancel{false};
};

struct Outcome {
    bool ok = false;
    bool cancelled = false;
    int error = 0;      // the errno of the failure, when there was one
    std::string reason; // why it failed, as a phrase naming the entry
    uint64_t files = 0; // entries written or checked
};

// What an archive holds, in order, as written.
struct Member {
    std::string path; // relative: `name`, then `name/...`
    TFDirectory::EntryType type = TFDirectory::EntryType::other;
    uint64_t size = 0;
    std::string linkTarget;
};

// Writes the entry `name` of folder, and everything beneath it, to the
// open, empty file archiveFd. An entry that is not a regular file, a folder
// or a link (a device, a socket), one that cannot be read, one that
// changes size while read, or a mount beneath: the archive is not
// complete, and the outcome says which. The members written go to members.
Outcome write(const TFDirectory& folder, const std::string& name, int archiveFd,
              std::vector<Member>& members, Control* control = nullptr);

// Reads the archive at archiveFd from its start and checks that it holds
// exactly members, in order, each regular file's contents the same as the
// file's now under folder (read again, byte for byte).
Outcome verify(const TFDirectory& folder, int archiveFd, const std::vector<Member>& members,
               Control* control = nullptr);

// The bytes the data compresses to with zstd at the level archives use.
uint64_t compressedSize(const char* data, size_t size);

} // namespace TFArchive
