#include "drives/HLNDrive.h"
#include "support/TempTree.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <thread>

namespace {

HLNMountRecord record(std::string type, std::string on, std::string from = "/dev/sda1",
                      int64_t bsize = 4096, int64_t blocks = 1000, int64_t bfree = 400,
                      int64_t bavail = 300) {
    HLNMountRecord r;
    r.f_bsize = bsize;
    r.f_blocks = blocks;
    r.f_bfree = bfree;
    r.f_bavail = bavail;
    r.f_fstypename = std::move(type);
    r.f_mntonname = std::move(on);
    r.f_mntfromname = std::move(from);
    return r;
}

// Installs a synthetic table for one test and counts how often it is read.
class SyntheticTable : public ::testing::Test {
protected:
    void SetUp() override {
        HLNDrive::setMountTableReader([this]() -> std::optional<std::vector<HLNMountRecord>> {
            ++reads;
            if (fail) {
                errno = EIO;
                return std::nullopt;
            }
            return table;
        });
    }
    void TearDown() override {
        HLNDrive::setMountTableReader(nullptr);
        HLNDrive::setStatvfsFunction(nullptr);
    }

    std::vector<HLNMountRecord> table;
    bool fail = false;
    int reads = 0;
};

std::vector<std::string> locations(const HLNDrive::DriveList& list) {
    std::vector<std::string> out;
    for (const auto& drive : *list)
        out.push_back(drive->location());
    return out;
}

} // namespace

// MARK: figures

TEST(HLNDriveFigures, SignedProductsOfBlockCounts) {
    Ref<HLNDrive> drive = HLNDrive::initWithMountStats(record("apfs", "/Volumes/Data"));
    EXPECT_EQ(drive->size(), 4096000);
    EXPECT_EQ(drive->used(), 2457600);
    EXPECT_EQ(drive->available(), 1228800);
    EXPECT_DOUBLE_EQ(drive->usedPercentage(), 600 * 100.0 / 900);
    // Reserved blocks are neither used nor available.
    EXPECT_LT(drive->used() + drive->available(), drive->size());

    // Beyond 32 bits, the products stay exact.
    Ref<HLNDrive> big = HLNDrive::initWithMountStats(
        record("ext4", "/big", "/dev/sdb", 65536, 0x7fffffff, 0x7ffffff0, 0x10));
    EXPECT_EQ(big->size(), int64_t{0x7fffffff} * 65536);
    EXPECT_EQ(big->used(), int64_t{0xf} * 65536);
    EXPECT_EQ(big->available(), int64_t{0x10} * 65536);
}

TEST(HLNDriveFigures, NoBlocksGivesZeroesAndNaN) {
    Ref<HLNDrive> drive =
        HLNDrive::initWithMountStats(record("proc", "/proc", "proc", 4096, 0, 0, 0));
    EXPECT_EQ(drive->size(), 0);
    EXPECT_EQ(drive->used(), 0);
    EXPECT_EQ(drive->available(), 0);
    EXPECT_TRUE(std::isnan(drive->usedPercentage()));
}

TEST(HLNDriveFigures, HugeProductsSaturateInsteadOfWrapping) {
    Ref<HLNDrive> drive = HLNDrive::initWithMountStats(
        record("xfs", "/huge", "/dev/x", int64_t{1} << 40, int64_t{1} << 40, 0, int64_t{1} << 40));
    EXPECT_EQ(drive->size(), std::numeric_limits<int64_t>::max());
    EXPECT_GT(drive->available(), 0);
}

TEST(HLNDriveFigures, TypeIsLowerCasedButRecordedCaseIsKept) {
    Ref<HLNDrive> drive =
        HLNDrive::initWithMountStats(record("HFS", "/Volumes/Old", "/dev/disk2s1"));
    EXPECT_EQ(drive->type(), "hfs");
    auto dict = drive->debugDictionary();
    EXPECT_EQ(dict.at("type"), "HFS");
    EXPECT_EQ(dict.at("location"), "/Volumes/Old");
    EXPECT_EQ(dict.at("fromLocation"), "/dev/disk2s1");
    EXPECT_EQ(dict.at("used"), "2457600");
    EXPECT_EQ(dict.at("available"), "1228800");
    EXPECT_EQ(dict.at("usedPercentage").substr(0, 5), "66.66");
    EXPECT_EQ(dict.count("size"), 0u);
    EXPECT_EQ(dict.size(), 6u);
}

