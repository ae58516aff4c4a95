#include "toolkit/TFExtents.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <unistd.h>

int TFExtents::extentsOf(const TFDirectory& folder, const char* name, std::vector<Extent>& out) {
    out.clear();
    const int fd =
        ::openat(folder.fd(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    constexpr unsigned kBatch = 256;
    const size_t bytes = sizeof(struct fiemap) + kBatch * sizeof(struct fiemap_extent);
    std::unique_ptr<char[]> room(new char[bytes]);
    auto* map = reinterpret_cast<struct fiemap*>(room.get());
    uint64_t start = 0;
    int error = 0;
    for (bool last = false; !last;) {
        std::memset(map, 0, bytes);
        map->fm_start = start;
        map->fm_length = FIEMAP_MAX_OFFSET - start;
        map->fm_extent_count = kBatch;
        if (::ioctl(fd, FS_IOC_FIEMAP, map) != 0) {
            error = errno == ENOTTY ? EOPNOTSUPP : errno;
            break;
        }
        if (map->fm_mapped_extents == 0)
            break;
        for (unsigned i = 0; i < map->fm_mapped_extents; ++i) {
            const struct fiemap_extent& e = map->fm_extents[i];
            const bool placed =
                !(e.fe_flags & (FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                                FIEMAP_EXTENT_DATA_INLINE | FIEMAP_EXTENT_NOT_ALIGNED));
            out.push_back(
                {e.fe_physical, e.fe_length, placed && (e.fe_flags & FIEMAP_EXTENT_SHARED) != 0});
            last = (e.fe_flags & FIEMAP_EXTENT_LAST) != 0;
            start = e.fe_logical + e.fe_length;
        }
    }
    ::close(fd);
    return error;
}

bool TFExtents::fileSystemMayShare(int fd) {
    constexpr uint32_t kBtrfs = 0x9123683e, kXfs = 0x58465342, kBcachefs = 0xca451a4e;
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0)
        return false;
    const auto type = static_cast<uint32_t>(fs.f_type);
    return type == kBtrfs || type == kXfs || type == kBcachefs;
}
