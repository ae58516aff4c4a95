#include "toolkit/TFFolderStamp.h"

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>

namespace {

std::atomic<uint32_t> watchPoints{0};

int64_t coarseNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

uint32_t foldIdentity(uint64_t device, uint64_t inode) {
    const uint64_t folded = inode ^ (device * 0x9e3779b97f4a7c15ULL) ^ (device >> 17);
    const auto identity = uint32_t(folded ^ (folded >> 32));
    return identity ? identity : 1;
}

} // namespace

// modified in nanoseconds since 1970; links: the link count.
TFFolderStamp TFFolderStamp::_make(uint64_t device, uint64_t inode, int64_t modified,
                                   uint64_t links, Clock before, bool settled) {
    const int64_t coarseBefore = before.time;
    // A file system that keeps whole seconds (two on some) gives a change
    // in the same seconds the same time: such a recent one tells nothing.
    // The link count changes with every folder moved in or out, on most
    // file systems, even within one tick of the kernel's clock. A change
    // after the clock was read is stamped later than one in an earlier tick.
    const bool wholeSeconds = modified % 1000000000 == 0;
    const bool fresh = (wholeSeconds && modified + 2000000000 >= coarseBefore) ||
                       (settled && modified >= coarseBefore);
    const int64_t version = modified ^ int64_t(links << 44);
    TFFolderStamp stamp(fresh || version <= kLost ? kChanged : version,
                        foldIdentity(device, inode));
    stamp._watchPoints = before.watchPoints;
    return stamp;
}

TFFolderStamp TFFolderStamp::_from(int result, const void* statBuffer, Clock before) {
    const auto& st = *static_cast<const struct stat*>(statBuffer);
    if (result != 0 || !S_ISDIR(st.st_mode))
        return TFFolderStamp();
    return _make(uint64_t(st.st_dev), uint64_t(st.st_ino),
                 int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                 uint64_t(st.st_nlink), before, false);
}

TFFolderStamp TFFolderStamp::_from(const TFDirectory::Examination& ex, Clock before, bool settled) {
    if (ex.error || !ex.isDirectory())
        return TFFolderStamp();
    return _make(ex.device, ex.inode, ex.modified * 1000000000 + ex.modifiedNanoseconds,
                 ex.linkCount, before, settled);
}

uint32_t TFFolderStamp::identityOf(const TFDirectory::Examination& ex) {
    return ex.error ? 0 : foldIdentity(ex.device, ex.inode);
}

TFFolderStamp TFFolderStamp::of(const TFDirectory::Examination& ex, Clock before) {
    return _from(ex, before, false);
}

TFFolderStamp TFFolderStamp::settled(const TFDirectory::Examination& ex, Clock before) {
    return _from(ex, before, true);
}

TFFolderStamp::Clock TFFolderStamp::clock() {
    // The watch points first: one counted after the time was read still
    // comes before what is examined after both.
    Clock now;
    now.watchPoints = watchPoints.load(std::memory_order_acquire);
    now.time = coarseNow();
    return now;
}

uint32_t TFFolderStamp::watchPoint() {
    return watchPoints.fetch_add(1, std::memory_order_acq_rel) + 1;
}

TFFolderStamp TFFolderStamp::of(const TFDirectory& folder) {
    if (!folder.isOpen())
        return TFFolderStamp();
    const Clock before = clock();
    struct stat st {};
    const int result = ::fstat(folder.fd(), &st);
    return _from(result, &st, before);
}

TFFolderStamp TFFolderStamp::at(const TFDirectory& folder, const char* name) {
    if (!folder.isOpen())
        return TFFolderStamp();
    const Clock before = clock();
    struct stat st {};
    const int result = ::fstatat(folder.fd(), name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT);
    return _from(result, &st, before);
}
