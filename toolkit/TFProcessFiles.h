#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

// What running processes hold open, read from /proc/PID/fd, and what they
// hold mapped after closing it (/proc/PID/maps). Processes come
// and go while they are read: one that ends meanwhile is skipped, never an
// error. Without privilege only the user's own processes can be read; the
// survey says whether every process was. Any thread.
class TFProcessFiles {
public:
    struct OpenFile {
        pid_t pid = 0;
        std::string processName; // /proc/PID/comm, without its newline
        std::string path;        // the name it had, without " (deleted)"
        uint64_t device = 0;
        uint64_t inode = 0;
        uint64_t allocatedBytes = 0; // st_blocks * 512
        uint64_t apparentSize = 0;
    };
    struct Survey {
        std::vector<OpenFile> files; // by PID, then descriptor
        size_t processesRead = 0;
        // Processes whose descriptors could not be read (not ours, without
        // privilege); 0 means every process was covered.
        size_t processesUnreadable = 0;
        bool everyProcess() const { return processesUnreadable == 0; }
    };

    // Every descriptor of every readable process that names a file on
    // `device` with no name left (a link count of 0), each descriptor once;
    // then each such file a process only maps, once for the process (its
    // size is read through /proc/PID/map_files, which needs privilege).
    static Survey deletedFilesOnDevice(uint64_t device);
};
