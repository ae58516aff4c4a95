#include "toolkit/TFFanotify.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr uint64_t kEntries = FAN_CREATE | FAN_DELETE | FAN_MOVED_FROM | FAN_MOVED_TO | FAN_ONDIR;
constexpr uint64_t kChanges = kEntries | FAN_MODIFY | FAN_ATTRIB;

// A handle as events carry it (see handleKey), for open_by_handle_at.
std::vector<char> handleOf(std::string_view folder) {
    std::vector<char> room(sizeof(file_handle) + folder.size());
    auto* handle = reinterpret_cast<file_handle*>(room.data());
    handle->handle_bytes = unsigned(folder.size() - sizeof(int));
    std::memcpy(&handle->handle_type, folder.data(), sizeof(int));
    std::memcpy(handle->f_handle, folder.data() + sizeof(int), handle->handle_bytes);
    return room;
}

// A handle as events carry it: its type, then its bytes.
std::string handleKey(const file_handle& h) {
    std::string key(sizeof(int) + h.handle_bytes, '\0');
    std::memcpy(key.data(), &h.handle_type, sizeof(int));
    std::memcpy(key.data() + sizeof(int), h.f_handle, h.handle_bytes);
    return key;
}
} // namespace

TFFanotify::TFFanotify(const std::string& path, Changes changes)
    : _mask(changes == Changes::all ? kChanges : kEntries) {
    _fd = fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME | FAN_CLOEXEC | FAN_NONBLOCK,
                        O_RDONLY | O_LARGEFILE);
    if (_fd < 0) {
        _error = errno;
        return;
    }
    if (!mark(path)) {
        ::close(_fd);
        _fd = -1;
    }
}

bool TFFanotify::mark(const std::string& path) {
    if (_fd < 0)
        return false;
    unmark();
    while (readEvents([](const Event&) {})) {
    }
    _mountFd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (_mountFd < 0 ||
        fanotify_mark(_fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, _mask, _mountFd, nullptr) != 0) {
        _error = errno;
        if (_mountFd >= 0)
            ::close(_mountFd);
        _mountFd = -1;
        return false;
    }
    const TFDirectory::Examination marked = TFDirectory::examineDescriptor(_mountFd);
    _device = marked.error ? 0 : marked.device;
    return true;
}

void TFFanotify::unmark() {
    if (_mountFd < 0)
        return;
    if (_fd >= 0)
        fanotify_mark(_fd, FAN_MARK_REMOVE | FAN_MARK_FILESYSTEM, _mask, _mountFd, nullptr);
    ::close(_mountFd);
    _mountFd = -1;
    _device = 0;
}

TFFanotify::~TFFanotify() {
    if (_fd >= 0)
        ::close(_fd);
    if (_mountFd >= 0)
        ::close(_mountFd);
}

size_t TFFanotify::readEvents(const std::function<void(const Event&)>& each, size_t maxBytes) {
    if (_fd < 0)
        return 0;
    alignas(fanotify_event_metadata) char buffer[64 * 1024];
    size_t events = 0, bytes = 0;
    while (bytes < maxBytes) {
        const ssize_t got = ::read(_fd, buffer, sizeof buffer);
        if (got <= 0)
            break; // EAGAIN: nothing more waits
        bytes += size_t(got);
        // Events after one with a name start only 4-byte aligned: each
        // header is copied out before it is read.
        for (size_t at = 0; size_t(got) - at >= sizeof(fanotify_event_metadata);) {
            fanotify_event_metadata header;
            std::memcpy(&header, buffer + at, sizeof header);
            if (header.event_len < sizeof header || header.event_len > size_t(got) - at)
                break;
            const fanotify_event_metadata* meta = &header;
            const char* base = buffer + at;
            at += header.event_len;
            if (meta->vers != FANOTIFY_METADATA_VERSION)
                continue;
            if (meta->fd >= 0)
                ::close(meta->fd); // not asked for; closed should one come
            ++events;
            if (meta->mask & FAN_Q_OVERFLOW) {
                each(Event{meta->mask, true, {}, {}});
                continue;
            }
            const char* info = base + meta->metadata_len;
            const char* end = base + meta->event_len;
            while (info + sizeof(fanotify_event_info_header) <= end) {
                const auto* header = reinterpret_cast<const fanotify_event_info_header*>(info);
                if (header->len == 0 || info + header->len > end)
                    break;
                if (header->info_type == FAN_EVENT_INFO_TYPE_DFID_NAME ||
                    header->info_type == FAN_EVENT_INFO_TYPE_DFID) {
                    const auto* fid = reinterpret_cast<const fanotify_event_info_fid*>(info);
                    const auto* handle = reinterpret_cast<const file_handle*>(fid->handle);
                    const char* after =
                        reinterpret_cast<const char*>(handle->f_handle) + handle->handle_bytes;
                    std::string_view folder(reinterpret_cast<const char*>(&handle->handle_type),
                                            sizeof(int) + handle->handle_bytes);
                    std::string_view name;
                    if (header->info_type == FAN_EVENT_INFO_TYPE_DFID_NAME &&
                        after < info + header->len)
                        name = std::string_view(
                            after, ::strnlen(after, size_t(info + header->len - after)));
                    each(Event{meta->mask, false, folder, name});
                    break;
                }
                info += header->len;
            }
        }
    }
    return events;
}

std::string TFFanotify::pathOfHandle(std::string_view folder) const {
    if (_mountFd < 0 || folder.size() < sizeof(int))
        return {};
    std::vector<char> room = handleOf(folder);
    const int fd = open_by_handle_at(_mountFd, reinterpret_cast<file_handle*>(room.data()),
                                     O_PATH | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string path;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_nlink > 0) { // an unlinked folder is gone
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        std::vector<char> target(4096 + 64);
        const ssize_t n = ::readlink(self, target.data(), target.size());
        if (n > 0 && size_t(n) < target.size())
            path.assign(target.data(), size_t(n));
    }
    ::close(fd);
    return path;
}

TFDirectory::Examination TFFanotify::examineHandle(std::string_view folder) const {
    TFDirectory::Examination result;
    result.error = ESTALE;
    if (_mountFd < 0 || folder.size() < sizeof(int))
        return result;
    std::vector<char> room = handleOf(folder);
    const int fd = open_by_handle_at(_mountFd, reinterpret_cast<file_handle*>(room.data()),
                                     O_PATH | O_CLOEXEC);
    if (fd < 0) {
        result.error = int16_t(errno);
        return result;
    }
    result = TFDirectory::examineDescriptor(fd);
    ::close(fd);
    return result;
}

bool TFFanotify::seesEveryChange(const std::string& path) {
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC: // and ext2, ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
        return true;
    default:
        return false;
    }
}

std::string TFFanotify::handleOfPath(const std::string& path) {
    std::vector<char> room(sizeof(file_handle) + MAX_HANDLE_SZ);
    auto* handle = reinterpret_cast<file_handle*>(room.data());
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    if (name_to_handle_at(AT_FDCWD, path.c_str(), handle, &mountId, 0) != 0)
        return {};
    return handleKey(*handle);
}
