// Opens a real file browser window on a folder or a scan file (offscreen
// unless a platform is set) and measures how responsive the main thread
// stays while the tree is sized or read: a 1 ms timer records the longest
// gap between two of its ticks, from just before the window is opened until
// it shows the complete root.
//
//   responsiveness_bench FOLDER | SCAN [--no-treemap]   (the map hidden)
//   responsiveness_bench --idle SECONDS   the same timer with nothing to do:
//                                         the machine's own scheduling delays
//
// Prints one line, "<longest gap ms> <longest gap after opening ms> <opening
// ms> <open to root status 2 s> <open to the complete root shown s>", and
// where the longest gap fell on standard error.
#include "browser/HLNFileTreeController.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"
#include "scans/HLNScanReader.h"
#include "toolkit/gui/TFColor.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const bool idle = argc == 3 && std::string(argv[1]) == "--idle";
    const bool noTreemap = argc == 3 && std::string(argv[2]) == "--no-treemap";
    if (argc != 2 && !idle && !noTreemap) {
        std::fprintf(stderr, "usage: %s FOLDER [--no-treemap] | --idle SECONDS\n", argv[0]);
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The window saves its frame; keep that out of the user's settings.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QApplication app(argc, argv);
    TFColor::registerDefaultColors();
    HLNBackgroundFileSizer::startBackgroundThread();

    QElapsedTimer clock;
    clock.start();
    qint64 last = -1, longest = 0, longestEnd = 0, longestAfterOpen = 0;
    qint64 openStart = 0, openEnd = -1, complete = -1, shown = -1;
    HLNFileTreeController* controller = nullptr;
    const bool isScan = !idle && HLNScanReader::looksLikeScan(argv[1]);
    QString title; // the window's, once it shows the complete root

    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (last >= 0 && now - last > longest)
            longest = now - last, longestEnd = now;
        if (openEnd >= 0 && last >= openEnd)
            longestAfterOpen = std::max(longestAfterOpen, now - last);
        last = now;
        if (!controller)
            return;
        if (complete < 0 && controller->rootFile()->sizeStatus() == SizeStatus::complete)
            complete = now;
        // Done once a refresh has shown the complete root: its title has no
        // "(sizing)" and the first column lists every entry.
        // (A scan's title ends with the scan's name.)
        const QString shownTitle = controller->window()->windowTitle();
        if (complete >= 0 &&
            (isScan ? !shownTitle.contains(" (sizing)") : !shownTitle.endsWith(")")) &&
            controller->browser()->numberOfRowsInColumn(0) ==
                int(controller->rootFile()->childrenCount())) {
            shown = now;
            title = controller->window()->windowTitle();
            app.quit(); // which closes the window, and so ends its controller
        }
    });
    tick.start();
    if (idle) {
        QTimer::singleShot(std::atoi(argv[2]) * 1000, [&] { app.quit(); });
        app.exec();
        std::printf("%.1f\n", longest / 1e6);
        std::fflush(stdout);
        std::_Exit(0);
    }
    QTimer::singleShot(50, [&] {
        openStart = clock.nsecsElapsed();
        controller = isScan ? HLNFileTreeController::initWithScan(argv[1])
                            : HLNFileTreeController::initWithPath(argv[1]);
        openEnd = clock.nsecsElapsed();
        if (controller && noTreemap)
            controller->treemapAction()->setChecked(false);
        if (!controller) {
            std::fprintf(stderr, "could not open %s\n", argv[1]);
            app.exit(1);
        }
    });
    QTimer::singleShot(600000, [&] {
        std::fprintf(stderr, "not complete after 600 s\n");
        app.exit(1);
    });
    if (app.exec() != 0)
        return 1;

    std::fprintf(stderr, "longest gap %.1f ms, ending %.3f s after opening; %s\n", longest / 1e6,
                 (longestEnd - openStart) / 1e9, title.toUtf8().constData());
    std::printf("%.1f %.1f %.1f %.3f %.3f\n", longest / 1e6, longestAfterOpen / 1e6,
                (openEnd - openStart) / 1e6, (complete - openStart) / 1e9,
                (shown - openStart) / 1e9);
    std::fflush(stdout);
    std::fflush(stderr);
    // The sizing thread and the tree release run on; do not tear the
    // process down under them.
    std::_Exit(0);
}
