#include "model/HLNBackgroundFileSizer.h"

#include "model/HLNFile.h"
#include "model/HLNRefreshRequests.h"
#include "support/ChildNamed.h"
#include "support/TempTree.h"
#include "toolkit/TFFanotify.h"
#include "toolkit/TFNotificationCenter.h"
#include "toolkit/TFReadAhead.h"

#include <QCoreApplication>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

uint64_t allocated(const std::string& path) {
    return uint64_t(TempTree::lstatOf(path).st_blocks) * 512;
}

// Runs the main loop (queued calls, idle posts) until the condition holds.
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

void waitIdle() {
    ASSERT_TRUE(spinUntil([] { return HLNBackgroundFileSizer::isIdle(); }));
    // Idle also means the queued re-reads of deletions have been handed on.
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        ASSERT_TRUE(spinUntil([] { return HLNBackgroundFileSizer::isIdle(); }));
    }
}

// Waits for a deletion to finish and for its re-read to be done: `reread`
// tells when the re-read has happened (by default: the node left its tree).
void waitTrashed(const Ref<HLNFile>& node, std::function<bool()> reread = nullptr) {
    if (!reread)
        reread = [node] { return node->isInvalidated(); };
    ASSERT_TRUE(spinUntil([&] { return !node->isTrashing() && reread(); }));
    waitIdle();
}

// True once the entries a folder had when this was made have been cut,
// which the re-read of the folder does.
std::function<bool()> entriesReplaced(const Ref<HLNFile>& folder) {
    HLNFile::ChildList old = folder->children();
    return [old] { return old && old->size() && (*old)[0]->isInvalidated(); };
}

// Installs a visit hook for one test; the hook can hold the thread at a
// chosen node until the test lets it go.
class Visits {
public:
    Visits() {
        HLNBackgroundFileSizer::setVisitHookForTesting([this](const Ref<HLNFile>& n) { visit(n); });
    }
    ~Visits() {
        release();
        HLNBackgroundFileSizer::setVisitHookForTesting(nullptr);
    }
    std::function<void(const Ref<HLNFile>&)> onVisit;
    void holdAt(const Ref<HLNFile>& n) {
        std::scoped_lock lock(_lock);
        _holdAt = n.get();
    }
    bool waitUntilHeld() {
        std::unique_lock lock(_lock);
        return _cv.wait_for(lock, 20s, [&] { return _held; });
    }
    void release() {
        std::scoped_lock lock(_lock);
        _holdAt = nullptr;
        _held = false;
        _cv.notify_all();
    }
    std::vector<std::string> order() {
        std::scoped_lock lock(_lock);
        return _order;
    }

private:
    void visit(const Ref<HLNFile>& n) {
        if (onVisit)
            onVisit(n);
        std::unique_lock lock(_lock);
        _order.push_back(n->name());
        if (n.get() == _holdAt) {
            _held = true;
            _cv.notify_all();
            _cv.wait(lock, [&] { return _holdAt == nullptr; });
        }
    }
    std::mutex _lock;
    std::condition_variable _cv;
    HLNFile* _holdAt = nullptr;
    bool _held = false;
    std::vector<std::string> _order;
};

// Sizes tree/top with the workers held until the sizing thread visits the
// folder named at: top's folders are listed by then, and their reads
// wait. change runs there, once, before the workers go on. Null when it
// did not run.
Ref<HLNFile> sizeChangedAtVisitOf(const TempTree& tree, const std::string& at,
                                  const std::function<void()>& change) {
    TFReadAhead::holdWorkersForTesting(true);
    Visits visits;
    bool changed = false;
    visits.onVisit = [&](const Ref<HLNFile>& n) {
        if (n->name() != at || changed)
            return;
        changed = true;
        change();
        TFReadAhead::holdWorkersForTesting(false);
    };
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    TFReadAhead::holdWorkersForTesting(false);
    if (!changed)
        top->invalidate();
    return changed ? top : nullptr;
}

uint64_t threadCpuTicks(int tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    uint64_t utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return utime + stime;
}

} // namespace

// ---------------------------------------------------------------- sizing

