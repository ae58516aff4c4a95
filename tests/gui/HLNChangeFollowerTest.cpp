// Windows that follow the disk: changes show without Update, in every way
// the program can follow them (fanotify as root, inotify, inotify past a
// small budget), and what is followed goes with the window.
#include "browser/HLNFileTreeController.h"

#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNChangeFollower.h"
#include "model/HLNFile.h"
#include "support/TempTree.h"
#include "toolkit/TFFanotify.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

bool waitFor(const std::function<bool()>& done, int ms = 30000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// Runs a program to its end with the event loop turning meanwhile (the
// window follows what it does); its exit status.
int run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 600000);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The descriptors this process follows changes with.
int followingDescriptors() {
    int found = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (const dirent* f = readdir(fds)) {
        char target[64] = {};
        const std::string link = std::string("/proc/self/fd/") + f->d_name;
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 &&
            (std::strcmp(target, "anon_inode:inotify") == 0 ||
             std::strcmp(target, "anon_inode:[fanotify]") == 0))
            ++found;
    }
    closedir(fds);
    return found;
}

enum class Way { fanotify, inotify, smallBudget };

class LiveWindow : public ::testing::TestWithParam<Way> {
protected:
    void SetUp() override {
        if (GetParam() == Way::fanotify) {
            if (!TFFanotify(tree.path()).isOpen())
                GTEST_SKIP() << "fanotify is for the administrator: not tried here";
            ::unsetenv("HOLLIN_FOLLOW");
        } else {
            ::setenv("HOLLIN_FOLLOW", "inotify", 1);
        }
        if (GetParam() == Way::smallBudget)
            ::setenv("HOLLIN_INOTIFY_BUDGET", "3", 1);
        else
            ::unsetenv("HOLLIN_INOTIFY_BUDGET");
    }
    void TearDown() override {
        close();
        ::unsetenv("HOLLIN_FOLLOW");
        ::unsetenv("HOLLIN_INOTIFY_BUDGET");
    }
    void open(const std::string& path = std::string()) {
        controller = HLNFileTreeController::initWithPath(path.empty() ? tree.path() : path);
        ASSERT_NE(controller, nullptr);
        ASSERT_TRUE(waitFor([&] { return controller->follower() != nullptr; }))
            << controller->statusField()->text().toStdString();
        EXPECT_EQ(controller->follower()->method() == HLNChangeFollower::Method::fanotify,
                  GetParam() == Way::fanotify);
    }
    void close() {
        if (!controller)
            return;
        QPointer<HLNFileTreeController> watch(controller.data());
        controller->window()->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        waitFor([&] { return watch.isNull(); }, 5000);
        controller = nullptr;
    }
    // The window shows the total du gives for the tree (which stands still
    // meanwhile), sizing finished.
    bool showsDu(const std::string& path, int ms = 30000) {
        const uint64_t du = TempTree::duBytes(path);
        return waitFor(
            [&] {
                return controller->shownRoot().sizeStatus == SizeStatus::complete &&
                       HLNBackgroundFileSizer::isIdle() && controller->shownRoot().sizeSoFar == du;
            },
            ms);
    }
    uint64_t shown() { return controller->shownRoot().sizeSoFar; }
    QString status() { return controller->statusField()->text(); }

    TempTree tree;
    QPointer<HLNFileTreeController> controller;
};

