#include "drives/HLNUnseenSpace.h"

#include "drives/HLNDrive.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFMountClone.h"
#include "toolkit/TFProcessFiles.h"
#include "toolkit/TFVolumeFigures.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>

namespace {

struct MountEntry {
    uint64_t id = 0;
    uint64_t parent = 0;
    std::string mountPoint;
};

// The mount ids, parents and mount points of /proc/self/mountinfo, in its order.
std::vector<MountEntry> readMountEntries() {
    std::vector<MountEntry> entries;
    std::string text;
    if (TFDirectory::readWholeFile("/proc/self/mountinfo", text) != 0)
        return entries;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string_view line(text.data() + start, end - start);
        start = end + 1;
        // id parent major:minor root mount-point ...
        std::string_view fields[5];
        size_t at = 0;
        bool whole = true;
        for (auto& field : fields) {
            const size_t space = line.find(' ', at);
            if (space == std::string_view::npos && &field != &fields[4]) {
                whole = false;
                break;
            }
            field = line.substr(at, space == std::string_view::npos ? line.npos : space - at);
            at = space + 1;
        }
        if (!whole)
            continue;
        MountEntry entry;
        entry.id = std::strtoull(std::string(fields[0]).c_str(), nullptr, 10);
        entry.parent = std::strtoull(std::string(fields[1]).c_str(), nullptr, 10);
        entry.mountPoint = HLNDrive::decodeMountInfoEscapes(fields[4]);
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool isBeneath(const std::string& path, const std::string& folder) {
    if (folder == "/")
        return path.size() > 1 && path[0] == '/';
    return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

std::string joined(const std::string& folder, const char* name) {
    return folder == "/" ? "/" + std::string(name) : folder + "/" + name;
}

// Sizes trees on one file system: allocated bytes, each inode once (a
// file with several names counts where it is first met, across every
// tree this walk measures), every folder that cannot be read noted.
class SpaceWalk {
public:
    SpaceWalk(uint64_t device, const std::atomic<bool>* cancel)
        : _device(device), _cancel(cancel) {}

    bool cancelled() const { return _cancel && _cancel->load(std::memory_order_relaxed); }
    std::vector<std::string>& unreadable() { return _unreadable; }

    // The bytes of the folder and all below it that lies on the walk's
    // file system; with mountId, only what that one mount shows (a bind
    // mount of the same file system inside is another mount).
    uint64_t measure(TFDirectory top, const std::string& path, uint64_t mountId) {
        const TFDirectory::Examination self = top.examine(".");
        uint64_t bytes = self.error ? 0 : self.allocatedBytes;
        std::vector<Frame> stack;
        _enter(stack, std::move(top), path);
        while (!stack.empty()) {
            if (cancelled())
                return bytes;
            Frame& frame = stack.back();
            if (frame.next == frame.offsets.size()) {
                stack.pop_back();
                continue;
            }
            const char* name = frame.names.data() + frame.offsets[frame.next++];
            const TFDirectory::Examination ex = frame.dir.examine(name);
            if (ex.error || ex.device != _device)
                continue; // gone meanwhile, or another file system mounted here
            if (mountId && ex.mountId && ex.mountId != mountId)
                continue;
            if (!ex.isDirectory() && ex.linkCount > 1 && !_seen.emplace(ex.device, ex.inode).second)
                continue;
            bytes += ex.allocatedBytes;
            if (ex.isDirectory()) {
                std::string childPath = joined(frame.path, name);
                TFDirectory child = frame.dir.openChild(name);
                _enter(stack, std::move(child), std::move(childPath)); // frame may move
            }
        }
        return bytes;
    }

private:
    struct Frame {
        TFDirectory dir;
        std::string path;
        std::vector<char> names;
        std::vector<uint32_t> offsets;
        size_t next = 0;
    };

    void _enter(std::vector<Frame>& stack, TFDirectory dir, std::string path) {
        Frame frame;
        frame.dir = std::move(dir);
        frame.path = std::move(path);
        if (!frame.dir.isOpen() || !frame.dir.readNames(frame.names, frame.offsets)) {
            _unreadable.push_back(std::move(frame.path));
            return;
        }
        stack.push_back(std::move(frame));
    }

    uint64_t _device;
    const std::atomic<bool>* _cancel;
    std::set<std::pair<uint64_t, uint64_t>> _seen;
    std::vector<std::string> _unreadable;
};

std::mutex& lastUnseenLock() {
    static std::mutex lock;
    return lock;
}
std::map<std::string, uint64_t>& lastUnseen() {
    static std::map<std::string, uint64_t> map;
    return map;
}

} // namespace

std::string HLNUnseenSpace::commandToMeasure(const std::string& mountPoint) {
    return "sudo hollin --unseen " + mountPoint;
}

std::string HLNUnseenSpace::notMeasuredText(const HiddenMount& mount) {
    if (mount.error == EPERM || mount.error == EACCES)
        return "not measured: needs administrator rights";
    return std::string("not measured: ") + std::strerror(mount.error);
}

std::optional<uint64_t> HLNUnseenSpace::lastUnseenBytes(const std::string& mountPoint) {
    std::lock_guard<std::mutex> held(lastUnseenLock());
    auto it = lastUnseen().find(mountPoint);
    if (it == lastUnseen().end())
        return std::nullopt;
    return it->second;
}

std::vector<HLNUnseenSpace::Line> HLNUnseenSpace::Account::lines() const {
    std::vector<Line> out;
    out.push_back({"counted", counted, mountPoint});
    for (const DeletedFile& file : deletedFiles)
        out.push_back({"deleted-open", file.bytes,
                       std::to_string(file.pid) + " " + file.processName + " " + file.path});
    for (const HiddenMount& mount : hiddenMounts)
        out.push_back({"hidden", mount.bytes,
                       mount.measured ? mount.mountPoint
                                      : mount.mountPoint + " (" + notMeasuredText(mount) + ": " +
                                            commandToMeasure(mountPoint) + ")"});
    for (const std::string& folder : unreadableFolders)
        out.push_back({"unreadable", 0, folder});
    out.push_back({"filesystem", filesystem, ""});
    out.push_back({"reserved", reserved, ""});
    out.push_back({"available", available, ""});
    return out;
}

std::optional<HLNUnseenSpace::Account> HLNUnseenSpace::accountForMount(const std::string& given,
                                                                       const Options& options,
                                                                       std::string* error) {
    auto fail = [&](std::string why) -> std::optional<Account> {
        if (error)
            *error = std::move(why);
        return std::nullopt;
    };
    const std::optional<std::string> resolved = TFDirectory::resolvedPathFollowingLinks(given);
    if (!resolved)
        return fail(std::strerror(ENOENT));
    const std::string mountPoint = *resolved;
    const TFDirectory::Examination top = TFDirectory::examinePath(mountPoint);
    if (top.error)
        return fail(std::strerror(top.error));
    if (!top.isDirectory())
        return fail(std::strerror(ENOTDIR));

    // The drive is the mount seen at that path; the mounts inside it are
    // its children (a mount on one of those is not on this drive).
    const std::vector<MountEntry> mounts = readMountEntries();
    // (statx's mount ids are not mountinfo's: the mount seen at the path is
    // the one of that mount point that nothing else is stacked on.)
    const MountEntry* drive = nullptr;
    for (const MountEntry& entry : mounts) {
        if (entry.mountPoint != mountPoint)
            continue;
        const bool covered =
            std::any_of(mounts.begin(), mounts.end(), [&](const MountEntry& other) {
                return other.parent == entry.id && other.mountPoint == mountPoint;
            });
        if (!covered)
            drive = &entry;
    }
    if (!drive)
        return fail("not a mount point");

    Account account;
    account.mountPoint = mountPoint;
    const TFVolumeFigures figures = TFVolumeFigures::figuresAtPath(mountPoint, top.device);
    if (figures.error)
        return fail(std::strerror(figures.error));
    account.size = figures.size;
    account.used = figures.used();
    account.available = figures.available;
    account.reserved = figures.reservedForAdministrator();
    // What the kernel holds back of the free blocks is no one's to write:
    // the file system keeps it, as it keeps its metadata.
    account.keptFree = figures.keptByKernel;

    SpaceWalk walk(top.device, options.cancel);
    auto cancelled = [&] { return walk.cancelled(); };

    // Deleted but still open: each file once, however many hold it.
    const TFProcessFiles::Survey survey = TFProcessFiles::deletedFilesOnDevice(top.device);
    account.everyProcess = survey.everyProcess();
    std::map<uint64_t, size_t> byInode;
    for (const TFProcessFiles::OpenFile& open : survey.files) {
        auto [it, added] = byInode.emplace(open.inode, account.deletedFiles.size());
        if (!added) {
            std::vector<pid_t>& others = account.deletedFiles[it->second].otherHolders;
            if (open.pid != account.deletedFiles[it->second].pid &&
                std::find(others.begin(), others.end(), open.pid) == others.end())
                others.push_back(open.pid);
            continue;
        }
        account.deletedFiles.push_back(
            {open.pid, open.processName, open.path, open.allocatedBytes, {}});
        account.deletedOpen += open.allocatedBytes;
    }
    std::stable_sort(account.deletedFiles.begin(), account.deletedFiles.end(),
                     [](const DeletedFile& a, const DeletedFile& b) { return a.bytes > b.bytes; });

    // Beneath the mounts inside: the topmost of them only, since one
    // mounted beneath another lies in what that one covers.
    std::vector<std::string> inside;
    for (const MountEntry& entry : mounts)
        if (entry.parent == drive->id && entry.id != drive->id &&
            isBeneath(entry.mountPoint, mountPoint))
            inside.push_back(entry.mountPoint);
    std::sort(inside.begin(), inside.end());
    inside.erase(std::unique(inside.begin(), inside.end()), inside.end());
    std::vector<std::string> topmost;
    for (const std::string& point : inside)
        if (topmost.empty() || !isBeneath(point, topmost.back()))
            topmost.push_back(point);
    if (!topmost.empty()) {
        const TFMountClone clone = TFMountClone::cloneMountAt(mountPoint);
        for (const std::string& point : topmost) {
            if (cancelled())
                break;
            HiddenMount hidden;
            hidden.mountPoint = point;
            if (!clone.isOpen()) {
                hidden.error = clone.error();
            } else {
                const std::string relative =
                    point.substr(mountPoint == "/" ? 1 : mountPoint.size() + 1);
                TFDirectory covered = clone.openFolder(relative);
                if (!covered.isOpen()) {
                    hidden.error = covered.error();
                } else {
                    hidden.bytes = walk.measure(std::move(covered), point, 0);
                    hidden.measured = true;
                    account.hidden += hidden.bytes;
                }
            }
            account.hiddenMounts.push_back(std::move(hidden));
        }
    }

    if (options.counted) {
        account.counted = *options.counted;
        account.countedFromWindow = true;
    } else if (!cancelled()) {
        account.counted = walk.measure(TFDirectory::openPath(mountPoint), mountPoint, top.mountId);
    }
    if (cancelled())
        return fail("cancelled");
    account.unreadableFolders = std::move(walk.unreadable());
    std::sort(account.unreadableFolders.begin(), account.unreadableFolders.end());

    const uint64_t shown = account.counted + account.deletedOpen + account.hidden;
    account.filesystem = account.used - std::min(account.used, shown) + account.keptFree;
    account.countedBeyondUsed = shown - std::min(account.used, shown);

    std::lock_guard<std::mutex> held(lastUnseenLock());
    lastUnseen()[mountPoint] = account.unseen();
    return account;
}
