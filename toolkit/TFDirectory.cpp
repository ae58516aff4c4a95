#include "toolkit/TFDirectory.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <type_traits>
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

// The longest record getdents64 writes: a name of NAME_MAX bytes.
constexpr size_t kLongestDirent = (offsetof(Dirent64, d_name) + NAME_MAX + 1 + 7) & ~size_t(7);

// Calls visit(name, d_type) for every entry but "." and "..", straight
// from getdents64; false when the listing failed. The buffer is reused per
// thread, so visit must not list another folder. endsShort: a read that
// left room for another record was the last (see listingsEndShort).
template <class Visit> bool forEachRawEntry(int fd, Visit&& visit, bool endsShort = false) {
    if (fd < 0)
        return false;
    alignas(8) static thread_local char buffer[64 * 1024];
    for (;;) {
        long n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        for (long pos = 0; pos < n;) {
            auto* entry = reinterpret_cast<Dirent64*>(buffer + pos);
            pos += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            if constexpr (std::is_same_v<decltype(visit(name, entry->d_type)), bool>) {
                if (!visit(name, entry->d_type))
                    return false;
            } else {
                visit(name, entry->d_type);
            }
        }
        if (endsShort && size_t(n) + kLongestDirent <= sizeof buffer)
            return true;
    }
}

TFDirectory::EntryType typeOfMode(mode_t mode) {
    if (S_ISDIR(mode))
        return TFDirectory::EntryType::directory;
    if (S_ISLNK(mode))
        return TFDirectory::EntryType::link;
    if (S_ISREG(mode))
        return TFDirectory::EntryType::regular;
    return TFDirectory::EntryType::other;
}

// Not in Debian 12's headers: the mount's id, never reused while the
// system runs (kernels from 6.8; older ones answer STATX_MNT_ID).
#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x00004000U
#endif

TFDirectory::Examination examineAt(int dirfd, const char* name, int flags) {
    TFDirectory::Examination result;
    // statx costs what fstatat does and names the mount too.
    struct statx sx {};
    if (::statx(dirfd, name, flags | AT_NO_AUTOMOUNT,
                STATX_BASIC_STATS | STATX_MNT_ID | STATX_MNT_ID_UNIQUE, &sx) != 0) {
        result.error = errno;
        return result;
    }
    result.type = typeOfMode(sx.stx_mode);
    result.mode = sx.stx_mode;
    result.allocatedBytes = static_cast<uint64_t>(sx.stx_blocks) * 512u;
    result.apparentSize = static_cast<uint64_t>(sx.stx_size);
    result.device = static_cast<uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor));
    result.inode = static_cast<uint64_t>(sx.stx_ino);
    result.linkCount = static_cast<uint64_t>(sx.stx_nlink);
    if (sx.stx_mask & (STATX_MNT_ID | STATX_MNT_ID_UNIQUE))
        result.mountId = sx.stx_mnt_id;
    return result;
}

// Which mount an open file lies on. The mount id tells bind mounts of the
// same file system apart; kernels without it give the device number.
struct MountIdentity {
    uint64_t id = 0;
    bool isMountId = false;
    bool operator==(const MountIdentity&) const = default;
};

