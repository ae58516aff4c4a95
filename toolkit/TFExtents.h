#pragma once

#include "toolkit/TFDirectory.h"

#include <cstdint>
#include <vector>

// Where a regular file's bytes lie on its device, as the kernel's FIEMAP
// tells: each extent's place and length, and whether the file system marks
// it shared with another file or a snapshot (reflinked copies,
// deduplicated twins, snapshots on btrfs and XFS). Any thread.
class TFExtents {
public:
    struct Extent {
        uint64_t physical = 0;
        uint64_t length = 0;
        bool shared = false;
    };
    // The extents of the regular file `name` inside folder (a link is not
    // followed). An extent without a place of its own yet (delayed
    // allocation, data kept inline in the metadata) is never shared. 0, or
    // the errno: EOPNOTSUPP where the file system cannot say.
    static int extentsOf(const TFDirectory& folder, const char* name, std::vector<Extent>& out);
    // Whether the open file or folder lies on a file system that shares
    // blocks between files (btrfs, XFS, bcachefs), by its statfs type.
    static bool fileSystemMayShare(int fd);
};
