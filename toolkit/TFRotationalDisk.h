#pragma once

#include <cstdint>
#include <string>

// Whether a file system lies on a spinning disk, as the kernel tells
// (/sys/dev/block/MAJ:MIN/queue/rotational): there, several threads
// reading folders at once make the disk seek between them rather than
// read faster.
//
// A partition answers for its disk; a device-mapper or RAID device is
// spinning when any device below it is; a loop device answers for the
// disk its backing file lies on; a file system whose device number names
// no block device (btrfs, and file systems over several devices) answers
// for the device its mount names as its source. Anything else (tmpfs, a
// network file system, a device the kernel says nothing of) is not
// spinning.
class TFRotationalDisk {
public:
    // device: st_dev of any file on the file system. Remembered for each
    // device after the first answer (the system calls are a few reads of
    // /sys).
    static bool isRotational(uint64_t device);
    // The same, read anew, for the block device at sysfs folder `block`
    // (e.g. /sys/class/block/sda1/).
    static bool isRotationalBlock(const std::string& block);

private:
    static bool _read(uint64_t device, int depth);
    static bool _readBlock(const std::string& block, int depth);
};
