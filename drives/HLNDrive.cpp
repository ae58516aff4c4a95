#include "drives/HLNDrive.h"

#include "toolkit/TFDirectory.h"
#include "toolkit/TFString.h"
#include "toolkit/TFVolumeFigures.h"

#include <cstdlib>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <sys/statvfs.h>
#include <thread>

namespace {

// Guards the cache pointer, the reader and the statvfs function. Never held
// while the table is read, so a slow read blocks no other caller.
std::mutex gStateLock;
HLNDrive::DriveList gCache;
HLNDrive::MountTableReader gReader;
HLNDrive::StatvfsFunction gStatvfs;

// Mount points whose bounded statvfs is still stuck in a worker thread.
std::mutex gPendingLock;
std::set<std::string> gPendingMounts;

HLNDrive::MountTableReader currentReader() {
    std::scoped_lock lock(gStateLock);
    return gReader;
}

HLNDrive::StatvfsFunction currentStatvfs() {
    std::scoped_lock lock(gStateLock);
    if (gStatvfs)
        return gStatvfs;
    return &TFVolumeFigures::statisticsAtPath;
}

// Signed 64-bit product; saturates instead of overflowing.
int64_t product(int64_t a, int64_t b) {
    int64_t result;
    if (__builtin_mul_overflow(a, b, &result))
        return ((a < 0) != (b < 0)) ? std::numeric_limits<int64_t>::min()
                                    : std::numeric_limits<int64_t>::max();
    return result;
}

int64_t clampToSigned(unsigned long long value) {
    return value > static_cast<unsigned long long>(std::numeric_limits<int64_t>::max())
               ? std::numeric_limits<int64_t>::max()
               : static_cast<int64_t>(value);
}

void fillFigures(HLNMountRecord& record, const struct statvfs& st) {
    record.f_bsize = clampToSigned(st.f_frsize ? st.f_frsize : st.f_bsize);
    record.f_blocks = clampToSigned(st.f_blocks);
    record.f_bfree = clampToSigned(st.f_bfree);
    record.f_bavail = clampToSigned(st.f_bavail);
}

std::string lowerCased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool hasPrefix(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// One statvfs running on a detached worker; the worker keeps the state alive
// when the caller gave up waiting.
struct BoundedCall {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    int result = -1;
    struct statvfs st {};
};

std::shared_ptr<BoundedCall> startBoundedStatvfs(const std::string& path,
                                                 const HLNDrive::StatvfsFunction& function) {
    {
        std::scoped_lock lock(gPendingLock);
        if (!gPendingMounts.insert(path).second)
            return nullptr; // still stuck from before
    }
    auto call = std::make_shared<BoundedCall>();
    try {
        std::thread([call, path, function] {
            struct statvfs st {};
            int result = function(path.c_str(), &st);
            {
                std::scoped_lock lock(gPendingLock);
                gPendingMounts.erase(path);
            }
            std::scoped_lock lock(call->lock);
            call->result = result;
            call->st = st;
            call->finished = true;
            call->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        std::scoped_lock lock(gPendingLock);
        gPendingMounts.erase(path);
        return nullptr;
    }
    return call;
}

// The label of the device a mount comes from, by the links in
// /dev/disk/by-label (names escaped by udev as \xNN).
std::string labelForDevice(const std::string& device) {
    if (!hasPrefix(device, "/"))
        return {};
    const std::optional<std::string> resolved = TFDirectory::resolvedPathFollowingLinks(device);
    if (!resolved)
        return {};
    std::vector<TFDirectory::Entry> entries;
    TFDirectory::openPathFollowingLinks("/dev/disk/by-label").readEntries(entries);
    std::string label;
    for (const TFDirectory::Entry& entry : entries) {
        if (entry.name[0] == '.')
            continue;
        const std::optional<std::string> target =
            TFDirectory::resolvedPathFollowingLinks("/dev/disk/by-label/" + entry.name);
        if (!target || *target != *resolved)
            continue;
        std::string_view name = entry.name;
        for (size_t i = 0; i < name.size(); ++i) {
            if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
                std::isxdigit(static_cast<unsigned char>(name[i + 2])) &&
                std::isxdigit(static_cast<unsigned char>(name[i + 3]))) {
                label +=
                    static_cast<char>(std::stoi(std::string(name.substr(i + 2, 2)), nullptr, 16));
                i += 3;
            } else {
                label += name[i];
            }
        }
        break;
    }
    return label;
}

// True when the block device behind a mount says it is removable.
bool deviceIsRemovable(const std::string& device) {
    if (!hasPrefix(device, "/dev/"))
        return false;
    const std::optional<std::string> resolved = TFDirectory::resolvedPathFollowingLinks(device);
    if (!resolved)
        return false;
    const std::string name = resolved->substr(resolved->rfind('/') + 1);
    for (const std::string& file : {"/sys/class/block/" + name + "/removable",
                                    "/sys/class/block/" + name + "/../removable"}) {
        std::string text;
        if (TFDirectory::readWholeFile(file, text) == 0)
            return !text.empty() && text[0] == '1';
    }
    return false;
}

} // namespace

// MARK: reading the table

std::string HLNDrive::decodeMountInfoEscapes(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
            isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            // "\000" is kept as written: a NUL byte would cut the path short.
            if (value > 0 && value <= 0377) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

std::optional<HLNMountRecord> HLNDrive::parseMountInfoLine(std::string_view line) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::vector<std::string_view> fields;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t end = line.find_first_of(" \t\n", pos);
        if (end == std::string_view::npos)
            end = line.size();
        if (end > pos)
            fields.push_back(line.substr(pos, end - pos));
        pos = end + 1;
    }
    if (fields.size() < 9)
        return std::nullopt;
    size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-")
        ++separator;
    if (separator + 2 >= fields.size())
        return std::nullopt;
    HLNMountRecord record;
    record.f_mntonname = decodeMountInfoEscapes(fields[4]);
    record.f_fstypename = decodeMountInfoEscapes(fields[separator + 1]);
    record.f_mntfromname = decodeMountInfoEscapes(fields[separator + 2]);
    if (record.f_mntonname.empty() || record.f_mntonname[0] != '/')
        return std::nullopt;
    return record;
}

bool HLNDrive::isDiskType(std::string_view type) {
    static const std::set<std::string_view, std::less<>> types = {
        "hfs",  "ufs",      "ext2",    "ext3",     "ext4",   "xfs",     "btrfs", "f2fs",
        "jfs",  "reiserfs", "zfs",     "bcachefs", "nilfs2", "vfat",    "msdos", "exfat",
        "ntfs", "ntfs3",    "fuseblk", "hfsplus",  "apfs",   "iso9660", "udf"};
    return types.count(type) != 0;
}

bool HLNDrive::isPseudoType(std::string_view type) {
    static const std::set<std::string_view, std::less<>> types = {
        "devfs",      "fdesc",     "volfs",       "proc",          "sysfs",       "devtmpfs",
        "devpts",     "tmpfs",     "ramfs",       "cgroup",        "cgroup2",     "securityfs",
        "debugfs",    "tracefs",   "configfs",    "fusectl",       "mqueue",      "hugetlbfs",
        "pstore",     "bpf",       "binfmt_misc", "autofs",        "rpc_pipefs",  "nsfs",
        "efivarfs",   "selinuxfs", "squashfs",    "overlay",       "fuse.portal", "fuse.gvfsd-fuse",
        "fuse.lxcfs", "nfsd",      "erofs",       "fuse.snapfuse", "composefs",   "fuse.appimage"};
    return types.count(type) != 0;
}

bool HLNDrive::isNetworkType(std::string_view type) {
    static const std::set<std::string_view, std::less<>> types = {
        "afpfs",          "webdav",      "nfs",   "smbfs",       "nfs4",
        "cifs",           "smb3",        "9p",    "ceph",        "glusterfs",
        "fuse.glusterfs", "fuse.sshfs",  "sshfs", "fuse.rclone", "fuse.curlftpfs",
        "davfs",          "fuse.davfs2", "afs",   "lustre"};
    return types.count(type) != 0;
}

bool HLNDrive::isStackedLocalType(std::string_view type) {
    static const std::set<std::string_view, std::less<>> types = {
        "ecryptfs",       "fuse.mergerfs", "fuse.bindfs",       "fuse.encfs",
        "fuse.gocryptfs", "fuse.unionfs",  "fuse.unionfs-fuse", "fuse.cryfs",
        "fuse.securefs",  "fuse.ciopfs",   "fuse.rofiles-fuse", "fuse.fuse-overlayfs"};
    return types.count(type) != 0;
}

bool HLNDrive::isKnownLocalType(std::string_view type) {
    if (type == "autofs" || hasPrefix(type, "fuse"))
        return false;
    return isDiskType(type) || isPseudoType(type);
}

std::optional<std::vector<HLNMountRecord>> HLNDrive::readMountTableAtPath(const std::string& path,
                                                                          bool withFigures) {
    std::string text;
    if (int error = TFDirectory::readWholeFile(path, text)) {
        errno = error;
        return std::nullopt;
    }

    std::vector<HLNMountRecord> records;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        if (auto record = parseMountInfoLine(std::string_view(text).substr(pos, end - pos)))
            records.push_back(std::move(*record));
        pos = end + 1;
    }

