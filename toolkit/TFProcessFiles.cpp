#include "toolkit/TFProcessFiles.h"

#include "toolkit/TFDirectory.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace {

bool isNumber(const char* name) {
    if (!*name)
        return false;
    for (const char* c = name; *c; ++c)
        if (*c < '0' || *c > '9')
            return false;
    return true;
}

std::vector<const char*> namesOf(const std::vector<char>& bytes,
                                 const std::vector<uint32_t>& offsets) {
    std::vector<const char*> names;
    names.reserve(offsets.size());
    for (uint32_t offset : offsets)
        names.push_back(bytes.data() + offset);
    return names;
}

} // namespace

TFProcessFiles::Survey TFProcessFiles::deletedFilesOnDevice(uint64_t device) {
    Survey survey;
    TFDirectory proc = TFDirectory::openPath("/proc");
    std::vector<char> bytes;
    std::vector<uint32_t> offsets;
    if (!proc.isOpen() || !proc.readNames(bytes, offsets))
        return survey;
    std::vector<pid_t> pids;
    for (const char* name : namesOf(bytes, offsets))
        if (isNumber(name))
            pids.push_back(static_cast<pid_t>(std::strtol(name, nullptr, 10)));
    std::sort(pids.begin(), pids.end());

    for (pid_t pid : pids) {
        const std::string folder = std::to_string(pid);
        TFDirectory process = proc.openChild(folder.c_str());
        if (!process.isOpen())
            continue; // ended since it was listed
        TFDirectory fds = process.openChild("fd");
        std::vector<char> fdBytes;
        std::vector<uint32_t> fdOffsets;
        if (!fds.isOpen()) {
            // ENOENT: it ended meanwhile. Another user's process: not ours to read.
            if (fds.error() == EACCES || fds.error() == EPERM)
                ++survey.processesUnreadable;
            continue;
        }
        if (!fds.readNames(fdBytes, fdOffsets))
            continue; // ended while being read
        ++survey.processesRead;
        std::vector<const char*> numbers = namesOf(fdBytes, fdOffsets);
        std::sort(numbers.begin(), numbers.end(), [](const char* a, const char* b) {
            return std::strtol(a, nullptr, 10) < std::strtol(b, nullptr, 10);
        });
        std::string processName;
        for (const char* number : numbers) {
            // Following the link reaches the file itself, named or not.
            const TFDirectory::Examination file = fds.examineFollowingLink(number);
            if (file.error || file.device != device || file.linkCount != 0 || file.isDirectory())
                continue;
            char target[PATH_MAX];
            const ssize_t n = ::readlinkat(fds.fd(), number, target, sizeof target - 1);
            if (n < 0)
                continue; // the descriptor closed meanwhile
            std::string path(target, static_cast<size_t>(n));
            constexpr std::string_view kDeleted = " (deleted)";
            if (path.size() >= kDeleted.size() &&
                path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
                path.resize(path.size() - kDeleted.size());
            if (processName.empty()) {
                TFDirectory::readWholeFile("/proc/" + folder + "/comm", processName);
                while (!processName.empty() && processName.back() == '\n')
                    processName.pop_back();
            }
            OpenFile open;
            open.pid = pid;
            open.processName = processName;
            open.path = std::move(path);
            open.device = file.device;
            open.inode = file.inode;
            open.allocatedBytes = file.allocatedBytes;
            open.apparentSize = file.apparentSize;
            survey.files.push_back(std::move(open));
        }
    }
    return survey;
}
