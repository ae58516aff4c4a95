#include "history/HLNHistory.h"

#include "toolkit/TFDirectory.h"
#include "toolkit/TFPreference.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sqlite3.h>
#include <unordered_map>

namespace {

// A failed SQLite call inside one of the public calls: the call ends there
// (its transaction rolled back) and the code decides what follows.
struct Failure {
    int code;
    std::string reason;
};

void check(int code, sqlite3* db) {
    if (code != SQLITE_OK && code != SQLITE_ROW && code != SQLITE_DONE)
        throw Failure{code, db ? sqlite3_errmsg(db) : sqlite3_errstr(code)};
}

// The folder holding path, as the last slash ends it ("/" for "/x", "."
// for a bare name).
std::string folderOf(const std::string& path) {
    std::string folder, last;
    TFDirectory::splitPath(path, folder, last);
    return folder;
}

bool isDamage(int code) {
    const int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// "/usr/share" -> "/", "usr", "share": each a row of the folder table, so a
// root's path shares its folders with the records of the roots above it.
std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    size_t at = 0;
    if (!path.empty() && path[0] == '/') {
        parts.emplace_back("/");
        at = 1;
    }
    while (at < path.size()) {
        size_t end = path.find('/', at);
        if (end == std::string::npos)
            end = path.size();
        if (end > at)
            parts.emplace_back(path, at, end - at);
        at = end + 1;
    }
    return parts;
}

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS folder(
    id INTEGER PRIMARY KEY,
    parent INTEGER NOT NULL, -- 0 above the first component
    name BLOB NOT NULL,
    UNIQUE(parent, name));
CREATE TABLE IF NOT EXISTS record(
    id INTEGER PRIMARY KEY,
    root_path BLOB NOT NULL,
    root_folder INTEGER NOT NULL,
    time INTEGER NOT NULL, -- ms since the epoch
    file_system TEXT NOT NULL,
    disk_usage INTEGER NOT NULL,
    folders INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS record_by_root ON record(root_path, time);
CREATE TABLE IF NOT EXISTS usage(
    record INTEGER NOT NULL,
    folder INTEGER NOT NULL,
    disk_usage INTEGER NOT NULL,
    apparent_size INTEGER,
    items INTEGER,
    newest_modification INTEGER, -- Unix seconds
    PRIMARY KEY(record, folder)) WITHOUT ROWID;
)";

} // namespace

