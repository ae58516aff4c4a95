// A scan opened like a folder (recognised by its content, not its name)
// shows the scanned tree with its sizes, without the files being here, and
// none of the commands that would touch the disk can run.
#include "app/HLNController.h"
#include "browser/HLNColumnBrowser.h"
#include "browser/HLNFileTreeController.h"
#include "browser/HLNFileWell.h"
#include "scans/HLNScanWriter.h"
#include "support/TempTree.h"
#include "toolkit/TFController.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFString.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

QString bytesText(uint64_t bytes) {
    return QString::fromStdString(TFString::abbreviatedStringForBytes(bytes));
}

} // namespace

TEST(ScanWindowTest, ShowsTheScanWithTheDiskCommandsOff) {
    setenv("HOLLIN_NO_MOTD", "1", 1);
    TFController::sharedController().reset();
    TempTree tree;
    tree.mkdir("srv/big");
    tree.writeFile("srv/big/f", 300000);
    tree.writeFile("srv/small", 5000);
    const uint64_t total = TempTree::duBytes(tree / "srv");
    const uint64_t big = TempTree::duBytes(tree / "srv/big");
    const std::string scanFile = tree / "last-week"; // no telling name
    {
        const int fd = ::open(scanFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        std::string error;
        ASSERT_TRUE(HLNScanWriter(fd).writeScanOfPath(tree / "srv", &error)) << error;
        ::close(fd);
    }
    // The files are elsewhere now: the window has nothing but the scan.
    ASSERT_TRUE(TFDirectory::removePath(tree / "srv"));

    HLNController controller;
    controller.openPaths({scanFile});
    QMainWindow* window = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "FileTreeDisplay")
            window = qobject_cast<QMainWindow*>(w);
    ASSERT_TRUE(window);
    EXPECT_TRUE(window->windowTitle().startsWith(HLNFileTreeController::displayPath(tree / "srv") +
                                                 " - " + bytesText(total) + " (scan of ") &&
                window->windowTitle().endsWith(", last-week)"))
        << window->windowTitle().toStdString() << ": the title names the scan's file";

    auto* browser = window->findChild<HLNColumnBrowser*>();
    ASSERT_TRUE(browser);
    ASSERT_EQ(browser->numberOfRowsInColumn(0), 2);
    browser->selectRowInColumn(0, 0); // largest first: big
    emit browser->action();
    EXPECT_EQ(window->findChild<QLabel*>()->text(), bytesText(big));

    for (QPushButton* button : window->findChildren<QPushButton*>())
        EXPECT_FALSE(button->isEnabled()) << button->text().toStdString();
    for (QAction* action : window->findChildren<QAction*>()) {
        const QString text = action->text().remove('&');
        if (text.startsWith("Update") || text.startsWith("Reveal") || text.startsWith("Open") ||
            text.startsWith("Move to Trash") || text.startsWith("Destroy")) {
            EXPECT_FALSE(action->isEnabled()) << text.toStdString();
        }
        if (text == "Copy Path") {
            EXPECT_TRUE(action->isEnabled());
        }
    }
    EXPECT_FALSE(window->findChild<HLNFileWell*>()->isDraggable());
    window->close();
    QApplication::processEvents();
}
