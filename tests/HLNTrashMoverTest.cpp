#include "model/HLNTrashMover.h"

#include "model/HLNBackgroundFileSizer.h"
#include "support/ChildNamed.h"
#include "support/TempTree.h"
#include "support/TrashHome.h"

#include <QCoreApplication>
#include <chrono>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

bool spinUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (condition())
            return true;
        std::this_thread::sleep_for(2ms);
    }
    return condition();
}

// Sized to the end, with every queued re-read handed on and done.
void settle(const Ref<HLNFile>& root) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(spinUntil([&] {
            return HLNBackgroundFileSizer::isIdle() && root->sizeStatus() == SizeStatus::complete;
        }));
        QCoreApplication::processEvents();
    }
}

struct Completion {
    int calls = 0;
    std::vector<HLNTrashMover::Failure> notMoved;
    std::vector<HLNTrashMover::Moved> moved;
    HLNTrashMover::Completion callback() {
        return [this](std::vector<HLNTrashMover::Failure> failures,
                      std::vector<HLNTrashMover::Moved> went) {
            ++calls;
            notMoved = std::move(failures);
            moved = std::move(went);
        };
    }
};

TEST(HLNTrashMover, MovedEntriesLeaveTheTreeAndTheTrashInsideItIsCountedAgain) {
    const std::string home = TrashHome::path();
    TrashHome::empty();
    const std::string work = home + "/work";
    // The trash is there before the tree is read, as in any used home.
    ASSERT_EQ(std::system(("rm -rf '" + work + "' && mkdir -p '" + TrashHome::trash() +
                           "/files' '" + work + "/sub/dir' && head -c 40000 /dev/urandom > '" +
                           work + "/sub/a' && head -c 90000 /dev/urandom > '" + work +
                           "/sub/dir/b' && head -c 7000 /dev/urandom > '" + work + "/keep'")
                              .c_str()),
              0);

    Ref<HLNFile> root = HLNFile::initWithParent(nullptr, home);
    HLNBackgroundFileSizer::sizeFile(root);
    settle(root);
    Ref<HLNFile> sub = childNamed(childNamed(root, "work"), "sub");
    ASSERT_TRUE(sub);
    Ref<HLNFile> a = childNamed(sub, "a"), dir = childNamed(sub, "dir");
    const uint64_t gone = TempTree::duBytes(work + "/sub/a") + TempTree::duBytes(work + "/sub/dir");
    const uint64_t subBefore = sub->sizeSoFar();
    EXPECT_EQ(HLNTrashMover::nodeInTreeForPath(a, "/elsewhere"), nullptr);
    EXPECT_EQ(HLNTrashMover::nodeInTreeForPath(a, work + "/sub/missing/deeper").get(), sub.get());

    Completion done;
    HLNTrashMover::moveToTrash({a, dir}, done.callback());
    EXPECT_EQ(a->sizeStatus(), SizeStatus::goneOrGoing) << "marked as going at once";
    ASSERT_TRUE(spinUntil([&] { return done.calls == 1; }));
    EXPECT_TRUE(done.notMoved.empty());
    ASSERT_EQ(done.moved.size(), 2u);
    EXPECT_EQ(done.moved[1].path, work + "/sub/dir");
    EXPECT_EQ(done.moved[1].trashFolder, TrashHome::trash());
    EXPECT_EQ(done.moved[1].trashedName, "dir");
    settle(root);
    EXPECT_TRUE(exists(TrashHome::trash() + "/files/a"));
    EXPECT_TRUE(exists(TrashHome::trash() + "/files/dir/b"));
    EXPECT_TRUE(a->isInvalidated() && dir->isInvalidated()) << "taken out of the tree";
    EXPECT_EQ(sub->childrenCount(), 0u);
    EXPECT_EQ(sub->sizeSoFar(), subBefore - gone);
    // The trash lies inside this tree: its new bytes are counted.
    EXPECT_EQ(root->sizeSoFar(), TempTree::duBytes(home));
    EXPECT_EQ(done.calls, 1);
    root->invalidate();
    ASSERT_EQ(std::system(("rm -rf '" + work + "'").c_str()), 0);
}

TEST(HLNTrashMover, EntriesThatCannotBeMovedStayAndAreReportedOnce) {
    if (!runningAsRoot())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    TrashHome::path();
    TempTree tree;
    const std::string mnt = tree.mkdir("mnt");
    ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m"), 0);
    tree.writeFile("mnt/x", 20000);
    tree.writeFile("mnt/y", 30000);
    Ref<HLNFile> root = HLNFile::initWithParent(nullptr, mnt);
    HLNBackgroundFileSizer::sizeFile(root);
    settle(root);
    Ref<HLNFile> x = childNamed(root, "x"), y = childNamed(root, "y");
    ASSERT_EQ(::unlink((mnt + "/y").c_str()), 0); // vanished: not an entry to report

    Completion done;
    HLNTrashMover::moveToTrash({x, y}, done.callback());
    ASSERT_TRUE(spinUntil([&] { return done.calls == 1; }));
    ASSERT_EQ(done.notMoved.size(), 1u);
    EXPECT_EQ(done.notMoved[0].file.get(), x.get());
    EXPECT_EQ(done.notMoved[0].reason, "its disk has no trash that can be used");
    settle(root);
    EXPECT_TRUE(exists(mnt + "/x"));
    EXPECT_EQ(x->sizeStatus(), SizeStatus::complete) << "no longer going";
    EXPECT_TRUE(y->isInvalidated());
    EXPECT_EQ(root->sizeSoFar(), TempTree::duBytes(mnt));
    EXPECT_EQ(done.calls, 1);
    root->invalidate();
    ::umount2(mnt.c_str(), MNT_DETACH);
}

} // namespace
