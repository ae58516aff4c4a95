#include "history/HLNHistory.h"
#include "scans/HLNScanReader.h"
#include "scans/HLNScanWriter.h"

#include "support/TempTree.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <sqlite3.h>
#include <sstream>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

namespace {

// The tree at path as figures: exported and read back, as a scan file
// would give it (a tree complete as made, with no sizing thread involved).
HLNFolderFigures figuresOf(const std::string& path, int64_t timeMs) {
    char name[] = "/tmp/hollin-history-scan-XXXXXX";
    const int fd = ::mkstemp(name);
    HLNScanWriter writer(fd);
    std::string error;
    EXPECT_TRUE(writer.writeScanOfPath(path, &error)) << error;
    ::close(fd);
    std::optional<HLNScanReader::Scan> scan = HLNScanReader::readScanAtPath(name, &error);
    ::unlink(name);
    EXPECT_TRUE(scan) << error;
    HLNFolderFigures figures = HLNFolderFigures::ofTree(scan->root);
    figures.timeMs = timeMs;
    HLNScanReader::releaseScan(*scan);
    return figures;
}

std::map<std::string, uint64_t> byPath(const HLNFolderFigures& figures) {
    std::map<std::string, uint64_t> sizes;
    for (size_t i = 0; i < figures.folders.size(); ++i)
        sizes[figures.relativePath(i)] = figures.folders[i].diskUsage;
    return sizes;
}

int64_t rows(const std::string& database, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    const int64_t n = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return n;
}

int64_t msAt(int year, int month, int day) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    return int64_t(std::mktime(&t)) * 1000;
}

} // namespace

// A tree's folders go in and come back as they were: sizes, items, paths
// with any bytes, the root's path; two records of one tree share their
// folder rows; a depth limit cuts what is read back.
TEST(HLNHistoryTest, RecordsReadBackAsTaken) {
    TempTree tree, home;
    const std::string odd = "n\xff\x01 \xe9";
    tree.mkdir("a/" + odd + "/deep");
    tree.mkdir("b");
    tree.writeFile("a/" + odd + "/deep/f", 300000);
    tree.writeFile("a/g", 5000);
    tree.writeFile("b/h", 70000);
    HLNFolderFigures first = figuresOf(tree.path(), 1000);
    ASSERT_EQ(first.folders.size(), 5u);
    EXPECT_EQ(first.totalDiskUsage(), TempTree::duBytes(tree.path()));
    EXPECT_EQ(byPath(first)["a/" + odd], TempTree::duBytes(tree / ("a/" + odd)));
    EXPECT_EQ(first.folders[0].items, 8u); // itself, a, b, a/odd, a/g, deep, f, h

    HLNHistory history(home / "hollin/history.sqlite");
    EXPECT_TRUE(history.records(tree.path())->empty());
    EXPECT_FALSE(std::filesystem::exists(home / "hollin")); // not made by reading
    ASSERT_TRUE(history.save(first));
    tree.writeFile("b/grown", 1 << 20);
    // Taken here, written on another thread, as a window does.
    HLNFolderFigures second = figuresOf(tree.path(), 2000);
    bool saved = false;
    std::thread([&] { saved = history.save(second); }).join();
    ASSERT_TRUE(saved);

    auto records = history.records(tree.path());
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ((*records)[0].timeMs, 1000);
    EXPECT_EQ((*records)[0].diskUsage, first.totalDiskUsage());
    EXPECT_EQ((*records)[1].diskUsage, TempTree::duBytes(tree.path()));
    EXPECT_EQ((*records)[1].folders, 5u);

    auto back = history.figuresOf((*records)[0]);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->rootPath, tree.path());
    EXPECT_EQ(byPath(*back), byPath(first));
    // Every measure as taken, folder by folder (the order may differ).
    for (size_t i = 0; i < first.folders.size(); ++i)
        for (size_t j = 0; j < back->folders.size(); ++j)
            if (back->relativePath(j) == first.relativePath(i)) {
                EXPECT_EQ(back->folders[j].items, first.folders[i].items);
                EXPECT_EQ(back->folders[j].apparentSize, first.folders[i].apparentSize);
                EXPECT_EQ(back->folders[j].newestModification, first.folders[i].newestModification);
            }
    auto shallow = history.figuresOf((*records)[1], 1);
    ASSERT_TRUE(shallow);
    EXPECT_EQ(shallow->folders.size(), 3u); // the root, a, b

    // The root's path components plus its four folders, once for both.
    const size_t components = size_t(std::count(tree.path().begin(), tree.path().end(), '/')) + 1;
    EXPECT_EQ(rows(history.path(), "SELECT count(*) FROM folder"), int64_t(components + 4));
    EXPECT_TRUE(history.records("/elsewhere")->empty());
    // One folder across the records, for a chart of its size.
    const auto b = history.diskUsageOver(tree.path(), "b");
    ASSERT_TRUE(b);
    ASSERT_EQ(b->size(), 2u);
    EXPECT_EQ((*b)[0].diskUsage, byPath(first)["b"]);
    EXPECT_EQ((*b)[1].diskUsage, TempTree::duBytes(tree / "b"));
    EXPECT_EQ(history.diskUsageOver(tree.path(), "never")->at(1).diskUsage, 0u);
}

