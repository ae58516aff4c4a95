#pragma once

#include <cstdint>
#include <string>

struct statvfs;

// The block counts of the file system holding a path (statvfs), in bytes,
// with what the kernel holds back of its free blocks for itself. Any
// thread; a network file system may make the call wait.
struct TFVolumeFigures {
    int error = 0;          // the errno when the figures could not be read
    uint64_t size = 0;      // f_blocks * f_frsize
    uint64_t free = 0;      // f_bfree * f_frsize
    uint64_t available = 0; // f_bavail * f_frsize: what an ordinary user may write
    // Of free - available, what no one may write, the administrator
    // included: ext4 keeps clusters back for its own metadata
    // (/sys/fs/ext4/DEVICE/reserved_clusters) beside the administrator's
    // reserve. 0 where the file system keeps nothing so.
    uint64_t keptByKernel = 0;

    uint64_t used() const { return size - (free < size ? free : size); }
    // The blocks only the administrator may write: tune2fs's "Reserved
    // block count" times the block size on ext2/3/4.
    uint64_t reservedForAdministrator() const;

    // device: the st_dev of the path, which names the sysfs folder.
    static TFVolumeFigures figuresAtPath(const std::string& path, uint64_t device);
    // The file system's statvfs() at path, as the call gives it: 0, or -1
    // with errno set. For readers that bound how long they wait for it.
    static int statisticsAtPath(const char* path, struct statvfs* result);
};