bool mountIdentity(int dirfd, const char* name, int flags, MountIdentity& out,
                   uint64_t* ino = nullptr) {
    struct statx sx {};
    if (::statx(dirfd, name, flags | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_INO | STATX_MNT_ID, &sx) !=
        0)
        return false;
    if (sx.stx_mask & STATX_MNT_ID) {
        out.id = sx.stx_mnt_id;
        out.isMountId = true;
    } else {
        out.id = (uint64_t(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
        out.isMountId = false;
    }
    if (ino)
        *ino = sx.stx_ino;
    return true;
}

void noteError(int* firstError, int error) {
    if (firstError && *firstError == 0)
        *firstError = error;
}

// Empties and removes one folder tree below an open folder, depth-first,
// with one level per folder being emptied. Descriptors of levels far above
// the current one are closed so that depth is not bounded by the
// descriptor limit; such a level is reopened from its nearest open ancestor
// and checked to be the same folder (same inode, same mount). A folder is
// entered only through an O_NOFOLLOW|O_DIRECTORY open on the top's mount;
// anything else (links included) is unlinked as it is.
class TreeRemoval {
public:
    TreeRemoval(const TFDirectory& top, int* firstError) : _top(top), _firstError(firstError) {}

    bool run(const char* name) {
        if (!mountIdentity(_top.fd(), "", AT_EMPTY_PATH, _home)) {
            fail(errno);
            return false;
        }
        if (!unlinkUnlessFolder(_top.fd(), name))
            return _complete;
        if (!enter(name)) {
            // Not a folder we may enter (another mount, or unreadable): try
            // removing it as an empty folder, which fails unless it is.
            removeEmptiedFolder(0, name);
            return _complete;
        }
        while (!_levels.empty())
            step();
        return _complete;
    }

private:
    struct Level {
        TFDirectory dir;
        std::string name; // inside the level above
        uint64_t ino = 0;
        std::vector<char> bytes;
        std::vector<uint32_t> offsets;
        size_t next = 0;
    };
    static constexpr size_t kOpenLevels = 64;

    void fail(int error) {
        _complete = false;
        noteError(_firstError, error);
    }

    // levels[i - 1] is the folder at depth i; depth 0 is the top.
    int fdOf(size_t depth) const { return depth == 0 ? _top.fd() : _levels[depth - 1].dir.fd(); }

    // One entry of the deepest level, or the end of that level.
    void step() {
        size_t depth = _levels.size();
        Level& level = _levels.back();
        if (!level.dir.isOpen() && !reopen(depth)) {
            fail(ESTALE);
            _levels.pop_back();
            return;
        }
        if (level.next < level.offsets.size()) {
            const char* entry = level.bytes.data() + level.offsets[level.next++];
            if (unlinkUnlessFolder(level.dir.fd(), entry) && !enter(entry))
                removeEmptiedFolder(depth, entry);
            return;
        }
        std::string finished = std::move(level.name);
        _levels.pop_back();
        if (!_levels.empty() && !_levels.back().dir.isOpen() && !reopen(_levels.size())) {
            fail(ESTALE);
            return;
        }
        removeEmptiedFolder(_levels.size(), finished.c_str());
    }

    // Unlinks an entry that is not a folder; answers true for a folder.
    bool unlinkUnlessFolder(int dirfd, const char* entry) {
        struct stat st {};
        if (::fstatat(dirfd, entry, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                fail(errno);
            return false;
        }
        if (S_ISDIR(st.st_mode))
            return true;
        if (::unlinkat(dirfd, entry, 0) != 0 && errno != ENOENT)
            fail(errno);
        return false;
    }

    // Enters `entry` of the folder at the current depth when it is a folder
    // on the top's mount; answers false when it is not to be entered.
    bool enter(const char* entry) {
        TFDirectory dir(::openat(fdOf(_levels.size()), entry, kDirFlags));
        if (!dir.isOpen())
            return false;
        MountIdentity where;
        uint64_t ino = 0;
        if (!mountIdentity(dir.fd(), "", AT_EMPTY_PATH, where, &ino))
            return false;
        if (!(where == _home)) {
            fail(EXDEV);
            return false;
        }
        Level level;
        level.name = entry;
        level.ino = ino;
        level.dir = std::move(dir);
        if (!level.dir.readNames(level.bytes, level.offsets))
            fail(errno ? errno : EIO);
        _levels.push_back(std::move(level));
        if (_levels.size() > kOpenLevels)
            _levels[_levels.size() - 1 - kOpenLevels].dir = TFDirectory();
        return true;
    }

    // Reopens the levels down to `depth` from the nearest open one.
    bool reopen(size_t depth) {
        size_t open = depth;
        while (open > 0 && !_levels[open - 1].dir.isOpen())
            --open;
        for (size_t d = open + 1; d <= depth; ++d) {
            Level& level = _levels[d - 1];
            TFDirectory dir(::openat(fdOf(d - 1), level.name.c_str(), kDirFlags));
            MountIdentity where;
            uint64_t ino = 0;
            if (!dir.isOpen() || !mountIdentity(dir.fd(), "", AT_EMPTY_PATH, where, &ino) ||
                !(where == _home) || ino != level.ino)
                return false;
            level.dir = std::move(dir);
            // Keep only the last levels of the walk open, so that the next
            // climbs find their folders open without a walk of their own.
            if (d > kOpenLevels)
                _levels[d - kOpenLevels - 1].dir = TFDirectory();
        }
        return true;
    }

    void removeEmptiedFolder(size_t depth, const char* entry) {
        if (::unlinkat(fdOf(depth), entry, AT_REMOVEDIR) != 0 && errno != ENOENT)
            fail(errno);
    }

    const TFDirectory& _top;
    int* _firstError;
    MountIdentity _home;
    std::vector<Level> _levels;
    bool _complete = true;
};

} // namespace

bool TFDirectory::Examination::exists() const {
    return error != ENOENT && error != ENOTDIR;
}

TFDirectory& TFDirectory::operator=(TFDirectory&& o) noexcept {
    if (this != &o) {
        if (_fd >= 0)
            ::close(_fd);
        _fd = o._fd;
        _error = o._error;
        o._fd = -1;
    }
    return *this;
}

TFDirectory::~TFDirectory() {
    if (_fd >= 0)
        ::close(_fd);
}

// ---------------------------------------------------------------- working folder

static_assert(AT_FDCWD == -100, "kWorkingFolder names the working folder");

namespace {
// The working folder a thread had when it took its own, to go back to.
thread_local int workingFolderTaken = -1;
// Whether the thread is still in the folder it entered last: it goes back
// only before a relative path is used, so that a walk entering one folder
// after another changes its working folder once a folder, not twice.
thread_local bool awayFromWorkingFolder = false;

void backForRelativePath(const std::string& path) {
    if (awayFromWorkingFolder && (path.empty() || path[0] != '/'))
        TFDirectory::leaveEnteredFolder();
}
} // namespace

void TFDirectory::reserveDescriptors(int count) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < rlim_t(count))
        count = static_cast<int>(limit.rlim_cur);
    const int any = ::open("/", O_PATH | O_CLOEXEC);
    if (any < 0)
        return;
    // The table grows to hold the lowest free descriptor at or above this,
    // and never shrinks.
    const int high = count > 1 ? ::fcntl(any, F_DUPFD_CLOEXEC, count - 1) : -1;
    if (high >= 0)
        ::close(high);
    ::close(any);
}