TEST_P(LiveWindow, WritesDeletesAndMovesShowWithoutUpdate) {
    tree.mkdir("a/deep/er");
    tree.mkdir("b");
    tree.writeFile("a/deep/er/old", 300000);
    tree.writeFile("a/small", 9000);
    open();
    const uint64_t before = shown();

    // Written into a sub-folder: on screen within 2 s, without Update.
    const uint64_t big = 100u << 20;
    QElapsedTimer clock;
    tree.writeFile("a/deep/big", big);
    clock.start();
    ASSERT_TRUE(waitFor([&] { return shown() >= before + big; }));
    EXPECT_LT(clock.elapsed(), 2000) << "ms until 100 MB showed";
    ASSERT_TRUE(showsDu(tree.path()));

    // Deleted: the total falls back.
    ASSERT_EQ(::unlink((tree / "a/deep/big").c_str()), 0);
    ASSERT_TRUE(waitFor([&] { return shown() < before + big; }));
    ASSERT_TRUE(showsDu(tree.path()));
    EXPECT_EQ(shown(), before);

    // The small budget follows the three largest folders and says so of the rest.
    if (GetParam() == Way::smallBudget) {
        EXPECT_TRUE(status().endsWith("live (2 folders not followed)")) << status().toStdString();
        return; // b is not followed: a move into it is not seen
    }
    EXPECT_TRUE(status().endsWith("live")) << status().toStdString();

    // Moved from one branch to the other: both branches show it.
    ASSERT_EQ(::rename((tree / "a/deep").c_str(), (tree / "b/deep").c_str()), 0);
    ASSERT_TRUE(showsDu(tree.path()));
    const Ref<HLNFile> root = controller->rootFile();
    const uint64_t duA = TempTree::duBytes(tree / "a"), duB = TempTree::duBytes(tree / "b");
    ASSERT_TRUE(waitFor([&] {
        Ref<HLNFile> a = root->existingChildNamed("a"), b = root->existingChildNamed("b");
        return a && b && a->sizeSoFar() == duA && b->sizeSoFar() == duB &&
               b->existingChildNamed("deep") && !a->existingChildNamed("deep");
    }));
}

TEST_P(LiveWindow, ANewNameIsReadAloneAndANewFolderWhole) {
    if (GetParam() == Way::smallBudget)
        GTEST_SKIP() << "past the budget the folders below are not all followed";
    for (int i = 0; i < 200; ++i) {
        tree.mkdir("wide/d" + std::to_string(i));
        tree.writeFile("wide/d" + std::to_string(i) + "/f", 4096);
    }
    open();
    // A new file beside 200 folders: its folder is listed, nothing below read.
    const uint64_t made = HLNFile::nodesCreated();
    tree.writeFile("wide/new", 70000);
    ASSERT_TRUE(showsDu(tree.path()));
    EXPECT_LE(HLNFile::nodesCreated() - made, 2u);
    // A folder moved in from outside arrives whole.
    TempTree outside;
    outside.mkdir("pack/in/deep");
    outside.writeFile("pack/in/deep/file", 300000);
    outside.writeFile("pack/top", 5000);
    ASSERT_EQ(::rename((outside / "pack").c_str(), (tree / "wide/pack").c_str()), 0);
    ASSERT_TRUE(showsDu(tree.path()));
}

TEST_P(LiveWindow, AnUnpackedArchiveEndsEqualToDu) {
    // 50,000 files in 100 folders, packed outside the window's tree (made
    // in memory: 50,000 files more on disk would only slow the test).
    TempTree source;
    ASSERT_EQ(run({"python3", "-c",
                   "import io, sys, tarfile\n"
                   "with tarfile.open(sys.argv[1], 'w') as t:\n"
                   "    for d in range(100):\n"
                   "        i = tarfile.TarInfo('pack/d%d' % d); i.type = tarfile.DIRTYPE\n"
                   "        i.mode = 0o755; t.addfile(i)\n"
                   "        for f in range(500):\n"
                   "            i = tarfile.TarInfo('pack/d%d/f%d' % (d, f)); i.size = 10\n"
                   "            t.addfile(i, io.BytesIO(b'some bytes'))\n",
                   source / "pack.tar"}),
              0);
    // As root on a volume of its own: freeing 50,000 files on a disk that
    // discards what it frees takes minutes.
    const std::string volume = tree.mkdir("volume");
    const bool mounted =
        geteuid() == 0 && ::mount("hollin-live", volume.c_str(), "tmpfs", 0, "size=1g") == 0;
    struct Unmount {
        bool mounted;
        std::string at;
        ~Unmount() {
            if (mounted)
                ::umount2(at.c_str(), MNT_DETACH);
        }
    } unmount{mounted, volume};
    ASSERT_EQ(::mkdir((volume + "/into").c_str(), 0755), 0);
    open(volume);
    const uint64_t rereadsBefore = controller->follower()->rereads();
    ASSERT_EQ(run({"tar", "-C", volume + "/into", "-xf", source / "pack.tar"}), 0);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(showsDu(volume, 120000));
    std::printf("unpacked 50000 files: equal to du %lld ms after tar ended, %llu re-reads\n",
                static_cast<long long>(clock.elapsed()),
                static_cast<unsigned long long>(controller->follower()->rereads() - rereadsBefore));
    close(); // before its volume goes
}

