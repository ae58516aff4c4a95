#pragma once

#include "toolkit/TFDirectory.h"

#include <cstdint>
#include <string>

// A file made in a folder under a hidden temporary name, ".BASE.PID-N.partial",
// and given its real name only once it is whole, never over an entry already
// there. Unless it was named, it is removed when this ends. The folder must
// stay open while this lives. One thread at a time.
class TFPartialFile {
public:
    // Creates the file for reading and writing; on failure fd() is -1 and
    // error() the errno.
    TFPartialFile(const TFDirectory& folder, const std::string& base);
    ~TFPartialFile();
    TFPartialFile(const TFPartialFile&) = delete;
    TFPartialFile& operator=(const TFPartialFile&) = delete;

    int fd() const { return _fd; }
    int error() const { return _error; }

    // Flushes what was written to the disk; 0 or the errno.
    int flush();
    // The bytes its blocks take on disk (st_blocks * 512); 0 when unknown.
    uint64_t allocatedBytes() const;
    // Closes it and gives it the name `name` in its folder unless an entry
    // has that name already: 0, EEXIST (try another), or another errno.
    int giveName(const std::string& name);
    // Closes and removes it, under the name it was given if it was named.
    void discard();

private:
    const TFDirectory& _folder;
    std::string _name; // the temporary name, then the given one
    bool _named = false;
    int _fd = -1;
    int _error = 0;
};
