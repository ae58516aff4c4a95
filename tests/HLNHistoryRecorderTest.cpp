#include "history/HLNHistoryRecorder.h"

#include "history/HLNHistory.h"
#include "model/HLNBackgroundFileSizer.h"
#include "toolkit/TFFileSystemIdentity.h"

#include "support/TempTree.h"

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

// A tree sized by the sizing thread, taken here and written on the
// recorder's thread, under the folder's real path (spelled otherwise
// here) with its file system; a history that cannot be written fails each
// save, said, and holds nobody up.
TEST(HLNHistoryRecorderTest, SavesOnItsOwnThreadUnderTheRealPath) {
    TempTree tree, home;
    tree.mkdir("a/b");
    tree.writeFile("a/b/f", 200000);
    const std::string spelled = tree / "a/..";
    Ref<HLNFile> root = HLNFile::initWithParent(nullptr, spelled);
    HLNBackgroundFileSizer::sizeFile(root);
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (root->sizeStatus() != SizeStatus::complete && std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_EQ(root->sizeStatus(), SizeStatus::complete);

    HLNHistoryRecorder recorder(home / "history.sqlite");
    std::atomic<int> saved{0};
    std::atomic<bool> onThisThread{false};
    const auto here = std::this_thread::get_id();
    for (int i = 0; i < 2; ++i)
        recorder.record(HLNFolderFigures::toRecord(root, spelled), [&](bool ok) {
            saved += ok;
            onThisThread = onThisThread || std::this_thread::get_id() == here;
        });
    recorder.waitUntilIdle();
    EXPECT_EQ(saved, 2);
    EXPECT_FALSE(onThisThread);
    EXPECT_TRUE(recorder.lastProblem().empty());

    HLNHistory history(home / "history.sqlite");
    const auto records = history.records(tree.path());
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 2u);
    EXPECT_EQ(records->back().diskUsage, TempTree::duBytes(tree.path()));
    EXPECT_EQ(records->back().folders, 3u);
    EXPECT_EQ(records->back().fileSystem, TFFileSystemIdentity::ofPath(tree.path()));
    EXPECT_FALSE(records->back().fileSystem.empty());
    // A live tree knows every measure, and the record keeps them.
    const auto kept = history.figuresOf(records->back());
    ASSERT_TRUE(kept);
    const HLNFile::Snapshot now = root->snapshot();
    EXPECT_EQ(kept->folders[0].items, 4u); // itself, a, b, f
    EXPECT_EQ(kept->folders[0].apparentSize, now.measures.apparent);
    EXPECT_EQ(kept->folders[0].newestModification, now.measures.newest);
    EXPECT_GT(now.measures.newest, 1700000000);

    HLNHistoryRecorder nowhere("/proc/hollin-nowhere/history.sqlite");
    std::atomic<int> failed{0};
    nowhere.record(HLNFolderFigures::toRecord(root, spelled), [&](bool ok) { failed += !ok; });
    nowhere.waitUntilIdle();
    EXPECT_EQ(failed, 1);
    EXPECT_NE(nowhere.lastProblem().find("cannot record"), std::string::npos);
    root->releaseNow();
}
