#include "toolkit/TFProcessFiles.h"

#include "toolkit/TFDirectory.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
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

constexpr std::string_view kDeleted = " (deleted)";

bool dropDeletedMark(std::string& path) {
    if (path.size() < kDeleted.size() ||
        path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) != 0)
        return false;
    path.resize(path.size() - kDeleted.size());
    return true;
}

// A mapping of a file with no name left, from a line of /proc/PID/maps:
// "START-END PERMS OFFSET MAJOR:MINOR INODE   PATH (deleted)".
struct DeletedMapping {
    std::string range; // its name in map_files
    uint64_t inode = 0;
    std::string path;
};

std::vector<DeletedMapping> deletedMappings(const std::string& maps) {
    std::vector<DeletedMapping> found;
    size_t start = 0;
    while (start < maps.size()) {
        size_t end = maps.find('\n', start);
        if (end == std::string::npos)
            end = maps.size();
        const std::string line = maps.substr(start, end - start);
        start = end + 1;
        char range[64];
        unsigned long long inode = 0;
        int pathAt = 0;
        if (std::sscanf(line.c_str(), "%63s %*s %*s %*s %llu %n", range, &inode, &pathAt) < 2 ||
            inode == 0 || pathAt <= 0)
            continue;
        std::string path = line.substr(static_cast<size_t>(pathAt));
        if (path.empty() || path[0] != '/' || !dropDeletedMark(path))
            continue;
        found.push_back({range, inode, std::move(path)});
    }
    return found;
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
        const size_t firstOfProcess = survey.files.size();
        std::vector<const char*> numbers = namesOf(fdBytes, fdOffsets);
        std::sort(numbers.begin(), numbers.end(), [](const char* a, const char* b) {
            return std::strtol(a, nullptr, 10) < std::strtol(b, nullptr, 10);
        });
        std::string processName;
        auto add = [&](std::string path, const TFDirectory::Examination& file) {
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
        };
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
            dropDeletedMark(path);
            add(std::move(path), file);
        }

        // Mapped after its descriptor closed (a loaded library replaced by
        // an upgrade, a database's mapping): the blocks stay all the same.
        std::string maps;
        if (TFDirectory::readWholeFile("/proc/" + folder + "/maps", maps) != 0)
            continue;
        const std::vector<DeletedMapping> mappings = deletedMappings(maps);
        if (mappings.empty())
            continue;
        const TFDirectory mapFiles = process.openChild("map_files");
        std::vector<uint64_t> inodes; // of this process, already listed
        for (size_t i = firstOfProcess; i < survey.files.size(); ++i)
            inodes.push_back(survey.files[i].inode);
        for (const DeletedMapping& mapping : mappings) {
            if (std::find(inodes.begin(), inodes.end(), mapping.inode) != inodes.end())
                continue;
            const TFDirectory::Examination file =
                mapFiles.examineFollowingLink(mapping.range.c_str());
            if (file.error || file.device != device || file.inode != mapping.inode ||
                file.linkCount != 0)
                continue; // unmapped meanwhile, or not ours to read
            inodes.push_back(file.inode);
            add(mapping.path, file);
        }
    }
    return survey;
}
