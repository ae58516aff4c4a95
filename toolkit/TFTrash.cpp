#include "toolkit/TFTrash.h"

#include <gio/gio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace TFTrash {

namespace {

std::string parentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The mount point of the volume holding folder: the highest folder above it
// on the same device (symbolic links in the path resolved first, as GIO
// does).
std::string topDirectoryOf(const std::string& folder) {
    char* resolved = ::realpath(folder.c_str(), nullptr);
    if (!resolved)
        return {};
    std::string dir = resolved;
    ::free(resolved);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0)
        return {};
    while (dir != "/") {
        const std::string up = parentOf(dir);
        struct stat above {};
        if (::lstat(up.c_str(), &above) != 0 || above.st_dev != st.st_dev)
            break;
        dir = up;
    }
    return dir;
}

bool isOwnFolder(const std::string& path, uid_t uid) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid;
}

// After a move: the volume trash GIO used, by its own order of preference.
std::string volumeTrashFolder(const std::string& parent) {
    const std::string top = topDirectoryOf(parent);
    if (top.empty())
        return {};
    const std::string base = top == "/" ? "" : top;
    const uid_t uid = ::geteuid();
    const std::string shared = base + "/.Trash";
    struct stat st {};
    if (::lstat(shared.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX)) {
        const std::string mine = shared + "/" + std::to_string(uid);
        if (isOwnFolder(mine, uid))
            return mine;
    }
    const std::string own = base + "/.Trash-" + std::to_string(uid);
    return isOwnFolder(own, uid) ? own : std::string();
}

std::string reasonFor(const std::string& path, const GError* error) {
    struct statvfs volume {};
    if (::statvfs(parentOf(path).c_str(), &volume) == 0 && (volume.f_flag & ST_RDONLY))
        return "the disk is read-only";
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND))
        return "it no longer exists";
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED))
        return "permission was denied";
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED))
        return "its disk has no trash that can be used";
    return error && error->message ? error->message : "it could not be moved";
}

} // namespace

Outcome moveToTrash(const std::string& path) {
    Outcome outcome;
    // Which trash GIO takes is decided before the move, while the entry is
    // there to examine: the home trash when the entry (a folder) or its
    // folder (anything else) lies on the home folder's device.
    const std::string parent = parentOf(path);
    bool home = false;
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) == 0) {
        struct stat device = entry;
        if (!S_ISDIR(entry.st_mode))
            ::stat(parent.c_str(), &device);
        struct stat homeFolder {};
        home = ::stat(g_get_home_dir(), &homeFolder) == 0 && homeFolder.st_dev == device.st_dev;
    }

    // The local file system's own GFile, never the default VFS's wrapper:
    // no desktop daemon is asked anything, on any thread.
    GFile* file = g_vfs_get_file_for_path(g_vfs_get_local(), path.c_str());
    GError* error = nullptr;
    outcome.moved = g_file_trash(file, nullptr, &error);
    g_object_unref(file);
    if (!outcome.moved) {
        outcome.vanished = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_FOUND);
        outcome.reason = reasonFor(path, error);
        g_clear_error(&error);
        return outcome;
    }
    outcome.trashFolder =
        home ? std::string(g_get_user_data_dir()) + "/Trash" : volumeTrashFolder(parent);
    return outcome;
}

} // namespace TFTrash