// A prepared statement, finalized when it goes.
class HLNHistory::Statement {
public:
    Statement(sqlite3* db, const char* sql) : _db(db) {
        check(sqlite3_prepare_v2(db, sql, -1, &_stmt, nullptr), db);
    }
    ~Statement() { sqlite3_finalize(_stmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int at, int64_t value) {
        check(sqlite3_bind_int64(_stmt, at, value), _db);
        return *this;
    }
    Statement& bind(int at, const std::string& bytes, bool blob = true) {
        check(blob
                  ? sqlite3_bind_blob(_stmt, at, bytes.data(), int(bytes.size()), SQLITE_TRANSIENT)
                  : sqlite3_bind_text(_stmt, at, bytes.data(), int(bytes.size()), SQLITE_TRANSIENT),
              _db);
        return *this;
    }
    template <class T> Statement& bind(int at, const std::optional<T>& value) {
        if (value)
            return bind(at, int64_t(*value));
        check(sqlite3_bind_null(_stmt, at), _db);
        return *this;
    }
    // True while there is a row.
    bool step() {
        const int code = sqlite3_step(_stmt);
        check(code, _db);
        return code == SQLITE_ROW;
    }
    void run() {
        step();
        reset();
    }
    void reset() {
        sqlite3_reset(_stmt);
        sqlite3_clear_bindings(_stmt);
    }
    int64_t integer(int column) const { return sqlite3_column_int64(_stmt, column); }
    bool isNull(int column) const { return sqlite3_column_type(_stmt, column) == SQLITE_NULL; }
    template <class T> std::optional<T> optional(int column) const {
        if (isNull(column))
            return std::nullopt;
        return T(integer(column));
    }
    std::string bytes(int column) const {
        const void* data = sqlite3_column_blob(_stmt, column);
        return std::string(static_cast<const char*>(data),
                           size_t(sqlite3_column_bytes(_stmt, column)));
    }

private:
    sqlite3* _db;
    sqlite3_stmt* _stmt = nullptr;
};

size_t HLNHistory::defaultKeepLast() {
    const std::string kept = TFPreference::preferenceForKey("ScanHistoryRecordsKept").stringValue();
    char* end = nullptr;
    const unsigned long long n = std::strtoull(kept.c_str(), &end, 10);
    return !kept.empty() && *end == '\0' && n >= 1 ? size_t(n) : 20;
}

std::string HLNHistory::defaultPath() {
    std::string data;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/')
        data = xdg;
    else if (const char* home = std::getenv("HOME"))
        data = std::string(home) + "/.local/share";
    else
        data = "/tmp";
    return data + "/hollin/history.sqlite";
}

HLNHistory::HLNHistory(std::string path, size_t keepLast)
    : _path(std::move(path)), _keepLast(keepLast) {}

HLNHistory::~HLNHistory() {
    _close();
}

void HLNHistory::_close() {
    if (_db)
        sqlite3_close_v2(_db);
    _db = nullptr;
}

void HLNHistory::_say(const std::string& what) {
    _problem = what;
    if (_said)
        return;
    _said = true;
    std::fprintf(stderr, "hollin: %s: %s\n", _path.c_str(), what.c_str());
}

bool HLNHistory::_exec(const char* sql) {
    char* message = nullptr;
    const int code = sqlite3_exec(_db, sql, nullptr, nullptr, &message);
    sqlite3_free(message);
    check(code, _db);
    return true;
}

bool HLNHistory::_open(bool forReading) {
    if (_db)
        return true;
    try {
        _openAt(_path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    } catch (const Failure& failure) {
        // A history this user may only read, or on a full disk: its log was
        // merged when its last writer closed it, and the index beside it
        // cannot be made, so it is read as a file nothing changes.
        const int primary = failure.code & 0xff;
        if (!forReading ||
            (primary != SQLITE_CANTOPEN && primary != SQLITE_READONLY && primary != SQLITE_IOERR &&
             primary != SQLITE_FULL) ||
            TFDirectory::accessPath(_path, TFDirectory::Access::read) != 0)
            throw;
        _close();
        std::string uri = "file:";
        for (unsigned char c : _path) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            uri += std::isalnum(c) || std::strchr("/-_.", c) ? std::string(1, char(c)) : escaped;
        }
        try {
            _openAt(uri + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
        } catch (const Failure&) {
            _close();
            throw failure;
        }
    }
    return true;
}

void HLNHistory::_openAt(const std::string& name, int flags) {
    if (flags & SQLITE_OPEN_CREATE) {
        // A folder that cannot be made fails the open, said there.
        TFDirectory::makeFolders(folderOf(_path));
    }
    const int code = sqlite3_open_v2(name.c_str(), &_db, flags, nullptr);
    check(code, _db);
    sqlite3_extended_result_codes(_db, 1);
    // Another process's transaction is waited for, not failed on.
    sqlite3_busy_timeout(_db, 10000);
    // Damage shows here first: a file that is no database fails this read.
    Statement(_db, "SELECT count(*) FROM sqlite_master").step();
    if (sqlite3_db_readonly(_db, "main") == 0) {
        _exec("PRAGMA journal_mode=WAL");
        _exec(kSchema);
    }
}

bool HLNHistory::_failed(int code, const std::string& reason, const char* doing) {
    _close();
    if (!isDamage(code)) {
        // SQLite says "unable to open" for a folder where its log cannot be
        // made: the folder's own reason says more.
        const std::string folder = folderOf(_path);
        if (const int error = TFDirectory::accessPath(folder, TFDirectory::Access::write))
            _say(std::string("cannot ") + doing + ": " + folder + ": " + std::strerror(error));
        else
            _say(std::string("cannot ") + doing + ": " + reason);
        return false;
    }
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H%M%S", &local);
    const std::string aside = _path + ".broken-" + stamp;
    if (TFDirectory::renamePath(_path, aside) != 0) {
        _say(std::string("damaged (") + reason + "), and cannot be moved aside");
        return false;
    }
    // Its log goes with it; the shared-memory index is rebuilt from nothing.
    TFDirectory::renamePath(_path + "-wal", aside + "-wal");
    TFDirectory::removeFileAtPath(_path + "-shm");
    _say("damaged (" + reason + "): moved aside as " + aside + ", starting a new history");
    return true;
}

bool HLNHistory::save(const HLNFolderFigures& figures) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            _open(false);
            return _save(figures);
        } catch (const Failure& failure) {
            if (_db)
                sqlite3_exec(_db, "ROLLBACK", nullptr, nullptr, nullptr);
            if (!_failed(failure.code, failure.reason, "record"))
                return false;
        }
    }
    return false;
}

