// Opens a real file browser window (offscreen unless a platform is set) on a
// folder of COUNT files it makes, selects every row, and times one window
// refresh with that selection kept, the way a refresh runs every two seconds
// while a tree is sized.
//
//   selection_bench [COUNT]       default 20000
//
// Prints one line: "<rows selected> <refresh ms> <select-all ms>".
#include "browser/HLNColumnBrowser.h"
#include "browser/HLNFileTreeController.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"
#include "toolkit/gui/TFColor.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (count <= 0) {
        std::fprintf(stderr, "usage: %s [COUNT]\n", argv[0]);
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir config, folder;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    for (int i = 0; i < count; ++i) {
        const std::string path = folder.path().toStdString() + "/f" + std::to_string(i);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || ::ftruncate(fd, 1 + i % 4096) != 0)
            return 1;
        ::close(fd);
    }
    QApplication app(argc, argv);
    TFColor::registerDefaultColors();
    HLNBackgroundFileSizer::startBackgroundThread();
    HLNFileTreeController* controller =
        HLNFileTreeController::initWithPath(folder.path().toStdString());
    if (!controller)
        return 1;
    QDeadlineTimer limit(60000);
    while (!limit.hasExpired() && (controller->rootFile()->sizeStatus() != SizeStatus::complete ||
                                   controller->browser()->numberOfRowsInColumn(0) < count))
        QApplication::processEvents(QEventLoop::AllEvents, 10);

    HLNColumnBrowser* browser = controller->browser();
    std::vector<int> rows(browser->numberOfRowsInColumn(0));
    for (size_t i = 0; i < rows.size(); ++i)
        rows[i] = static_cast<int>(i);
    QElapsedTimer clock;
    clock.start();
    browser->addRowsToSelectionInColumn(rows, 0);
    controller->selectBrowserCell();
    const double selectAll = clock.nsecsElapsed() / 1e6;

    const int rounds = 5;
    clock.restart();
    for (int i = 0; i < rounds; ++i)
        controller->_refreshDisplay();
    const double refresh = clock.nsecsElapsed() / 1e6 / rounds;
    std::printf("%zu %.1f %.1f\n", browser->selectedRowsInColumn(0).size(), refresh, selectAll);
    controller->window()->close();
    return 0;
}