    if (!withFigures) {
        errno = 0;
        return records;
    }
    // Local file systems answer at once; the others are asked all together
    // on workers and waited for up to one shared deadline, so several hung
    // mounts cost one timeout, not one each.
    StatvfsFunction function = currentStatvfs();
    std::vector<std::shared_ptr<BoundedCall>> calls(records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        HLNMountRecord& record = records[i];
        if (isKnownLocalType(lowerCased(record.f_fstypename))) {
            struct statvfs st {};
            if (function(record.f_mntonname.c_str(), &st) == 0)
                fillFigures(record, st);
        } else {
            calls[i] = startBoundedStatvfs(record.f_mntonname, function);
        }
    }
    auto deadline = std::chrono::steady_clock::now() + kStatvfsTimeout;
    for (size_t i = 0; i < records.size(); ++i) {
        if (!calls[i])
            continue;
        std::unique_lock lock(calls[i]->lock);
        if (calls[i]->done.wait_until(lock, deadline, [&] { return calls[i]->finished; }) &&
            calls[i]->result == 0)
            fillFigures(records[i], calls[i]->st);
    }
    errno = 0;
    return records;
}

std::optional<std::vector<HLNMountRecord>> HLNDrive::readSystemMountTable() {
    return readMountTableAtPath("/proc/self/mountinfo");
}