int64_t HLNHistory::_folderId(int64_t parent, const std::string& name, Statement& find,
                              Statement& add) {
    find.bind(1, parent).bind(2, name);
    const bool found = find.step();
    const int64_t id = found ? find.integer(0) : 0;
    find.reset();
    if (found)
        return id;
    add.bind(1, parent).bind(2, name).run();
    return sqlite3_last_insert_rowid(_db);
}

bool HLNHistory::_save(const HLNFolderFigures& figures) {
    if (figures.folders.empty())
        return true;
    // Taken at once: a second writer waits here for the first, never halfway.
    _exec("BEGIN IMMEDIATE");
    Statement find(_db, "SELECT id FROM folder WHERE parent = ?1 AND name = ?2");
    Statement add(_db, "INSERT INTO folder(parent, name) VALUES(?1, ?2)");
    int64_t rootFolder = 0;
    for (const std::string& part : components(figures.rootPath))
        rootFolder = _folderId(rootFolder, part, find, add);

    Statement record(_db, "INSERT INTO record(root_path, root_folder, time, file_system, "
                          "disk_usage, folders) VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    record.bind(1, figures.rootPath)
        .bind(2, rootFolder)
        .bind(3, figures.timeMs)
        .bind(4, figures.fileSystem, false)
        .bind(5, int64_t(figures.totalDiskUsage()))
        .bind(6, int64_t(figures.folders.size()))
        .run();
    const int64_t recordId = sqlite3_last_insert_rowid(_db);

    Statement usage(_db, "INSERT INTO usage(record, folder, disk_usage, apparent_size, items, "
                         "newest_modification) VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
    std::vector<int64_t> ids(figures.folders.size());
    for (size_t i = 0; i < figures.folders.size(); ++i) {
        const HLNFolderFigures::Folder& folder = figures.folders[i];
        ids[i] = i == 0 ? rootFolder : _folderId(ids[folder.parent], folder.name, find, add);
        usage.bind(1, recordId)
            .bind(2, ids[i])
            .bind(3, int64_t(folder.diskUsage))
            .bind(4, folder.apparentSize)
            .bind(5, folder.items)
            .bind(6, folder.newestModification)
            .run();
    }
    _prune(figures.rootPath);
    _exec("COMMIT");
    return true;
}

bool HLNHistory::_prune(const std::string& rootPath) {
    // Kept: the newest records of the root, and the first of each month.
    Statement doomed(_db, R"(
        SELECT id FROM record WHERE root_path = ?1
        AND id NOT IN (SELECT id FROM record WHERE root_path = ?1
                       ORDER BY time DESC, id DESC LIMIT ?2)
        AND id NOT IN (SELECT id FROM (
            SELECT id, row_number() OVER (
                PARTITION BY strftime('%Y-%m', time / 1000, 'unixepoch', 'localtime')
                ORDER BY time, id) AS n
            FROM record WHERE root_path = ?1) WHERE n = 1))");
    doomed.bind(1, rootPath).bind(2, int64_t(_keepLast));
    std::vector<int64_t> ids;
    while (doomed.step())
        ids.push_back(doomed.integer(0));
    if (ids.empty())
        return true;

    // Their folders that no record holds any more go too, each after the
    // folders below it.
    _exec("CREATE TEMP TABLE IF NOT EXISTS doomed_folder(id INTEGER PRIMARY KEY);"
          "DELETE FROM doomed_folder");
    Statement collect(_db, "INSERT OR IGNORE INTO doomed_folder SELECT folder FROM usage "
                           "WHERE record = ?1");
    Statement dropUsage(_db, "DELETE FROM usage WHERE record = ?1");
    Statement dropRecord(_db, "DELETE FROM record WHERE id = ?1");
    for (int64_t id : ids) {
        collect.bind(1, id).run();
        dropUsage.bind(1, id).run();
        dropRecord.bind(1, id).run();
    }
    _exec("DELETE FROM doomed_folder WHERE id IN (SELECT folder FROM usage)"
          " OR id IN (SELECT root_folder FROM record)");
    Statement dropFolders(_db, "DELETE FROM folder WHERE id IN (SELECT id FROM doomed_folder)"
                               " AND NOT EXISTS (SELECT 1 FROM folder AS below"
                               "                 WHERE below.parent = folder.id)");
    do
        dropFolders.run();
    while (sqlite3_changes(_db) > 0);
    _exec("DELETE FROM doomed_folder");
    return true;
}

bool HLNHistory::_neverMade() const {
    // Reading makes no history where none was ever kept.
    return !_db && TFDirectory::accessPath(_path, TFDirectory::Access::exists) == ENOENT;
}

std::optional<std::vector<HLNHistory::Record>> HLNHistory::records(const std::string& rootPath) {
    if (_neverMade())
        return std::vector<Record>{};
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            _open(true);
            Statement list(_db, "SELECT id, time, file_system, disk_usage, folders FROM record "
                                "WHERE root_path = ?1 ORDER BY time, id");
            list.bind(1, rootPath);
            std::vector<Record> found;
            while (list.step())
                found.push_back({list.integer(0), rootPath, list.integer(1), list.bytes(2),
                                 uint64_t(list.integer(3)), uint64_t(list.integer(4))});
            return found;
        } catch (const Failure& failure) {
            if (!_failed(failure.code, failure.reason, "read the history"))
                return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<HLNFolderFigures> HLNHistory::figuresOf(const Record& record, unsigned maxDepth) {
    try {
        _open(true);
        Statement root(_db, "SELECT root_folder FROM record WHERE id = ?1");
        if (!root.bind(1, record.id).step())
            return std::nullopt;
        const int64_t rootFolder = root.integer(0);

        struct Row {
            int64_t id;
            HLNFolderFigures::Folder folder;
        };
        std::vector<Row> rows;
        std::unordered_map<int64_t, std::vector<size_t>> below; // by parent id
        Statement read(_db, "SELECT f.id, f.parent, f.name, u.disk_usage, u.apparent_size, "
                            "u.items, u.newest_modification FROM usage AS u "
                            "JOIN folder AS f ON f.id = u.folder WHERE u.record = ?1");
        read.bind(1, record.id);
        size_t rootRow = SIZE_MAX;
        while (read.step()) {
            HLNFolderFigures::Folder folder{0,
                                            read.bytes(2),
                                            uint64_t(read.integer(3)),
                                            read.optional<uint64_t>(4),
                                            read.optional<uint64_t>(5),
                                            read.optional<int64_t>(6)};
            const int64_t id = read.integer(0);
            if (id == rootFolder)
                rootRow = rows.size();
            else
                below[read.integer(1)].push_back(rows.size());
            rows.push_back({id, std::move(folder)});
        }
        if (rootRow == SIZE_MAX)
            return std::nullopt;

        HLNFolderFigures figures;
        figures.rootPath = record.rootPath;
        figures.timeMs = record.timeMs;
        figures.fileSystem = record.fileSystem;
        rows[rootRow].folder.name = record.rootPath;
        figures.folders.push_back(std::move(rows[rootRow].folder));
        // Breadth first, so that a folder's depth is known when it is added.
        std::vector<std::pair<int64_t, unsigned>> queue{{rootFolder, 0}};
        for (size_t next = 0; next < queue.size(); ++next) {
            const auto [id, depth] = queue[next];
            if (depth >= maxDepth)
                continue;
            auto children = below.find(id);
            if (children == below.end())
                continue;
            for (size_t row : children->second) {
                rows[row].folder.parent = uint32_t(next);
                figures.folders.push_back(std::move(rows[row].folder));
                queue.emplace_back(rows[row].id, depth + 1);
            }
        }
        return figures;
    } catch (const Failure& failure) {
        _failed(failure.code, failure.reason, "read the history");
        return std::nullopt;
    }
}

std::optional<std::vector<HLNHistory::Point>>
HLNHistory::diskUsageOver(const std::string& rootPath, const std::string& relativePath) {
    if (_neverMade())
        return std::vector<Point>{};
    try {
        _open(true);
        // The folder's row, by its path's components from the top.
        Statement find(_db, "SELECT id FROM folder WHERE parent = ?1 AND name = ?2");
        int64_t folder = 0;
        for (const std::string& part : components(rootPath + "/" + relativePath)) {
            find.bind(1, folder).bind(2, part);
            folder = find.step() ? find.integer(0) : -1;
            find.reset();
            if (folder < 0)
                break;
        }
        Statement read(_db, "SELECT r.time, coalesce(u.disk_usage, 0) FROM record AS r "
                            "LEFT JOIN usage AS u ON u.record = r.id AND u.folder = ?2 "
                            "WHERE r.root_path = ?1 ORDER BY r.time, r.id");
        read.bind(1, rootPath).bind(2, folder);
        std::vector<Point> points;
        while (read.step())
            points.push_back({read.integer(0), uint64_t(read.integer(1))});
        return points;
    } catch (const Failure& failure) {
        _failed(failure.code, failure.reason, "read the history");
        return std::nullopt;
    }
}
