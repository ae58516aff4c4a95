#include "toolkit/TFVolumeFigures.h"

#include "toolkit/TFDirectory.h"

#include <cerrno>
#include <cstdlib>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>

uint64_t TFVolumeFigures::reservedForAdministrator() const {
    const uint64_t heldBack = free - (available < free ? available : free);
    return heldBack - (keptByKernel < heldBack ? keptByKernel : heldBack);
}

TFVolumeFigures TFVolumeFigures::figuresAtPath(const std::string& path, uint64_t device) {
    TFVolumeFigures figures;
    struct statvfs st {};
    if (::statvfs(path.c_str(), &st) != 0) {
        figures.error = errno;
        return figures;
    }
    const uint64_t unit = st.f_frsize ? st.f_frsize : st.f_bsize;
    figures.size = static_cast<uint64_t>(st.f_blocks) * unit;
    figures.free = static_cast<uint64_t>(st.f_bfree) * unit;
    figures.available = static_cast<uint64_t>(st.f_bavail) * unit;
    if (figures.available > figures.free)
        figures.available = figures.free;

    // ext4 names its devices in sysfs by the block device's name
    // (/sys/dev/block/MAJOR:MINOR leads to it). Its clusters are its blocks
    // unless the file system was made with bigalloc.
    const std::string link =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    if (const std::optional<std::string> real = TFDirectory::resolvedPathFollowingLinks(link)) {
        const std::string name = real->substr(real->rfind('/') + 1);
        std::string text;
        if (TFDirectory::readWholeFile("/sys/fs/ext4/" + name + "/reserved_clusters", text) == 0) {
            const uint64_t clusters = std::strtoull(text.c_str(), nullptr, 10);
            const uint64_t heldBack = figures.free - figures.available;
            figures.keptByKernel = clusters * unit < heldBack ? clusters * unit : heldBack;
        }
    }
    return figures;
}

int TFVolumeFigures::statisticsAtPath(const char* path, struct statvfs* result) {
    return ::statvfs(path, result);
}
