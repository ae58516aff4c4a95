// A scan too large to read at once opens a window on its root straight
// away; the rest is read on other threads while the window shows it, and
// it ends with the file's totals. A scan damaged half-way keeps what was
// read and says what is wrong; a window closed while reading stops it.
#include "browser/HLNColumnBrowser.h"
#include "browser/HLNFileTreeController.h"
#include "scans/HLNScanLoad.h"
#include "support/TempTree.h"
#include "toolkit/TFController.h"
#include "toolkit/TFString.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QMainWindow>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>

namespace {

bool waitFor(const std::function<bool()>& done, int ms = 120000) {
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// A scan of /made-up: folders of 12,000 files of 4096 bytes each (few, so
// that the first column needs no scroll bar, which Qt draws with threads of
// its own that ThreadSanitizer cannot see into).
struct MadeUp {
    std::string text;
    uint64_t folders = 0, items = 1, bytes = 4096;
};
MadeUp madeUpScan(uint64_t folders) {
    MadeUp scan;
    scan.text = "[1,2,{\"timestamp\":1700000000},\n[{\"name\":\"/made-up\",\"dsize\":4096}";
    for (uint64_t d = 0; d < folders; ++d) {
        scan.text += ",\n[{\"name\":\"d" + std::to_string(d) + "\",\"dsize\":4096}";
        for (int f = 0; f < 12000; ++f)
            scan.text += ",\n{\"name\":\"file" + std::to_string(f) + "\",\"dsize\":4096}";
        scan.text += "]";
    }
    scan.text += "]]\n";
    scan.folders = folders;
    scan.items += folders * 12001;
    scan.bytes += folders * 12001 * 4096;
    return scan;
}

HLNFileTreeController* openScan(const std::string& file) {
    HLNFileTreeController* window = HLNFileTreeController::initWithScan(file);
    // The map stays hidden: Qt draws one of thousands of tiles with its
    // own threads too.
    if (window)
        window->treemapAction()->setChecked(false);
    return window;
}

void close(HLNFileTreeController* controller) {
    controller->window()->close();
    QApplication::processEvents();
}

} // namespace

TEST(ScanLoadWindowTest, ShowsTheRootAtOnceAndEndsWithTheFileTotals) {
    setenv("HOLLIN_NO_MOTD", "1", 1);
    TFController::sharedController().reset();
    TempTree tree;
    const MadeUp scan = madeUpScan(5);
    ASSERT_GT(scan.text.size(), HLNScanLoad::kReadHereBytes);
    std::ofstream(tree / "big.json") << scan.text;

    HLNFileTreeController* window = openScan(tree / "big.json");
    ASSERT_TRUE(window);
    // Open before the reading has ended: the main thread has not heard of
    // its end yet, whatever the other threads have done meanwhile.
    EXPECT_TRUE(window->statusField()->text().startsWith("Reading the scan"))
        << window->statusField()->text().toStdString();

    ASSERT_TRUE(waitFor([&] { return window->statusField()->text().contains(" items read in "); }))
        << window->statusField()->text().toStdString();
    const Ref<HLNFile>& root = window->rootFile();
    EXPECT_EQ(root->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(root->measures().bytes, scan.bytes);
    EXPECT_EQ(root->measures().items, scan.items);
    ASSERT_TRUE(waitFor([&] {
        return window->browser()->numberOfRowsInColumn(0) == int(scan.folders) &&
               !window->window()->windowTitle().contains("(sizing)");
    }));
    EXPECT_TRUE(window->window()->windowTitle().startsWith(
        "/made-up - " + QString::fromStdString(TFString::abbreviatedStringForBytes(scan.bytes))))
        << window->window()->windowTitle().toStdString();
    close(window);

    // Closed while reading: the reading stops and the tree is released.
    window = openScan(tree / "big.json");
    ASSERT_TRUE(window);
    Ref<HLNFile> kept = window->rootFile();
    close(window);
    EXPECT_TRUE(waitFor([&] { return kept->sizeStatus() == SizeStatus::goneOrGoing; }));
}

TEST(ScanLoadWindowTest, ADamagedScanKeepsWhatWasReadAndSaysWhy) {
    setenv("HOLLIN_NO_MOTD", "1", 1);
    TFController::sharedController().reset();
    TempTree tree;
    const MadeUp scan = madeUpScan(5);
    std::ofstream(tree / "cut.json") << scan.text.substr(0, scan.text.size() * 2 / 3);

    HLNFileTreeController* window = openScan(tree / "cut.json");
    ASSERT_TRUE(window);
    ASSERT_TRUE(waitFor([&] { return window->statusField()->text().startsWith("The scan is"); }));
    EXPECT_TRUE(window->statusField()->text().contains("the scan ends early at byte"))
        << window->statusField()->text().toStdString();
    const Ref<HLNFile>& root = window->rootFile();
    EXPECT_EQ(root->sizeStatus(), SizeStatus::complete);
    const uint64_t items = root->measures().items;
    EXPECT_GT(items, scan.items / 2);
    EXPECT_LT(items, scan.items);
    EXPECT_EQ(root->measures().bytes, items * 4096);
    ASSERT_TRUE(waitFor([&] { return window->browser()->numberOfRowsInColumn(0) >= 3; }));
    close(window);
}
