// Sizes PATH as a window does, then times what the Find bar asks of the
// sized tree: a name filter, the 100 largest files and the kinds, each on
// this thread; then the same filter in a Find bar, whose walk runs on a
// thread of its own while the main thread's longest gap is measured.
//
//   find_bench [PATH]       default /
//
// Prints one line: "<entries> <filter ms> <largest ms> <kinds ms> <matches>
// <bar's results ms> <bar's longest main-thread gap ms>".
#include "browser/HLNFindPanel.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"
#include "model/HLNFinder.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const std::string path = argc > 1 ? argv[1] : "/";
    Ref<HLNFile> root = HLNFile::initWithParent(nullptr, path);
    if (!root) {
        std::fprintf(stderr, "find_bench: cannot examine %s\n", path.c_str());
        return 1;
    }
    HLNBackgroundFileSizer::sizeFile(root);
    QDeadlineTimer limit(600000);
    while (!(root->sizeStatus() == SizeStatus::complete && HLNBackgroundFileSizer::isIdle()) &&
           !limit.hasExpired())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    auto time = [](auto&& work) {
        QElapsedTimer clock;
        clock.start();
        work();
        return double(clock.nsecsElapsed()) / 1e6;
    };
    HLNFinder::Criteria criteria;
    criteria.nameGlob = "*.gz";
    size_t matches = 0;
    const double filter = time([&] { matches = HLNFinder::find(root, criteria).size(); });
    const double largest = time([&] { HLNFinder::largestFiles(root, 100); });
    const double kinds = time([&] { HLNFinder::census(root); });

    // The bar: typing the pattern starts the walk; a timer of the main
    // thread's own measures how long it is kept from running.
    HLNFindPanel panel(root, nullptr);
    QElapsedTimer clock, sinceTick;
    double worstGap = 0;
    QTimer tick;
    tick.setInterval(1);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        worstGap = std::max(worstGap, double(sinceTick.nsecsElapsed()) / 1e6);
        sinceTick.restart();
    });
    QEventLoop loop;
    QObject::connect(&panel, &HLNFindPanel::searched, &loop, &QEventLoop::quit);
    clock.start();
    sinceTick.start();
    tick.start();
    panel.nameField()->setText("*.gz");
    if (panel.isSearching())
        loop.exec();
    const double bar = double(clock.nsecsElapsed()) / 1e6;
    std::printf("%llu %.1f %.1f %.1f %zu %.1f %.1f\n",
                static_cast<unsigned long long>(root->measures().items), filter, largest, kinds,
                matches, bar, worstGap);
    return 0;
}
