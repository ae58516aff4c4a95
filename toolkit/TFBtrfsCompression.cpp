#include "toolkit/TFBtrfsCompression.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <linux/btrfs.h>
#include <linux/btrfs_tree.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

// btrfs_compression_type: 1 zlib, 2 lzo, 3 zstd.
constexpr uint32_t kZstd = 3;
constexpr size_t kSearchBuffer = 64 * 1024;

struct Search {
    std::vector<uint64_t> storage =
        std::vector<uint64_t>((sizeof(btrfs_ioctl_search_args_v2) + kSearchBuffer) / 8 + 1);
    btrfs_ioctl_search_args_v2* args() {
        return reinterpret_cast<btrfs_ioctl_search_args_v2*>(storage.data());
    }
    // The items of one inode and key type in the subvolume that holds fd.
    void aim(uint64_t inode, uint32_t type) {
        btrfs_ioctl_search_key& key = args()->key;
        std::memset(&key, 0, sizeof key);
        key.tree_id = 0;
        key.min_objectid = key.max_objectid = inode;
        key.min_type = key.max_type = type;
        key.max_offset = UINT64_MAX;
        key.max_transid = UINT64_MAX;
    }
    int run(int fd, uint32_t items) {
        args()->key.nr_items = items;
        args()->buf_size = kSearchBuffer;
        return ::ioctl(fd, BTRFS_IOC_TREE_SEARCH_V2, args()) == 0 ? 0 : errno;
    }
};

} // namespace

namespace TFBtrfsCompression {

bool isBtrfs(int fd) {
    struct statfs fs {};
    return ::fstatfs(fd, &fs) == 0 && static_cast<uint32_t>(fs.f_type) == BTRFS_SUPER_MAGIC;
}

std::string Reading::explanation() const {
    if (error == 0)
        return {};
    if (error == EPERM || error == EACCES)
        return "the compressed size on btrfs can only be read by the administrator: run it "
               "again as root (for instance with sudo)";
    if (error == ENOTTY || error == EOPNOTSUPP)
        return "the file system does not compress files";
    return std::strerror(error);
}

bool CountedExtents::firstTime(uint64_t diskBytenr) {
    if (seen.count(diskBytenr))
        return false;
    if (seen.size() >= bound)
        approximate = true;
    else
        seen.insert(diskBytenr);
    return true;
}

int canRead(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return errno;
    Search search;
    search.aim(st.st_ino, BTRFS_INODE_ITEM_KEY);
    return search.run(fd, 1);
}

bool addFileAt(int folderFd, const char* name, Reading& reading, CountedExtents& counted) {
    const int fd =
        ::openat(folderFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        reading.error = errno;
        return false;
    }
    const bool read = addFile(fd, reading, counted);
    ::close(fd);
    return read;
}

bool addFile(int fd, Reading& reading, CountedExtents& counted) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        reading.error = errno;
        return false;
    }
    if (!S_ISREG(st.st_mode))
        return true;
    Search search;
    search.aim(st.st_ino, BTRFS_EXTENT_DATA_KEY);
    btrfs_ioctl_search_key& key = search.args()->key;
    for (;;) {
        if (const int error = search.run(fd, 4096)) {
            reading.error = error;
            return false;
        }
        if (key.nr_items == 0)
            break;
        const char* at = reinterpret_cast<const char*>(search.args()->buf);
        uint64_t lastOffset = 0;
        for (uint32_t i = 0; i < key.nr_items; ++i) {
            btrfs_ioctl_search_header header;
            std::memcpy(&header, at, sizeof header);
            const char* item = at + sizeof header;
            at = item + header.len;
            lastOffset = header.offset;
            if (header.type != BTRFS_EXTENT_DATA_KEY || header.objectid != st.st_ino)
                continue;
            uint8_t type = 0;
            uint64_t ramBytes = 0;
            std::memcpy(&type, item + offsetof(btrfs_file_extent_item, type), 1);
            std::memcpy(&ramBytes, item + offsetof(btrfs_file_extent_item, ram_bytes), 8);
            if (type == BTRFS_FILE_EXTENT_INLINE) {
                // Inline data sits in the item itself, compressed or not.
                reading.onDisk += header.len - offsetof(btrfs_file_extent_item, disk_bytenr);
                reading.uncompressed += ramBytes;
                continue;
            }
            uint64_t diskBytenr = 0, diskBytes = 0;
            std::memcpy(&diskBytenr, item + offsetof(btrfs_file_extent_item, disk_bytenr), 8);
            std::memcpy(&diskBytes, item + offsetof(btrfs_file_extent_item, disk_num_bytes), 8);
            if (diskBytenr == 0 || !counted.firstTime(diskBytenr))
                continue; // a hole, or an extent counted already
            reading.onDisk += diskBytes;
            reading.uncompressed += ramBytes;
        }
        if (lastOffset == UINT64_MAX)
            break;
        key.min_offset = lastOffset + 1;
    }
    return true;
}

int recompress(int fd) {
    btrfs_ioctl_defrag_range_args range{};
    range.start = 0;
    range.len = UINT64_MAX;
    range.flags = BTRFS_DEFRAG_RANGE_COMPRESS | BTRFS_DEFRAG_RANGE_START_IO;
    range.compress_type = kZstd;
    if (::ioctl(fd, BTRFS_IOC_DEFRAG_RANGE, &range) != 0)
        return errno == ENOTTY ? EOPNOTSUPP : errno;
    return 0;
}

int markCompressed(int fd) {
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
        return errno == ENOTTY ? EOPNOTSUPP : errno;
    if (!(flags & FS_COMPR_FL)) {
        flags = (flags | FS_COMPR_FL) & ~FS_NOCOMP_FL;
        if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0)
            return errno;
    }
    // The flag alone compresses with the mount's choice (zlib when it names
    // none); the property names zstd. Not every caller may set it.
    ::fsetxattr(fd, "btrfs.compression", "zstd", 4, 0);
    return 0;
}

bool isMarkedCompressed(int fd) {
    int flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_COMPR_FL);
}

} // namespace TFBtrfsCompression
