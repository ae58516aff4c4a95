#include "toolkit/TFFolderStamp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>

namespace {

int64_t coarseNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

uint64_t foldIdentity(uint64_t device, uint64_t inode) {
    const uint64_t folded = inode ^ (device * 0x9e3779b97f4a7c15ULL) ^ (device >> 17);
    return folded ? folded : 1;
}

} // namespace

TFFolderStamp TFFolderStamp::_from(int result, const void* statBuffer, int64_t coarseBefore) {
    const auto& st = *static_cast<const struct stat*>(statBuffer);
    if (result != 0 || !S_ISDIR(st.st_mode))
        return TFFolderStamp();
    const int64_t modified = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    // A file system that keeps whole seconds (two on some) gives a change
    // in the same seconds the same time: such a recent one tells nothing.
    // The link count changes with every folder moved in or out, on most
    // file systems, even within one tick of the kernel's clock.
    const bool fresh = st.st_mtim.tv_nsec == 0 && modified + 2000000000 >= coarseBefore;
    const int64_t version = modified ^ (int64_t(st.st_nlink) << 44);
    return TFFolderStamp(fresh || version <= kLost ? kChanged : version,
                         foldIdentity(uint64_t(st.st_dev), uint64_t(st.st_ino)));
}

TFFolderStamp TFFolderStamp::of(const TFDirectory& folder) {
    if (!folder.isOpen())
        return TFFolderStamp();
    const int64_t before = coarseNow();
    struct stat st {};
    const int result = ::fstat(folder.fd(), &st);
    return _from(result, &st, before);
}

TFFolderStamp TFFolderStamp::at(const TFDirectory& folder, const char* name) {
    if (!folder.isOpen())
        return TFFolderStamp();
    const int64_t before = coarseNow();
    struct stat st {};
    const int result = ::fstatat(folder.fd(), name, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT);
    return _from(result, &st, before);
}
