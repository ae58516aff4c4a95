// Find's walk from a thread of its own while the sizing thread builds and
// re-reads the tree (the Find bar's way), and its early end.
#include "model/HLNFinder.h"

#include "model/HLNBackgroundFileSizer.h"
#include "support/TempTree.h"

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

bool spinUntil(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (!condition() && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(2ms);
    }
    return condition();
}

TEST(HLNFinder, WalksFromAnotherThreadWhileTheTreeIsSizedAndReadAgain) {
    TempTree tree;
    for (int folder = 0; folder < 10; ++folder) {
        const std::string name = "f" + std::to_string(folder);
        tree.mkdir(name);
        for (int i = 0; i < 30; ++i)
            tree.writeFile(name + "/" + std::to_string(i) + (i % 10 ? ".txt" : ".log"), 100);
    }
    Ref<HLNFile> root = HLNFile::initWithParent(nullptr, tree.path());
    ASSERT_TRUE(root);
    HLNFinder::Criteria logs;
    logs.nameGlob = "*.log";
    std::atomic<bool> done{false};
    std::atomic<uint64_t> walks{0};
    std::thread reader([&] {
        while (!done) {
            HLNFinder::find(root, logs, false);
            HLNFinder::largestFiles(root, 5);
            HLNFinder::census(root);
            ++walks;
        }
    });
    HLNBackgroundFileSizer::sizeFile(root);
    EXPECT_TRUE(spinUntil([&] { return root->sizeStatus() == SizeStatus::complete; }));
    tree.writeFile("f0/new.log", 100);
    root->children();
    Ref<HLNFile> f0 = root->existingChildNamed("f0");
    ASSERT_TRUE(f0);
    f0->refreshSize();
    EXPECT_TRUE(spinUntil([&] { return HLNFinder::find(root, logs).size() == 31; }));
    const uint64_t before = walks;
    EXPECT_TRUE(spinUntil([&] { return walks > before; })) << "the reader went on meanwhile";
    done = true;
    reader.join();

    // What is handed on before the end and what is returned make the whole.
    size_t handed = 0;
    HLNFinder::Control control{};
    control.found = [&](std::vector<HLNFinder::Entry>&& found) { handed += found.size(); };
    EXPECT_EQ(HLNFinder::find(root, logs, true, control).size() + handed, 31u);
    // Stopped before it starts: nothing is walked.
    std::atomic<bool> stop{true};
    control = {};
    control.stop = &stop;
    EXPECT_TRUE(HLNFinder::find(root, logs, true, control).empty());
    EXPECT_EQ(HLNFinder::census(root, HLNFile::Figure::items, control).folders.items, 1u);
    root->releaseNow();
}

} // namespace
