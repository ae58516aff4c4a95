#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Accounts for every byte of one drive: what its folders show, and what
// they do not (files deleted while a process holds them open, what lies
// beneath the mounts inside it, what the file system keeps for itself, the
// blocks reserved for the administrator) and what is still free. The lines
// add up to the drive's size. Nothing here changes anything: the covered
// folders are read through a detached copy of the drive's mount, which no
// other process sees. Any thread but the main one for a whole account (it
// walks the drive).
class HLNUnseenSpace {
public:
    struct DeletedFile {
        pid_t pid = 0; // the first process found holding it
        std::string processName;
        std::string path; // the name it had
        uint64_t bytes = 0;
        std::vector<pid_t> otherHolders; // other processes holding it too
    };
    struct HiddenMount {
        std::string mountPoint;
        bool measured = false;
        int error = 0;      // why not, when not measured (EPERM: no privilege)
        uint64_t bytes = 0; // what lies beneath, the covered folder included
    };
    struct Line {
        std::string category; // counted, deleted-open, hidden, unreadable, ...
        uint64_t bytes = 0;
        std::string detail;
    };

    struct Account {
        std::string mountPoint;
        uint64_t size = 0;
        uint64_t used = 0;
        uint64_t counted = 0;
        uint64_t deletedOpen = 0;
        uint64_t hidden = 0;
        // Used less everything counted above, and the free blocks the
        // kernel holds back for the file system (ext4's reserved clusters).
        uint64_t filesystem = 0;
        uint64_t keptFree = 0; // that last part of it
        uint64_t reserved = 0; // for the administrator only
        uint64_t available = 0;
        // The folders' count came from an open window: no folder was read
        // here, so the unreadable ones are not known.
        bool countedFromWindow = false;
        // What the folders and the rest showed came to more than is used
        // (a window counts a hard-linked file once a name): filesystem is 0.
        uint64_t countedBeyondUsed = 0;
        std::vector<DeletedFile> deletedFiles;
        bool everyProcess = false; // else only the user's own processes
        std::vector<HiddenMount> hiddenMounts;
        std::vector<std::string> unreadableFolders;

        // What is used but shown by no folder.
        uint64_t unseen() const { return deletedOpen + hidden + filesystem; }
        // One line an item, as `hollin --unseen` prints them before its total.
        std::vector<Line> lines() const;
    };

    struct Options {
        // The folders' total from an open window; sized here when absent.
        std::optional<uint64_t> counted;
        // Set from another thread to stop: the answer is then nullopt.
        const std::atomic<bool>* cancel = nullptr;
    };

    // The account of the drive mounted at mountPoint; nullopt with *error
    // set when it is not a mount point, cannot be read, or was cancelled.
    static std::optional<Account> accountForMount(const std::string& mountPoint,
                                                  const Options& options, std::string* error);

    // What a user without the privilege runs to have hidden space measured.
    static std::string commandToMeasure(const std::string& mountPoint);
    // "not measured: needs administrator rights", or the error's text.
    static std::string notMeasuredText(const HiddenMount& mount);

    // The unseen bytes of the last account made of the drive at
    // mountPoint in this process, if any. Any thread.
    static std::optional<uint64_t> lastUnseenBytes(const std::string& mountPoint);
};
