#pragma once

#include "toolkit/TFDirectory.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// A fanotify group with one mark on a whole file system, reporting for each
// change the folder's file handle and the entry's name. Needs CAP_SYS_ADMIN
// (and CAP_DAC_READ_SEARCH to turn handles back into paths); without it, or
// on a file system that cannot report handles, it is not open. Closing it
// (the destructor) removes the mark.
class TFFanotify {
public:
    enum class Changes {
        all,     // creations, deletions, moves, writes and attribute changes
        entries, // what changes a folder's entries: creations, deletions, moves
    };
    // Marks the file system that holds path: its changes, of folders as of files.
    explicit TFFanotify(const std::string& path, Changes changes = Changes::all);
    ~TFFanotify();
    TFFanotify(const TFFanotify&) = delete;
    TFFanotify& operator=(const TFFanotify&) = delete;

    bool isOpen() const { return _fd >= 0; }
    // Takes the mark off and lets go of the file system, the group kept
    // for mark(): a group closed with its mark on waits for the kernel to
    // retire the mark (often for milliseconds), one without it does not.
    void unmark();
    // Marks the file system that holds path (again), dropping the events
    // of the mark before; false when it cannot (error() tells why).
    bool mark(const std::string& path);
    // The device of the folder marked (0 when none is).
    uint64_t markedDevice() const { return _device; }
    int error() const { return _error; }
    int fileDescriptor() const { return _fd; }

    struct Event {
        uint64_t mask;
        bool overflow;           // events were lost
        std::string_view folder; // the folder's handle: its type, then its bytes
        std::string_view name;
    };
    // Reads the events waiting, up to about maxBytes of them; returns how
    // many were read (0 when none wait).
    size_t readEvents(const std::function<void(const Event&)>& each, size_t maxBytes = 1 << 20);

    // Where the folder a handle names is now (as this process sees the
    // marked mount), or empty when it is gone.
    std::string pathOfHandle(std::string_view folder) const;
    // The folder a handle names, examined (error ESTALE when it is gone).
    TFDirectory::Examination examineHandle(std::string_view folder) const;
    // Whether every change to the file system that holds path is made
    // through this kernel, and so reported: not one shared over a network,
    // served by a process (FUSE) or layered over others.
    static bool seesEveryChange(const std::string& path);
    // The handle of the folder at path, as events report it (empty on failure).
    static std::string handleOfPath(const std::string& path);

private:
    int _fd = -1;
    int _mountFd = -1; // while marked
    int _error = 0;
    uint64_t _mask = 0;
    uint64_t _device = 0;
};
