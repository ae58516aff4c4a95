#pragma once

#include "toolkit/TFObject.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct statvfs;

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
    // null (and the cache untouched) when the table cannot be read, after
    // printing "getmntinfo: " and the error text on standard error. Any
    // thread: the cache is swapped under a lock and lists are immutable.
    static DriveList drives();
    // The cache; reads the table once when it was never filled, then
    // without the figures (free, used, total read as 0 until the next
    // drives()), so that it never waits on a file system.
    static DriveList cachedDrives();
    // The cached drive whose location is the longest string prefix of path.
    static Ref<HLNDrive> cachedDriveContainingPath(const std::string& path);
    // Whether a drive in the list is mounted at the folder's real location
    // or beneath it: the path with every link in it resolved, so a folder
    // reached through a link is judged where it really is. A path that
    // cannot be resolved is judged as it is spelled.
    static bool isDriveMountedBeneathRealLocation(const DriveList& drives, const std::string& path);

    static Ref<HLNDrive> initWithMountStats(const HLNMountRecord& record);

    // Where drives() reads its records; tests install synthetic tables. A
    // reader answering nullopt (or no records) is a failed read and leaves
    // errno set to the reason. Null restores the real one. Installing a
    // reader also empties the cache, so it returns to "never read".
    using MountTableReader = std::function<std::optional<std::vector<HLNMountRecord>>()>;
    static void setMountTableReader(MountTableReader reader);
    // The real table: /proc/self/mountinfo plus a time-bounded statvfs.
    static std::optional<std::vector<HLNMountRecord>> readSystemMountTable();
    // The same from a mountinfo-format file; nullopt with errno set when the
    // file cannot be read. Without figures, no file system is asked.
    static std::optional<std::vector<HLNMountRecord>> readMountTableAtPath(const std::string& path,
                                                                           bool withFigures = true);

    // One mountinfo line to a record without figures: mount point, source
    // and type with their octal escapes decoded. nullopt for a line that is
    // not a well-formed mount entry.
    static std::optional<HLNMountRecord> parseMountInfoLine(std::string_view line);
    // Decodes the kernel's \ooo escapes (\040 space, \011 tab, \012
    // newline, \134 backslash); any other backslash stays as it is.
    static std::string decodeMountInfoEscapes(std::string_view field);

    // The statvfs the reader calls; tests install stand-ins (one that
    // blocks, for instance). Null restores ::statvfs.
    using StatvfsFunction = std::function<int(const char* path, struct statvfs* result)>;
    static void setStatvfsFunction(StatvfsFunction function);
    // How long the reader waits for the figures of a file system that may
    // hang (network, FUSE, unknown types). A mount that does not answer in
    // time is listed with zero figures; while its call is still stuck, later
    // reads do not ask it again.
    static constexpr std::chrono::milliseconds kStatvfsTimeout{300};
    // Families of lower-cased type names on this platform (and the names
    // of the original one: hfs, ufs, devfs, fdesc, volfs, afpfs, webdav,
    // nfs, smbfs).
    static bool isDiskType(std::string_view type);   // file systems on a local device
    static bool isPseudoType(std::string_view type); // kernel and helper file systems, no user data
    static bool isNetworkType(std::string_view type); // file systems served by another machine
    // File systems that show local folders through another layer
    // (encryption, pooling, bind-style views): local, though no device serves them.
    static bool isStackedLocalType(std::string_view type);
    // True for a type whose figures can be read without any risk of
    // blocking: disks and pseudo file systems served by the kernel itself
    // (not autofs, which may mount, nor FUSE, whose daemon may hang).
    static bool isKnownLocalType(std::string_view type);

    // Freedesktop icon name: "folder-remote" for network file systems,
    // "drive-removable-media" for removable devices and mounts under /media
    // or /run/media, "drive-harddisk" otherwise. Worked out at creation.
    const std::string& iconName() const { return _iconName; }
    std::string type() const; // lower-cased
    const std::string& location() const { return _location; }
    const std::string& fromLocation() const { return _fromLocation; }
    int64_t size() const { return _size; }
    int64_t used() const { return _used; }
    int64_t available() const { return _available; }
    double usedPercentage() const { return _usedPercentage; }
    // The file-system label (/dev/disk/by-label) when the device has one,
    // else the last component of the location; "/" without a label is
    // "Root". Worked out on every call.
    std::string displayName() const;
    // The order of display names, as TFString::compareNames orders names.
    int compare(const HLNDrive& other) const;
    // type (as recorded), location, fromLocation, used, available,
    // usedPercentage; no size and no icon.
    std::map<std::string, std::string> debugDictionary() const;

private:
    static DriveList _readDrives(bool withFigures);
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
