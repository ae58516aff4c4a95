#include "app/HLNCommandTree.h"

#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNRefreshRequests.h"
#include "scans/HLNScanReader.h"
#include "toolkit/TFNotificationCenter.h"
#include "toolkit/TFPathArgument.h"
#include "toolkit/TFStandardStreams.h"

#include <QCoreApplication>
#include <QTimer>
#include <cerrno>
#include <cstdio>

namespace {

// One line on a terminal's standard error, rewritten in place.
class Progress {
public:
    Progress() : _enabled(TFStandardStreams::standardErrorIsTerminal()) {}
    void show(const Ref<HLNFile>& root) {
        if (!_enabled)
            return;
        const size_t width = TFStandardStreams::standardErrorWidth();
        char head[96];
        std::snprintf(head, sizeof head, "%llu entries, %llu bytes",
                      static_cast<unsigned long long>(HLNFile::nodesCreated()),
                      static_cast<unsigned long long>(root->sizeSoFar()));
        std::string line = head;
        if (Ref<HLNFile> current = HLNBackgroundFileSizer::currentFile()) {
            std::string where = current->path();
            for (char& c : where)
                if (static_cast<unsigned char>(c) < 0x20)
                    c = '?'; // keep it one line
            line += ", reading " + where;
        }
        if (line.size() >= width)
            line.resize(width - 1);
        std::fprintf(stderr, "\r\033[K%s", line.c_str());
        std::fflush(stderr);
    }
    void clear() {
        if (!_enabled)
            return;
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }

private:
    bool _enabled;
};

Ref<HLNFile> sizeNow(const std::string& path, char** argv) {
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    // The root keeps its name as given, as du prints it: the given path
    // names what the examined one does ("docs/" the linked folder too).
    Ref<HLNFile> root = HLNFile::initWithParent(nullptr, path);
    if (!root) { // gone since it was examined
        TFPathArgument::report(path, ENOENT);
        return nullptr;
    }
    // Nothing here shows which package a file belongs to: skip that scan.
    HLNBackgroundFileSizer::setStartsReceiptScan(false);
    HLNBackgroundFileSizer::sizeFile(root);

    Progress progress;
    // Done once the root is complete and the sizing thread has settled, so
    // that it is not posting to the application while the application goes.
    // The sizing thread asks for a refresh as it settles: that is the moment
    // to look; the timer is only for the progress line, and a last resort.
    QTimer poll;
    auto finishedNow = [&] {
        if (root->sizeStatus() != SizeStatus::complete)
            return;
        if (HLNBackgroundFileSizer::isIdle())
            app.quit();
        else
            poll.setInterval(1); // settling: a moment away
    };
    int observer = 0;
    TFNotificationCenter::defaultCenter().addObserver(
        &observer, HLNRefreshUserInterfaceNotificationName,
        [&](const std::string&) { HLNRefreshRequests::refreshWindow(finishedNow); });
    QObject::connect(&poll, &QTimer::timeout, [&] {
        finishedNow();
        progress.show(root);
    });
    poll.start(100);
    if (root->sizeStatus() != SizeStatus::complete || !HLNBackgroundFileSizer::isIdle())
        app.exec();
    TFNotificationCenter::defaultCenter().removeObserver(&observer);
    progress.clear();
    return root;
}

} // namespace

Ref<HLNFile> HLNCommandTree::treeAtPath(const std::string& path, char** argv) {
    if (HLNScanReader::looksLikeScan(path)) {
        std::string error;
        std::optional<HLNScanReader::Scan> scan = HLNScanReader::readScanAtPath(path, &error);
        if (!scan) {
            std::fprintf(stderr, "hollin: %s: %s\n", path.c_str(), error.c_str());
            return nullptr;
        }
        return scan->root;
    }
    const TFPathArgument argument(path);
    if (argument.reportError())
        return nullptr;
    return sizeNow(path, argv);
}

bool HLNCommandTree::hadProblems() {
    return HLNFile::problemsReported() != 0;
}

void HLNCommandTree::finish(Ref<HLNFile> root) {
    if (!root)
        return;
    if (root->isImported()) {
        root->releaseNow();
        return;
    }
    // Kept where a leak check still finds it.
    static auto* kept = new Ref<HLNFile>;
    *kept = std::move(root);
}
