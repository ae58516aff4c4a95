#include "toolkit/TFDirectory.h"

#include "toolkit/TFTreeWalker.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <linux/magic.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
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
// chunk(buffer, bytes) sees each read whole before its entries are visited.
template <class Visit, class Chunk = void (*)(const char*, long)>
bool forEachRawEntry(
    int fd, Visit&& visit, bool endsShort = false, Chunk&& chunk = [](const char*, long) {}) {
    if (fd < 0)
        return false;
    // On the heap, made at a thread's first listing: as a thread's own
    // variable it would be zeroed, in memory, by every thread started.
    constexpr size_t kBufferBytes = 64 * 1024;
    static thread_local std::unique_ptr<char[]> owned;
    if (!owned)
        owned.reset(new char[kBufferBytes]); // aligned for any record
    char* const buffer = owned.get();
    for (;;) {
        long n = ::syscall(SYS_getdents64, fd, buffer, kBufferBytes);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        chunk(buffer, n);
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
        if (endsShort && size_t(n) + kLongestDirent <= kBufferBytes)
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
        result.error = int16_t(errno);
        return result;
    }
    result.type = typeOfMode(sx.stx_mode);
    result.mode = sx.stx_mode;
    result.allocatedBytes = static_cast<uint64_t>(sx.stx_blocks) * 512u;
    result.apparentSize = static_cast<uint64_t>(sx.stx_size);
    result.device = static_cast<uint64_t>(makedev(sx.stx_dev_major, sx.stx_dev_minor));
    result.inode = static_cast<uint64_t>(sx.stx_ino);
    result.linkCount = sx.stx_nlink;
    result.modified = sx.stx_mtime.tv_sec;
    result.modifiedNanoseconds = sx.stx_mtime.tv_nsec;
    result.owner = sx.stx_uid;
    result.group = sx.stx_gid;
    if (sx.stx_mask & (STATX_MNT_ID | STATX_MNT_ID_UNIQUE))
        result.mountId = sx.stx_mnt_id;
    return result;
}

void noteError(int* firstError, int error) {
    if (firstError && *firstError == 0)
        *firstError = error;
}

// Empties and removes one folder tree, as the tree walker reads it: every
// entry that is not a folder is unlinked where it is met (links included,
// never followed), and a folder is removed when the walk leaves it. The
// walk stays on the mount of the folder the tree lies in; a folder on
// another mount, or one that cannot be read, is only tried as an empty one.
class TreeRemoval : public TFTreeWalker::Sink {
public:
    explicit TreeRemoval(int* firstError) : _firstError(firstError) {}
    bool complete() const { return _complete; }

    bool entry(const TFTreeWalker::Folder& folder, const char* name,
               const TFDirectory::Examination& ex, bool enterable) override {
        if (ex.error) {
            if (ex.error != ENOENT)
                fail(ex.error);
            return false;
        }
        if (!ex.isDirectory()) {
            if (::unlinkat(folder.dir.fd(), name, 0) != 0 && errno != ENOENT)
                fail(errno);
            return false;
        }
        if (!enterable) {
            fail(EXDEV);
            removeEmptied(folder.dir, name);
        }
        return enterable;
    }
    bool enterFolder(const TFTreeWalker::Folder&) override { return true; }
    void leaveFolder(const TFTreeWalker::Folder& folder, const TFDirectory* parent) override {
        if (parent)
            removeEmptied(*parent, folder.name.c_str());
        else
            fail(ESTALE);
    }
    void readError(const TFTreeWalker::Folder* parent, const char* name, int error) override {
        fail(error);
        if (parent && name)
            removeEmptied(parent->dir, name);
    }

private:
    void fail(int error) {
        _complete = false;
        noteError(_firstError, error);
    }
    void removeEmptied(const TFDirectory& parent, const char* name) {
        if (::unlinkat(parent.fd(), name, AT_REMOVEDIR) != 0 && errno != ENOENT)
            fail(errno);
    }

    int* _firstError;
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

TFDirectory TFDirectory::openPath(const std::string& path) {
    return _open(path, false);
}

TFDirectory TFDirectory::openPathFollowingLinks(const std::string& path) {
    return _open(path, true);
}

TFDirectory TFDirectory::_open(const std::string& path, bool followLast) {
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
        endsShort,
        [&](const char* buffer, long n) {
            // Room for the whole read at once, not grown name by name: a
            // record's length bounds its name's.
            size_t names = 0, nameBytes = 0;
            for (long pos = 0; pos < n; ++names) {
                const auto* entry = reinterpret_cast<const Dirent64*>(buffer + pos);
                pos += entry->d_reclen;
                nameBytes += entry->d_reclen - offsetof(Dirent64, d_name);
            }
            auto room = [](auto& v, size_t more) { // grown as push_back would, at most once
                if (v.capacity() - v.size() < more)
                    v.reserve(std::max(v.size() + more, 2 * v.capacity()));
            };
            room(offsets, std::min(names, limit));
            room(bytes, nameBytes);
        });
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

TFDirectory::Examination TFDirectory::examineDescriptor(int fd) {
    return examineAt(fd, "", AT_EMPTY_PATH);
}

TFDirectory::Examination TFDirectory::examinePath(const std::string& path) {
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

int TFDirectory::readWholeFile(const std::string& path, std::string& out, size_t most) {
    constexpr int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd;
    if (path.size() < PATH_MAX) {
        fd = ::open(path.c_str(), flags);
    } else { // too long for one call: opened inside its folder
        std::string folderPath, last;
        splitPath(path, folderPath, last);
        const TFDirectory folder = openPathFollowingLinks(folderPath);
        if (!folder.isOpen())
            return folder.error();
        fd = ::openat(folder.fd(), last.c_str(), flags);
    }
    if (fd < 0)
        return errno;
    char buffer[65536];
    for (size_t read = 0; read < most;) {
        ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, most - read));
        if (n > 0) {
            read += static_cast<size_t>(n);
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
    TreeRemoval removal(firstError);
    TFTreeWalker::Options options;
    options.stayOnMount = true;
    TFTreeWalker(removal, options).walkEntry(*this, name);
    return removal.complete();
}

TFDirectory TFDirectory::failed(int error) {
    TFDirectory result;
    result._error = error;
    return result;
}

TFDirectory TFDirectory::duplicate() const {
    TFDirectory result;
    result._fd = _fd >= 0 ? ::openat(_fd, ".", kDirFlags) : -1;
    result._error = result._fd >= 0 ? 0 : _fd >= 0 ? errno : (_error ? _error : EBADF);
    return result;
}

int TFDirectory::removeFileAtPath(const std::string& path) {
    return std::remove(path.c_str()) == 0 ? 0 : errno;
}

int TFDirectory::renamePath(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int TFDirectory::makeFolders(const std::string& path) {
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return error.value();
}

int TFDirectory::accessPath(const std::string& path, Access how) {
    static constexpr int modes[] = {F_OK, R_OK, W_OK, X_OK};
    return ::access(path.c_str(), modes[static_cast<int>(how)]) == 0 ? 0 : errno;
}

TFDirectory::Examination TFDirectory::examinePathFollowingLinks(const std::string& path) {
    return examineAt(AT_FDCWD, path.c_str(), 0);
}

uint64_t TFDirectory::availableBytes() const {
    struct statvfs fs {};
    return ::fstatvfs(_fd, &fs) == 0 ? uint64_t(fs.f_bavail) * fs.f_frsize : 0;
}

void TFDirectory::syncFileSystem() const {
    ::syncfs(_fd);
}
