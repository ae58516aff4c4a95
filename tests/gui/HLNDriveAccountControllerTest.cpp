#include "drives/gui/HLNDriveAccountController.h"
#include "app/HLNController.h"
#include "browser/HLNFileTreeController.h"
#include "drives/gui/HLNDriveListController.h"
#include "drives/gui/HLNSpaceBar.h"
#include "support/TempTree.h"
#include "toolkit/TFString.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Starts a program; with out, its standard output goes to a pipe whose
// reading end is left there. posix_spawn, not fork: this process has threads.
pid_t spawn(const std::vector<std::string>& argv, int* out = nullptr) {
    int pipeEnds[2] = {-1, -1};
    if (out && ::pipe2(pipeEnds, O_CLOEXEC) != 0)
        return -1;
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out)
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    pid_t pid = -1;
    const int failed = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (out) {
        ::close(pipeEnds[1]);
        *out = pipeEnds[0];
    }
    return failed ? -1 : pid;
}

int runToEnd(const std::vector<std::string>& argv) {
    const pid_t pid = spawn(argv);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A loop-mounted ext4 image: a 30 MB file deleted while a child holds it
// open, and 10 MB in a folder a tmpfs is then mounted over.
class AccountedImage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!runningAsRoot())
            GTEST_SKIP() << "loop-mounting an image needs root";
        const std::string image = tree / "disk.img";
        mount = tree.mkdir("mnt");
        ASSERT_EQ(::truncate(tree.writeFile("disk.img", 0).c_str(), 160 << 20), 0);
        ASSERT_EQ(runToEnd({"mkfs.ext4", "-q", "-F", image}), 0);
        if (runToEnd({"mount", "-o", "loop", image, mount}) != 0)
            GTEST_SKIP() << "cannot loop-mount an image here";
        mounted = true;
        tree.mkdir("mnt/covered");
        tree.writeFile("mnt/covered/ten", 10 << 20);
        tree.writeFile("mnt/rotated.log", 30 << 20);
        coveredFolderBytes =
            static_cast<uint64_t>(TempTree::lstatOf(mount + "/covered").st_blocks) * 512;
        ASSERT_EQ(::mount("hollin-account", (mount + "/covered").c_str(), "tmpfs", 0, "size=1m"),
                  0);
        int out = -1;
        holder = spawn(
            {"sh", "-c", "exec 3<\"$1\"; echo open; exec sleep 600", "sh", mount + "/rotated.log"},
            &out);
        ASSERT_GT(holder, 0);
        char said[8] = {};
        ASSERT_GT(::read(out, said, sizeof said), 0) << "the holder never opened the file";
        ::close(out);
        ASSERT_EQ(::unlink((mount + "/rotated.log").c_str()), 0);
        ::sync();
    }
    void TearDown() override {
        if (holder > 0) {
            ::kill(holder, SIGKILL);
            ::waitpid(holder, nullptr, 0);
        }
        if (mounted) {
            ::umount2((mount + "/covered").c_str(), MNT_DETACH);
            runToEnd({"umount", mount});
        }
    }

    static HLNDriveAccountController* accounted(HLNDriveAccountController* controller) {
        QSignalSpy done(controller, &HLNDriveAccountController::accounted);
        while (controller->isAccounting() && done.isEmpty())
            done.wait(60000);
        return controller;
    }

    TempTree tree;
    std::string mount;
    bool mounted = false;
    pid_t holder = -1;
    uint64_t coveredFolderBytes = 0;
};

QTreeWidgetItem* lineTitled(QTreeWidget* lines, const QString& title) {
    for (int i = 0; i < lines->topLevelItemCount(); ++i)
        if (lines->topLevelItem(i)->text(0).startsWith(title))
            return lines->topLevelItem(i);
    return nullptr;
}

} // namespace

