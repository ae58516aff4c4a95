#include "toolkit/TFRotationalDisk.h"

#include "toolkit/TFDirectory.h"

#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unordered_map>
#include <vector>

namespace {

// Stacked devices nest a few deep at most; a loop of them is no disk.
constexpr int kDeepest = 8;

std::string firstLine(const std::string& path) {
    std::string text;
    if (TFDirectory::readWholeFile(path, text, 4096) != 0)
        return {};
    return text.substr(0, text.find('\n'));
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The source its mount names for a file system without a block device of
// its own (the anonymous device numbers btrfs gives), as a block device
// number; 0 when it names none.
uint64_t sourceDevice(uint64_t device) {
    std::string table;
    if (TFDirectory::readWholeFile("/proc/self/mountinfo", table) != 0)
        return 0;
    const std::string number = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    size_t start = 0;
    while (start < table.size()) {
        size_t end = table.find('\n', start);
        if (end == std::string::npos)
            end = table.size();
        const std::string line = table.substr(start, end - start);
        start = end + 1;
        // "ID PARENT MAJ:MIN ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE ..."
        std::vector<std::string> fields;
        for (size_t at = 0; at < line.size();) {
            size_t space = line.find(' ', at);
            if (space == std::string::npos)
                space = line.size();
            fields.push_back(line.substr(at, space - at));
            at = space + 1;
        }
        if (fields.size() < 3 || fields[2] != number)
            continue;
        for (size_t i = 3; i + 2 < fields.size(); ++i)
            if (fields[i] == "-") {
                struct stat st {};
                if (::stat(fields[i + 2].c_str(), &st) == 0 && S_ISBLK(st.st_mode))
                    return uint64_t(st.st_rdev);
                return 0;
            }
    }
    return 0;
}

} // namespace

bool TFRotationalDisk::isRotational(uint64_t device) {
    static std::mutex lock;
    static auto* known = new std::unordered_map<uint64_t, bool>; // never destroyed
    {
        std::scoped_lock held(lock);
        if (auto at = known->find(device); at != known->end())
            return at->second;
    }
    const bool rotational = _read(device, 0);
    std::scoped_lock held(lock);
    known->emplace(device, rotational);
    return rotational;
}

bool TFRotationalDisk::isRotationalBlock(const std::string& block) {
    return _readBlock(block, 0);
}

bool TFRotationalDisk::_read(uint64_t device, int depth) {
    if (depth > kDeepest)
        return false;
    const std::string block = "/sys/dev/block/" + std::to_string(major(device)) + ":" +
                              std::to_string(minor(device)) + "/";
    if (exists(block))
        return _readBlock(block, depth + 1);
    if (major(device) == 0)
        if (const uint64_t source = sourceDevice(device); source && source != device)
            return _read(source, depth + 1);
    return false;
}

bool TFRotationalDisk::_readBlock(const std::string& block, int depth) {
    if (depth > kDeepest)
        return false;
    if (exists(block + "partition"))
        return _readBlock(block + "../", depth + 1);
    // A device made of others (device-mapper, RAID) spins when one of them does.
    std::vector<TFDirectory::Entry> below;
    TFDirectory slaves = TFDirectory::openPathFollowingLinks(block + "slaves");
    if (slaves.isOpen() && slaves.readEntries(below) && !below.empty()) {
        for (const TFDirectory::Entry& entry : below)
            if (_readBlock("/sys/class/block/" + entry.name + "/", depth + 1))
                return true;
        return false;
    }
    // A loop device's own flag says nothing of its file's disk.
    if (exists(block + "loop")) {
        const std::string file = firstLine(block + "loop/backing_file");
        struct stat st {};
        return !file.empty() && ::stat(file.c_str(), &st) == 0 &&
               _read(uint64_t(st.st_dev), depth + 1);
    }
    return firstLine(block + "queue/rotational") == "1";
}
