#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// One inotify instance: a watch per folder, read without blocking. Closing
// it (the destructor) drops every watch it holds.
class TFInotify {
public:
    TFInotify();
    ~TFInotify();
    TFInotify(const TFInotify&) = delete;
    TFInotify& operator=(const TFInotify&) = delete;

    bool isOpen() const { return _fd >= 0; }
    int fileDescriptor() const { return _fd; }

    // Watches the folder at path for changes to its entries. The folder is
    // opened without following a link and must lie on device (a mount that
    // appeared there is not entered): answers the watch descriptor (the same
    // one again for a folder already watched), or -errno: -ENOSPC when the
    // user's watches are used up, -EXDEV for another file system.
    int watchFolder(const std::string& path, dev_t device);
    void removeWatch(int wd);

    struct Event {
        int wd;
        uint32_t mask;
        std::string_view name;
    };
    // Reads the events waiting, up to about maxBytes of them; returns how
    // many were read (0 when none wait). IN_Q_OVERFLOW comes with wd -1.
    size_t readEvents(const std::function<void(const Event&)>& each, size_t maxBytes = 1 << 20);

    // /proc/sys/fs/inotify/max_user_watches (0 when unreadable).
    static uint64_t maxUserWatches();
    // The watches this user's processes hold now, as /proc shows them.
    static uint64_t watchesInUse();
    // How many watches a program may take and leave room for the others:
    // at most half the limit, less what is in use. HOLLIN_INOTIFY_BUDGET,
    // when set, caps it (tests force a small budget with it).
    static uint64_t budget();

private:
    int _fd = -1;
};
