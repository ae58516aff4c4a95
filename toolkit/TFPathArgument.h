#pragma once

#include "toolkit/TFDirectory.h"

#include <cstdio>
#include <string>

// A PATH given on the command line, taken the one way every command takes
// it. Trailing slashes are dropped, but "docs/" where docs is a link means
// the folder it names, as for du and the kernel: the slash stays, and every
// open and examination of path() then goes through the link; after anything
// else but a folder a trailing slash is ENOTDIR, as to the kernel. A path that
// cannot be examined (missing, a name longer than the file system allows,
// a folder on the way that cannot be searched) is an error, said as
// "hollin: PATH: <reason>".
class TFPathArgument {
public:
    explicit TFPathArgument(std::string given);

    // The bytes as given, for messages and lines that echo them.
    const std::string& given() const { return _given; }
    // The path to read: never follows a link in its last component, except
    // through the slash kept after a link.
    const std::string& path() const { return _path; }
    // What path() names, its last link not followed; error() is its errno.
    const TFDirectory::Examination& examination() const { return _examination; }
    int error() const { return _examination.error; }

    // Writes "hollin: PATH: <reason>" to to when the path is in error;
    // answers whether it was.
    bool reportError(FILE* to = stderr) const;
    static void report(const std::string& path, int error, FILE* to = stderr);

    // An absolute path to the same entry, with no trailing slash: relative
    // paths joined to the working folder, and a link given with a slash
    // resolved to its folder (links along the way otherwise kept as named).
    std::string absolutePath() const;
    // The absolute path as the kernel resolves it: "//" and "." gone, each
    // ".." the parent of what is really there, every link along the way
    // followed but a last component kept as named. Empty when it cannot
    // be resolved (error() then says why).
    std::string kernelPath() const;

private:
    std::string _given;
    std::string _path;
    TFDirectory::Examination _examination;
};