TEST(HLNDriveFigures, DisplayNamesIconsAndOrder) {
    auto root = HLNDrive::initWithMountStats(record("ext4", "/", "/dev/hollin-no-such-disk"));
    auto data = HLNDrive::initWithMountStats(record("ext4", "/Volumes/data", "/dev/hollin-x"));
    auto beta = HLNDrive::initWithMountStats(record("ext4", "/mnt/Beta", "/dev/hollin-y"));
    auto usb = HLNDrive::initWithMountStats(record("vfat", "/media/me/USB STICK", "/dev/hollin-z"));
    auto nfs = HLNDrive::initWithMountStats(record("NFS4", "/mnt/share", "server:/export"));
    EXPECT_EQ(root->displayName(), "Root");
    EXPECT_EQ(data->displayName(), "data");
    EXPECT_EQ(usb->displayName(), "USB STICK");
    EXPECT_EQ(root->iconName(), "drive-harddisk");
    EXPECT_EQ(usb->iconName(), "drive-removable-media");
    EXPECT_EQ(nfs->iconName(), "folder-remote");

    // Order ignores letter case: "Beta" before "data", "data" equal to "DATA".
    EXPECT_EQ(beta->compare(*data), -1);
    EXPECT_EQ(data->compare(*beta), 1);
    auto upper = HLNDrive::initWithMountStats(record("ext4", "/Volumes/DATA", "/dev/hollin-w"));
    EXPECT_EQ(data->compare(*upper), 0);
}

// MARK: cache and matching

TEST_F(SyntheticTable, EveryMountInTableOrder) {
    table = {record("hfs", "/"), record("devfs", "/dev", "devfs"),
             record("autofs", "/Network/Servers", "automount -nsl"),
             record("fdesc", "/dev", "fdesc"), record("volfs", "/.vol", "/dev/volfs")};
    auto list = HLNDrive::drives();
    ASSERT_TRUE(list);
    EXPECT_EQ(locations(list),
              (std::vector<std::string>{"/", "/dev", "/Network/Servers", "/dev", "/.vol"}));
    EXPECT_EQ((*list)[2]->fromLocation(), "automount -nsl");
}

TEST_F(SyntheticTable, CacheIsReadOnceAndReplacedByDrives) {
    table = {record("hfs", "/")};
    auto first = HLNDrive::cachedDrives();
    ASSERT_TRUE(first);
    EXPECT_EQ(reads, 1);
    EXPECT_EQ(HLNDrive::cachedDrives(), first);
    EXPECT_EQ(reads, 1);

    table.push_back(record("apfs", "/Volumes/Data"));
    auto fresh = HLNDrive::drives();
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(HLNDrive::cachedDrives(), fresh);
    EXPECT_EQ(fresh->size(), 2u);
    EXPECT_EQ(first->size(), 1u); // an earlier list stays valid for its holders
}

TEST_F(SyntheticTable, FailedReadReportsAndKeepsTheOldCache) {
    fail = true;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(HLNDrive::drives());
    EXPECT_FALSE(HLNDrive::cachedDriveContainingPath("/"));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(std::string("getmntinfo: ") + std::strerror(EIO)), std::string::npos) << err;

    fail = false;
    table = {record("hfs", "/")};
    auto good = HLNDrive::drives();
    ASSERT_TRUE(good);
    fail = true;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(HLNDrive::drives());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("getmntinfo: "), std::string::npos);
    EXPECT_EQ(HLNDrive::cachedDrives(), good);
    EXPECT_EQ(HLNDrive::cachedDriveContainingPath("/etc")->location(), "/");

    // An empty table is a failed read too: no drive would contain anything.
    fail = false;
    table.clear();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(HLNDrive::drives());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("getmntinfo: "), std::string::npos);
    EXPECT_EQ(HLNDrive::cachedDrives(), good);
}

