#include "browser/HLNTreemapView.h"

#include "browser/HLNColumnBrowser.h"
#include "browser/HLNFileBrowserCell.h"
#include "browser/HLNFileTreeController.h"
#include "browser/HLNShrinkingTextDisplayer.h"
#include "browser/HLNTreemapPainter.h"
#include "model/HLNBackgroundFileSizer.h"
#include "support/TempTree.h"
#include "support/WidgetEvents.h"
#include "toolkit/TFString.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QSplitter>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <unistd.h>

namespace {

bool waitFor(const std::function<bool()>& done, int ms = 20000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

uint64_t allocated(const std::string& path) {
    return uint64_t(TempTree::lstatOf(path).st_blocks) * 512;
}

class TreemapWindow : public ::testing::Test {
protected:
    void SetUp() override {
        tree.mkdir("big");
        tree.writeFile("big/inner.bin", 600000);
        tree.writeFile("big/two.bin", 300000);
        tree.mkdir("other");
        tree.writeFile("other/x.txt", 200000);
        tree.writeFile("small.txt", 100000);
    }
    void TearDown() override { close(); }

    void open() {
        controller = HLNFileTreeController::initWithPath(tree.path());
        ASSERT_NE(controller, nullptr);
        controller->window()->resize(900, 700);
        QApplication::processEvents();
    }
    void close() {
        if (!controller)
            return;
        QPointer<HLNFileTreeController> watch(controller.data());
        controller->window()->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        waitFor([&] { return watch.isNull(); }, 2000);
        controller = nullptr;
    }
    bool openComplete() {
        open();
        return waitFor([&] {
            return controller->rootFile()->sizeStatus() == SizeStatus::complete &&
                   !map()->snapshot().empty() &&
                   map()->snapshot().entries()[0].status == SizeStatus::complete;
        });
    }
    HLNTreemapView* map() { return controller->treemap(); }
    // The node of a path in the map's snapshot, and the middle of its rectangle.
    Ref<HLNFile> drawn(const std::string& path) {
        const auto& s = map()->snapshot();
        for (uint32_t i = 0; i < s.entries().size(); ++i)
            if (s.pathOf(i) == path)
                return s.entries()[i].file;
        return nullptr;
    }
    QPointF middleOf(const Ref<HLNFile>& file) { return map()->rectOfFile(file.get()).center(); }

    TempTree tree;
    QPointer<HLNFileTreeController> controller;
};

} // namespace

TEST_F(TreemapWindow, ClickingARectangleSelectsItInTheColumnsAndTheColumnsOutlineOnTheMap) {
    ASSERT_TRUE(openComplete());
    const Ref<HLNFile> inner = drawn(tree / "big/inner.bin");
    ASSERT_TRUE(inner);
    EXPECT_EQ(map()->fileAt(middleOf(inner).toPoint()), inner);

    WidgetEvents::click(map(), middleOf(inner));
    ASSERT_EQ(controller->selectedFiles(), std::vector<Ref<HLNFile>>{inner});
    EXPECT_EQ(controller->browser()->selectedColumn(), 1) << "the columns open down to it";
    EXPECT_EQ(
        static_cast<HLNFileBrowserCell*>(controller->browser()->loadedCellAtRow(
                                             controller->browser()->selectedRowInColumn(0), 0))
            ->file()
            ->name(),
        "big");
    EXPECT_EQ(controller->filenameDisplayer()->stringValue(), "inner.bin");
    EXPECT_EQ(controller->fileSizeField()->text(),
              QString::fromStdString(
                  TFString::abbreviatedStringForBytes(allocated(tree / "big/inner.bin"))));
    EXPECT_EQ(map()->outlinedFiles(), std::vector<Ref<HLNFile>>{inner});

    // Selected in the columns: outlined on the map, and drawn so.
    const Ref<HLNFile> other = drawn(tree / "other");
    ASSERT_TRUE(other);
    for (int row = 0; row < controller->browser()->numberOfRowsInColumn(0); ++row)
        if (static_cast<HLNFileBrowserCell*>(controller->browser()->loadedCellAtRow(row, 0))
                ->file() == other)
            controller->browser()->selectRowInColumn(row, 0);
    controller->selectBrowserCell();
    EXPECT_EQ(map()->outlinedFiles(), std::vector<Ref<HLNFile>>{other});
    const QRectF r = map()->rectOfFile(other.get());
    const QImage shown = map()->grab().toImage();
    EXPECT_EQ(shown.pixelColor(int(r.x()) + 1, int(r.center().y())), QColor(Qt::white));
    EXPECT_NE(shown.pixelColor(int(r.center().x()), int(r.center().y())), QColor(Qt::white));

    // The tooltip names the path and the size.
    QHelpEvent help(QEvent::ToolTip, middleOf(inner).toPoint(),
                    map()->mapToGlobal(middleOf(inner).toPoint()));
    QApplication::sendEvent(map(), &help);
    EXPECT_TRUE(QToolTip::text().contains(QString::fromStdString(tree / "big/inner.bin")));
    EXPECT_TRUE(QToolTip::text().contains(QString::fromStdString(
        TFString::abbreviatedStringForBytes(allocated(tree / "big/inner.bin")))));
}

TEST_F(TreemapWindow, DoubleClickZoomsInBackspaceAndZoomOutGoBackAndNoKeyDeletes) {
    ASSERT_TRUE(openComplete());
    const Ref<HLNFile> inner = drawn(tree / "big/inner.bin");
    ASSERT_TRUE(inner);
    EXPECT_FALSE(controller->zoomOutAction()->isEnabled());

    WidgetEvents::doubleClick(map(), middleOf(inner));
    EXPECT_EQ(map()->zoomFile(), inner->parent());
    EXPECT_EQ(map()->snapshot().pathOf(0), tree / "big");
    EXPECT_TRUE(controller->zoomOutAction()->isEnabled());
    // Zoomed, inner.bin takes two thirds of the map.
    const QRect m = map()->mapRect();
    EXPECT_NEAR(map()->rectOfFile(inner.get()).width() * map()->rectOfFile(inner.get()).height() /
                    (m.width() * m.height()),
                600000.0 / 900000.0, 0.02);

    // Keys over the map: Backspace zooms out; no key destroys anything, not
    // even the window's destroy shortcut.
    ASSERT_EQ(controller->selectedFiles(), std::vector<Ref<HLNFile>>{inner});
    bool panelShown = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            panelShown = true;
            box->reject();
        }
    });
    poll.start(10);
    QApplication::setActiveWindow(controller->window());
    map()->setFocus();
    QTest::keyClick(map(), Qt::Key_Backspace, Qt::ControlModifier);
    QTest::keyClick(map(), Qt::Key_Delete);
    QTest::keyClick(map(), Qt::Key_Delete, Qt::ShiftModifier);
    waitFor([] { return false; }, 100);
    EXPECT_FALSE(panelShown);
    EXPECT_FALSE(inner->isTrashing());
    EXPECT_EQ(::access((tree / "big/inner.bin").c_str(), F_OK), 0);
    EXPECT_EQ(map()->zoomFile(), controller->rootFile())
        << "Ctrl+Backspace zoomed out like Backspace";

    WidgetEvents::doubleClick(map(), middleOf(drawn(tree / "other/x.txt")));
    EXPECT_EQ(map()->snapshot().pathOf(0), tree / "other");
    QTest::keyClick(map(), Qt::Key_Backspace);
    EXPECT_EQ(map()->zoomFile(), controller->rootFile());
    WidgetEvents::doubleClick(map(), middleOf(drawn(tree / "big/two.bin")));
    controller->zoomOutAction()->trigger();
    EXPECT_EQ(map()->zoomFile(), controller->rootFile());
    EXPECT_FALSE(controller->zoomOutAction()->isEnabled());
}

