// Opens a real file browser window (offscreen unless a platform is set) on
// PATH, waits until it is sized, selects its largest entry, and times each
// switch of View > Show: the columns ordered anew, every cell, the title, the
// summary and the treemap redrawn, as the menu item does it.
//
//   measure_switch_bench [PATH]       default /
//
// Prints one line: "<entries> <items ms> <apparent size ms> <disk usage ms>".
#include "browser/HLNColumnBrowser.h"
#include "browser/HLNFileTreeController.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const std::string path = argc > 1 ? argv[1] : "/";
    QPointer<HLNFileTreeController> window = HLNFileTreeController::initWithPath(path);
    if (!window) {
        std::fprintf(stderr, "measure_switch_bench: cannot open %s\n", path.c_str());
        return 1;
    }
    QDeadlineTimer limit(600000);
    while (!(window->rootFile()->sizeStatus() == SizeStatus::complete &&
             HLNBackgroundFileSizer::isIdle()) &&
           !limit.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    QApplication::processEvents();
    window->browser()->selectRowInColumn(0, 0);
    window->selectBrowserCell();
    QApplication::processEvents();
    double ms[3];
    const HLNFile::Figure order[] = {HLNFile::Figure::items, HLNFile::Figure::apparentSize,
                                     HLNFile::Figure::diskUsage};
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer clock;
        clock.start();
        window->figureAction(order[i])->trigger();
        window->window()->repaint(); // what the screen would show next
        ms[i] = double(clock.nsecsElapsed()) / 1e6;
    }
    std::printf("%llu %.1f %.1f %.1f\n",
                static_cast<unsigned long long>(window->rootFile()->measures().items), ms[0], ms[1],
                ms[2]);
    return 0;
}
