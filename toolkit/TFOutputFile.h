#pragma once

#include <string>

// The file a command writes its result to, made so that a failure destroys
// nothing. A regular file, or a name not yet taken, is written to a
// temporary file beside it that commit() renames over it: the file is
// either the old one untouched or the whole new result. A symbolic link is
// followed to the file it names, which is replaced; the link stays. Anything
// else (a FIFO, a terminal, a device) is written in place, and nothing but
// the writing itself truncates or removes it. "-" is the standard output.
class TFOutputFile {
public:
    // Opens the output; on failure fd() is -1 and error() the errno.
    explicit TFOutputFile(const std::string& path);
    // Removes the temporary file unless it was committed.
    ~TFOutputFile();
    TFOutputFile(const TFOutputFile&) = delete;
    TFOutputFile& operator=(const TFOutputFile&) = delete;

    int fd() const { return _fd; }
    int error() const { return _error; }
    bool isStandardOutput() const { return _path == "-"; }

    // Writes all of bytes; answers 0 or the errno.
    int write(const char* bytes, size_t size);
    // Writes all of bytes to the descriptor fd, going on after a signal
    // interrupts a write; answers 0 or the errno of the write that failed.
    static int writeAll(int fd, const char* bytes, size_t size);
    // Makes what was written the file: flushed to the disk and renamed over
    // it (a file written in place is closed). Answers 0 or the errno; on
    // failure the old file stays as it was.
    int commit();

private:
    void _discard();

    std::string _path;
    std::string _target;    // the file replaced, links followed
    std::string _temporary; // empty when written in place
    int _fd = -1;
    int _error = 0;
};
