#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>

// Compression on btrfs: what a file takes on disk once compressed, and
// recompressing a file in place. Any thread; nothing here is shared.
namespace TFBtrfsCompression {

// Whether the open file or folder lies on btrfs (statfs), the one file
// system whose compressed size Hollin reads and whose files it recompresses.
bool isBtrfs(int fd);

// What a file takes on disk after compression, read from its EXTENT_DATA
// items in the subvolume's tree. Reading that tree needs the administrator
// (CAP_SYS_ADMIN): the kernel offers no other way. Without it error is
// EPERM and explanation() says how to get the figure.
struct Reading {
    int error = 0;
    uint64_t onDisk = 0;       // bytes of the file's extents on disk, compressed or not
    uint64_t uncompressed = 0; // the same extents' bytes once uncompressed
    std::string explanation() const;
};

// The extents a line has counted already (their disk byte numbers), so that
// an extent that several files or several places of a file hold (reflinks,
// snapshots, a partly rewritten extent) counts once, as the file system
// holds it once. It remembers at most `bound` extents; past that, unseen
// extents count in full and the figure is marked approximate (too high,
// never too low).
struct CountedExtents {
    std::unordered_set<uint64_t> seen;
    size_t bound = size_t(1) << 22;
    bool approximate = false;
    // Whether the extent at this disk byte number is to be counted now.
    bool firstTime(uint64_t diskBytenr);
};

// Adds the open file's extents that counted has not seen to reading (and
// to counted). Folders and other entries have none. False, with
// reading.error set, when the tree cannot be read.
bool addFile(int fd, Reading& reading, CountedExtents& counted);
// The same for the entry of that name in the open folder, opened without
// following a link (and closed again).
bool addFileAt(int folderFd, const char* name, Reading& reading, CountedExtents& counted);

// Whether the administrator's reading is available on this file system:
// 0, or the errno of trying (EPERM without the privilege).
int canRead(int fd);

// Rewrites the whole open regular file compressed with zstd (the
// defragment ioctl with compression: the file system's own mechanism;
// nothing is copied) and starts writing it out. Needs write permission on
// the file or the administrator. 0 or the errno.
int recompress(int fd);

// Marks the open file or folder so that what is written to it later is
// compressed with zstd (FS_COMPR_FL, and the btrfs.compression property
// where the caller may set it). 0 or the errno of setting the flag; a file
// that must not be copied on write (nodatacow) cannot take it: EINVAL.
int markCompressed(int fd);
// Whether the flag is set.
bool isMarkedCompressed(int fd);

} // namespace TFBtrfsCompression
