// Opens one file browser window on a folder, as the program does, and saves
// pictures of it: while the tree is being sized and once it is complete
// (with the named entries selected, column by column). Prints how long the
// sizing took. Run under Xvfb or with QT_QPA_PLATFORM=offscreen.
//
//   browser_window [--dark] ROOT OUT_PREFIX [NAME...]
// --dark draws with a dark palette, to check that the colours read on it.
#include "browser/HLNColumnBrowser.h"
#include "browser/HLNFileBrowserCell.h"
#include "browser/HLNFileTreeController.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"
#include "receipts/HLNPackageReceipt.h"
#include "toolkit/TFString.h"
#include "toolkit/gui/TFColor.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QPalette>
#include <QPointer>
#include <cstdio>
#include <string>

static void pump(int ms) {
    QDeadlineTimer until(ms);
    while (!until.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "--dark") {
        QApplication::setStyle("Fusion");
        QPalette dark;
        dark.setColor(QPalette::Window, QColor(0x2d, 0x2d, 0x2d));
        dark.setColor(QPalette::WindowText, QColor(0xe0, 0xe0, 0xe0));
        dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
        dark.setColor(QPalette::Text, QColor(0xe0, 0xe0, 0xe0));
        dark.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3a));
        dark.setColor(QPalette::ButtonText, QColor(0xe0, 0xe0, 0xe0));
        dark.setColor(QPalette::Highlight, QColor(0x2f, 0x65, 0xca));
        dark.setColor(QPalette::HighlightedText, Qt::white);
        dark.setColor(QPalette::Mid, QColor(0x50, 0x50, 0x50));
        QApplication::setPalette(dark);
        --argc;
        ++argv;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s ROOT OUT_PREFIX [NAME...]\n", argv[0]);
        return 2;
    }
    TFColor::registerDefaultColors();
    HLNBackgroundFileSizer::startBackgroundThread();
    QElapsedTimer clock;
    clock.start();
    QPointer<HLNFileTreeController> controller = HLNFileTreeController::initWithPath(argv[1]);
    if (!controller) {
        pump(500);
        std::fprintf(stderr, "could not open %s\n", argv[1]);
        return 1;
    }
    controller->window()->resize(1180, 720);
    const std::string prefix = argv[2];

    // While sizing: after the first refresh that still says "sizing".
    QDeadlineTimer limit(20000);
    while (!limit.hasExpired() &&
           !(controller->window()->windowTitle().contains(" - ") &&
             controller->window()->windowTitle().endsWith("(sizing)")) &&
           controller->rootFile()->sizeStatus() != SizeStatus::complete)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    pump(300);
    if (controller->rootFile()->sizeStatus() != SizeStatus::complete) {
        if (controller->browser()->numberOfRowsInColumn(0) > 0)
            controller->browser()->selectRowInColumn(0, 0);
        controller->selectBrowserCell();
        pump(100);
        controller->window()->grab().save(QString::fromStdString(prefix + "-sizing.png"));
        std::printf("sizing picture at %.2f s: %s\n", clock.elapsed() / 1000.0,
                    controller->window()->windowTitle().toUtf8().constData());
    }

    while (controller->rootFile()->sizeStatus() != SizeStatus::complete)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    const double sized = clock.elapsed() / 1000.0;
    HLNPackageReceipt::waitUntilScanFinished(); // so packaged names show greyed
    HLNFileTreeController::updateUI();
    pump(500);

    HLNColumnBrowser* browser = controller->browser();
    for (int i = 3, column = 0; i < argc; ++i, ++column) {
        const QString wanted = TFString::stringForName(argv[i]);
        for (int row = 0; row < browser->numberOfRowsInColumn(column); ++row)
            if (browser->loadedCellAtRow(row, column)->stringValue() == wanted) {
                browser->selectRowInColumn(row, column);
                break;
            }
    }
    controller->selectBrowserCell();
    pump(300);
    for (int c = 0; c <= browser->lastColumn(); ++c)
        std::printf("column %d: %d rows, scrolled to %d\n", c, browser->numberOfRowsInColumn(c),
                    browser->scrollPositionOfColumn(c).y());
    // One window refresh: every visible column re-sorted, reloaded and redrawn.
    QElapsedTimer refresh;
    refresh.start();
    const int rounds = 5;
    for (int i = 0; i < rounds; ++i) {
        controller->_refreshDisplay();
        controller->window()->repaint();
    }
    std::printf("one refresh with redraw: %.1f ms\n", refresh.nsecsElapsed() / 1e6 / rounds);
    controller->window()->grab().save(QString::fromStdString(prefix + "-complete.png"));
    std::printf("complete after %.2f s: %s, %d rows in column 0\n", sized,
                controller->window()->windowTitle().toUtf8().constData(),
                browser->numberOfRowsInColumn(0));
    controller->window()->close();
    pump(200);
    return 0;
}
