#include "model/HLNCompression.h"

#include "support/TempTree.h"
#include "support/TrashHome.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                names.push_back(e->d_name);
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

// What would archive a whole drive, a mount or what a link names is refused
// before anything is read.
TEST(HLNCompression, WhatCannotBeCompressedSafelyIsRefusedUpFront) {
    TempTree tree;
    tree.writeFile("f", 1000);
    tree.symlink("f", "link");
    tree.mkdir("sub");
    const std::vector<HLNCompression::Item> items =
        HLNCompression::plan({"/", tree / "link", tree / "gone", tree / "sub/../f"});
    ASSERT_EQ(items.size(), 4u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_FALSE(items[i].refusal.empty()) << items[i].path;
    EXPECT_EQ(items[3].refusal, "");
    EXPECT_EQ(items[3].path.find(".."), std::string::npos) << items[3].path;
    EXPECT_EQ(items[3].path.substr(items[3].path.size() - 2), "/f");

    if (!runningAsRoot()) {
        std::printf("SKIP: a mount point needs root to be made\n");
        return;
    }
    const std::string mnt = tree.mkdir("mnt");
    ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m"), 0);
    const HLNCompression::Item mounted = HLNCompression::plan({mnt}).front();
    ::umount2(mnt.c_str(), MNT_DETACH);
    EXPECT_EQ(mounted.refusal, "a volume is mounted there");
}

// An entry gone between the question and the work: said, and nothing left.
TEST(HLNCompression, AnEntryThatVanishedIsReportedAndLeavesNoArchive) {
    TrashHome::path();
    TempTree tree;
    tree.mkdir("logs");
    tree.writeFile("logs/a.log", 100000);
    const std::vector<HLNCompression::Item> items = HLNCompression::plan({tree / "logs"});
    ASSERT_EQ(items.front().refusal, "");
    ASSERT_EQ(std::system(("rm -rf '" + tree / "logs'").c_str()), 0);
    HLNCompression::Progress progress;
    const HLNCompression::Outcome outcome = HLNCompression::run(items, progress);
    EXPECT_FALSE(outcome.ok());
    ASSERT_EQ(outcome.failures.size(), 1u);
    EXPECT_NE(outcome.failures[0].find("logs"), std::string::npos) << outcome.failures[0];
    EXPECT_EQ(outcome.saved, 0u);
    EXPECT_TRUE(namesIn(tree.path()).empty());
}