// The newest few of a root stay, and the first of each month; the others
// go with their folders that no record holds any more; other roots are
// left alone.
TEST(HLNHistoryTest, PruningKeepsTheNewestAndEachMonthsFirst) {
    TempTree tree, other, home;
    HLNHistory history(home / "history.sqlite", 3);
    const int64_t times[] = {msAt(2025, 1, 5), msAt(2025, 1, 20), msAt(2025, 2, 1),
                             msAt(2025, 2, 2), msAt(2025, 2, 3),  msAt(2025, 2, 4),
                             msAt(2025, 2, 5)};
    ASSERT_TRUE(history.save(figuresOf(other.path(), times[0])));
    for (int64_t time : times) {
        const std::string once = tree.mkdir("only-at-" + std::to_string(time));
        ASSERT_TRUE(history.save(figuresOf(tree.path(), time)));
        ::rmdir(once.c_str()); // a folder no later record holds
    }
    std::vector<int64_t> kept;
    const auto records = history.records(tree.path());
    for (const HLNHistory::Record& record : *records)
        kept.push_back(record.timeMs);
    EXPECT_EQ(kept, (std::vector<int64_t>{times[0], times[2], times[4], times[5], times[6]}));
    EXPECT_EQ(history.records(other.path())->size(), 1u);
    // Pruned records leave no rows behind; the kept ones read back whole.
    EXPECT_EQ(rows(history.path(), "SELECT count(DISTINCT record) FROM usage"), 6);
    EXPECT_EQ(rows(history.path(), "SELECT count(*) FROM folder WHERE name = CAST('only-at-" +
                                       std::to_string(times[1]) + "' AS BLOB)"),
              0);
    EXPECT_EQ(history.figuresOf(records->back())->folders.size(), 2u);
}

// Garbage where the database should be: said once, moved aside as it was,
// and the record made in a new one. A folder that cannot be written fails
// the save, said, without throwing.
TEST(HLNHistoryTest, DamagedOrUnwritableDatabase) {
    TempTree tree, home;
    const std::string path = home / "history.sqlite";
    std::string garbage(70000, '\0');
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = char(i * 7919 % 251);
    std::ofstream(path, std::ios::binary) << garbage;
    {
        HLNHistory history(path);
        ASSERT_TRUE(history.save(figuresOf(tree.path(), 1000)));
        EXPECT_NE(history.lastProblem().find("moved aside"), std::string::npos);
        EXPECT_EQ(history.records(tree.path())->size(), 1u);
    }
    std::string aside;
    for (const auto& entry : std::filesystem::directory_iterator(home.path()))
        if (entry.path().filename().string().starts_with("history.sqlite.broken-"))
            aside = entry.path();
    ASSERT_FALSE(aside.empty());
    std::ostringstream kept;
    kept << std::ifstream(aside, std::ios::binary).rdbuf();
    EXPECT_EQ(kept.str(), garbage);

    // Where this user may no longer write, a history made before: a
    // read-only mount for the administrator, a folder and a file without
    // write permission for others. Recording fails, said; reading goes on.
    const std::string locked = home.mkdir("locked");
    if (runningAsRoot()) {
        ASSERT_EQ(::mount("tmpfs", locked.c_str(), "tmpfs", 0, "size=4m"), 0)
            << std::strerror(errno);
    }
    ASSERT_TRUE(HLNHistory(locked + "/history.sqlite").save(figuresOf(tree.path(), 1000)));
    if (runningAsRoot()) {
        ASSERT_EQ(::mount("tmpfs", locked.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0)
            << std::strerror(errno);
    } else {
        ASSERT_EQ(
            ::chmod(locked.c_str(), 0500) | ::chmod((locked + "/history.sqlite").c_str(), 0400), 0);
    }
    HLNHistory unwritable(locked + "/history.sqlite");
    EXPECT_FALSE(unwritable.save(figuresOf(tree.path(), 2000)));
    EXPECT_NE(unwritable.lastProblem().find("cannot record"), std::string::npos)
        << unwritable.lastProblem();
    auto stillThere = unwritable.records(tree.path());
    ASSERT_TRUE(stillThere) << unwritable.lastProblem();
    EXPECT_EQ(stillThere->size(), 1u);
    if (runningAsRoot())
        ::umount2(locked.c_str(), MNT_DETACH);
}