TEST_F(AccountedImage, WindowSplitsTheDriveIntoLinesThatAddUp) {
    std::string revealed;
    HLNDriveAccountController::setRevealer([&](const std::string& path) { revealed = path; });
    HLNDriveAccountController* window = accounted(HLNDriveAccountController::openForMount(mount));
    ASSERT_TRUE(window->account()) << window->statusLabel()->text().toStdString();
    const HLNUnseenSpace::Account& account = *window->account();
    EXPECT_EQ(HLNDriveAccountController::openForMount(mount), window) << "one window a drive";

    // The lines, in order, and what each is made of.
    QTreeWidget* lines = window->lineList();
    QStringList titles;
    for (int i = 0; i < lines->topLevelItemCount(); ++i)
        titles << lines->topLevelItem(i)->text(0);
    EXPECT_EQ(titles,
              (QStringList{"Counted in folders", "Deleted but still open",
                           "Hidden beneath mount points", "Unreadable", "Kept by the file system",
                           "Reserved for the administrator", "Available"}));
    ASSERT_EQ(account.deletedFiles.size(), 1u);
    EXPECT_EQ(account.deletedFiles[0].pid, holder);
    EXPECT_EQ(account.deletedFiles[0].bytes, 30u << 20);
    QTreeWidgetItem* deleted = lineTitled(lines, "Deleted but still open");
    QTreeWidgetItem* file = deleted->child(deleted->childCount() - 1);
    EXPECT_TRUE(file->text(0).contains(QString("PID %1").arg(holder)))
        << file->text(0).toStdString();
    ASSERT_EQ(account.hiddenMounts.size(), 1u);
    EXPECT_TRUE(account.hiddenMounts[0].measured);
    EXPECT_EQ(account.hidden, (10u << 20) + coveredFolderBytes)
        << "the 10 MB and the covered folder's own blocks";
    EXPECT_EQ(lineTitled(lines, "Hidden beneath mount points")->child(0)->text(0),
              QString::fromStdString(mount + "/covered"));

    // The bar and the lines both add up to the drive's size.
    uint64_t barTotal = 0;
    for (const HLNSpaceBar::Part& part : window->bar()->parts())
        barTotal += part.bytes;
    EXPECT_EQ(barTotal, account.size);
    EXPECT_EQ(account.counted + account.deletedOpen + account.hidden + account.filesystem +
                  account.reserved + account.available,
              account.size);

    // Rows act only where it is safe: Copy a PID, Reveal a mount point.
    QMenu* menu = window->contextMenuForItem(file);
    ASSERT_TRUE(menu);
    ASSERT_EQ(menu->actions().size(), 1);
    menu->actions()[0]->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), QString::number(holder));
    menu = window->contextMenuForItem(lineTitled(lines, "Hidden beneath mount points")->child(0));
    ASSERT_TRUE(menu);
    menu->actions()[0]->trigger();
    EXPECT_EQ(revealed, mount + "/covered");
    EXPECT_FALSE(window->contextMenuForItem(lineTitled(lines, "Available")));

    if (const char* folder = std::getenv("HOLLIN_SCREENSHOTS")) {
        window->window()->resize(720, 460);
        window->window()->grab().save(QString(folder) + "/drive-account.png");
    }

    // Refresh reads /proc again: the holder gone, its file is gone too.
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    holder = -1;
    window->refresh();
    accounted(window);
    ASSERT_TRUE(window->account());
    EXPECT_TRUE(window->account()->deletedFiles.empty());
    // The tmpfs is still mounted, untouched.
    EXPECT_TRUE(TempTree::lstatOf(mount + "/covered").st_dev != TempTree::lstatOf(mount).st_dev);
    EXPECT_NE(::access((mount + "/covered/ten").c_str(), F_OK), 0);
    window->window()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(HLNDriveAccountController::controllerForMount(mount));
}

