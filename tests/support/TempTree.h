#pragma once

#include <string>
#include <sys/stat.h>

// A real folder under /tmp (or $TMPDIR), removed with everything in it when
// the fixture goes. Paths are byte strings, names may be any bytes.
class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& path() const { return _path; }
    std::string operator/(const std::string& relative) const { return _path + "/" + relative; }

    // Creates folders (with parents) and files relative to the root.
    std::string mkdir(const std::string& relative) const;
    // A file with `bytes` bytes written (fully allocated).
    std::string writeFile(const std::string& relative, size_t bytes) const;
    std::string symlink(const std::string& target, const std::string& relative) const;

    static struct stat lstatOf(const std::string& path);
    // Allocated bytes of a path as du -sx -B1 counts them (each file once) (independent walk).
    static unsigned long long duBytes(const std::string& path);

private:
    std::string _path;
};

// True when the tests run as root (mounts possible, modes ignored).
bool runningAsRoot();
