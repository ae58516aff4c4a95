#include "app/HLNReportCommand.h"

#include "app/HLNStandardOutput.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"
#include "model/HLNRefreshRequests.h"
#include "scans/HLNScanReader.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFNotificationCenter.h"
#include "toolkit/TFPathArgument.h"

#include <QCoreApplication>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

void writeLine(uint64_t bytes, const std::string& path) {
    // Raw bytes: names that are not text are printed exactly as on disk.
    HLNStandardOutput::write(std::to_string(bytes));
    HLNStandardOutput::write("\t");
    HLNStandardOutput::write(path);
    HLNStandardOutput::write("\n");
}

// One line on a terminal's standard error, rewritten in place.
class Progress {
public:
    Progress() : _enabled(::isatty(STDERR_FILENO)) {}
    void show(const Ref<HLNFile>& root) {
        if (!_enabled)
            return;
        struct winsize ws {};
        size_t width = ::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col ? ws.ws_col : 80;
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

// The root's entries, largest first, then the root.
int printReport(const Ref<HLNFile>& root) {
    root->sortChildren();
    if (HLNFile::ChildList children = root->children())
        for (const Ref<HLNFile>& child : *children) {
            // A further name of a file counted at another, as du leaves it out.
            const HLNFile::Snapshot now = child->snapshot();
            if (!now.countedAtAnotherName)
                writeLine(now.sizeSoFar, child->path());
        }
    writeLine(root->sizeSoFar(), root->path());
    return HLNStandardOutput::finish();
}

// A scan file reports what the scanned folder reported where it was made.
int reportScan(const std::string& file) {
    std::string error;
    std::optional<HLNScanReader::Scan> scan = HLNScanReader::readScanAtPath(file, &error);
    if (!scan) {
        std::fprintf(stderr, "hollin: %s: %s\n", file.c_str(), error.c_str());
        return 1;
    }
    const int status = printReport(scan->root);
    HLNScanReader::releaseScan(*scan);
    return status;
}

} // namespace

namespace HLNReportCommand {

int run(int argc, char** argv) {
    // --links-each: every name of a file counts its bytes (du -l).
    const bool eachName = argc == 4 && std::strcmp(argv[2], "--links-each") == 0;
    if (argc != 3 && !eachName) {
        std::fprintf(stderr, "usage: hollin --report [--links-each] PATH\n");
        return 2;
    }
    HLNFile::setCountsEachName(eachName);
    const std::string path = argv[argc - 1];
    if (HLNScanReader::looksLikeScan(path))
        return reportScan(path);
    const TFPathArgument argument(path);
    if (argument.reportError())
        return 1;
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    // The root keeps its name as given, as du prints it: the given path
    // names what argument.path() does ("docs/" the linked folder too).
    Ref<HLNFile> root = HLNFile::initWithParent(nullptr, path);
    if (!root) { // gone since it was examined
        TFPathArgument::report(path, ENOENT);
        return 1;
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

    // Entries that could not be read were named on standard error as the
    // sizing met them; the rest is reported, and the command fails, as du's.
    const int status = printReport(root) | (HLNFile::problemsReported() ? 1 : 0);
    // The tree goes with the process: taking it apart node by node would
    // only hold up the exit. Kept where a leak check still finds it.
    static auto* kept = new Ref<HLNFile>;
    *kept = std::move(root);
    return status;
}

} // namespace HLNReportCommand
