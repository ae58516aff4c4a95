// Sizes PATH as a window does, then times what the Find bar asks of the
// sized tree: a name filter, the 100 largest files and the kinds.
//
//   find_bench [PATH]       default /
//
// Prints one line: "<entries> <filter ms> <largest ms> <kinds ms> <matches>".
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"
#include "model/HLNFinder.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <cstdio>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
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
    std::printf("%llu %.1f %.1f %.1f %zu\n",
                static_cast<unsigned long long>(root->measures().items), filter, largest, kinds,
                matches);
    return 0;
}
