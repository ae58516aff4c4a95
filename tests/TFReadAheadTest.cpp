#include "toolkit/TFReadAhead.h"

#include "support/TempTree.h"

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

TFReadAhead::JobRef jobFor(const std::string& path) {
    TFDirectory dir = TFDirectory::openPath(path);
    const TFDirectory::Examination ex = dir.examine(".");
    TFTreeWalker::Listing names;
    EXPECT_TRUE(TFReadAhead::listSorted(dir, ex, names));
    return TFReadAhead::makeJob(std::move(dir), ex, std::move(names));
}

std::string nameAt(const TFReadAhead::Job& job, size_t i) {
    return job.names().name(i);
}

} // namespace

// A read gives every entry's examination and a job for each subfolder on
// the same file system with names; the workers read those (and what lies
// below them) on their own, never through a link or into a mount.
TEST(TFReadAhead, ReadsTheFoldersBelowButNoLinkedOrMountedOne) {
    TempTree tree;
    tree.mkdir("root/a/b");
    tree.writeFile("root/a/b/f", 10);
    tree.mkdir("root/c");
    tree.mkdir("root/empty");
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
    TFReadAhead::JobRef root = jobFor(tree / "root");
    TFReadAhead::take(root, true);
    ASSERT_EQ(root->error(), 0);
    ASSERT_EQ(root->entries().size(), 4u);
    std::vector<TFReadAhead::JobRef> below = root->takeChildren();
    ASSERT_EQ(below.size(), 4u);
    EXPECT_EQ(nameAt(*root, 0), "a");
    EXPECT_TRUE(below[0]);  // a
    EXPECT_FALSE(below[2]); // empty: nothing to read
    EXPECT_FALSE(below[3]); // link
    EXPECT_TRUE(root->entries()[3].isLink());
    // a, b and c; the mount point is the other file system's.
    EXPECT_EQ(TFReadAhead::waitUntilIdleForTesting() - before, mounted ? 3u : 3u);
    TFReadAhead::take(below[0], false); // read by a worker already
    std::vector<TFReadAhead::JobRef> belowA = below[0]->takeChildren();
    ASSERT_EQ(belowA.size(), 1u);
    TFReadAhead::take(belowA[0], false);
    ASSERT_EQ(belowA[0]->entries().size(), 1u);
    EXPECT_EQ(belowA[0]->entries()[0].allocatedBytes,
              TempTree::lstatOf(tree / "root/a/b/f").st_blocks * 512u);
    if (mounted) {
        TFReadAhead::take(below[1], false);
        EXPECT_TRUE(below[1]->takeChildren().empty()) << "the mount was entered";
        ::umount2((tree / "root/c/mount").c_str(), MNT_DETACH);
    }
}

// A folder listed by its parent's read and then swapped for a link (or for
// another folder) before its own read: the read notices, and reads nothing
// through the link, though its parent's stamp is old enough to vouch for
// names that did not change. A job taken while the workers are held is
// read where it is taken, at once.
TEST(TFReadAhead, AFolderSwappedAfterItsListingIsNotRead) {
    TempTree tree;
    tree.mkdir("root/mid/a");
    tree.mkdir("root/mid/b");
    tree.mkdir("root/mid/c");
    tree.writeFile("root/mid/a/x", 1);
    tree.writeFile("root/mid/b/y", 1);
    tree.writeFile("root/mid/c/z", 1);
    tree.mkdir("outside/secret");
    const timespec old[2] = {{1600000000, 0}, {1600000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (tree / "root/mid").c_str(), old, 0), 0);
    TFReadAhead::holdWorkersForTesting(true);
    TFReadAhead::JobRef root = jobFor(tree / "root");
    TFReadAhead::take(root, true);
    std::vector<TFReadAhead::JobRef> mid = root->takeChildren();
    ASSERT_EQ(mid.size(), 1u);
    TFReadAhead::take(mid[0], true);
    std::vector<TFReadAhead::JobRef> below = mid[0]->takeChildren();
    ASSERT_EQ(below.size(), 3u);
    TFReadAhead::take(below[2], true);
    EXPECT_EQ(below[2]->error(), 0);
    EXPECT_EQ(below[2]->entries().size(), 1u);
    ASSERT_EQ(std::rename((tree / "root/mid/a").c_str(), (tree / "moved").c_str()), 0);
    tree.symlink(tree / "outside", "root/mid/a");
    ASSERT_EQ(std::rename((tree / "root/mid/b").c_str(), (tree / "movedB").c_str()), 0);
    tree.mkdir("root/mid/b/secret");
    TFReadAhead::take(below[0], true);
    EXPECT_NE(below[0]->error(), 0);
    EXPECT_TRUE(below[0]->entries().empty());
    TFReadAhead::take(below[1], true);
    EXPECT_NE(below[1]->error(), 0);
    TFReadAhead::holdWorkersForTesting(false);
}

// A subfolder whose size says it is huge is listed after its siblings (on a
// file system whose folders keep their size when emptied, one that held
// long names): every subfolder still gets its job and its stamp.
TEST(TFReadAhead, ASubfolderListedLastKeepsItsPlace) {
    TempTree tree;
    tree.mkdir("root/a/x");
    tree.mkdir("root/big/y");
    tree.mkdir("root/z/w");
    const std::string big = tree / "root/big";
    auto nameOf = [&](int i) { return big + "/" + std::to_string(i) + std::string(190, 'n'); };
    for (int i = 0; i < 5200; ++i) {
        const int fd = ::open(nameOf(i).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    for (int i = 0; i < 5200; ++i)
        ::unlink(nameOf(i).c_str());
    if (TempTree::lstatOf(big).st_size < (1 << 20))
        GTEST_SKIP() << "the folder's size stays under 1 MiB on this file system";
    TFReadAhead::JobRef root = jobFor(tree / "root");
    TFReadAhead::take(root, true);
    std::vector<TFReadAhead::JobRef> below = root->takeChildren();
    ASSERT_EQ(below.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(below[i]) << nameAt(*root, i);
        EXPECT_TRUE(root->childStamp(i).isFolder()) << nameAt(*root, i);
        TFReadAhead::take(below[i], false);
        EXPECT_EQ(below[i]->entries().size(), 1u) << nameAt(*root, i);
    }
}

// Pieces are each done once, by the workers or by the thread finishing
// them, and finishing returns only when all are done.
TEST(TFReadAhead, PiecesAreEachDoneOnceBeforeFinishReturns) {
    std::vector<std::atomic<int>> done(500);
    {
        TFReadAhead::Pieces pieces(done.size(), [&](size_t i) { done[i].fetch_add(1); });
        pieces.finish();
        for (const auto& d : done)
            ASSERT_EQ(d.load(), 1);
        TFReadAhead::Pieces unfinished(done.size(), [&](size_t i) { done[i].fetch_add(1); });
    } // finished on the way out
    for (const auto& d : done)
        EXPECT_EQ(d.load(), 2);
    if (TFReadAhead::workerCount() == 0)
        return;
    // The first piece waits for the second: they end only when two threads
    // take them at once, whichever takes the first.
    std::atomic<bool> second{false};
    TFReadAhead::Pieces together(2, [&](size_t i) {
        if (i == 1)
            second = true;
        while (!second)
            std::this_thread::yield();
    });
    together.finish();
}
