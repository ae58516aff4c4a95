#include "browser/HLNFileBrowserCell.h"
#include "browser/HLNFileTreeController.h"
#include "model/HLNSharedSpace.h"
#include "support/TempTree.h"
#include "toolkit/TFString.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QPainter>
#include <QPointer>
#include <QRegularExpression>
#include <QStyleOptionViewItem>
#include <cstdio>
#include <gtest/gtest.h>
#include <spawn.h>
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

int runToEnd(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    int status = 0;
    if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0 ||
        ::waitpid(pid, &status, 0) < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint64_t allocated(const std::string& path) {
    return uint64_t(TempTree::lstatOf(path).st_blocks) * 512;
}
QString bytesText(uint64_t bytes) {
    return QString::fromStdString(TFString::abbreviatedStringForBytes(bytes));
}

class SharedSpaceWindow : public ::testing::Test {
protected:
    void TearDown() override {
        if (controller) {
            QPointer<HLNFileTreeController> watch(controller.data());
            controller->window()->close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            waitFor([&] { return watch.isNull(); }, 2000);
        }
        if (mounted)
            runToEnd({"umount", tree / "mnt"});
    }
    void open(const std::string& path) {
        controller = HLNFileTreeController::initWithPath(path);
        ASSERT_NE(controller, nullptr);
        ASSERT_TRUE(waitFor([&] {
            return controller->rootFile()->sizeStatus() == SizeStatus::complete &&
                   controller->window()->windowTitle().endsWith(
                       bytesText(controller->rootFile()->sizeSoFar()));
        }));
    }
    HLNFileBrowserCell* cell(const std::string& name, int column) {
        HLNColumnBrowser* browser = controller->browser();
        for (int row = 0; row < browser->numberOfRowsInColumn(column); ++row)
            if (auto* c = static_cast<HLNFileBrowserCell*>(browser->loadedCellAtRow(row, column));
                c && c->file() && c->file()->name() == name)
                return c;
        return nullptr;
    }
    void select(const std::string& name, int column) {
        HLNColumnBrowser* browser = controller->browser();
        for (int row = 0; row < browser->numberOfRowsInColumn(column); ++row)
            if (static_cast<HLNFileBrowserCell*>(browser->loadedCellAtRow(row, column))
                    ->file()
                    ->name() == name)
                browser->selectRowInColumn(row, column);
        controller->selectBrowserCell();
    }
    // The size field as the cell draws it: its text, and whether greyed.
    QString sizeField(const std::string& name, int column, bool* greyed = nullptr) {
        HLNFileBrowserCell* c = cell(name, column);
        if (!c)
            return QString();
        QImage image(300, 24, QImage::Format_ARGB32); // drawn, as a repaint would
        QPainter painter(&image);
        QStyleOptionViewItem option;
        option.palette = QApplication::palette();
        c->drawWithFrame(&painter, QRect(0, 0, 300, 24), option);
        const HLNTextRun& run = c->attributedStringValue().at(0);
        if (greyed)
            *greyed = run.color == HLNFileBrowserCell::greyedNameColor();
        return run.text;
    }
    QString exclusiveField(uint64_t bytes) {
        return HLNFileBrowserCell::sizeFieldText(SizeStatus::complete, bytes, true);
    }

    TempTree tree;
    QPointer<HLNFileTreeController> controller;
    bool mounted = false;
};

TEST_F(SharedSpaceWindow, ReflinkedCopiesHoldNothingAloneAndTheirFolderCountsThemOnce) {
    if (!runningAsRoot())
        GTEST_SKIP() << "loop-mounting a btrfs image needs root";
    const std::string image = tree.writeFile("btrfs.img", 0), mount = tree.mkdir("mnt");
    ASSERT_EQ(::truncate(image.c_str(), 300 << 20), 0);
    if (runToEnd({"mkfs.btrfs", "-q", image}) != 0 ||
        runToEnd({"mount", "-o", "loop", image, mount}) != 0)
        GTEST_SKIP() << "cannot loop-mount a btrfs image here";
    mounted = true;
    constexpr uint64_t M = 32 << 20;
    tree.mkdir("mnt/d");
    tree.writeFile("mnt/d/a", M);
    ASSERT_EQ(runToEnd({"cp", "--reflink=always", mount + "/d/a", mount + "/d/copy"}), 0);
    ::sync(); // placed extents: delayed ones are never shared
    open(mount);
    ASSERT_FALSE(controller->sharedSpaceAction()->isChecked()) << "off by default";
    controller->sharedSpaceAction()->trigger();
    ASSERT_NE(controller->sharedSpace(), nullptr);
    select("d", 0);
    const QString zero = exclusiveField(0);
    bool greyed = true;
    ASSERT_TRUE(waitFor([&] {
        return sizeField("a", 1, &greyed) == zero && !greyed && sizeField("copy", 1) == zero;
    })) << sizeField("a", 1).toStdString();
    // The folder's summary: nothing alone, both files' blocks shared, held once.
    const uint64_t folder = allocated(mount + "/d");
    EXPECT_TRUE(waitFor([&] {
        return controller->measuresField()->text().contains(
            bytesText(folder) + " exclusive (freed if deleted, at least) \u00b7 " +
            bytesText(2 * M) + " shared (held by copies or snapshots too) \u00b7 " +
            bytesText(M + folder) + " counted once");
    })) << controller->measuresField()->text().toStdString();
    HLNSharedSpace::Figures figures;
    const Ref<HLNFile> d = cell("d", 0)->file();
    ASSERT_TRUE(controller->sharedSpace()->figuresOf(d, d->snapshot(), figures));
    EXPECT_EQ(figures.countedOnce, M + folder);
    EXPECT_EQ(figures.shared, 2 * M);
    EXPECT_FALSE(figures.approximate);

    // A re-read follows: a third copy is shared too, and still held once.
    ASSERT_EQ(runToEnd({"cp", "--reflink=always", mount + "/d/a", mount + "/d/third"}), 0);
    ::sync();
    controller->updateSelection(); // d, measured again
    EXPECT_TRUE(waitFor([&] {
        HLNSharedSpace::Figures now;
        return controller->sharedSpace()->figuresOf(d, d->snapshot(), now) && now.shared == 3 * M &&
               now.countedOnce == M + allocated(mount + "/d") && sizeField("third", 1) == zero;
    }));

    // Past the bound of remembered extents the figure is an upper bound, and says so.
    HLNSharedSpace::setExtentBoundForTesting(0);
    controller->sharedSpaceAction()->trigger();
    controller->sharedSpaceAction()->trigger(); // computed anew
    EXPECT_TRUE(waitFor([&] {
        return controller->measuresField()->text().contains(
            "at most " + bytesText(3 * M + allocated(mount + "/d")) + " counted once");
    })) << controller->measuresField()->text().toStdString();
    HLNSharedSpace::setExtentBoundForTesting(HLNSharedSpace::kExtentBound);

    // Off: disk usage again, and the side table released.
    controller->sharedSpaceAction()->trigger();
    EXPECT_EQ(controller->sharedSpace(), nullptr);
    EXPECT_EQ(sizeField("a", 1),
              HLNFileBrowserCell::sizeFieldText(SizeStatus::complete, allocated(mount + "/d/a")));
    EXPECT_FALSE(controller->measuresField()->text().contains("shared"));
}

TEST_F(SharedSpaceWindow, OnACompressingBtrfsTheSummaryGivesWhatTheFolderTakesCompressed) {
    if (!runningAsRoot())
        GTEST_SKIP() << "loop-mounting a btrfs image, and reading compressed sizes, need root";
    const std::string image = tree.writeFile("btrfs.img", 0), mount = tree.mkdir("mnt");
    ASSERT_EQ(::truncate(image.c_str(), 300 << 20), 0);
    if (runToEnd({"mkfs.btrfs", "-q", image}) != 0 ||
        runToEnd({"mount", "-o", "loop,compress=zstd", image, mount}) != 0)
        GTEST_SKIP() << "cannot loop-mount a compressing btrfs image here";
    mounted = true;
    tree.mkdir("mnt/logs");
    std::string text;
    for (int i = 0; text.size() < (8u << 20); ++i)
        text += "line " + std::to_string(i) + ": nothing happened, as usual\n";
    for (const char* name : {"logs/a.log", "logs/b.log"}) {
        FILE* f = std::fopen((mount + "/" + name).c_str(), "w");
        ASSERT_TRUE(f);
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
        std::fclose(f);
    }
    ::sync(); // compressed as it is written out
    open(mount);
    controller->sharedSpaceAction()->trigger();
    select("logs", 0);
    const uint64_t usage = allocated(mount + "/logs/a.log") + allocated(mount + "/logs/b.log");
    QRegularExpressionMatch match;
    ASSERT_TRUE(waitFor([&] {
        match = QRegularExpression(" · (\\S+ \\S+) on disk once compressed")
                    .match(controller->measuresField()->text());
        return match.hasMatch();
    })) << controller->measuresField()->text().toStdString();
    // Text takes a small part of its size once compressed; unread, it would be all of it.
    const QString compressed = match.captured(1);
    EXPECT_NE(compressed, bytesText(usage + allocated(mount + "/logs")));
    EXPECT_TRUE(compressed.endsWith("KB") || compressed.endsWith("MB")) << compressed.toStdString();
    if (compressed.endsWith("MB")) {
        EXPECT_LT(compressed.split(' ')[0].toDouble(), 4.0) << compressed.toStdString();
    }
}

TEST_F(SharedSpaceWindow, WhereNothingCanBeSharedEveryByteIsExclusiveAfterOneLook) {
    tree.writeFile("big", 300000);
    tree.mkdir("sub");
    tree.writeFile("sub/small", 5000);
    open(tree.path());
    controller->sharedSpaceAction()->trigger();
    select("sub", 0);
    ASSERT_TRUE(waitFor([&] {
        bool greyed = true;
        return sizeField("big", 0, &greyed) == exclusiveField(allocated(tree / "big")) && !greyed &&
               sizeField("small", 1) == exclusiveField(allocated(tree / "sub/small"));
    }));
    if (!controller->sharedSpace()->cannotShare())
        GTEST_SKIP() << "the temporary folder lies on a file system that shares blocks";
    EXPECT_EQ(controller->sharedSpace()->walks(), 1u) << "one look decides, nothing more is read";
    EXPECT_EQ(controller->sharedSpace()->bytesUsed(), 0u) << "and nothing is kept";
    EXPECT_TRUE(controller->measuresField()->text().contains(
        bytesText(allocated(tree / "sub") + allocated(tree / "sub/small")) +
        " exclusive (freed if deleted, at least) \u00b7 0 B shared"));
}

} // namespace