TEST_F(TreemapWindow, ARefreshWhileSizingChangesTheMap) {
    // The sizing thread is held as it takes "big", before reading it.
    std::mutex lock;
    std::condition_variable changed;
    bool held = false, go = false;
    HLNBackgroundFileSizer::setVisitHookForTesting([&](const Ref<HLNFile>& n) {
        if (n->nameView() != "big")
            return;
        std::unique_lock l(lock);
        held = true;
        changed.notify_all();
        changed.wait(l, [&] { return go; });
    });
    open();
    {
        std::unique_lock l(lock);
        ASSERT_TRUE(changed.wait_for(l, std::chrono::seconds(20), [&] { return held; }));
    }
    controller->_refreshDisplay();
    const Ref<HLNFile> big = drawn(tree / "big");
    ASSERT_TRUE(big);
    const auto before = map()->snapshot();
    const uint32_t at = before.indexOf(big.get());
    EXPECT_EQ(before.entries()[0].status, SizeStatus::inProgress);
    EXPECT_EQ(before.entries()[at].childCount, 0u) << "not read yet";
    // Hatched where bytes are still being counted: the folders not read yet
    // and the rest of the root, not the files already sized.
    const std::vector<bool> busy = HLNTreemapPainter::busyEntries(before);
    int hatched = 0;
    for (const auto& tile : map()->layout().tiles()) {
        hatched += busy[tile.entry];
        EXPECT_EQ(busy[tile.entry], tile.rest || before.entries()[tile.entry].isDirectory)
            << before.pathOf(tile.entry);
    }
    EXPECT_GT(hatched, 0);
    EXPECT_NE(map()->grab().toImage().pixelColor(middleOf(big).toPoint()),
              QColor(HLNTreemapPainter::colorOfKind(HLNTreemapPainter::Other)));
    const double areaBefore =
        map()->rectOfFile(big.get()).width() * map()->rectOfFile(big.get()).height();
    {
        std::scoped_lock l(lock);
        go = true;
        changed.notify_all();
    }
    ASSERT_TRUE(waitFor([&] {
        return controller->rootFile()->sizeStatus() == SizeStatus::complete &&
               HLNBackgroundFileSizer::isIdle();
    }));
    HLNBackgroundFileSizer::setVisitHookForTesting(nullptr);
    controller->_refreshDisplay();
    const auto& after = map()->snapshot();
    const uint32_t now = after.indexOf(big.get());
    ASSERT_NE(now, HLNTreemapSnapshot::none);
    EXPECT_EQ(after.entries()[now].childCount, 2u);
    EXPECT_EQ(after.entries()[now].bytes, TempTree::duBytes(tree / "big"));
    EXPECT_GT(map()->rectOfFile(big.get()).width() * map()->rectOfFile(big.get()).height(),
              areaBefore * 2);
    for (bool busyNow : HLNTreemapPainter::busyEntries(after))
        EXPECT_FALSE(busyNow);
}