TEST(HLNBackgroundFileSizerSizing, WorkedSequenceOfAFolderAndTwoFiles) {
    TempTree tree;
    tree.mkdir("R/A");
    tree.writeFile("R/A/x", 8 * 512);
    tree.writeFile("R/A/y", 16 * 512);
    uint64_t ownR = allocated(tree / "R"), ownA = allocated(tree / "R/A");
    Ref<HLNFile> R = HLNFile::initWithParent(nullptr, tree / "R");
    EXPECT_EQ(R->sizeSoFar(), ownR);
    EXPECT_EQ(R->unsizedChildrenCount(), 1u);
    EXPECT_EQ(R->sizeStatus(), SizeStatus::notStarted);

    struct Seen {
        std::string name;
        SizeStatus statusR, statusA;
        uint64_t sizeR, sizeA;
    };
    std::vector<Seen> seen;
    Visits visits;
    visits.onVisit = [&](const Ref<HLNFile>& n) {
        Ref<HLNFile> A;
        if (n->name() == "A")
            A = n;
        seen.push_back({n->name(), R->sizeStatus(), A ? A->sizeStatus() : SizeStatus::goneOrGoing,
                        R->sizeSoFar(), A ? A->sizeSoFar() : 0});
    };
    HLNBackgroundFileSizer::sizeFile(R);
    waitIdle();
    ASSERT_EQ(seen.size(), 2u); // R, then A; nothing more is pushed
    EXPECT_EQ(seen[0].name, R->name());
    EXPECT_EQ(seen[0].statusR, SizeStatus::notStarted);
    EXPECT_EQ(seen[0].sizeR, ownR);
    EXPECT_EQ(seen[1].name, "A");
    EXPECT_EQ(seen[1].statusR, SizeStatus::inProgress);
    EXPECT_EQ(seen[1].sizeR, ownR + ownA);
    EXPECT_EQ(seen[1].statusA, SizeStatus::notStarted);
    EXPECT_EQ(seen[1].sizeA, ownA);
    Ref<HLNFile> A = childNamed(R, "A");
    EXPECT_EQ(A->sizeSoFar(), ownA + 12288);
    EXPECT_EQ(R->sizeSoFar(), ownR + ownA + 12288);
    EXPECT_EQ(A->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(R->sizeStatus(), SizeStatus::complete);
    R->invalidate();
}

TEST(HLNBackgroundFileSizerSizing, RequestsJumpAheadNewestFirst) {
    TempTree tree;
    for (const char* d : {"one/a", "one/b", "one/c", "two/p", "three/q"})
        tree.mkdir(d);
    for (const char* f : {"one/a/f", "one/b/f", "one/c/f", "two/p/f", "three/q/f"})
        tree.writeFile(f, 1);
    Ref<HLNFile> one = HLNFile::initWithParent(nullptr, tree / "one");
    Ref<HLNFile> two = HLNFile::initWithParent(nullptr, tree / "two");
    Ref<HLNFile> three = HLNFile::initWithParent(nullptr, tree / "three");
    Visits visits;
    // Hold the thread on one/a, with one/b and one/c still waiting.
    std::once_flag once;
    visits.onVisit = [&](const Ref<HLNFile>& n) {
        if (n->name() == "a")
            std::call_once(once, [&] { visits.holdAt(n); });
    };
    HLNBackgroundFileSizer::sizeFile(one);
    ASSERT_TRUE(visits.waitUntilHeld());
    HLNBackgroundFileSizer::sizeFile(two);
    HLNBackgroundFileSizer::sizeFile(three);
    visits.release();
    waitIdle();
    std::vector<std::string> order = visits.order();
    std::vector<std::string> expected{one->name(), "a", three->name(), "q",
                                      two->name(), "p", "b",           "c"};
    EXPECT_EQ(order, expected);
    for (auto& r : {one, two, three}) {
        EXPECT_EQ(r->sizeStatus(), SizeStatus::complete);
        EXPECT_EQ(r->sizeSoFar(), TempTree::duBytes(r->path()));
        r->invalidate();
    }
}

TEST(HLNBackgroundFileSizerSizing, FailureInAPassIsLoggedAndLaterRequestsAreServed) {
    TempTree tree;
    tree.mkdir("bad");
    tree.mkdir("good/in");
    tree.writeFile("good/in/f", 4096);
    Ref<HLNFile> bad = HLNFile::initWithParent(nullptr, tree / "bad");
    Ref<HLNFile> good = HLNFile::initWithParent(nullptr, tree / "good");
    Visits visits;
    visits.onVisit = [&](const Ref<HLNFile>& n) {
        if (n == bad)
            throw std::runtime_error("injected failure");
    };
    testing::internal::CaptureStderr();
    HLNBackgroundFileSizer::sizeFile(bad);
    waitIdle();
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("injected failure"), std::string::npos);
    HLNBackgroundFileSizer::sizeFile(good);
    waitIdle();
    EXPECT_EQ(good->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(good->sizeSoFar(), TempTree::duBytes(tree / "good"));
    bad->invalidate();
    good->invalidate();
}

TEST(HLNBackgroundFileSizerSizing, IdleThreadAsksOnceAndThenSleeps) {
    TempTree tree;
    tree.mkdir("d/e");
    tree.writeFile("d/e/f", 1);
    int notifications = 0;
    int observer = 0;
    TFNotificationCenter::defaultCenter().addObserver(
        &observer, HLNRefreshUserInterfaceNotificationName,
        [&](const std::string&) { HLNRefreshRequests::refreshWindow([&] { ++notifications; }); });
    Ref<HLNFile> r = HLNFile::initWithParent(nullptr, tree / "d");
    HLNBackgroundFileSizer::sizeFile(r);
    waitIdle();
    ASSERT_TRUE(spinUntil([&] { return notifications > 0; }));
    ASSERT_TRUE(spinUntil([&] { return !HLNRefreshRequests::refreshPending(); }));
    int tid = HLNBackgroundFileSizer::sizingThreadId();
    ASSERT_NE(tid, 0);
    int before = notifications;
    uint64_t cpu = threadCpuTicks(tid);
    spinUntil([] { return false; }, 500ms);
    EXPECT_EQ(notifications, before);
    EXPECT_LE(threadCpuTicks(tid) - cpu, 1u);
    TFNotificationCenter::defaultCenter().removeObserver(&observer);
    r->invalidate();
}

// ---------------------------------------------------------------- re-reading

TEST(HLNBackgroundFileSizerRefresh, CompleteFolderGrowsByAnAddedFile) {
    TempTree tree;
    tree.mkdir("top/mid/leaf");
    tree.writeFile("top/mid/leaf/old", 4096);
    tree.writeFile("top/side", 4096);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    Ref<HLNFile> mid = childNamed(top, "mid"), leaf = childNamed(mid, "leaf");
    uint64_t topBefore = top->sizeSoFar(), midBefore = mid->sizeSoFar(),
             leafBefore = leaf->sizeSoFar();
    tree.writeFile("top/mid/leaf/new", 8 * 512);
    ASSERT_EQ(allocated(tree / "top/mid/leaf/new"), 4096u);
    leaf->refreshSize();
    waitIdle();
    EXPECT_EQ(leaf->sizeSoFar(), leafBefore + 4096);
    EXPECT_EQ(mid->sizeSoFar(), midBefore + 4096);
    EXPECT_EQ(top->sizeSoFar(), topBefore + 4096);
    for (auto& n : {top, mid, leaf})
        EXPECT_EQ(n->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    EXPECT_EQ(leaf->childrenCount(), 2u);
    top->invalidate();
}

// A node made for a file keeps no room for a folder's fields: re-read as a
// folder and as a file again, it still counts what is there.
TEST(HLNBackgroundFileSizerRefresh, FileReplacedByFolderAndBackCountsWhatIsThere) {
    TempTree tree;
    tree.mkdir("top");
    tree.writeFile("top/x", 4096);
    tree.writeFile("top/side", 4096);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    Ref<HLNFile> x = childNamed(top, "x");
    ASSERT_FALSE(x->isDirectory());
    ASSERT_EQ(::unlink((tree / "top/x").c_str()), 0);
    tree.mkdir("top/x/in");
    tree.writeFile("top/x/in/f", 8192);
    x->refreshSize();
    waitIdle();
    EXPECT_TRUE(x->isDirectory());
    EXPECT_EQ(x->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(x->sizeSoFar(), TempTree::duBytes(tree / "top/x"));
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    ASSERT_EQ(std::system(("rm -rf '" + tree.path() + "/top/x'").c_str()), 0);
    tree.writeFile("top/x", 4096);
    x->refreshSize();
    waitIdle();
    EXPECT_FALSE(x->isDirectory());
    EXPECT_EQ(x->childrenCount(), 0u);
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    top->invalidate();
}

// The sizing thread reads folders from inside them: that moves its own
// working folder only, and only while it reads, so that a root given by a
// relative path is read again where the program runs.
TEST(HLNBackgroundFileSizerRefresh, RelativeRootIsReadAgainWhereTheProgramRuns) {
    TempTree tree;
    tree.mkdir("top/a/deep");
    tree.writeFile("top/a/deep/f", 4096);
    tree.writeFile("top/b", 4096);
    char here[PATH_MAX];
    ASSERT_TRUE(::getcwd(here, sizeof here));
    std::string relative; // to the tree from where the test runs
    for (const char* c = here; *c; ++c)
        if (*c == '/' && c[1])
            relative += "../";
    relative += (tree / "top").substr(1);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, relative);
    ASSERT_TRUE(top);
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    char now[PATH_MAX];
    EXPECT_STREQ(::getcwd(now, sizeof now), here);
    tree.writeFile("top/a/deep/g", 8192);
    top->refreshSize();
    waitIdle();
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    top->invalidate();
}

TEST(HLNBackgroundFileSizerRefresh, VanishedCompleteFolderLeavesItsParent) {
    TempTree tree;
    tree.mkdir("top/mid/gone/deep");
    tree.writeFile("top/mid/gone/deep/f", 8192);
    tree.mkdir("top/mid/stays");
    tree.writeFile("top/mid/stays/f", 4096);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    Ref<HLNFile> mid = childNamed(top, "mid"), gone = childNamed(mid, "gone"),
                 deep = childNamed(gone, "deep");
    uint64_t goneSize = gone->sizeSoFar(), topBefore = top->sizeSoFar();
    ASSERT_EQ(std::system(("rm -rf '" + tree.path() + "/top/mid/gone'").c_str()), 0);
    gone->refreshSize();
    waitIdle();
    EXPECT_EQ(mid->childrenCount(), 1u);
    EXPECT_FALSE(childNamed(mid, "gone"));
    EXPECT_EQ(top->sizeSoFar(), topBefore - goneSize);
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(mid->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(mid->unsizedChildrenCount(), 0u);
    EXPECT_EQ(gone->sizeStatus(), SizeStatus::goneOrGoing);
    ASSERT_TRUE(spinUntil([&] { return deep->sizeStatus() == SizeStatus::goneOrGoing; }));
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    top->invalidate();
}

TEST(HLNBackgroundFileSizerRefresh, VanishedUnfinishedFolderLetsItsParentFinish) {
    TempTree tree;
    tree.mkdir("top/mid/done");
    tree.mkdir("top/mid/pending/x");
    tree.writeFile("top/mid/pending/x/f", 4096);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    // Build the tree by hand so that pending stays unfinished.
    Ref<HLNFile> mid = childNamed(top, "mid");
    Ref<HLNFile> pending = childNamed(mid, "pending");
    ASSERT_EQ(pending->sizeStatus(), SizeStatus::notStarted);
    ASSERT_EQ(mid->sizeStatus(), SizeStatus::inProgress);
    ASSERT_EQ(mid->unsizedChildrenCount(), 1u); // done is complete, pending is not
    uint64_t before = top->sizeSoFar(), pendingSize = pending->sizeSoFar();
    ASSERT_EQ(std::system(("rm -rf '" + tree.path() + "/top/mid/pending'").c_str()), 0);
    pending->refreshSize();
    waitIdle();
    EXPECT_EQ(mid->childrenCount(), 1u);
    EXPECT_EQ(mid->unsizedChildrenCount(), 0u);
    EXPECT_EQ(mid->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(top->sizeSoFar(), before - pendingSize);
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    top->invalidate();
}

TEST(HLNBackgroundFileSizerRefresh, FolderTwiceOnTheStackIsReadOnce) {
    TempTree tree;
    tree.mkdir("top/f");
    tree.writeFile("top/f/x", 4096);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    Ref<HLNFile> f = childNamed(top, "f");
    Ref<HLNFile> oldX = childNamed(f, "x");
    Visits visits;
    std::vector<const HLNFile*> childSeen;
    visits.onVisit = [&](const Ref<HLNFile>& n) {
        if (n == f) {
            HLNFile::ChildList list = f->children();
            childSeen.push_back(list && list->size() ? (*list)[0].get() : nullptr);
        }
    };
    visits.holdAt(top);
    HLNBackgroundFileSizer::sizeFile(top);
    ASSERT_TRUE(visits.waitUntilHeld());
    HLNBackgroundFileSizer::sizeFile(f); // f is on the stack...
    f->refreshSize();                    // ...and again with a re-read due
    visits.release();
    waitIdle();
    ASSERT_EQ(childSeen.size(), 2u);
    // The hook runs before each visit: the first visit found the old entry
    // and re-read f; the second found the new one and re-read nothing.
    HLNFile::ChildList now = f->children();
    ASSERT_TRUE(now);
    EXPECT_EQ(childSeen[0], oldX.get());
    EXPECT_NE(childSeen[1], oldX.get());
    EXPECT_EQ(childSeen[1], (*now)[0].get());
    EXPECT_EQ(oldX->sizeStatus(), SizeStatus::goneOrGoing);
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    top->invalidate();
}

TEST(HLNBackgroundFileSizerRefresh, RefreshingTheRootStartsOver) {
    TempTree tree;
    tree.mkdir("top/a");
    tree.writeFile("top/a/f", 4096);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    Ref<HLNFile> oldA = childNamed(top, "a");
    uint64_t total = top->sizeSoFar();
    uint64_t sizeAtVisit = 0;
    Visits visits;
    visits.onVisit = [&](const Ref<HLNFile>& n) {
        if (n == top)
            sizeAtVisit = top->sizeSoFar();
    };
    top->refreshSize();
    waitIdle();
    EXPECT_EQ(sizeAtVisit, total);
    EXPECT_EQ(oldA->sizeStatus(), SizeStatus::goneOrGoing);
    Ref<HLNFile> newA = childNamed(top, "a");
    ASSERT_TRUE(newA);
    EXPECT_NE(newA, oldA);
    EXPECT_EQ(top->sizeSoFar(), total);
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    top->invalidate();
}

TEST(HLNBackgroundFileSizerRefresh, ClosedWindowRootWithAPendingReadIsNotSizedAgain) {
    TempTree tree;
    tree.mkdir("top/a");
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    uint64_t before = top->sizeSoFar();
    Visits visits;
    visits.holdAt(top);
    top->refreshSize();
    ASSERT_TRUE(visits.waitUntilHeld());
    top->invalidate(); // the window closes while the re-read waits
    visits.release();
    waitIdle();
    ASSERT_TRUE(spinUntil([&] { return top->childrenCount() == 0; })); // released on its own thread
    spinUntil([] { return false; }, 100ms);
    EXPECT_EQ(top->childrenCount(), 0u); // and not listed again
    EXPECT_EQ(top->sizeSoFar(), before);
    EXPECT_EQ(top->sizeStatus(), SizeStatus::goneOrGoing);
}

// ---------------------------------------------------------------- deleting

TEST(HLNBackgroundFileSizerTrash, FileInsideACompleteFolder) {
    TempTree tree;
    tree.mkdir("top/mid");
    tree.writeFile("top/mid/victim", 8 * 512);
    tree.writeFile("top/mid/other", 4096);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    Ref<HLNFile> mid = childNamed(top, "mid"), victim = childNamed(mid, "victim");
    uint64_t topBefore = top->sizeSoFar(), midBefore = mid->sizeSoFar();
    int visitsOfVictim = 0;
    Visits visits;
    visits.onVisit = [&](const Ref<HLNFile>& n) {
        if (n == victim)
            ++visitsOfVictim;
    };
    {
        // Held so that the deletion thread cannot finish before the checks.
        std::scoped_lock hold(HLNFile::treeLock());
        victim->trash();
        victim->trash(); // a second request while the first runs does nothing
        EXPECT_EQ(victim->sizeStatus(), SizeStatus::goneOrGoing);
    }
    waitTrashed(victim);
    EXPECT_EQ(visitsOfVictim, 1);
    EXPECT_EQ(::access((tree / "top/mid/victim").c_str(), F_OK), -1);
    EXPECT_EQ(mid->childrenCount(), 1u);
    EXPECT_EQ(mid->sizeSoFar(), midBefore - 4096);
    EXPECT_EQ(top->sizeSoFar(), topBefore - 4096);
    EXPECT_EQ(mid->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(victim->sizeStatus(), SizeStatus::goneOrGoing);
    top->invalidate();
}

TEST(HLNBackgroundFileSizerTrash, FolderStillWaitingOnTheStack) {
    TempTree tree;
    tree.mkdir("top/first/x");
    tree.mkdir("top/second/y");
    tree.writeFile("top/second/y/f", 4096);
    tree.mkdir("top/third");
    tree.writeFile("top/third/f", 4096);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    Visits visits;
    std::once_flag once;
    visits.onVisit = [&](const Ref<HLNFile>& n) {
        if (n->name() == "first")
            std::call_once(once, [&] { visits.holdAt(n); });
    };
    HLNBackgroundFileSizer::sizeFile(top);
    ASSERT_TRUE(visits.waitUntilHeld());
    Ref<HLNFile> second = childNamed(top, "second");
    ASSERT_NE(second->sizeStatus(), SizeStatus::complete);
    second->trash();
    // The re-read is queued behind the held visit; let the thread go once
    // the deletion is over and the re-read has been handed on.
    ASSERT_TRUE(spinUntil([&] { return !second->isTrashing(); }));
    spinUntil([] { return false; }, 200ms);
    visits.release();
    ASSERT_TRUE(spinUntil([&] { return second->isInvalidated(); }));
    waitIdle();
    EXPECT_FALSE(childNamed(top, "second"));
    EXPECT_EQ(top->unsizedChildrenCount(), 0u);
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    top->invalidate();
}

TEST(HLNBackgroundFileSizerTrash, LinksAreRemovedNotFollowed) {
    TempTree tree;
    tree.mkdir("outside/keep");
    tree.writeFile("outside/keep/precious", 4096);
    tree.mkdir("top/doomed");
    tree.symlink(tree / "outside", "top/doomed/link");
    tree.symlink(tree / "outside/keep/precious", "top/doomed/filelink");
    tree.writeFile("top/doomed/\xff\xfe not text", 4096);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    Ref<HLNFile> doomed = childNamed(top, "doomed");
    doomed->trash();
    waitTrashed(doomed);
    EXPECT_EQ(::access((tree / "top/doomed").c_str(), F_OK), -1);
    EXPECT_EQ(::access((tree / "outside/keep/precious").c_str(), F_OK), 0);
    EXPECT_EQ(top->childrenCount(), 0u);
    EXPECT_EQ(top->sizeSoFar(), allocated(tree / "top"));
    top->invalidate();
}

TEST(HLNBackgroundFileSizerTrash, WhatCannotBeRemovedStaysAndIsCounted) {
    if (!runningAsRoot())
        GTEST_SKIP() << "needs root to mark a file immutable";
    TempTree tree;
    tree.mkdir("top/doomed/stuck");
    tree.writeFile("top/doomed/stuck/pinned", 4096);
    tree.writeFile("top/doomed/loose", 8192);
    std::string pinned = tree / "top/doomed/stuck/pinned";
    if (std::system(("chattr +i '" + pinned + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "the file system does not take the immutable flag";
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    Ref<HLNFile> doomed = childNamed(top, "doomed");
    auto reread = entriesReplaced(doomed);
    doomed->trash();
    waitTrashed(doomed, reread);
    EXPECT_EQ(::access(pinned.c_str(), F_OK), 0);
    EXPECT_EQ(::access((tree / "top/doomed/loose").c_str(), F_OK), -1);
    EXPECT_EQ(doomed->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    EXPECT_EQ(std::system(("chattr -i '" + pinned + "'").c_str()), 0);
    top->invalidate();
}

namespace {
// A mount made for one test, taken away (lazily) at the end.
struct TestMount {
    std::string where;
    bool ok = false;
    TestMount(const std::string& source, const std::string& target, const char* type,
              unsigned long flags) {
        ok = ::mount(source.c_str(), target.c_str(), type, flags, nullptr) == 0;
        if (ok)
            where = target;
    }
    ~TestMount() {
        if (ok)
            ::umount2(where.c_str(), MNT_DETACH);
    }
};
} // namespace

TEST(HLNBackgroundFileSizerTrash, MountsInsideAreLeftAlone) {
    if (!runningAsRoot())
        GTEST_SKIP() << "mounting needs root";
    TempTree tree;
    tree.mkdir("top/doomed/tmp");
    tree.mkdir("top/doomed/bound");
    tree.writeFile("top/doomed/plain", 8192);
    tree.mkdir("elsewhere");
    tree.writeFile("elsewhere/kept", 4096);
    TestMount tmpfs("tmpfs", tree / "top/doomed/tmp", "tmpfs", 0);
    ASSERT_TRUE(tmpfs.ok) << std::strerror(errno);
    TestMount bind(tree / "elsewhere", tree / "top/doomed/bound", nullptr, MS_BIND);
    ASSERT_TRUE(bind.ok) << std::strerror(errno);
    { std::ofstream(tree / "top/doomed/tmp/onTmpfs") << "data"; }
    ASSERT_EQ(TempTree::lstatOf(tree / "top/doomed/bound").st_dev,
              TempTree::lstatOf(tree / "top").st_dev);

    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    Ref<HLNFile> doomed = childNamed(top, "doomed");
    auto reread = entriesReplaced(doomed);
    doomed->trash();
    waitTrashed(doomed, reread);
    EXPECT_EQ(::access((tree / "top/doomed/tmp/onTmpfs").c_str(), F_OK), 0);
    EXPECT_EQ(::access((tree / "top/doomed/bound/kept").c_str(), F_OK), 0);
    EXPECT_EQ(::access((tree / "elsewhere/kept").c_str(), F_OK), 0);
    EXPECT_EQ(::access((tree / "top/doomed/plain").c_str(), F_OK), -1);
    ASSERT_TRUE(childNamed(top, "doomed"));
    EXPECT_EQ(doomed->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(doomed->childrenCount(), 2u);
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    top->invalidate();
}

// ---------------------------------------------------------------- conversions

namespace {
// Holds the first conversion of one folder's names (on whichever thread
// makes it) until released, or makes it fail as an exhausted memory would.
class ConversionHold {
public:
    ConversionHold(const Ref<HLNFile>& folder, bool fail = false) : _folder(folder.get()) {
        hook(fail);
    }
    // Of the first folder of that name.
    explicit ConversionHold(std::string name) : _folder(nullptr), _name(std::move(name)) {
        hook(false);
    }
    ~ConversionHold() {
        release();
        HLNFile::setConversionHookForTesting(nullptr);
    }
    bool waitUntilHeld() {
        std::unique_lock lock(_lock);
        return _cv.wait_for(lock, 20s, [&] { return _seen > 0; });
    }
    void release() {
        std::scoped_lock lock(_lock);
        _released = true;
        _cv.notify_all();
    }

private:
    void hook(bool fail) {
        HLNFile::setConversionHookForTesting([this, fail](const Ref<HLNFile>& n) {
            if (_folder ? n.get() != _folder : n->name() != _name)
                return;
            std::unique_lock lock(_lock);
            if (_seen++)
                return;
            if (fail)
                throw std::bad_alloc();
            _cv.notify_all();
            _cv.wait(lock, [&] { return _released; });
        });
    }

    HLNFile* _folder;
    std::string _name;
    std::mutex _lock;
    std::condition_variable _cv;
    int _seen = 0;
    bool _released = false;
};

// top/F with a file and a folder below, F listed but not converted.
Ref<HLNFile> listedFolder(TempTree& tree, Ref<HLNFile>& top) {
    tree.mkdir("top/F/sub");
    tree.writeFile("top/F/x", 4096);
    tree.writeFile("top/F/sub/y", 8192);
    top = HLNFile::initWithParent(nullptr, tree / "top");
    return childNamed(top, "F");
}
} // namespace

TEST(HLNBackgroundFileSizerConversion, ThoseWhoAskedWhileAnotherThreadConvertsAreAnswered) {
    TempTree tree;
    Ref<HLNFile> top;
    Ref<HLNFile> F = listedFolder(tree, top);
    waitIdle();
    auto frozen = HLNRefreshRequests::Clock::now(); // no throttled refresh falls due
    HLNRefreshRequests::setClockForTesting([frozen] { return frozen; });
    ConversionHold hold(F);
    std::thread converter([&] { F->children(); });
    ASSERT_TRUE(hold.waitUntilHeld());
    HLNBackgroundFileSizer::sizeFile(F); // the sizing thread asks and gets nothing
    waitIdle();
    ASSERT_TRUE(spinUntil([] { return !HLNRefreshRequests::refreshPending(); }));
    Visits visits;
    visits.holdAt(F); // the folder handed back stops here, before it is sized
    EXPECT_FALSE(F->children(HLNFile::Asker::window)); // so does a window
    hold.release();
    converter.join();
    EXPECT_TRUE(HLNRefreshRequests::refreshPending()); // the column is drawn now, not later
    ASSERT_TRUE(visits.waitUntilHeld());               // and the sizing thread has it back
    visits.release();
    waitIdle();
    HLNRefreshRequests::setClockForTesting(nullptr);
    EXPECT_TRUE(F->children());
    EXPECT_EQ(F->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(F->sizeSoFar(), TempTree::duBytes(tree / "top/F"));
    top->invalidate();
}

TEST(HLNBackgroundFileSizerConversion, FolderReReadDuringAConversionIsStillSized) {
    TempTree tree;
    Ref<HLNFile> top;
    Ref<HLNFile> F = listedFolder(tree, top);
    ConversionHold hold(F);
    std::thread converter([&] { F->children(); });
    ASSERT_TRUE(hold.waitUntilHeld());
    tree.writeFile("top/F/new", 4096);
    F->refreshSize(); // re-listed; its new names wait for the conversion to end
    waitIdle();
    hold.release();
    converter.join(); // the nodes built from the old names are thrown away
    waitIdle();
    EXPECT_EQ(F->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(F->childrenCount(), 3u);
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    top->invalidate();
}

TEST(HLNBackgroundFileSizerConversion, FailedConversionCanBeMadeAgain) {
    TempTree tree;
    Ref<HLNFile> top;
    Ref<HLNFile> F = listedFolder(tree, top);
    {
        ConversionHold fail(F, true);
        testing::internal::CaptureStderr();
        HLNBackgroundFileSizer::sizeFile(F);
        waitIdle();
        EXPECT_NE(testing::internal::GetCapturedStderr().find("sizing:"), std::string::npos);
    }
    EXPECT_TRUE(F->children());
    HLNBackgroundFileSizer::sizeFile(F);
    waitIdle();
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    top->invalidate();
}

TEST(HLNBackgroundFileSizerConversion, FolderAboveSwappedForALinkIsNotFollowed) {
    TempTree tree;
    tree.mkdir("top/a/b/F");
    tree.writeFile("top/a/b/F/x", 4096);
    tree.mkdir("outside/b/F");
    tree.writeFile("outside/b/F/x", 1 << 20);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    Ref<HLNFile> F = childNamed(childNamed(childNamed(top, "a"), "b"), "F");
    ASSERT_TRUE(F);
    ASSERT_EQ(std::rename((tree / "top/a").c_str(), (tree / "top/a.old").c_str()), 0);
    tree.symlink(tree / "outside", "top/a");
    testing::internal::CaptureStderr();
    HLNBackgroundFileSizer::sizeFile(F);
    waitIdle();
    testing::internal::GetCapturedStderr();
    // Read again, F is found gone from where it was listed: it leaves b.
    EXPECT_EQ(F->sizeStatus(), SizeStatus::goneOrGoing);
    EXPECT_LT(F->sizeSoFar(), uint64_t(1) << 20);
    top->invalidate();
}

// The sizing thread counts a folder's bytes in the folders above it later
// on, but nobody else sees a size short; a folder re-read meanwhile is taken
// off above as much as was added there.
TEST(HLNBackgroundFileSizerConversion, FoldersAboveTheSizingThreadAreWholeToOthers) {
    TempTree tree;
    tree.mkdir("top/a/b/c/d");
    for (std::string f : {"top/x", "top/a/x", "top/a/b/x", "top/a/b/c/x"})
        tree.writeFile(f, 4096);
    tree.writeFile("top/a/b/c/d/x", 1 << 20); // more than all above it
    ConversionHold hold("d");
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    ASSERT_TRUE(hold.waitUntilHeld());
    Ref<HLNFile> n = top;
    for (; n && n->name() != "d";) {
        uint64_t entries = 0;
        Ref<HLNFile> below;
        HLNFile::ChildList children = n->children();
        ASSERT_TRUE(children) << n->path();
        for (const Ref<HLNFile>& child : *children) {
            entries += child->sizeSoFar();
            if (child->isDirectory())
                below = child;
        }
        EXPECT_EQ(n->sizeSoFar(), allocated(n->path()) + entries) << n->path();
        n = below;
    }
    ASSERT_TRUE(n);
    n->refreshSize(); // d, once its names are in
    hold.release();
    waitIdle();
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    top->invalidate();
}

// ---------------------------------------------------------------- workers

// A folder listed, then swapped for a link while the workers read ahead:
// no worker reads through the link, the folder is read again and found to
// be a link, and the totals are du's.
TEST(HLNBackgroundFileSizerWorkers, FolderSwappedForALinkWhileReadAheadIsNotFollowed) {
    TempTree tree;
    for (const char* folder : {"top/a", "top/b/c", "outside"})
        tree.mkdir(folder);
    tree.writeFile("top/a/x", 4096);
    tree.writeFile("top/b/c/y", 8192);
    tree.writeFile("top/b/z", 4096);
    tree.writeFile("outside/big", 1 << 20);
    TFReadAhead::holdWorkersForTesting(true);
    Visits visits;
    bool swapped = false;
    visits.onVisit = [&](const Ref<HLNFile>& n) {
        if (n->name() != "a" || swapped)
            return;
        // b's read is queued by now, behind the held workers.
        swapped = true;
        ASSERT_EQ(std::rename((tree / "top/b").c_str(), (tree / "b.moved").c_str()), 0);
        tree.symlink(tree / "outside", "top/b");
        TFReadAhead::holdWorkersForTesting(false);
    };
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    TFReadAhead::holdWorkersForTesting(false);
    ASSERT_TRUE(swapped);
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    Ref<HLNFile> b = childNamed(top, "b");
    ASSERT_TRUE(b);
    EXPECT_TRUE(b->isLink());
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    top->invalidate();
}

// While the workers' backlog stands still, a folder selected is read and
// sized at once by the sizing thread, ahead of the folders queued before it.
TEST(HLNBackgroundFileSizerWorkers, SelectedFolderIsServedBeforeTheBacklog) {
    TempTree tree;
    for (int i = 0; i < 200; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "top/big/f%03d", i);
        tree.mkdir(name);
        tree.writeFile(std::string(name) + "/x", 4096);
    }
    tree.mkdir("top/sel/x/y");
    tree.writeFile("top/sel/x/y/z", 4096);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "top");
    Ref<HLNFile> sel = childNamed(top, "sel");
    ASSERT_TRUE(sel);
    TFReadAhead::holdWorkersForTesting(true);
    Visits visits;
    bool backlogAtSelection = false, selDoneNext = false;
    visits.onVisit = [&](const Ref<HLNFile>& n) {
        if (n->name() == "f000") {
            backlogAtSelection = !TFReadAhead::isIdle();
            HLNBackgroundFileSizer::sizeFile(sel);
        } else if (n->name() == "f001") {
            selDoneNext = sel->sizeStatus() == SizeStatus::complete;
        }
    };
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    TFReadAhead::holdWorkersForTesting(false);
    EXPECT_TRUE(backlogAtSelection);
    EXPECT_TRUE(selDoneNext) << "the selected folder waited behind the queued folders";
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    top->invalidate();
}

// Folders moved between their folders' listings and the visits of those
// folders (one each way, well within one second): the walk finds each gone
// where it was listed and missing where it went; before the tree is called
// sized, both folders are listed again, and each moved folder counts once,
// where it is now.
TEST(HLNBackgroundFileSizerWorkers, FoldersMovedAfterTheirListingCountOnceWhereTheyAre) {
    TempTree tree;
    for (const char* folder : {"top/a/x/deep", "top/b/y"})
        tree.mkdir(folder);
    tree.writeFile("top/a/x/deep/f", 16384);
    tree.writeFile("top/b/y/g", 8192);
    tree.writeFile("top/b/h", 4096);
    Ref<HLNFile> top = sizeChangedAtVisitOf(tree, "a", [&] {
        ASSERT_EQ(std::rename((tree / "top/a/x").c_str(), (tree / "top/b/x").c_str()), 0);
        ASSERT_EQ(std::rename((tree / "top/b/y").c_str(), (tree / "top/a/y").c_str()), 0);
    });
    ASSERT_TRUE(top);
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    Ref<HLNFile> a = childNamed(top, "a"), b = childNamed(top, "b");
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(childNamed(a, "y"));
    EXPECT_FALSE(childNamed(a, "x"));
    EXPECT_TRUE(childNamed(b, "x"));
    EXPECT_FALSE(childNamed(b, "y"));
    EXPECT_EQ(a->sizeSoFar(), TempTree::duBytes(tree / "top/a"));
    EXPECT_EQ(b->sizeSoFar(), TempTree::duBytes(tree / "top/b"));
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    EXPECT_EQ(top->measures().items, 9u);
    top->invalidate();
}

// A file added to a listed folder whose time is then set back (as a tool
// that restores times does): its stamp is as it was, and only the watch of
// the file system tells that the folder changed after its listing.
TEST(HLNBackgroundFileSizerWorkers, FolderChangedUnderItsOldTimeIsListedAgainWhereWatched) {
    TempTree tree;
    if (geteuid() != 0 || !TFFanotify::seesEveryChange(tree.path()))
        GTEST_SKIP() << "needs root, and a local file system under the temporary folder";
    tree.mkdir("top/a");
    tree.mkdir("top/b");
    tree.writeFile("top/a/f", 8192);
    tree.writeFile("top/b/g", 4096);
    Ref<HLNFile> top = sizeChangedAtVisitOf(tree, "a", [&] {
        const struct stat listed = TempTree::lstatOf(tree / "top/b");
        tree.writeFile("top/b/late", 16384);
        const timespec times[2] = {listed.st_atim, listed.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, (tree / "top/b").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    });
    ASSERT_TRUE(top);
    Ref<HLNFile> b = childNamed(top, "b");
    ASSERT_TRUE(b);
    EXPECT_TRUE(childNamed(b, "late"));
    EXPECT_EQ(top->sizeSoFar(), TempTree::duBytes(tree / "top"));
    top->invalidate();
}

// A watch holds its file system only while a tree on it is sized: once the
// sizing is done, and after a folder is listed with nothing being sized,
// the file system unmounts at once.
TEST(HLNBackgroundFileSizerWorkers, NoWatchHoldsAFileSystemOnceNothingIsSized) {
    if (!runningAsRoot())
        GTEST_SKIP() << "mounting needs root";
    TempTree tree;
    tree.mkdir("mount");
    TestMount tmpfs("tmpfs", tree / "mount", "tmpfs", 0);
    ASSERT_TRUE(tmpfs.ok) << std::strerror(errno);
    tree.mkdir("mount/a/b");
    tree.writeFile("mount/a/b/f", 4096);
    Ref<HLNFile> top = HLNFile::initWithParent(nullptr, tree / "mount");
    HLNBackgroundFileSizer::sizeFile(top);
    waitIdle();
    EXPECT_EQ(top->sizeStatus(), SizeStatus::complete);
    Ref<HLNFile> listed =
        HLNFile::initWithParent(nullptr, tree / "mount/a", HLNFile::Asker::window);
    ASSERT_TRUE(listed);
    EXPECT_EQ(::umount2(tmpfs.where.c_str(), 0), 0) << std::strerror(errno);
    top->invalidate();
    listed->invalidate();
}