void HLNDrive::setMountTableReader(MountTableReader reader) {
    std::scoped_lock lock(gStateLock);
    gReader = std::move(reader);
    gCache = nullptr;
}

void HLNDrive::setStatvfsFunction(StatvfsFunction function) {
    std::scoped_lock lock(gStateLock);
    gStatvfs = std::move(function);
}

// MARK: the cache

HLNDrive::DriveList HLNDrive::drives() {
    return _readDrives(true);
}

HLNDrive::DriveList HLNDrive::_readDrives(bool withFigures) {
    MountTableReader reader = currentReader();
    errno = 0;
    std::optional<std::vector<HLNMountRecord>> records =
        reader ? reader() : readMountTableAtPath("/proc/self/mountinfo", withFigures);
    if (!records || records->empty()) {
        int error = errno ? errno : ENODATA;
        std::fprintf(stderr, "getmntinfo: %s\n", std::strerror(error));
        return nullptr;
    }
    auto list = std::make_shared<std::vector<Ref<HLNDrive>>>();
    list->reserve(records->size());
    for (const HLNMountRecord& record : *records)
        list->push_back(initWithMountStats(record));
    DriveList fresh = std::move(list);
    std::scoped_lock lock(gStateLock);
    gCache = fresh;
    return fresh;
}

