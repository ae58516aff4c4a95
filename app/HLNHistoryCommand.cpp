#include "app/HLNHistoryCommand.h"

#include "app/HLNCommandTree.h"
#include "app/HLNStandardOutput.h"
#include "history/HLNComparison.h"
#include "history/HLNHistory.h"
#include "scans/HLNScanReader.h"
#include "toolkit/TFFileSystemIdentity.h"

#include <QDateTime>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

const char diffUsage[] = "usage: hollin --diff OLD NEW [--depth N]\n"
                         "       (each a folder, a scan file, @last or @DATE)\n";

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Local time with its offset, to the millisecond: read back as given by @.
std::string isoTime(int64_t ms) {
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODateWithMs).toStdString();
}

// The newest moment that @WHEN names: a day is the whole day.
std::optional<int64_t> parseWhen(const std::string& when) {
    if (when == "last")
        return INT64_MAX;
    const QString text = QString::fromStdString(when);
    if (when.size() == 10) {
        const QDate day = QDate::fromString(text, Qt::ISODate);
        if (!day.isValid())
            return std::nullopt;
        return QDateTime(day.addDays(1), QTime(0, 0)).toMSecsSinceEpoch() - 1;
    }
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid())
        return std::nullopt;
    return time.toMSecsSinceEpoch();
}

// One side of a comparison.
struct Side {
    std::string given;
    bool isRecord = false; // @...
    bool isLive = false;   // a folder sized now
    HLNFolderFigures figures;
};

// A folder or a scan file read into figures; false when it could not be
// read (said).
bool readTree(Side& side, char** argv) {
    Ref<HLNFile> root = HLNCommandTree::treeAtPath(side.given, argv);
    if (!root)
        return false;
    side.isLive = !root->isImported();
    if (side.isLive && !root->isDirectory()) {
        std::fprintf(stderr, "hollin: %s: neither a folder nor a scan file\n", side.given.c_str());
        HLNCommandTree::finish(std::move(root));
        return false;
    }
    side.figures = HLNFolderFigures::ofTree(root);
    side.figures.timeMs = nowMs();
    if (side.isLive)
        side.figures.fileSystem = TFFileSystemIdentity::ofPath(side.given);
    HLNCommandTree::finish(std::move(root));
    return true;
}

// The record @WHEN (a valid one) of the other side's tree; false, said,
// when there is none or it cannot be read.
bool readRecord(Side& side, const Side& other, HLNHistory& history, unsigned depth) {
    const int64_t when = *parseWhen(side.given.substr(1));
    const std::string path =
        other.isLive ? HLNFolderFigures::recordPathOf(other.given) : other.figures.rootPath;
    const auto records = history.records(path);
    if (!records)
        return false; // said by the history
    const HLNHistory::Record* chosen = nullptr;
    for (const HLNHistory::Record& record : *records)
        if (record.timeMs <= when)
            chosen = &record;
    if (!chosen) {
        std::fprintf(stderr, "hollin: %s: no record of %s\n", side.given.c_str(), path.c_str());
        return false;
    }
    // A record's paths are another file system's if the root now lies on
    // a different one: their sizes would compare nothing alike.
    if (other.isLive && !chosen->fileSystem.empty() && !other.figures.fileSystem.empty() &&
        chosen->fileSystem != other.figures.fileSystem) {
        std::fprintf(stderr,
                     "hollin: %s: the record of %s was made of another file system than the "
                     "one there now; not compared\n",
                     path.c_str(), isoTime(chosen->timeMs).c_str());
        return false;
    }
    std::optional<HLNFolderFigures> figures = history.figuresOf(*chosen, depth);
    if (!figures)
        return false;
    side.figures = std::move(*figures);
    return true;
}

} // namespace

namespace HLNHistoryCommand {

bool record(const Ref<HLNFile>& root, const std::string& path) {
    if (!root->isDirectory()) {
        std::fprintf(stderr, "hollin: %s: not a folder: nothing recorded\n", path.c_str());
        return false;
    }
    HLNHistory history;
    return history.save(HLNFolderFigures::toRecord(root, path));
}

int runHistory(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: hollin --history PATH\n");
        return 2;
    }
    const std::string path = HLNFolderFigures::recordPathOf(argv[2]);
    HLNHistory history;
    const auto records = history.records(path);
    if (!records)
        return 1;
    if (records->empty()) {
        std::fprintf(stderr, "hollin: %s: no records\n", path.c_str());
        return 1;
    }
    for (const HLNHistory::Record& record : *records)
        HLNStandardOutput::writeFields({isoTime(record.timeMs), std::to_string(record.diskUsage),
                                        std::to_string(record.folders)});
    return HLNStandardOutput::finish();
}

int runDiff(int argc, char** argv) {
    Side sides[2];
    int given = 0;
    unsigned depth = 3;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--depth") == 0 && i + 1 < argc) {
            char* end = nullptr;
            errno = 0;
            const unsigned long n = std::strtoul(argv[++i], &end, 10);
            if (errno || *end || argv[i][0] < '0' || argv[i][0] > '9' || n > 100000) {
                std::fprintf(stderr, "hollin: --depth %s: not a number\n%s", argv[i], diffUsage);
                return 2;
            }
            depth = unsigned(n);
        } else if (given < 2 && (argv[i][0] != '-' || argv[i][1] == '\0')) {
            sides[given++].given = argv[i];
        } else {
            std::fputs(diffUsage, stderr);
            return 2;
        }
    }
    if (given != 2) {
        std::fputs(diffUsage, stderr);
        return 2;
    }
    for (Side& side : sides) {
        side.isRecord = side.given[0] == '@';
        if (side.isRecord && !parseWhen(side.given.substr(1))) {
            std::fprintf(stderr, "hollin: %s: not @last, @YYYY-MM-DD or an ISO 8601 time\n%s",
                         side.given.c_str(), diffUsage);
            return 2;
        }
    }
    if (sides[0].isRecord && sides[1].isRecord) {
        std::fprintf(stderr,
                     "hollin: --diff: a record is named by the other side's path: "
                     "give a folder or a scan file there\n%s",
                     diffUsage);
        return 2;
    }
    // The trees first, then the records they name.
    for (Side& side : sides)
        if (!side.isRecord && !readTree(side, argv))
            return 1;
    HLNHistory history;
    for (int i = 0; i < 2; ++i)
        if (sides[i].isRecord && !readRecord(sides[i], sides[1 - i], history, depth))
            return 1;

    // Paths as the report prints them: under the root as NEW's tree names
    // it (OLD's when NEW is a record).
    std::string root = (sides[1].isRecord ? sides[0] : sides[1]).figures.rootPath;
    const std::string joint = !root.empty() && root.back() == '/' ? "" : "/";
    const HLNComparison comparison(std::move(sides[0].figures));
    for (const HLNComparison::Change& change : comparison.changesTo(sides[1].figures, depth)) {
        const int64_t delta = change.change();
        HLNStandardOutput::writeFields(
            {(delta > 0 ? "+" : "") + std::to_string(delta), std::to_string(change.then),
             std::to_string(change.now),
             change.relativePath.empty() ? root : root + joint + change.relativePath});
    }
    // Entries that could not be read were said as the sizing met them: the
    // command fails, as du's, with what could be compared printed.
    return HLNStandardOutput::finish() | (HLNCommandTree::hadProblems() ? 1 : 0);
}

} // namespace HLNHistoryCommand
