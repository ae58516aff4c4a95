#include "toolkit/TFTrash.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
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

// The entry of trashFolder/files that is the moved entry (its device and
// inode, which a rename keeps), among those named like it.
std::string trashedNameOf(const std::string& trashFolder, const std::string& path,
                          const struct stat& before) {
    const std::string base = path.substr(path.find_last_of('/') + 1);
    const std::string files = trashFolder + "/files/";
    auto same = [&](const std::string& name) {
        struct stat st {};
        return ::lstat((files + name).c_str(), &st) == 0 && st.st_dev == before.st_dev &&
               st.st_ino == before.st_ino;
    };
    if (same(base))
        return base;
    // A name taken already gets a number: "name.2.ext" or "name.2".
    DIR* dir = ::opendir((trashFolder + "/files").c_str());
    if (!dir)
        return {};
    std::string found;
    const std::string stem = base.substr(0, base.find('.', 1));
    while (struct dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.compare(0, stem.size(), stem) == 0 && same(name)) {
            found = name;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit((unsigned char)text[i + 1]) &&
            std::isxdigit((unsigned char)text[i + 2])) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The Path of a .trashinfo, absolute: a volume trash may keep it relative
// to the volume's top folder ($topdir/.Trash-$uid or $topdir/.Trash/$uid).
std::string originalPathOf(const std::string& trashFolder, const std::string& infoFile) {
    std::ifstream in(infoFile, std::ios::binary);
    std::string line, path;
    bool section = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[')
            section = line == "[Trash Info]";
        else if (section && line.compare(0, 5, "Path=") == 0)
            path = percentDecoded(line.substr(5));
    }
    if (path.empty() || path[0] == '/')
        return path;
    std::string top = parentOf(trashFolder);
    if (top.size() > 7 && top.compare(top.size() - 7, 7, "/.Trash") == 0)
        top = parentOf(top);
    return (top == "/" ? "" : top) + "/" + path;
}

} // namespace

Restoration restoreFromTrash(const std::string& trashFolder, const std::string& trashedName) {
    Restoration r;
    const std::string info = trashFolder + "/info/" + trashedName + ".trashinfo";
    const std::string from = trashFolder + "/files/" + trashedName;
    r.restoredPath = originalPathOf(trashFolder, info);
    if (trashedName.empty() || r.restoredPath.empty()) {
        r.reason = "the trash no longer says where it came from";
        return r;
    }
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) {
        r.reason = "it is no longer in the trash";
        return r;
    }
    // Never over anything: renameat2 refuses an existing entry itself.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, r.restoredPath.c_str(), RENAME_NOREPLACE) !=
        0) {
        const int error = errno;
        if (error == EEXIST)
            r.reason = "something else is in its place now";
        else if (error == ENOENT)
            r.reason = "the folder it was in is gone";
        else
            r.reason = std::strerror(error);
        return r;
    }
    ::unlink(info.c_str());
    r.restored = true;
    return r;
}

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
    struct stat before {};
    const bool known = ::lstat(path.c_str(), &before) == 0;
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
    if (known && !outcome.trashFolder.empty())
        outcome.trashedName = trashedNameOf(outcome.trashFolder, path, before);
    return outcome;
}

} // namespace TFTrash
