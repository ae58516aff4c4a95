#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// An open directory descriptor (RAII) and the system calls the model makes
// relative to it. Names are raw bytes; nothing here decodes them. Every call
// that could follow a symbolic link by accident is made with O_NOFOLLOW or
// AT_SYMLINK_NOFOLLOW.
class HLNDirectory {
public:
    HLNDirectory() = default;
    explicit HLNDirectory(int fd) : _fd(fd) {}
    HLNDirectory(HLNDirectory&& o) noexcept : _fd(o._fd), _error(o._error) { o._fd = -1; }
    HLNDirectory& operator=(HLNDirectory&& o) noexcept;
    HLNDirectory(const HLNDirectory&) = delete;
    HLNDirectory& operator=(const HLNDirectory&) = delete;
    ~HLNDirectory();

    // Opens a folder given by path. Paths longer than the system limit are
    // opened one component at a time. The last component is never followed
    // when it is a symbolic link. On failure fd() is -1 and error() the errno.
    static HLNDirectory openPath(const std::string& path);
    // Opens the folder `name` inside this one, never following a link.
    HLNDirectory openChild(const char* name) const;

    bool isOpen() const { return _fd >= 0; }
    int fd() const { return _fd; }
    int error() const { return _error; }

    // Appends every entry name but "." and "..", each NUL-terminated, to
    // bytes, and its start to offsets; false when the listing failed.
    bool readNames(std::vector<char>& bytes, std::vector<uint32_t>& offsets) const;

    // Splits a path into its folder and last component for fstatat; "/" and
    // paths without a slash are handled. Trailing slashes are kept on the
    // last component so that they mean what they mean to lstat.
    static void splitPath(const std::string& path, std::string& folder, std::string& last);

    // Removes `name` inside this folder and everything below it. Never
    // follows a link, never enters another mount (mount id from statx, or
    // st_dev where the kernel has none), goes on after errors. Answers true
    // when everything was removed; the first error is left in *firstError.
    bool removeTree(const char* name, int* firstError = nullptr) const;
    // Removes the entry at path (the last component is never followed).
    static bool removePath(const std::string& path, int* firstError = nullptr);

private:
    int _fd = -1;
    int _error = 0;
};
