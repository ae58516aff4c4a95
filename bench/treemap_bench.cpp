// Times the treemap of a folder as a browser window draws it: the snapshot
// (in one hold of the tree lock), the squarified layout and the painting,
// once the folder is sized (medians of five refreshes), and the longest
// refresh while the sizing thread is still at work.
//
//   treemap_bench PATH [WIDTHxHEIGHT]     (default 1180x400, a window's map)
// Prints one line: PATH entries nodes snapshot_ms layout_ms paint_ms worst_ms refreshes
#include "browser/HLNTreemapView.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH [WIDTHxHEIGHT]\n", argv[0]);
        return 2;
    }
    int width = 1180, height = 400;
    if (argc > 2 && std::sscanf(argv[2], "%dx%d", &width, &height) != 2)
        return 2;
    HLNBackgroundFileSizer::setStartsReceiptScan(false);
    Ref<HLNFile> root = HLNFile::initWithParent(nullptr, argv[1]);
    if (!root) {
        std::fprintf(stderr, "cannot examine %s\n", argv[1]);
        return 1;
    }
    HLNTreemapView view;
    view.resize(width, height);
    view.setRootFile(root);
    view.show();
    HLNBackgroundFileSizer::sizeFile(root);

    // While sizing: a refresh about every 0.2 s (the window's come every 2 s).
    double worst = 0;
    int refreshes = 0;
    QElapsedTimer pause;
    while (!(root->sizeStatus() == SizeStatus::complete && HLNBackgroundFileSizer::isIdle())) {
        view.refresh();
        worst = std::max(worst, view.lastSnapshotMs() + view.lastLayoutMs() + view.lastPaintMs());
        ++refreshes;
        pause.start();
        while (pause.elapsed() < 200 && root->sizeStatus() != SizeStatus::complete)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    std::vector<double> snapshot, layout, paint;
    for (int i = 0; i < 5; ++i) {
        view.refresh();
        snapshot.push_back(view.lastSnapshotMs());
        layout.push_back(view.lastLayoutMs());
        paint.push_back(view.lastPaintMs());
        worst = std::max(worst, snapshot.back() + layout.back() + paint.back());
    }
    std::printf("%s %zu %llu %.2f %.2f %.2f %.2f %d\n", argv[1], view.snapshot().entries().size(),
                static_cast<unsigned long long>(view.snapshot().nodesVisited()), median(snapshot),
                median(layout), median(paint), worst, refreshes);
    view.hide();
    root->invalidate();
    return 0;
}