TEST_F(SyntheticTable, LongestStringPrefixWinsEarlierOnTies) {
    table = {record("hfs", "/", "/dev/a"), record("apfs", "/Volumes/Data", "/dev/first"),
             record("apfs", "/Volumes/Data", "/dev/second"), record("nfs", "", "server:/x")};
    auto at = [](const std::string& path) {
        Ref<HLNDrive> d = HLNDrive::cachedDriveContainingPath(path);
        return d ? d->fromLocation() : std::string("nil");
    };
    EXPECT_EQ(at("/Volumes/Data/file"), "/dev/first");
    EXPECT_EQ(at("/Volumes/Data2/file"), "/dev/first"); // by characters, not components
    EXPECT_EQ(at("/Volumes/Dat"), "/dev/a");
    EXPECT_EQ(at("/"), "/dev/a");
    EXPECT_EQ(at("relative/path"), "nil");
    EXPECT_EQ(at(""), "nil"); // the empty location never matches
}

TEST_F(SyntheticTable, CacheIsSafeToReadWhileReplaced) {
    table = {record("hfs", "/"), record("apfs", "/Volumes/Data")};
    std::atomic<bool> stop = false;
    std::thread reader([&] {
        while (!stop) {
            auto d = HLNDrive::cachedDriveContainingPath("/Volumes/Data/x");
            ASSERT_TRUE(d);
            ASSERT_EQ(d->location(), "/Volumes/Data");
        }
    });
    for (int i = 0; i < 200; ++i)
        HLNDrive::drives();
    stop = true;
    reader.join();
}

// MARK: the mountinfo format

TEST(HLNDriveMountInfo, EscapesAreDecoded) {
    EXPECT_EQ(HLNDrive::decodeMountInfoEscapes("/mnt/My\\040Disk\\011tab\\012nl\\134bs"),
              "/mnt/My Disk\ttab\nnl\\bs");
    // Anything that is not a three-digit octal escape stays as it is.
    EXPECT_EQ(HLNDrive::decodeMountInfoEscapes("a\\b\\04\\9999\\"), "a\\b\\04\\9999\\");
    EXPECT_EQ(HLNDrive::decodeMountInfoEscapes("\\777x"), "\\777x");
    EXPECT_EQ(HLNDrive::decodeMountInfoEscapes("\\303\\251"), "\xC3\xA9");

    auto r = HLNDrive::parseMountInfoLine("36 35 98:0 / /mnt/a\\040b rw,noatime master:1 shared:2 "
                                          "- ext3 /dev/my\\040disk rw,errors=continue");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->f_mntonname, "/mnt/a b");
    EXPECT_EQ(r->f_mntfromname, "/dev/my disk");
    EXPECT_EQ(r->f_fstypename, "ext3");
    auto plain = HLNDrive::parseMountInfoLine("21 26 0:20 / /proc rw,relatime - proc proc rw");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->f_fstypename, "proc");
    EXPECT_EQ(plain->f_mntfromname, "proc");
}

TEST(HLNDriveMountInfo, MalformedLinesAreRejected) {
    for (const char* line :
         {"", " ", "\t\t", "garbage", "1 2 3:4 / /x rw", "1 2 3:4 / /x rw a b c d",
          "1 2 3:4 / /x rw - ext4", "1 2 3:4 / relative rw - ext4 /dev/a rw",
          "1 2 3:4 / /x rw shared:1 -", "\\", "- - - - - - - - -"}) {
        EXPECT_FALSE(HLNDrive::parseMountInfoLine(line)) << '"' << line << '"';
    }
    // Trailing super options may be missing on some kernels.
    EXPECT_TRUE(HLNDrive::parseMountInfoLine("1 2 3:4 / /x rw - ext4 /dev/a"));
}

