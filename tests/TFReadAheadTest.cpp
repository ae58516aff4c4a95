#include "toolkit/TFReadAhead.h"

#include "support/TempTree.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

TEST(TFReadAhead, ReadsTheFoldersBelowTheRootButNoLinkedOrMountedOne) {
    TempTree tree;
    tree.mkdir("root/a/b");
    tree.mkdir("root/c");
    tree.mkdir("outside/d/e");
    tree.symlink(tree / "outside", "root/link");
    bool mounted = false;
    if (runningAsRoot()) {
        tree.mkdir("root/c/mount");
        mounted = ::mount("tmpfs", (tree / "root/c/mount").c_str(), "tmpfs", 0, nullptr) == 0;
        if (mounted)
            tree.mkdir("root/c/mount/inside/deeper");
    }
    const uint64_t before = TFReadAhead::waitUntilIdleForTesting();
    TFReadAhead::readAheadOf({tree / "root"});
    // root, a, b and c: the mount point's folder is the other file system's.
    EXPECT_EQ(TFReadAhead::waitUntilIdleForTesting() - before, 4u);
    if (mounted)
        ::umount2((tree / "root/c/mount").c_str(), MNT_DETACH);
}

TEST(TFReadAhead, AWalkThatFindsEverythingCachedStops) {
    TempTree tree;
    for (int i = 0; i < 400; ++i)
        tree.mkdir("root/" + std::to_string(i));
    const uint64_t before = TFReadAhead::waitUntilIdleForTesting();
    TFReadAhead::readAheadOf({tree / "root"});
    EXPECT_LT(TFReadAhead::waitUntilIdleForTesting() - before, 200u);
}
