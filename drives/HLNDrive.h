#pragma once

#include "toolkit/TFObject.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One row of the mount table, with the fields a drive is built from. On
// Linux it is filled from /proc/self/mountinfo and statvfs (f_bsize holds
// statvfs's f_frsize, the fundamental block size); tests build them by hand.
struct HLNMountRecord {
    int64_t f_bsize = 0;
    int64_t f_blocks = 0;
    int64_t f_bfree = 0;
    int64_t f_bavail = 0;
    std::string f_fstypename;
    std::string f_mntonname;   // mount point, raw bytes, escapes decoded
    std::string f_mntfromname; // what is mounted there
};

// One mounted volume: an immutable snapshot of a mount-table record.
class HLNDrive : public TFObject {
public:
    using DriveList = std::shared_ptr<const std::vector<Ref<HLNDrive>>>;

    // Reads the mount table now, replaces the drive cache and answers it;
    // null (and the cache untouched) when the table cannot be read.
    static DriveList drives();
    // The cache; reads the table once when it was never filled.
    static DriveList cachedDrives();
    // The cached drive whose location is the longest string prefix of path.
    static Ref<HLNDrive> cachedDriveContainingPath(const std::string& path);

    static Ref<HLNDrive> initWithMountStats(const HLNMountRecord& record);

    // Where drives() reads its records; tests install synthetic tables. A
    // reader answering nullopt is a failed read. Null restores the real one.
    using MountTableReader = std::function<std::optional<std::vector<HLNMountRecord>>()>;
    static void setMountTableReader(MountTableReader reader);
    // The real table: /proc/self/mountinfo plus a time-bounded statvfs.
    static std::optional<std::vector<HLNMountRecord>> readSystemMountTable();

    const std::string& iconName() const { return _iconName; } // freedesktop icon name
    std::string type() const;                                  // lower-cased
    const std::string& location() const { return _location; }
    const std::string& fromLocation() const { return _fromLocation; }
    int64_t size() const { return _size; }
    int64_t used() const { return _used; }
    int64_t available() const { return _available; }
    double usedPercentage() const { return _usedPercentage; }
    std::string displayName() const;
    int compare(const HLNDrive& other) const;
    std::map<std::string, std::string> debugDictionary() const;

private:
    friend class Ref<HLNDrive>;
    HLNDrive() = default;
    ~HLNDrive() = default;

    std::string _iconName;
    std::string _type; // as recorded
    std::string _location;
    std::string _fromLocation;
    int64_t _size = 0;
    int64_t _used = 0;
    int64_t _available = 0;
    double _usedPercentage = 0;
};
