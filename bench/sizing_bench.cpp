// Sizes a tree with the model as a window does (the one sizing thread from
// the root down), without printing anything, so that the model can be timed
// and profiled on its own. Prints "<seconds> <nodes> <bytes>" when done.
// --no-receipts points the receipt scan, which the sizing thread starts, at
// an empty folder, to tell its share of time and memory from the tree's.
//
// --count also walks the finished tree and prints its node count instead of 0.
//
//   sizing_bench [--count] [--no-receipts] PATH [ROUNDS]
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"
#include "receipts/HLNPackageReceipt.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
// Nodes in the subtree, counted through the same calls a window makes.
size_t countNodes(const Ref<HLNFile>& root) {
    size_t count = 0;
    std::vector<Ref<HLNFile>> stack{root};
    while (!stack.empty()) {
        Ref<HLNFile> node = std::move(stack.back());
        stack.pop_back();
        ++count;
        if (HLNFile::ChildList children = node->children())
            for (const Ref<HLNFile>& child : *children)
                stack.push_back(child);
    }
    return count;
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir noReceipts;
    int first = 1;
    bool count = false;
    if (argc > first && std::string(argv[first]) == "--count")
        count = true, ++first;
    if (argc > first && std::string(argv[first]) == "--no-receipts") {
        HLNPackageReceipt::setDpkgInfoFolder(noReceipts.path().toStdString());
        HLNPackageReceipt::setReceiptsFolder(noReceipts.path().toStdString());
        ++first;
    }
    if (argc <= first) {
        std::fprintf(stderr, "usage: %s [--count] [--no-receipts] PATH [ROUNDS]\n", argv[0]);
        return 2;
    }
    const char* path = argv[first];
    const int rounds = argc > first + 1 ? std::atoi(argv[first + 1]) : 1;
    HLNBackgroundFileSizer::startBackgroundThread();
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        Ref<HLNFile> root = HLNFile::initWithParent(nullptr, path);
        if (!root) {
            std::fprintf(stderr, "cannot examine %s\n", path);
            return 1;
        }
        HLNBackgroundFileSizer::sizeFile(root);
        while (root->sizeStatus() != SizeStatus::complete) {
            QCoreApplication::processEvents();
            QThread::msleep(2); // often enough to time, rarely enough not to compete
        }
        const double seconds = clock.nsecsElapsed() / 1e9;
        // Counting walks the whole tree again: only when asked, so that the
        // process's own run time stays that of the sizing.
        std::printf("%.4f %zu %llu\n", seconds, count ? countNodes(root) : size_t(0),
                    static_cast<unsigned long long>(root->sizeSoFar()));
        std::fflush(stdout);
        root->invalidate();
    }
    noReceipts.remove(); // _Exit runs no destructor
    std::_Exit(0);
}