TEST_F(TreemapWindow, TheTreemapChoiceAndTheSplitterAreSavedWithTheWindow) {
    ASSERT_TRUE(openComplete());
    EXPECT_TRUE(controller->treemapAction()->isChecked()) << "shown by default";
    EXPECT_TRUE(map()->isVisible());
    controller->splitter()->setSizes({420, 180});
    const QList<int> sizes = controller->splitter()->sizes();
    controller->treemapAction()->trigger();
    EXPECT_FALSE(map()->isVisible());
    close();

    open();
    EXPECT_FALSE(controller->treemapAction()->isChecked());
    EXPECT_FALSE(map()->isVisible());
    controller->treemapAction()->trigger();
    ASSERT_TRUE(waitFor([&] { return map()->isVisible() && !map()->snapshot().empty(); }));
    const QList<int> now = controller->splitter()->sizes();
    ASSERT_EQ(now.size(), 2);
    EXPECT_NEAR(double(now[1]) / (now[0] + now[1]), double(sizes[1]) / (sizes[0] + sizes[1]), 0.02);
}

TEST_F(TreemapWindow, AFolderOfFiftyThousandFilesZoomedIntoIsDrawnDownToEachFile) {
    constexpr int files = 50000;
    tree.mkdir("many");
    for (int i = 0; i < files; ++i) { // no sync each: the blocks are counted at once
        const int fd = ::open((tree / ("many/f" + std::to_string(i) + ".dat")).c_str(),
                              O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_EQ(::write(fd, "x", 1), 1);
        ::close(fd);
    }
    ASSERT_TRUE(openComplete());
    const Ref<HLNFile> many = drawn(tree / "many");
    ASSERT_TRUE(many);
    map()->zoomInto(HLNFile::ChildList(many->children())->begin()[0]);
    ASSERT_EQ(map()->zoomFile(), many);
    const auto& s = map()->snapshot();
    ASSERT_EQ(s.entries()[0].childCount, uint32_t(files));
    const QRect m = map()->mapRect();
    ASSERT_LT(m.width() * m.height(), files * HLNTreemapLayout::minimumArea)
        << "the map is small enough that these files would be left out deeper down";
    int tiny = 0;
    for (uint32_t k = 1; k <= uint32_t(files); ++k)
        tiny += map()->layout().rects()[k].area() < HLNTreemapLayout::minimumRootEntryArea;
    EXPECT_EQ(tiny, 0);
    // A tile in the middle of the map is a file of the folder, not the folder.
    const Ref<HLNFile> middle = map()->fileAt(m.center());
    ASSERT_TRUE(middle);
    EXPECT_EQ(middle->parent(), many);
    if (const char* shot = std::getenv("HOLLIN_TREEMAP_SCREENSHOT"))
        controller->window()->grab().save(shot);
}
