#include "toolkit/TFFileSystemIdentity.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/statfs.h>

namespace TFFileSystemIdentity {

std::string ofPath(const std::string& path) {
    struct statfs fs {};
    struct stat st {};
    if (::statfs(path.c_str(), &fs) != 0 || ::stat(path.c_str(), &st) != 0)
        return {};
    int id[2];
    static_assert(sizeof id == sizeof fs.f_fsid);
    std::memcpy(id, &fs.f_fsid, sizeof id);
    char text[64];
    if (id[0] || id[1])
        std::snprintf(text, sizeof text, "%" PRIx64 ":%08x%08x", uint64_t(fs.f_type),
                      unsigned(id[0]), unsigned(id[1]));
    else
        std::snprintf(text, sizeof text, "%" PRIx64 ":dev%" PRIx64, uint64_t(fs.f_type),
                      uint64_t(st.st_dev));
    return text;
}

} // namespace TFFileSystemIdentity
