#pragma once

#include "toolkit/TFDirectory.h"

#include <string>

// A detached copy of the one mount at a mount point, without the mounts
// stacked on it (open_tree with OPEN_TREE_CLONE and no AT_RECURSIVE): the
// folders reached through it are those of that file system alone,
// including what other mounts cover. Nothing is attached anywhere and
// nothing changes for any other process; the copy goes when it is closed.
// Needs CAP_SYS_ADMIN: without it error() is EPERM. Any thread.
class TFMountClone {
public:
    static TFMountClone cloneMountAt(const std::string& mountPoint);

    bool isOpen() const { return _root.fd() >= 0; }
    int error() const { return _error; }
    // A folder of the copy by its path below the mount point ("" for the
    // top), one component at a time, never following a link.
    TFDirectory openFolder(const std::string& relativePath) const;

private:
    TFDirectory _tree; // open_tree's descriptor: the copy itself
    TFDirectory _root; // the copy's top, opened as a folder
    int _error = 0;
};
