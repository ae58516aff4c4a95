#pragma once

#include <string>

// Which file system holds a path, in a form that stays the same across
// mounts and reboots where the file system allows: its type and its id as
// statfs gives them (ext4, XFS and btrfs derive the id from their UUID, a
// btrfs subvolume's from its own too); where the file system has no id
// (tmpfs on older kernels), its device number, which a new mount changes.
// Empty when the path cannot be examined.
namespace TFFileSystemIdentity {
std::string ofPath(const std::string& path);
}