TEST(HLNDriveMountInfo, OddEscapesNeverMakeAPathThatIsNotOnTheLine) {
    // A NUL byte would cut the mount point short in every system call: the
    // kernel never writes "\000", so it stays as it stands.
    EXPECT_EQ(HLNDrive::decodeMountInfoEscapes("/mnt/a\\000b"), "/mnt/a\\000b");
    EXPECT_EQ(HLNDrive::decodeMountInfoEscapes("\\0401\\1341\\"), " 1\\1\\");
    EXPECT_EQ(HLNDrive::decodeMountInfoEscapes("/mnt/\xFF\\012\xFE"), "/mnt/\xFF\n\xFE");
    EXPECT_EQ(HLNDrive::decodeMountInfoEscapes("\\\\040"), "\\ ");
    auto r = HLNDrive::parseMountInfoLine("7 1 0:9 /\\040root /mnt/\\134\\040\\011\\012x\\000 rw - "
                                          "tmp\\040fs \\000 rw\r");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->f_mntonname, std::string("/mnt/\\ \t\nx\\000"));
    EXPECT_EQ(r->f_mntonname.find('\0'), std::string::npos);
    EXPECT_EQ(r->f_fstypename, "tmp fs");
    EXPECT_EQ(r->f_mntfromname, "\\000");
}

TEST(HLNDriveMountInfo, TheCacheIsFilledWithoutAskingAnyFileSystem) {
    static std::atomic<int> asked = 0;
    HLNDrive::setMountTableReader(nullptr); // the real table, and an empty cache
    HLNDrive::setStatvfsFunction([](const char*, struct statvfs*) {
        ++asked;
        errno = EIO;
        return -1;
    });
    HLNDrive::DriveList cached = HLNDrive::cachedDrives();
    const int askedByTheCache = asked;
    HLNDrive::drives();
    HLNDrive::setStatvfsFunction(nullptr);
    ASSERT_TRUE(cached);
    EXPECT_TRUE(HLNDrive::cachedDriveContainingPath("/")) << "the mount points are all there";
    EXPECT_EQ(askedByTheCache, 0) << "a hung mount would hold whoever paints with the cache";
    EXPECT_GT(asked, 0);
}

TEST(HLNDriveMountInfo, FileIsReadInOrderSkippingBadLines) {
    TempTree tree;
    std::string file = tree / "mountinfo";
    std::ofstream(file) << "\n"
                        << "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                        << "not a mount line at all\n"
                        << "\n\n"
                        << "2 1 0:5 / /srv/with\\040space rw - tmpfs tmpfs rw\n"
                        << "3 1 0:6 / /srv/last rw - proc proc"; // no final newline
    HLNDrive::setStatvfsFunction([](const char* path, struct statvfs* st) {
        if (std::strcmp(path, "/srv/last") == 0) {
            errno = EACCES;
            return -1;
        }
        std::memset(st, 0, sizeof *st);
        st->f_bsize = 1 << 20; // transfer size: must not be used
        st->f_frsize = 1024;
        st->f_blocks = 10;
        st->f_bfree = 4;
        st->f_bavail = 3;
        return 0;
    });
    auto records = HLNDrive::readMountTableAtPath(file);
    HLNDrive::setStatvfsFunction(nullptr);
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 3u);
    EXPECT_EQ((*records)[0].f_mntonname, "/");
    EXPECT_EQ((*records)[1].f_mntonname, "/srv/with space");
    EXPECT_EQ((*records)[1].f_bsize, 1024);
    EXPECT_EQ((*records)[1].f_blocks, 10);
    EXPECT_EQ((*records)[1].f_bfree, 4);
    EXPECT_EQ((*records)[1].f_bavail, 3);
    EXPECT_EQ((*records)[2].f_blocks, 0); // a failing statvfs leaves zero figures

    errno = 0;
    EXPECT_FALSE(HLNDrive::readMountTableAtPath(tree / "missing"));
    EXPECT_EQ(errno, ENOENT);
}

