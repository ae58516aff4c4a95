#pragma once

#include "history/HLNFolderFigures.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

// The scan history: records of trees, one per finished sizing that was
// asked to be kept, in one SQLite database per user. A folder's path is
// stored once (a folder table keyed by parent and name) and shared by every
// record that holds it; a record keeps, per folder, its measures.
//
// Several processes may record at once (write-ahead log, busy timeout, one
// transaction per record). One object serves one thread at a time; a window
// takes the figures on its main thread and saves them on another.
//
// Faults never go further than this object: a database that is not one, or
// is damaged, is moved aside as history.sqlite.broken-<time> and begun anew;
// one that cannot be opened or written makes the calls fail. Either is said
// once on standard error, "hollin: <database>: <what>".
class HLNHistory {
public:
    struct Record {
        int64_t id = 0;
        std::string rootPath; // the root's absolute path
        int64_t timeMs = 0;
        std::string fileSystem; // see TFFileSystemIdentity; empty when unknown
        uint64_t diskUsage = 0; // the root's
        uint64_t folders = 0;
    };

    // $XDG_DATA_HOME/hollin/history.sqlite, ~/.local/share/... without it.
    static std::string defaultPath();
    // Opened on first use. keepLast: how many of a root's newest records
    // pruning keeps (besides the first of each calendar month).
    explicit HLNHistory(std::string path = defaultPath(), size_t keepLast = defaultKeepLast());
    // How many of a root's newest records are kept: the preference
    // ScanHistoryRecordsKept when it holds a number of at least 1, else 20.
    static size_t defaultKeepLast();
    ~HLNHistory();
    HLNHistory(const HLNHistory&) = delete;
    HLNHistory& operator=(const HLNHistory&) = delete;

    const std::string& path() const { return _path; }
    // Stores the figures as a record of figures.rootPath, then prunes that
    // root's records. False when it could not (said on standard error).
    bool save(const HLNFolderFigures& figures);
    // The root's records, oldest first; none when the database failed.
    std::optional<std::vector<Record>> records(const std::string& rootPath);
    // A record's folders down to maxDepth below its root; none when the
    // record is gone or the database failed.
    std::optional<HLNFolderFigures> figuresOf(const Record& record, unsigned maxDepth = ~0u);
    // A folder's disk usage in each record of the root, oldest first (0 in
    // a record it was not in): relativePath below the root, "" the root.
    struct Point {
        int64_t timeMs;
        uint64_t diskUsage;
    };
    std::optional<std::vector<Point>> diskUsageOver(const std::string& rootPath,
                                                    const std::string& relativePath);
    // What went wrong last, for a window to show; empty when nothing did.
    const std::string& lastProblem() const { return _problem; }

private:
    class Statement;
    bool _open(bool forReading);
    void _openAt(const std::string& name, int flags);
    void _close();
    // A failure of the last call: a damaged database is moved aside (and
    // true answered: try again on the new one); anything else is said.
    bool _failed(int code, const std::string& reason, const char* doing);
    void _say(const std::string& what);
    bool _exec(const char* sql);
    bool _neverMade() const;
    bool _save(const HLNFolderFigures& figures);
    bool _prune(const std::string& rootPath);
    int64_t _folderId(int64_t parent, const std::string& name, Statement& find, Statement& add);

    std::string _path;
    size_t _keepLast;
    sqlite3* _db = nullptr;
    std::string _problem;
    bool _said = false;
};
