#include "model/HLNDirectory.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;

struct Dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

// Which mount an open file lies on. The mount id tells bind mounts of the
// same file system apart; kernels without it give the device number.
struct MountIdentity {
    uint64_t id = 0;
    bool isMountId = false;
    bool operator==(const MountIdentity&) const = default;
};

bool mountIdentity(int dirfd, const char* name, int flags, MountIdentity& out, unsigned* mode = nullptr,
                   uint64_t* ino = nullptr) {
    struct statx sx {};
    if (::statx(dirfd, name, flags | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_INO | STATX_MNT_ID, &sx) != 0)
        return false;
    if (sx.stx_mask & STATX_MNT_ID) {
        out.id = sx.stx_mnt_id;
        out.isMountId = true;
    } else {
        out.id = (uint64_t(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
        out.isMountId = false;
    }
    if (mode) *mode = sx.stx_mode;
    if (ino) *ino = sx.stx_ino;
    return true;
}

void noteError(int* firstError, int error) {
    if (firstError && *firstError == 0) *firstError = error;
}

} // namespace

HLNDirectory& HLNDirectory::operator=(HLNDirectory&& o) noexcept {
    if (this != &o) {
        if (_fd >= 0) ::close(_fd);
        _fd = o._fd;
        _error = o._error;
        o._fd = -1;
    }
    return *this;
}

HLNDirectory::~HLNDirectory() {
    if (_fd >= 0) ::close(_fd);
}

HLNDirectory HLNDirectory::openPath(const std::string& path) {
    HLNDirectory result;
    if (path.empty()) {
        result._error = ENOENT;
        return result;
    }
    if (path.size() < PATH_MAX) {
        result._fd = ::open(path.c_str(), kDirFlags);
        if (result._fd < 0) result._error = errno;
        return result;
    }
    // Too long for one call: walk it one component at a time. Components
    // above the last may be links (the user's own path may pass through
    // one); the last is never followed.
    size_t start = 0;
    int current = AT_FDCWD;
    if (path[0] == '/') {
        current = ::open("/", kDirFlags);
        if (current < 0) {
            result._error = errno;
            return result;
        }
    }
    while (start < path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        if (slash == start) {
            ++start;
            continue;
        }
        std::string component = path.substr(start, slash - start);
        bool last = path.find_first_not_of('/', slash) == std::string::npos;
        int flags = last ? kDirFlags : (kDirFlags & ~O_NOFOLLOW);
        int next = ::openat(current, component.c_str(), flags);
        int error = errno;
        if (current != AT_FDCWD) ::close(current);
        if (next < 0) {
            result._error = error;
            return result;
        }
        current = next;
        start = slash + 1;
    }
    if (current == AT_FDCWD) current = ::open(".", kDirFlags);
    result._fd = current;
    if (current < 0) result._error = errno;
    return result;
}

HLNDirectory HLNDirectory::openChild(const char* name) const {
    HLNDirectory result;
    result._fd = ::openat(_fd, name, kDirFlags);
    if (result._fd < 0) result._error = errno;
    return result;
}

bool HLNDirectory::readNames(std::vector<char>& bytes, std::vector<uint32_t>& offsets) const {
    if (_fd < 0) return false;
    alignas(8) static thread_local char buffer[64 * 1024];
    for (;;) {
        long n = ::syscall(SYS_getdents64, _fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        for (long pos = 0; pos < n;) {
            auto* entry = reinterpret_cast<Dirent64*>(buffer + pos);
            pos += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            offsets.push_back(static_cast<uint32_t>(bytes.size()));
            bytes.insert(bytes.end(), name, name + std::strlen(name) + 1);
        }
    }
}

void HLNDirectory::splitPath(const std::string& path, std::string& folder, std::string& last) {
    size_t end = path.find_last_not_of('/');
    if (end == std::string::npos) { // "/" or "//"
        folder = "/";
        last = ".";
        return;
    }
    size_t slash = path.rfind('/', end);
    if (slash == std::string::npos) {
        folder = ".";
        last = path;
        return;
    }
    last = path.substr(slash + 1);
    size_t folderEnd = path.find_last_not_of('/', slash);
    folder = folderEnd == std::string::npos ? "/" : path.substr(0, folderEnd + 1);
}

bool HLNDirectory::removePath(const std::string& path, int* firstError) {
    std::string folder, last;
    splitPath(path, folder, last);
    while (last.size() > 1 && last.back() == '/') last.pop_back();
    if (last == "." || last == "..") {
        noteError(firstError, EINVAL);
        return false;
    }
    HLNDirectory parent = openPath(folder);
    if (!parent.isOpen()) {
        noteError(firstError, parent.error());
        return false;
    }
    return parent.removeTree(last.c_str(), firstError);
}

bool HLNDirectory::removeTree(const char* name, int* firstError) const {
    MountIdentity home;
    if (!mountIdentity(_fd, "", AT_EMPTY_PATH, home)) {
        noteError(firstError, errno);
        return false;
    }
    // One level per folder being emptied. Descriptors of levels far above
    // the current one are closed so that depth is not bounded by the
    // descriptor limit; such a level is reopened from its nearest open
    // ancestor and checked to be the same folder (same inode, same mount).
    struct Level {
        HLNDirectory dir;
        std::string name; // inside the level above
        uint64_t ino = 0;
        std::vector<char> bytes;
        std::vector<uint32_t> offsets;
        size_t next = 0;
    };
    constexpr size_t kOpenLevels = 64;
    std::vector<Level> levels;
    bool complete = true;

    auto fail = [&](int error) {
        complete = false;
        noteError(firstError, error);
    };
    auto fdOf = [&](size_t i) { return i == 0 ? _fd : levels[i - 1].dir.fd(); };
    // levels[i - 1] is the folder at depth i; depth 0 is this folder.
    auto reopen = [&](size_t depth) -> bool {
        size_t open = depth;
        while (open > 0 && !levels[open - 1].dir.isOpen()) --open;
        for (size_t d = open + 1; d <= depth; ++d) {
            Level& level = levels[d - 1];
            HLNDirectory dir(::openat(fdOf(d - 1), level.name.c_str(), kDirFlags));
            MountIdentity where;
            uint64_t ino = 0;
            if (!dir.isOpen() || !mountIdentity(dir.fd(), "", AT_EMPTY_PATH, where, nullptr, &ino) ||
                !(where == home) || ino != level.ino)
                return false;
            level.dir = std::move(dir);
            // Keep only the last levels of the walk open, so that the next
            // climbs find their folders open without a walk of their own.
            if (d > kOpenLevels) levels[d - kOpenLevels - 1].dir = HLNDirectory();
        }
        return true;
    };
    // Enters `entry` of the folder at the current depth when it is a folder
    // on our mount; answers false when it is not to be entered.
    auto enter = [&](const char* entry) -> bool {
        HLNDirectory dir(::openat(fdOf(levels.size()), entry, kDirFlags));
        if (!dir.isOpen()) return false;
        MountIdentity where;
        uint64_t ino = 0;
        if (!mountIdentity(dir.fd(), "", AT_EMPTY_PATH, where, nullptr, &ino)) return false;
        if (!(where == home)) {
            fail(EXDEV);
            return false;
        }
        Level level;
        level.name = entry;
        level.ino = ino;
        level.dir = std::move(dir);
        if (!level.dir.readNames(level.bytes, level.offsets)) fail(errno ? errno : EIO);
        levels.push_back(std::move(level));
        if (levels.size() > kOpenLevels) levels[levels.size() - 1 - kOpenLevels].dir = HLNDirectory();
        return true;
    };
    auto removeEntry = [&](int dirfd, const char* entry) {
        // A folder is entered only through an O_NOFOLLOW|O_DIRECTORY open;
        // anything else (links included) is unlinked as it is.
        struct stat st {};
        if (::fstatat(dirfd, entry, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) fail(errno);
            return false;
        }
        if (S_ISDIR(st.st_mode)) return true;
        if (::unlinkat(dirfd, entry, 0) != 0 && errno != ENOENT) fail(errno);
        return false;
    };

    if (removeEntry(_fd, name)) {
        if (!enter(name)) {
            // Not a folder we may enter (another mount, or unreadable): try
            // removing it as an empty folder, which fails unless it is.
            if (::unlinkat(_fd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) fail(errno);
            return complete;
        }
    } else {
        return complete;
    }
    while (!levels.empty()) {
        size_t depth = levels.size();
        Level& level = levels.back();
        if (!level.dir.isOpen() && !reopen(depth)) {
            fail(ESTALE);
            levels.pop_back();
            continue;
        }
        if (level.next < level.offsets.size()) {
            const char* entry = level.bytes.data() + level.offsets[level.next++];
            if (removeEntry(level.dir.fd(), entry) && !enter(entry)) {
                if (::unlinkat(fdOf(depth), entry, AT_REMOVEDIR) != 0 && errno != ENOENT) fail(errno);
            }
            continue;
        }
        std::string finished = std::move(level.name);
        levels.pop_back();
        if (!levels.empty() && !levels.back().dir.isOpen() && !reopen(levels.size())) {
            fail(ESTALE);
            continue;
        }
        if (::unlinkat(fdOf(levels.size()), finished.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
            fail(errno);
    }
    return complete;
}
