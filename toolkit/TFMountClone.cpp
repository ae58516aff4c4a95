#include "toolkit/TFMountClone.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// Not in glibc 2.36's headers; the number is the same on every architecture.
#ifndef SYS_open_tree
constexpr long SYS_open_tree = 428;
#endif
constexpr unsigned kOpenTreeClone = 1;           // OPEN_TREE_CLONE
constexpr unsigned kOpenTreeCloexec = O_CLOEXEC; // OPEN_TREE_CLOEXEC
} // namespace

TFMountClone TFMountClone::cloneMountAt(const std::string& mountPoint) {
    TFMountClone clone;
    const long tree =
        ::syscall(SYS_open_tree, AT_FDCWD, mountPoint.c_str(), kOpenTreeClone | kOpenTreeCloexec);
    if (tree < 0) {
        clone._error = errno;
        return clone;
    }
    // The descriptor is an O_PATH one: the copy's top is opened through it
    // as a folder to list. Both are kept for as long as the copy is used.
    clone._tree = TFDirectory(static_cast<int>(tree));
    clone._root = clone._tree.openChild(".");
    if (!clone._root.isOpen())
        clone._error = clone._root.error();
    return clone;
}

TFDirectory TFMountClone::openFolder(const std::string& relativePath) const {
    TFDirectory folder = _root.openChild(".");
    size_t start = 0;
    while (folder.isOpen() && start < relativePath.size()) {
        size_t end = relativePath.find('/', start);
        if (end == std::string::npos)
            end = relativePath.size();
        if (end > start) {
            const std::string component = relativePath.substr(start, end - start);
            folder = folder.openChild(component.c_str());
        }
        start = end + 1;
    }
    return folder;
}
