#include "browser/HLNWindowGrowth.h"

#include "browser/HLNFileBrowserCell.h"
#include "browser/HLNFileTreeController.h"
#include "browser/HLNFindPanel.h"
#include "browser/HLNSizeHistoryChart.h"
#include "browser/HLNTreemapView.h"
#include "history/HLNFolderFigures.h"
#include "history/HLNHistory.h"
#include "history/HLNHistoryRecorder.h"
#include "scans/HLNScanWriter.h"
#include "support/TempTree.h"
#include "toolkit/TFString.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTreeWidget>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

bool waitFor(const std::function<bool()>& done, int ms = 30000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

QString bytesText(uint64_t bytes) {
    return QString::fromStdString(TFString::abbreviatedStringForBytes(bytes));
}

size_t recordsOf(const std::string& path) {
    HLNHistory history;
    const auto records = history.records(HLNFolderFigures::recordPathOf(path));
    return records ? records->size() : 0;
}

class GrowthWindow : public ::testing::Test {
protected:
    void TearDown() override {
        close();
        HLNWindowGrowth::setKeepsHistory(true);
    }
    void open() {
        controller = HLNFileTreeController::initWithPath(tree.path());
        ASSERT_NE(controller, nullptr);
        // The title shows the whole size in the refresh that asks for the
        // record: once it does, the recorder has the record in hand.
        ASSERT_TRUE(waitFor([&] {
            return controller->rootFile()->sizeStatus() == SizeStatus::complete &&
                   controller->window()->windowTitle() ==
                       controller->rootFileTitle() + " - " +
                           bytesText(controller->rootFile()->sizeSoFar());
        }));
        HLNHistoryRecorder::shared().waitUntilIdle();
    }
    void close() {
        if (!controller)
            return;
        QPointer<HLNFileTreeController> watch(controller.data());
        controller->window()->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        waitFor([&] { return watch.isNull(); }, 2000);
    }
    HLNColumnBrowser* browser() { return controller->browser(); }
    HLNFileBrowserCell* cellOf(const std::string& name) {
        for (int row = 0; row < browser()->numberOfRowsInColumn(0); ++row) {
            auto* cell = static_cast<HLNFileBrowserCell*>(browser()->loadedCellAtRow(row, 0));
            if (cell->file()->name() == name)
                return cell;
        }
        return nullptr;
    }
    int rowOf(const std::string& name) {
        for (int row = 0; row < browser()->numberOfRowsInColumn(0); ++row)
            if (static_cast<HLNFileBrowserCell*>(browser()->loadedCellAtRow(row, 0))
                    ->file()
                    ->name() == name)
                return row;
        return -1;
    }
    // The change the row ends in; empty when it shows none.
    QString noteOf(const std::string& name) {
        HLNFileBrowserCell* cell = cellOf(name);
        if (!cell)
            return "(no row)";
        QImage row(400, 24, QImage::Format_RGB32); // as drawn: the cell takes up what changed
        QPainter painter(&row);
        cell->drawWithFrame(&painter, row.rect(), QStyleOptionViewItem());
        const std::vector<HLNTextRun>& runs = cell->attributedStringValue();
        return runs.size() > 2 && runs.back().atRight ? runs.back().text : QString();
    }
    std::string firstRow() {
        return static_cast<HLNFileBrowserCell*>(browser()->loadedCellAtRow(0, 0))->file()->name();
    }

    TempTree tree;
    QPointer<HLNFileTreeController> controller;
};

// A tree recorded by its window, then changed: the comparison with the
// record shows each change where the user looks for it.
TEST_F(GrowthWindow, ComparesWithTheRecordOfAnEarlierSizing) {
    for (const char* folder : {"large", "grow/deep", "gone/inner", "same", "fresh"})
        tree.mkdir(folder);
    std::filesystem::remove(tree / "fresh"); // made after the record
    tree.writeFile("large/big.bin", 60 << 20);
    tree.writeFile("grow/deep/log", 1 << 20);
    tree.writeFile("gone/old.bin", 20 << 20);
    tree.writeFile("gone/inner/more.bin", 1 << 20);
    tree.writeFile("same/file", 4096);
    const uint64_t growThen = TempTree::duBytes(tree / "grow");
    const uint64_t goneThen = TempTree::duBytes(tree / "gone");
    const std::string scan = tree / "then.json"; // the same tree as a scan file
    {
        const int fd = ::open(scan.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        std::string error;
        EXPECT_TRUE(HLNScanWriter(fd).writeScanOfPath(tree.path(), &error)) << error;
        ::close(fd);
    }

    open();
    EXPECT_EQ(recordsOf(tree.path()), 1u) << "sizing the window recorded its tree";
    close();

    tree.writeFile("grow/deep/new.bin", 50 << 20);
    std::filesystem::remove_all(tree / "gone");
    tree.mkdir("fresh");
    tree.writeFile("fresh/a", 8192);
    const uint64_t growNow = TempTree::duBytes(tree / "grow");

    // Keep Scan History off: the window sizes and records nothing.
    HLNWindowGrowth::setKeepsHistory(false);
    open();
    EXPECT_EQ(recordsOf(tree.path()), 1u);
    HLNWindowGrowth* growth = controller->growth();
    EXPECT_FALSE(controller->actionFor("orderByGrowth")->isEnabled());
    EXPECT_EQ(noteOf("grow"), QString()) << "no notes before a comparison";

    growth->fillCompareMenu();
    ASSERT_EQ(growth->recordActions().size(), 1u);
    growth->recordActions()[0]->trigger();
    ASSERT_TRUE(growth->isComparing());
    EXPECT_FALSE(controller->actionFor("compareNone")->isChecked());

    EXPECT_EQ(noteOf("grow"), "+" + bytesText(growNow - growThen));
    EXPECT_EQ(noteOf("grow"), "+50.0 MB");
    EXPECT_EQ(noteOf("fresh"), "new");
    EXPECT_EQ(noteOf("same"), QString()) << "unchanged: no note";
    EXPECT_EQ(firstRow(), "large") << "still largest first";

    controller->actionFor("orderByGrowth")->trigger();
    EXPECT_EQ(firstRow(), "grow");

    browser()->selectRowInColumn(rowOf("grow"), 0);
    controller->selectBrowserCell();
    EXPECT_TRUE(controller->measuresField()->text().contains(
        "grew by " + bytesText(growNow - growThen) + " since " + growth->sinceText()))
        << controller->measuresField()->text().toStdString();

    // The map: the grown folder's files lean to red, the unchanged grey.
    HLNTreemapView* map = controller->treemap();
    ASSERT_TRUE(map->colorsByNode());
    const QImage picture = map->grab().toImage();
    auto tint = [&](const std::string& relative) {
        for (const auto& entry : map->snapshot().entries())
            if (entry.file && entry.file->path() == tree / relative) {
                const QRectF rect = map->rectOfFile(entry.file.get());
                const QColor c = picture.pixelColor(QPoint(int(rect.left() + rect.width() / 4),
                                                           int(rect.top() + rect.height() / 4)));
                return c.red() - c.blue();
            }
        return INT32_MIN;
    };
    EXPECT_GT(tint("grow/deep/new.bin"), 60);
    EXPECT_LT(std::abs(tint("large/big.bin")), 20);

    // Gone: the removed folder with what it weighed, and no node to act on.
    controller->findAction()->trigger();
    QComboBox* choice = controller->findPanel()->choiceBox();
    ASSERT_EQ(choice->count(), 5);
    choice->setCurrentIndex(int(HLNFindPanel::Choice::Gone));
    QTreeWidget* results = controller->findPanel()->results();
    ASSERT_EQ(results->topLevelItemCount(), 1) << "the topmost gone folder only";
    EXPECT_EQ(results->topLevelItem(0)->text(0), "gone/");
    EXPECT_EQ(results->topLevelItem(0)->text(1), bytesText(goneThen));
    results->topLevelItem(0)->setSelected(true);
    EXPECT_TRUE(controller->findPanel()->selectedResults().empty());
    controller->findAction()->trigger();

    // Live: the comparison follows a folder measured again.
    tree.writeFile("grow/more.bin", 10 << 20);
    const uint64_t grownAgain = TempTree::duBytes(tree / "grow");
    browser()->selectRowInColumn(rowOf("grow"), 0);
    controller->selectBrowserCell();
    controller->updateSelection();
    EXPECT_TRUE(waitFor([&] {
        controller->_refreshDisplay();
        return noteOf("grow") == "+" + bytesText(grownAgain - growThen);
    })) << noteOf("grow").toStdString();

    // None: the notes, the order and the colours go.
    controller->actionFor("compareNone")->trigger();
    EXPECT_FALSE(growth->isComparing());
    EXPECT_FALSE(controller->actionFor("orderByGrowth")->isChecked());
    EXPECT_FALSE(map->colorsByNode());
    EXPECT_EQ(noteOf("grow"), QString());
    EXPECT_EQ(choice->count(), 4);

    // A scan file as the earlier side says the same.
    ASSERT_TRUE(growth->compareWithScan(scan));
    EXPECT_EQ(noteOf("grow"), "+" + bytesText(grownAgain - growThen));
    EXPECT_EQ(growth->gone().size(), 1u);
    close();

    // A window on a scan records nothing, history kept or not.
    HLNWindowGrowth::setKeepsHistory(true);
    controller = HLNFileTreeController::initWithScan(scan);
    ASSERT_NE(controller, nullptr);
    ASSERT_EQ(controller->rootFile()->sizeStatus(), SizeStatus::complete);
    controller->_refreshDisplay();
    HLNHistoryRecorder::shared().waitUntilIdle();
    EXPECT_EQ(recordsOf(tree.path()), 1u);
}

// Size History: the folder's disk usage in each record, oldest first, the
// point under the mouse told.
TEST_F(GrowthWindow, ChartsAFolderAcrossItsRecords) {
    tree.mkdir("logs/old");
    tree.writeFile("logs/old/a", 1 << 20);
    const uint64_t then = TempTree::duBytes(tree / "logs");
    open();
    close();
    tree.writeFile("logs/b", 3 << 20);
    std::filesystem::remove_all(tree / "logs/old");
    const uint64_t now = TempTree::duBytes(tree / "logs");
    open();
    ASSERT_EQ(recordsOf(tree.path()), 2u);

    EXPECT_EQ(controller->growth()->showSizeHistory(), nullptr) << "nothing selected";
    browser()->selectRowInColumn(rowOf("logs"), 0);
    controller->selectBrowserCell();
    EXPECT_TRUE(controller->actionFor("sizeHistory")->isEnabled());
    HLNSizeHistoryChart* chart = controller->growth()->showSizeHistory();
    ASSERT_NE(chart, nullptr);
    ASSERT_EQ(chart->points().size(), 2u);
    EXPECT_EQ(chart->points()[0].diskUsage, then);
    EXPECT_EQ(chart->points()[1].diskUsage, now);
    EXPECT_LT(chart->positionOf(0).x(), chart->positionOf(1).x());
    EXPECT_GT(chart->positionOf(0).y(), chart->positionOf(1).y()) << "larger is higher";
    ASSERT_TRUE(QTest::qWaitForWindowExposed(chart->window()));
    const QPointF at = chart->positionOf(1) + QPointF(3, -2); // near, not on
    QMouseEvent move(QEvent::MouseMove, at, chart->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(chart, &move);
    EXPECT_EQ(chart->hovered(), 1);
    EXPECT_TRUE(chart->textOf(1).endsWith(bytesText(now)));
    chart->window()->close();
}

// A record of the folder when it held another file system is another
// tree: comparing with it is refused, and said.
TEST_F(GrowthWindow, RefusesARecordOfAnotherFileSystem) {
    if (!runningAsRoot())
        GTEST_SKIP() << "SKIP: mounting a file system over the recorded folder needs root";
    tree.mkdir("a");
    tree.writeFile("a/file", 1 << 20);
    open();
    close();
    ASSERT_EQ(::mount("tmpfs", tree.path().c_str(), "tmpfs", 0, "size=4m"), 0)
        << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{tree.path()};
    tree.mkdir("a");
    HLNWindowGrowth::setKeepsHistory(false);
    open();
    controller->growth()->fillCompareMenu();
    ASSERT_EQ(controller->growth()->recordActions().size(), 1u);
    controller->growth()->recordActions()[0]->trigger();
    EXPECT_FALSE(controller->growth()->isComparing());
    EXPECT_TRUE(controller->actionFor("compareNone")->isChecked());
    EXPECT_TRUE(waitFor(
        [&] { return controller->window()->findChild<QWidget*>("compareRefused") != nullptr; }));
    close();
}

// What cannot be compared with is said, and the window goes on as it was.
TEST_F(GrowthWindow, RefusesAScanThatIsNotOne) {
    tree.mkdir("a");
    tree.writeFile("a/file", 4096);
    const std::string bad = tree / "bad.json";
    tree.writeFile("bad.json", 100); // zeros: no scan
    open();
    EXPECT_FALSE(controller->growth()->compareWithScan(bad));
    EXPECT_FALSE(controller->growth()->isComparing());
    EXPECT_TRUE(controller->actionFor("compareNone")->isChecked());
    EXPECT_TRUE(waitFor(
        [&] { return controller->window()->findChild<QWidget*>("compareRefused") != nullptr; }));
}

} // namespace