TEST_F(AccountedImage, DriveListOffersTheAccountAndShowsUnseenBytes) {
    HLNDriveListController list;
    list.window();
    QTreeWidget* view = list.driveListOutlineView();
    const int unseen = list.columnForIdentifier("unseen");
    ASSERT_GE(unseen, 0);
    QTreeWidgetItem* row = nullptr;
    for (QTreeWidgetItemIterator it(view); *it; ++it)
        if ((*it)->text(0).contains("mnt"))
            row = *it;
    ASSERT_TRUE(row);
    view->clearSelection();
    EXPECT_FALSE(list.accountButton()->isEnabled());
    view->setCurrentItem(row);
    ASSERT_TRUE(list.accountButton()->isEnabled());
    EXPECT_EQ(list.accountButton()->text(), "Account for Drive…");

    list.accountButton()->click();
    HLNDriveAccountController* window = HLNDriveAccountController::controllerForMount(mount);
    ASSERT_TRUE(window);
    accounted(window);
    ASSERT_TRUE(window->account());
    EXPECT_FALSE(view->isColumnHidden(unseen));
    EXPECT_EQ(row->text(unseen), HLNDriveListController::unseenTextForDrive(*list.selectedDrive()));
    EXPECT_EQ(row->text(unseen).toStdString(),
              TFString::abbreviatedStringForBytes(window->account()->unseen()));
    window->window()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST_F(AccountedImage, BrowserWindowOnTheMountPointOffersTheAccount) {
    std::vector<std::string> opened;
    HLNFileTreeController::setDriveAccountOpener(
        [&](const std::string& mountPoint) { opened.push_back(mountPoint); });
    HLNDrive::drives(); // the windows judge mount points by the cached table
    for (const std::string& path : {mount, mount + "/lost+found"}) {
        QPointer<HLNFileTreeController> window(HLNFileTreeController::initWithPath(path));
        ASSERT_TRUE(window);
        if (path == mount) {
            ASSERT_TRUE(window->accountAction());
            EXPECT_EQ(window->accountAction()->text(), "&Account for Drive…");
            window->accountAction()->trigger();
        } else {
            EXPECT_FALSE(window->accountAction()) << "a folder inside the drive is no drive";
        }
        window->window()->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    HLNFileTreeController::setDriveAccountOpener(nullptr);
    EXPECT_EQ(opened, std::vector<std::string>{mount});
}

TEST(HLNSpaceBar, EveryPartWithBytesShowsAndThePartsCoverTheBar) {
    std::vector<HLNSpaceBar::Part> parts = {{"tiny", 1, Qt::blue},
                                            {"none", 0, Qt::red},
                                            {"most", 1000000, Qt::green},
                                            {"small", 3, {}}};
    const auto spans = HLNSpaceBar::spans(parts, 200);
    ASSERT_EQ(spans.size(), parts.size());
    EXPECT_EQ(spans.front().first, 0);
    EXPECT_EQ(spans.back().second, 200);
    for (size_t i = 0; i < spans.size(); ++i) {
        EXPECT_EQ(spans[i].second - spans[i].first > 0, parts[i].bytes > 0) << i;
        if (i > 0) {
            EXPECT_EQ(spans[i].first, spans[i - 1].second) << "no gap before " << i;
        }
    }
    EXPECT_EQ(HLNSpaceBar::spans({{"a", 0, {}}}, 100).front(), std::make_pair(0, 0));
}

TEST_F(AccountedImage, FoldersCountedByAFinishedWindowAreNotSizedAgain) {
    HLNController application; // connects the account window to the browser windows
    QPointer<HLNFileTreeController> browser(HLNFileTreeController::initWithPath(mount));
    ASSERT_TRUE(browser);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return browser->rootFile()->sizeStatus() == SizeStatus::complete; }, 60000));
    HLNDriveAccountController* window = accounted(HLNDriveAccountController::openForMount(mount));
    ASSERT_TRUE(window->account());
    EXPECT_TRUE(window->account()->countedFromWindow);
    EXPECT_EQ(window->account()->counted, browser->rootFile()->sizeSoFar());
    EXPECT_TRUE(window->lineList()->topLevelItem(0)->text(0).endsWith("(from the open window)"));
    window->window()->close();
    browser->window()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