HLNDrive::DriveList HLNDrive::cachedDrives() {
    {
        std::scoped_lock lock(gStateLock);
        if (gCache)
            return gCache;
    }
    // Those who use the cache want the mount points only: the kernel's
    // table, read without asking any file system (a hung network mount
    // would otherwise hold the window that paints with it).
    return _readDrives(false);
}

Ref<HLNDrive> HLNDrive::cachedDriveContainingPath(const std::string& path) {
    DriveList list = cachedDrives();
    if (!list)
        return nullptr;
    Ref<HLNDrive> best;
    size_t bestLength = 0;
    for (const Ref<HLNDrive>& drive : *list) {
        const std::string& location = drive->location();
        if (location.size() > bestLength && hasPrefix(path, location)) {
            best = drive;
            bestLength = location.size();
        }
    }
    return best;
}

bool HLNDrive::isDriveMountedBeneathRealLocation(const DriveList& drives, const std::string& path) {
    if (!drives || path.empty())
        return false;
    const std::string real = TFDirectory::resolvedPathFollowingLinks(path).value_or(path);
    for (const Ref<HLNDrive>& drive : *drives) {
        const std::string& location = drive->location();
        if (location == real || real == "/" ||
            (location.size() > real.size() && hasPrefix(location, real) &&
             location[real.size()] == '/'))
            return true;
    }
    return false;
}

// MARK: one drive

Ref<HLNDrive> HLNDrive::initWithMountStats(const HLNMountRecord& record) {
    Ref<HLNDrive> drive(new HLNDrive);
    drive->_type = record.f_fstypename;
    drive->_location = record.f_mntonname;
    drive->_fromLocation = record.f_mntfromname;
    int64_t usedBlocks = record.f_blocks - record.f_bfree;
    drive->_size = product(record.f_blocks, record.f_bsize);
    drive->_used = product(usedBlocks, record.f_bsize);
    drive->_available = product(record.f_bavail, record.f_bsize);
    // 0/0 is NaN by design: a file system with no blocks has no percentage.
    drive->_usedPercentage =
        static_cast<double>(usedBlocks) * 100.0 /
        (static_cast<double>(usedBlocks) + static_cast<double>(record.f_bavail));

    std::string type = drive->type();
    if (isNetworkType(type))
        drive->_iconName = "folder-remote";
    else if (hasPrefix(drive->_location, "/media/") || hasPrefix(drive->_location, "/run/media/") ||
             deviceIsRemovable(drive->_fromLocation))
        drive->_iconName = "drive-removable-media";
    else
        drive->_iconName = "drive-harddisk";
    return drive;
}

std::string HLNDrive::type() const {
    return lowerCased(_type);
}

std::string HLNDrive::displayName() const {
    if (std::string label = labelForDevice(_fromLocation); !label.empty())
        return label;
    if (_location == "/")
        return "Root";
    size_t end = _location.find_last_not_of('/');
    if (end == std::string::npos)
        return _location;
    size_t slash = _location.rfind('/', end);
    return _location.substr(slash == std::string::npos ? 0 : slash + 1,
                            end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

int HLNDrive::compare(const HLNDrive& other) const {
    return TFString::compareNames(displayName(), other.displayName());
}

std::map<std::string, std::string> HLNDrive::debugDictionary() const {
    char percentage[64];
    std::snprintf(percentage, sizeof percentage, "%g", _usedPercentage);
    return {{"type", _type},
            {"location", _location},
            {"fromLocation", _fromLocation},
            {"used", std::to_string(_used)},
            {"available", std::to_string(_available)},
            {"usedPercentage", percentage}};
}
