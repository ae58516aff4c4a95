#include "toolkit/TFInotify.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
constexpr uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                   IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                   IN_ONLYDIR;
} // namespace

TFInotify::TFInotify() : _fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}

TFInotify::~TFInotify() {
    if (_fd >= 0)
        ::close(_fd);
}

int TFInotify::watchFolder(const std::string& path, dev_t device) {
    if (_fd < 0)
        return -EBADF;
    // Opened first, so that the watch goes on this very folder: not through
    // a link that replaced it, not onto a volume mounted over it since.
    const int folder = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder < 0)
        return -errno;
    struct stat st {};
    int answer;
    if (::fstat(folder, &st) != 0) {
        answer = -errno;
    } else if (st.st_dev != device) {
        answer = -EXDEV;
    } else {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", folder);
        answer = inotify_add_watch(_fd, self, kFolderEvents);
        if (answer < 0)
            answer = -errno;
    }
    ::close(folder);
    return answer;
}

void TFInotify::removeWatch(int wd) {
    if (_fd >= 0)
        inotify_rm_watch(_fd, wd);
}

size_t TFInotify::readEvents(const std::function<void(const Event&)>& each, size_t maxBytes) {
    if (_fd < 0)
        return 0;
    alignas(struct inotify_event) char buffer[64 * 1024];
    size_t events = 0, bytes = 0;
    while (bytes < maxBytes) {
        const ssize_t got = ::read(_fd, buffer, sizeof buffer);
        if (got <= 0)
            break; // EAGAIN: nothing more waits
        bytes += size_t(got);
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            const std::string_view name = e->len ? std::string_view(e->name) : std::string_view();
            each(Event{e->wd, e->mask, name});
            ++events;
            at += ssize_t(sizeof(inotify_event) + e->len);
        }
    }
    return events;
}

uint64_t TFInotify::maxUserWatches() {
    FILE* f = std::fopen("/proc/sys/fs/inotify/max_user_watches", "re");
    if (!f)
        return 0;
    unsigned long long limit = 0;
    if (std::fscanf(f, "%llu", &limit) != 1)
        limit = 0;
    std::fclose(f);
    return limit;
}

uint64_t TFInotify::watchesInUse() {
    // The limit is per user: count the watches of every inotify descriptor
    // of the user's processes (each watch is one "inotify wd:" line).
    const uid_t me = geteuid();
    uint64_t watches = 0;
    DIR* proc = opendir("/proc");
    if (!proc)
        return 0;
    std::vector<char> line(512);
    while (const dirent* p = readdir(proc)) {
        if (p->d_name[0] < '1' || p->d_name[0] > '9')
            continue;
        const std::string base = std::string("/proc/") + p->d_name;
        struct stat st {};
        if (::stat(base.c_str(), &st) != 0 || st.st_uid != me)
            continue;
        DIR* fds = opendir((base + "/fd").c_str());
        if (!fds)
            continue; // gone meanwhile, or not ours to read
        while (const dirent* f = readdir(fds)) {
            if (f->d_name[0] == '.')
                continue;
            char target[64];
            const std::string link = base + "/fd/" + f->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0)
                continue;
            target[n] = 0;
            if (std::strcmp(target, "anon_inode:inotify") != 0)
                continue;
            FILE* info = std::fopen((base + "/fdinfo/" + f->d_name).c_str(), "re");
            if (!info)
                continue;
            while (std::fgets(line.data(), int(line.size()), info))
                if (std::strncmp(line.data(), "inotify wd:", 11) == 0)
                    ++watches;
            std::fclose(info);
        }
        closedir(fds);
    }
    closedir(proc);
    return watches;
}

uint64_t TFInotify::budget() {
    const uint64_t half = maxUserWatches() / 2, used = watchesInUse();
    uint64_t room = half > used ? half - used : 0;
    if (const char* forced = std::getenv("HOLLIN_INOTIFY_BUDGET"); forced && *forced) {
        char* end = nullptr;
        const unsigned long long cap = std::strtoull(forced, &end, 10);
        if (end && *end == 0 && cap < room)
            room = cap;
    }
    return room;
}