bool TFDirectory::takeOwnWorkingFolder() {
    if (workingFolderTaken >= 0)
        return true;
    if (::unshare(CLONE_FS) != 0)
        return false;
    workingFolderTaken = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return workingFolderTaken >= 0;
}

void TFDirectory::leaveEnteredFolder() {
    if (!awayFromWorkingFolder)
        return;
    awayFromWorkingFolder = false;
    // A thread that cannot go back enters nothing again.
    if (::fchdir(workingFolderTaken) != 0) {
        ::close(workingFolderTaken);
        workingFolderTaken = -1;
    }
}

TFDirectory::Entered::Entered(const TFDirectory& folder) : _folder(folder) {
    if (workingFolderTaken >= 0 && folder._fd >= 0 && ::fchdir(folder._fd) == 0) {
        awayFromWorkingFolder = true;
        _working._fd = kWorkingFolder;
        _entered = true;
    }
}

TFDirectory TFDirectory::openPath(const std::string& path) {
    return _open(path, false);
}

TFDirectory TFDirectory::openPathFollowingLinks(const std::string& path) {
    return _open(path, true);
}

TFDirectory TFDirectory::_open(const std::string& path, bool followLast) {
    backForRelativePath(path);
    TFDirectory result;
    if (path.empty()) {
        result._error = ENOENT;
        return result;
    }
    const int lastFlags = followLast ? (kDirFlags & ~O_NOFOLLOW) : kDirFlags;
    if (path.size() < PATH_MAX) {
        result._fd = ::open(path.c_str(), lastFlags);
        if (result._fd < 0)
            result._error = errno;
        return result;
    }
    // Too long for one call: walk it one component at a time. Components
    // above the last may be links (the user's own path may pass through
    // one).
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
        if (slash == std::string::npos)
            slash = path.size();
        if (slash == start) {
            ++start;
            continue;
        }
        std::string component = path.substr(start, slash - start);
        bool last = path.find_first_not_of('/', slash) == std::string::npos;
        int flags = last ? lastFlags : (kDirFlags & ~O_NOFOLLOW);
        int next = ::openat(current, component.c_str(), flags);
        int error = errno;
        if (current != AT_FDCWD)
            ::close(current);
        if (next < 0) {
            result._error = error;
            return result;
        }
        current = next;
        start = slash + 1;
    }
    if (current == AT_FDCWD)
        current = ::open(".", kDirFlags);
    result._fd = current;
    if (current < 0)
        result._error = errno;
    return result;
}

TFDirectory TFDirectory::openChild(const char* name) const {
    TFDirectory result;
    if (!isOpen()) {
        result._error = _error ? _error : EBADF;
        return result;
    }
    result._fd = ::openat(_fd, name, kDirFlags);
    if (result._fd < 0)
        result._error = errno;
    return result;
}

void TFDirectory::rewind() const {
    if (_fd >= 0)
        ::lseek(_fd, 0, SEEK_SET);
}