TEST_P(LiveWindow, FoldersGoneLinkedOrMountedOverAreNotFollowedAndTheWindowTakesItsWatches) {
    tree.mkdir("keep/in");
    tree.mkdir("gone/below");
    tree.mkdir("linked");
    tree.mkdir("mounted");
    tree.writeFile("keep/in/file", 50000);
    tree.writeFile("gone/below/file", 40000);
    // A sizing keeps a fanotify group of its own (as administrator), made
    // at its first sizing and kept unmarked between them: made before the
    // count, which is of the window's.
    Ref<HLNFile> sized = HLNFile::initWithParent(nullptr, tree / "keep");
    HLNBackgroundFileSizer::sizeFile(sized);
    ASSERT_TRUE(waitFor([] { return HLNBackgroundFileSizer::isIdle(); }));
    sized->invalidate();
    const int before = followingDescriptors();
    open();
    EXPECT_EQ(followingDescriptors(), before + 1);

    ASSERT_EQ(run({"rm", "-r", tree / "gone"}), 0);
    ASSERT_EQ(::rmdir((tree / "linked").c_str()), 0);
    tree.symlink("keep", "linked");
    ASSERT_TRUE(showsDu(tree.path()));
    if (GetParam() == Way::inotify) { // root, keep, keep/in and mounted
        EXPECT_TRUE(waitFor([&] { return controller->follower()->watches() == 4; }))
            << controller->follower()->watches();
    }

    if (geteuid() == 0 &&
        ::mount("hollin-live", (tree / "mounted").c_str(), "tmpfs", 0, "size=8m") == 0) {
        tree.writeFile("mounted/on-the-mount", 1 << 20);
        tree.writeFile("more", 8192); // the root is listed again, its folders checked
        // du -x and the window leave the mount out, and nothing watches it.
        EXPECT_TRUE(showsDu(tree.path()));
        if (GetParam() == Way::inotify) {
            EXPECT_TRUE(waitFor([&] { return controller->follower()->watches() == 3; }))
                << controller->follower()->watches();
        }
        ::umount((tree / "mounted").c_str());
    } else {
        std::printf("not root: the mount below the tree is not tried\n");
    }

    close();
    EXPECT_EQ(followingDescriptors(), before);
}

TEST_P(LiveWindow, FollowChangesTurnsOffAndOnAgain) {
    tree.mkdir("a");
    open();
    QAction* follow = controller->followAction();
    ASSERT_TRUE(follow->isChecked());
    follow->setChecked(false);
    EXPECT_EQ(controller->follower(), nullptr);
    EXPECT_FALSE(status().contains("live"));
    tree.writeFile("a/while-off", 200000);
    // On again: what changed meanwhile is read, then followed.
    follow->setChecked(true);
    ASSERT_TRUE(showsDu(tree.path()));
    ASSERT_TRUE(waitFor([&] { return controller->follower() != nullptr; }));
    tree.writeFile("a/after", 300000);
    EXPECT_TRUE(showsDu(tree.path()));
}

INSTANTIATE_TEST_SUITE_P(Ways, LiveWindow,
                         ::testing::Values(Way::fanotify, Way::inotify, Way::smallBudget),
                         [](const ::testing::TestParamInfo<Way>& info) {
                             switch (info.param) {
                             case Way::fanotify:
                                 return std::string("fanotify");
                             case Way::inotify:
                                 return std::string("inotify");
                             case Way::smallBudget:
                                 return std::string("inotifySmallBudget");
                             }
                             return std::string();
                         });

} // namespace