TEST(HLNDriveMountInfo, HungNetworkMountIsBoundedAndNotAskedTwice) {
    TempTree tree;
    std::string file = tree / "mountinfo";
    std::ofstream(file) << "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
                        << "2 1 0:50 / /net/hung rw - nfs4 server:/export rw\n"
                        << "3 1 0:51 / /net/fine rw - cifs //server/share rw\n";
    std::mutex lock;
    std::condition_variable released;
    bool release = false;
    std::atomic<int> hungCalls = 0;
    HLNDrive::setStatvfsFunction([&](const char* path, struct statvfs* st) {
        std::memset(st, 0, sizeof *st);
        if (std::strcmp(path, "/net/hung") == 0) {
            ++hungCalls;
            std::unique_lock l(lock);
            released.wait_for(l, std::chrono::seconds(20), [&] { return release; });
        }
        st->f_frsize = 512;
        st->f_blocks = 8;
        return 0;
    });

    auto start = std::chrono::steady_clock::now();
    auto records = HLNDrive::readMountTableAtPath(file);
    auto second = HLNDrive::readMountTableAtPath(file);
    auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(records && second);
    EXPECT_LT(elapsed, std::chrono::seconds(5)); // far below the stand-in's 20 s
    EXPECT_EQ((*records)[0].f_blocks, 8);
    EXPECT_EQ((*records)[1].f_mntonname, "/net/hung");
    EXPECT_EQ((*records)[1].f_blocks, 0);
    EXPECT_EQ((*records)[2].f_blocks, 8);
    EXPECT_EQ((*second)[1].f_blocks, 0);
    EXPECT_EQ(hungCalls, 1); // the stuck call is not piled up on

    {
        std::scoped_lock l(lock);
        release = true;
    }
    released.notify_all();
    // Once the stuck call returned, the mount is asked again.
    for (int i = 0; i < 1500 && (*HLNDrive::readMountTableAtPath(file))[1].f_blocks == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ((*HLNDrive::readMountTableAtPath(file))[1].f_blocks, 8);
    HLNDrive::setStatvfsFunction(nullptr);
}

TEST(HLNDriveMountInfo, OnlyKernelServedTypesAreAskedWithoutABound) {
    for (const char* type : {"ext4", "xfs", "proc", "tmpfs", "overlay", "squashfs"})
        EXPECT_TRUE(HLNDrive::isKnownLocalType(type)) << type;
    // A FUSE daemon, the automounter, a server or an unknown type may hang.
    for (const char* type :
         {"fuseblk", "fuse.sshfs", "fuse.portal", "autofs", "nfs", "cifs", "mystery"})
        EXPECT_FALSE(HLNDrive::isKnownLocalType(type)) << type;
}

// MARK: the machine's own table

TEST(HLNDriveSystem, RootIsPresentWithSaneFigures) {
    HLNDrive::setMountTableReader(nullptr);
    auto list = HLNDrive::drives();
    ASSERT_TRUE(list);
    Ref<HLNDrive> root = HLNDrive::cachedDriveContainingPath("/");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->location(), "/");
    struct statvfs st;
    ASSERT_EQ(::statvfs("/", &st), 0);
    EXPECT_EQ(root->size(), static_cast<int64_t>(st.f_blocks * st.f_frsize));
    EXPECT_GT(root->size(), 0);
    EXPECT_LE(root->used(), root->size());
    EXPECT_LE(root->available(), root->size());
    EXPECT_GE(root->usedPercentage(), 0.0);
    EXPECT_LE(root->usedPercentage(), 100.0);
    EXPECT_FALSE(root->displayName().empty());
    EXPECT_EQ(HLNDrive::cachedDriveContainingPath("/proc/self")->type(), "proc");
}

TEST(HLNDriveSystem, RealMountWithEscapedNameIsListedWithItsFigures) {
    if (!runningAsRoot())
        GTEST_SKIP() << "mounting needs root";
    TempTree tree;
    std::string point = tree.mkdir("odd name\tand\\slash");
    ASSERT_EQ(::mount("hollin-test", point.c_str(), "tmpfs", 0, "size=4m"), 0)
        << std::strerror(errno);
    HLNDrive::setMountTableReader(nullptr);
    auto list = HLNDrive::drives();
    ::umount2(point.c_str(), MNT_DETACH);
    ASSERT_TRUE(list);
    Ref<HLNDrive> found;
    for (const auto& drive : *list)
        if (drive->location() == point)
            found = drive;
    ASSERT_TRUE(found) << point;
    EXPECT_EQ(found->type(), "tmpfs");
    EXPECT_EQ(found->fromLocation(), "hollin-test");
    EXPECT_EQ(found->size(), 4 << 20);
    EXPECT_EQ(found->displayName(), "odd name\tand\\slash");
}
