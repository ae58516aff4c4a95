#pragma once

#include "toolkit/TFDirectory.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

// One entry opened for reading (RAII), a file or a folder, for the calls
// made on the entry itself: its file system, its extents, its first bytes.
// A link is never followed; a FIFO or a device never makes the opening
// wait. Any thread.
class TFFile {
public:
    TFFile() = default;
    TFFile(TFFile&& o) noexcept : _fd(o._fd), _error(o._error) { o._fd = -1; }
    TFFile& operator=(TFFile&& o) noexcept;
    TFFile(const TFFile&) = delete;
    TFFile& operator=(const TFFile&) = delete;
    ~TFFile();

    // The entry at path; on failure fd() is -1 and error() the errno.
    static TFFile openPath(const std::string& path);
    // The entry `name` inside folder; with directory, only a folder opens.
    static TFFile openEntry(const TFDirectory& folder, const char* name, bool directory);
    // A descriptor naming the entry at path, links followed, without
    // opening its contents (O_PATH): to hand the entry to another process.
    static TFFile openReference(const std::string& path);
    // The file at path, to read what it holds: links are followed (a file
    // named by a link is the file meant), and with waitless a FIFO does
    // not make the opening wait.
    static TFFile openContents(const std::string& path, bool waitless = false);

    // What the open entry is; error is the errno when it could not be asked.
    struct Facts {
        int error = 0;
        bool regular = false;
        bool folder = false;
        uint64_t bytes = 0;
    };
    Facts facts() const;

    bool isOpen() const { return _fd >= 0; }
    int fd() const { return _fd; }
    int error() const { return _error; }

    // One read from where the last ended: the bytes read, 0 at the end, or
    // -1 with errno set.
    ssize_t readSome(char* buffer, size_t size) const;

private:
    static TFFile _opened(int fd);

    int _fd = -1;
    int _error = 0;
};