bool TFDirectory::readNames(std::vector<char>& bytes, std::vector<uint32_t>& offsets, size_t limit,
                            size_t* folders, bool endsShort) const {
    return forEachRawEntry(
        _fd,
        [&](const char* name, unsigned char type) {
            if (folders && type == DT_DIR)
                ++*folders;
            offsets.push_back(static_cast<uint32_t>(bytes.size()));
            bytes.insert(bytes.end(), name, name + std::strlen(name) + 1);
            return offsets.size() <= limit;
        },
        endsShort);
}

bool TFDirectory::listingsEndShort(uint64_t mountId, uint64_t device) const {
    // The mount this thread asked of last, and its answer. Keyed by mount
    // and device together: a device number alone is reused by the next
    // tmpfs or FUSE mount after an unmount, and so is an older kernel's
    // mount id.
    thread_local uint64_t knownMount = 0, knownDevice = 0;
    thread_local bool endsShortThere = false;
    if (mountId && mountId == knownMount && device == knownDevice)
        return endsShortThere;
    // Their readdir fills the buffer until the folder's end. Others may not
    // (FUSE hands over what one request brought), so they are read on to an
    // empty read.
    struct statfs fs {};
    if (_fd < 0 || ::fstatfs(_fd, &fs) != 0)
        return false;
    const bool endsShort = fs.f_type == EXT4_SUPER_MAGIC || fs.f_type == TMPFS_MAGIC;
    if (mountId) {
        knownMount = mountId;
        knownDevice = device;
        endsShortThere = endsShort;
    }
    return endsShort;
}

bool TFDirectory::readEntries(std::vector<Entry>& entries) const {
    std::vector<size_t> untyped;
    bool listed = forEachRawEntry(_fd, [&](const char* name, unsigned char type) {
        EntryType kind = EntryType::other;
        switch (type) {
        case DT_DIR:
            kind = EntryType::directory;
            break;
        case DT_LNK:
            kind = EntryType::link;
            break;
        case DT_REG:
            kind = EntryType::regular;
            break;
        case DT_UNKNOWN:
            untyped.push_back(entries.size());
            break;
        }
        entries.push_back({name, kind});
    });
    for (size_t i : untyped)
        entries[i].type = examine(entries[i].name.c_str()).type;
    return listed;
}

TFDirectory::Examination TFDirectory::_examine(const char* name, int flags) const {
    if (!isOpen()) {
        Examination result;
        result.error = _error ? _error : EBADF;
        return result;
    }
    return examineAt(_fd, name, flags);
}

TFDirectory::Examination TFDirectory::examine(const char* name) const {
    return _examine(name, AT_SYMLINK_NOFOLLOW);
}

TFDirectory::Examination TFDirectory::examineFollowingLink(const char* name) const {
    return _examine(name, 0);
}

TFDirectory::Examination TFDirectory::examinePath(const std::string& path) {
    backForRelativePath(path);
    if (path.empty()) {
        Examination none;
        none.error = ENOENT;
        return none;
    }
    if (path.size() < PATH_MAX) {
        // In one call: a folder that may be searched but not read still
        // lets its entries be examined.
        return examineAt(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW);
    }
    std::string folder, last;
    splitPath(path, folder, last);
    return openPath(folder).examine(last.c_str());
}

int TFDirectory::readWholeFile(const std::string& path, std::string& out) {
    backForRelativePath(path);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            int saved = errno;
            ::close(fd);
            return saved;
        }
    }
    ::close(fd);
    return 0;
}

std::optional<std::string> TFDirectory::resolvedPathFollowingLinks(const std::string& path) {
    backForRelativePath(path);
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return std::nullopt;
    std::string result(real);
    std::free(real);
    return result;
}

void TFDirectory::splitPath(const std::string& path, std::string& folder, std::string& last) {
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

bool TFDirectory::removePath(const std::string& path, int* firstError) {
    backForRelativePath(path);
    std::string folder, last;
    splitPath(path, folder, last);
    while (last.size() > 1 && last.back() == '/')
        last.pop_back();
    if (last == "." || last == "..") {
        noteError(firstError, EINVAL);
        return false;
    }
    TFDirectory parent = openPath(folder);
    if (!parent.isOpen()) {
        noteError(firstError, parent.error());
        return false;
    }
    return parent.removeTree(last.c_str(), firstError);
}

bool TFDirectory::removeTree(const char* name, int* firstError) const {
    return TreeRemoval(*this, firstError).run(name);
}
