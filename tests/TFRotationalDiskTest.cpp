#include "toolkit/TFRotationalDisk.h"

#include "toolkit/TFReadAhead.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace fs = std::filesystem;

namespace {

std::string firstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// "MAJ:MIN" as a device number.
dev_t deviceOf(const std::string& number) {
    const size_t colon = number.find(':');
    return makedev(std::stoul(number.substr(0, colon)), std::stoul(number.substr(colon + 1)));
}

} // namespace

// Every disk of this machine that is no stack of others, and each of its
// partitions, answers the kernel's flag for the disk; a device of no
// block device (tmpfs) answers no; the root's file system answers for the
// device its mount names.
TEST(TFRotationalDisk, AnswersTheKernelsFlagForThisMachinesDevices) {
    int disks = 0;
    for (const fs::directory_entry& block : fs::directory_iterator("/sys/block")) {
        const fs::path slaves = block.path() / "slaves";
        if (fs::exists(block.path() / "loop") || (fs::exists(slaves) && !fs::is_empty(slaves)))
            continue; // its answer is another device's
        const std::string flag = firstLine(block.path() / "queue/rotational");
        if (flag.empty())
            continue;
        ++disks;
        const std::string name = block.path().filename();
        EXPECT_EQ(TFRotationalDisk::isRotational(deviceOf(firstLine(block.path() / "dev"))),
                  flag == "1")
            << name;
        for (const fs::directory_entry& part : fs::directory_iterator(block.path()))
            if (fs::exists(part.path() / "partition")) {
                EXPECT_EQ(TFRotationalDisk::isRotational(deviceOf(firstLine(part.path() / "dev"))),
                          flag == "1")
                    << part.path().filename();
            }
    }
    std::printf("%d disks\n", disks);

    struct stat st {};
    ASSERT_EQ(::stat("/dev/shm", &st), 0);
    if (major(st.st_dev) == 0) {
        EXPECT_FALSE(TFRotationalDisk::isRotational(st.st_dev));
    }

    // The root's source, found by the mount's point rather than its number.
    ASSERT_EQ(::stat("/", &st), 0);
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id, parent, number, root, point, field;
        fields >> id >> parent >> number >> root >> point;
        if (point != "/")
            continue;
        while (fields >> field && field != "-") {
        }
        std::string type, source;
        fields >> type >> source;
        struct stat sourceStat {};
        if (::stat(source.c_str(), &sourceStat) == 0 && S_ISBLK(sourceStat.st_mode)) {
            EXPECT_EQ(TFRotationalDisk::isRotational(st.st_dev),
                      TFRotationalDisk::isRotational(sourceStat.st_rdev))
                << source;
        }
    }

    // On a spinning disk the workers read two folders at once at most,
    // unless a count was given.
    if (!std::getenv("HOLLIN_WORKERS")) {
        const int onRoot = TFReadAhead::workerCountOn(st.st_dev);
        EXPECT_EQ(onRoot, TFRotationalDisk::isRotational(st.st_dev)
                              ? std::min(TFReadAhead::workerCount(), 2)
                              : TFReadAhead::workerCount());
    }
}
