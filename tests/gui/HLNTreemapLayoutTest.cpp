#include "browser/HLNTreemapLayout.h"

#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"
#include "model/HLNTreemapSnapshot.h"
#include "support/TempTree.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <unistd.h>

namespace {

using Rect = HLNTreemapLayout::Rect;
constexpr double eps = 1e-6;

// A sized tree, released when the test is done with it (a node and its
// children refer to each other until the tree is invalidated).
struct SizedRoot : Ref<HLNFile> {
    SizedRoot(Ref<HLNFile> root) : Ref<HLNFile>(std::move(root)) {}
    SizedRoot(const SizedRoot&) = delete;
    ~SizedRoot() {
        if (get())
            get()->invalidate();
    }
};

SizedRoot sized(const std::string& path) {
    Ref<HLNFile> root = HLNFile::initWithParent(nullptr, path);
    if (!root)
        return root;
    HLNBackgroundFileSizer::sizeFile(root);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(root->sizeStatus() == SizeStatus::complete && HLNBackgroundFileSizer::isIdle()) &&
           std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return root;
}

// Folders of files whose sizes spread over three orders of magnitude, one
// folder of many small files, an empty folder and zero-byte files.
void buildMixedTree(const TempTree& tree) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> exponent(12, 21); // 4 KiB .. 2 MiB
    for (const char* folder : {"a", "a/deep", "b", "c", "c/d"}) {
        tree.mkdir(folder);
        for (int i = 0; i < 24; ++i)
            tree.writeFile(std::string(folder) + "/f" + std::to_string(i),
                           size_t(std::pow(2.0, exponent(random))));
    }
    tree.mkdir("many");
    for (int i = 0; i < 400; ++i)
        tree.writeFile("many/s" + std::to_string(i), 4096);
    tree.mkdir("empty");
    tree.writeFile("zero", 0);
    tree.writeFile("b/zero", 0);
}

bool inside(const Rect& in, const Rect& out) {
    return in.x >= out.x - eps && in.y >= out.y - eps && in.x + in.w <= out.x + out.w + eps &&
           in.y + in.h <= out.y + out.h + eps;
}

double overlap(const Rect& a, const Rect& b) {
    const double w = std::min(a.x + a.w, b.x + b.w) - std::max(a.x, b.x);
    const double h = std::min(a.y + a.h, b.y + b.h) - std::max(a.y, b.y);
    return w > 0 && h > 0 ? w * h : 0;
}

// The naive layout: each level cuts its rectangle into strips in one
// direction, alternating with depth; the rest of a folder comes last.
void sliceAndDice(const HLNTreemapSnapshot& s, uint32_t i, Rect r, int depth,
                  std::vector<Rect>& tiles) {
    const auto& e = s.entries()[i];
    if (e.childCount == 0) {
        tiles.push_back(r);
        return;
    }
    double at = 0;
    uint64_t used = 0;
    for (uint32_t k = 0; k <= e.childCount; ++k) {
        const uint64_t b = k < e.childCount ? s.entries()[e.firstChild + k].bytes : e.bytes - used;
        used += k < e.childCount ? b : 0;
        const double f = double(b) / double(e.bytes);
        if (f <= 0)
            continue;
        const Rect part = depth % 2 == 0 ? Rect{r.x + at * r.w, r.y, f * r.w, r.h}
                                         : Rect{r.x, r.y + at * r.h, r.w, f * r.h};
        at += f;
        if (k < e.childCount)
            sliceAndDice(s, e.firstChild + k, part, depth + 1, tiles);
        else
            tiles.push_back(part);
    }
}

double mean(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0 : sum / double(v.size());
}

} // namespace

TEST(HLNTreemapLayout, AreasFollowBytesInsideTheirFoldersWithoutOverlapping) {
    TempTree tree;
    buildMixedTree(tree);
    SizedRoot root = sized(tree.path());
    ASSERT_EQ(root->sizeStatus(), SizeStatus::complete);
    const Rect bounds{10, 20, 800, 500};
    const auto snapshot =
        HLNTreemapSnapshot::take(root, HLNTreemapLayout::minimumFractionForArea(800, 500));
    ASSERT_FALSE(snapshot.empty());
    const auto& entries = snapshot.entries();
    EXPECT_EQ(entries[0].bytes, TempTree::duBytes(tree.path()));
    EXPECT_EQ(snapshot.pathOf(0), tree.path());
    const HLNTreemapLayout layout(snapshot, bounds);
    const auto& rects = layout.rects();
    const double total = bounds.area();

    for (uint32_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        SCOPED_TRACE(snapshot.pathOf(i));
        EXPECT_EQ(e.file->path(), snapshot.pathOf(i));
        EXPECT_GT(e.bytes, 0u) << "a zero-byte entry has no rectangle";
        EXPECT_NEAR(rects[i].area() / total, double(e.bytes) / double(entries[0].bytes), 1e-9);
        EXPECT_GE(rects[i].area(), HLNTreemapLayout::minimumArea - eps)
            << "kept entries are big enough to see";
        if (i > 0) {
            EXPECT_TRUE(inside(rects[i], rects[e.parent]));
        }
        // Siblings and the folder's rest tile the folder exactly.
        std::vector<Rect> parts;
        for (uint32_t k = 0; k < e.childCount; ++k)
            parts.push_back(rects[e.firstChild + k]);
        if (e.childCount > 0)
            parts.push_back(layout.restOf(i));
        double covered = 0;
        for (size_t p = 0; p < parts.size(); ++p) {
            covered += parts[p].area();
            EXPECT_TRUE(inside(parts[p], rects[i]));
            for (size_t q = p + 1; q < parts.size(); ++q)
                EXPECT_LT(overlap(parts[p], parts[q]), eps);
        }
        if (e.childCount > 0) {
            EXPECT_NEAR(covered, rects[i].area(), 1e-6 * total);
        }
        for (uint32_t k = 1; k < e.childCount; ++k)
            EXPECT_GE(entries[e.firstChild + k - 1].bytes, entries[e.firstChild + k].bytes)
                << "largest first";
    }
    // Drawn small, the 400 files of 4 KiB are each too small to show: "many"
    // is one rectangle, with all their bytes.
    const auto small =
        HLNTreemapSnapshot::take(root, HLNTreemapLayout::minimumFractionForArea(160, 100));
    const auto& few = small.entries();
    const auto many =
        std::find_if(few.begin(), few.end(), [](auto& e) { return e.file->name() == "many"; });
    ASSERT_NE(many, few.end());
    EXPECT_EQ(many->childCount, 0u);
    EXPECT_EQ(many->bytes, TempTree::duBytes(tree / "many"));
    EXPECT_LT(few.size(), entries.size());
    // Past a budget of entries looked at (the root's always are), the
    // folders reached are kept whole: their bytes, none of their entries.
    const auto bounded = HLNTreemapSnapshot::take(
        root, HLNTreemapLayout::minimumFractionForArea(800, 500), nullptr, -1, 1);
    ASSERT_EQ(bounded.entries()[0].childCount, entries[0].childCount);
    for (uint32_t i = 1; i < bounded.entries().size(); ++i) {
        EXPECT_EQ(bounded.entries()[i].parent, 0u);
        EXPECT_EQ(bounded.entries()[i].childCount, 0u);
        EXPECT_EQ(bounded.entries()[i].bytes, entries[i].bytes);
    }
    EXPECT_LT(bounded.nodesVisited(), snapshot.nodesVisited());
    // ...looked at through four of their entries at most, for their colour.
    EXPECT_LE(bounded.nodesVisited(),
              1 + root->children()->size() + 4 * (bounded.entries().size() - 1));
    // Every point of the map belongs to the deepest rectangle holding it.
    const uint32_t hit =
        layout.entryAt(rects[entries.size() - 1].x + 0.5, rects[entries.size() - 1].y + 0.5);
    EXPECT_EQ(hit, uint32_t(entries.size() - 1));
    EXPECT_EQ(layout.entryAt(5, 5), HLNTreemapSnapshot::none);
}

TEST(HLNTreemapLayout, SquarifiedRowsKeepRectanglesCloserToSquareThanSliceAndDice) {
    TempTree tree;
    buildMixedTree(tree);
    SizedRoot root = sized(tree.path());
    const Rect bounds{0, 0, 1000, 600};
    const auto snapshot =
        HLNTreemapSnapshot::take(root, HLNTreemapLayout::minimumFractionForArea(1000, 600));
    const HLNTreemapLayout layout(snapshot, bounds);
    std::vector<Rect> naive;
    sliceAndDice(snapshot, 0, bounds, 0, naive);
    std::vector<double> squarified, sliced;
    for (const auto& tile : layout.tiles())
        squarified.push_back(HLNTreemapLayout::aspectRatio(tile.rect));
    for (const Rect& r : naive)
        sliced.push_back(HLNTreemapLayout::aspectRatio(r));
    ASSERT_EQ(squarified.size(), sliced.size()) << "the same tiles, laid out two ways";
    ASSERT_GT(squarified.size(), 50u);
    std::sort(squarified.begin(), squarified.end());
    std::sort(sliced.begin(), sliced.end());
    EXPECT_LT(mean(squarified), 2.0);
    EXPECT_LT(mean(squarified) * 10, mean(sliced));
    EXPECT_LT(squarified[squarified.size() / 2], 2.0) << "the median tile is nearly square";
    EXPECT_GT(sliced[sliced.size() / 2], 4.0);
}

TEST(HLNTreemapLayout, ZeroBytesAndEmptyFoldersBreakNothing) {
    TempTree tree;
    tree.writeFile("zero", 0);
    tree.mkdir("empty");
    // A zero-byte root: nothing is drawn, nothing is hit.
    SizedRoot zero = sized(tree / "zero");
    ASSERT_TRUE(zero);
    const auto none = HLNTreemapSnapshot::take(zero, 0.001);
    ASSERT_EQ(none.entries().size(), 1u);
    const HLNTreemapLayout empty(none, {0, 0, 300, 200});
    EXPECT_TRUE(empty.tiles().empty());
    EXPECT_EQ(empty.entryAt(150, 100), HLNTreemapSnapshot::none);
    EXPECT_TRUE(HLNTreemapSnapshot::take(nullptr, 0.001).empty());
    EXPECT_TRUE(HLNTreemapLayout(HLNTreemapSnapshot(), {0, 0, 300, 200}).tiles().empty());

    // A folder holding only an empty folder and an empty file: whatever has
    // bytes gets a finite rectangle, the zero-byte file none.
    SizedRoot root = sized(tree.path());
    const auto s = HLNTreemapSnapshot::take(root, 0.0);
    const HLNTreemapLayout layout(s, {0, 0, 300, 200});
    for (uint32_t i = 0; i < s.entries().size(); ++i) {
        EXPECT_NE(s.entries()[i].file->name(), "zero");
        EXPECT_TRUE(std::isfinite(layout.rects()[i].area()));
    }
    double painted = 0;
    for (const auto& tile : layout.tiles())
        painted += tile.rect.area();
    EXPECT_NEAR(painted, root->sizeSoFar() > 0 ? 300.0 * 200 : 0.0, 1e-6);
    // Degenerate sizes are refused, not divided by.
    EXPECT_TRUE(HLNTreemapLayout(s, {0, 0, 0, 200}).tiles().empty());
    const auto parts = HLNTreemapLayout::squarify({}, {0, 0, 10, 10});
    EXPECT_TRUE(parts.empty());
}

TEST(HLNTreemapLayout, SnapshotsTakenWhileSizingAreConsistent) {
    TempTree tree;
    for (int d = 0; d < 30; ++d) {
        const std::string folder = "d" + std::to_string(d % 20) + "/e" + std::to_string(d);
        tree.mkdir(folder);
        for (int f = 0; f < 40; ++f)
            tree.writeFile(folder + "/f" + std::to_string(f), 1 + 1000 * (f % 5));
    }
    SizedRoot root = HLNFile::initWithParent(nullptr, tree.path());
    ASSERT_TRUE(root);
    // Each folder visit is slowed a little so that sizing is sure to be under way.
    HLNBackgroundFileSizer::setVisitHookForTesting(
        [](const Ref<HLNFile>&) { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
    HLNBackgroundFileSizer::sizeFile(root);
    int taken = 0;
    while (!(root->sizeStatus() == SizeStatus::complete && HLNBackgroundFileSizer::isIdle())) {
        const auto s = HLNTreemapSnapshot::take(root, 0.0);
        ++taken;
        // One hold of the lock: no folder shows less than its entries add up to.
        for (const auto& e : s.entries()) {
            uint64_t sum = 0;
            for (uint32_t k = 0; k < e.childCount; ++k)
                sum += s.entries()[e.firstChild + k].bytes;
            ASSERT_LE(sum, e.bytes);
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    HLNBackgroundFileSizer::setVisitHookForTesting(nullptr);
    EXPECT_GT(taken, 1);
    const auto done = HLNTreemapSnapshot::take(root, 0.0);
    EXPECT_EQ(done.entries()[0].bytes, TempTree::duBytes(tree.path()));
    EXPECT_EQ(done.entries()[0].status, SizeStatus::complete);
}

TEST(HLNTreemapLayout, TheRootsOwnEntriesAreKeptDownToAFewPixelsHoweverMany) {
    TempTree tree;
    tree.mkdir("many");
    for (int i = 0; i < 5000; ++i) { // without a sync each: the blocks are counted at once
        const int fd = ::open((tree / ("many/s" + std::to_string(i))).c_str(),
                              O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_EQ(::write(fd, "x", 1), 1);
        ::close(fd);
    }
    SizedRoot root = sized(tree / "many");
    ASSERT_EQ(root->sizeStatus(), SizeStatus::complete);
    // 400x300 pixels: 24 each, two below the area kept deeper down.
    const double w = 400, h = 300;
    const auto s =
        HLNTreemapSnapshot::take(root, HLNTreemapLayout::minimumFractionForArea(w, h) * 12, nullptr,
                                 HLNTreemapLayout::minimumRootEntryFractionForArea(w, h));
    EXPECT_EQ(s.entries()[0].childCount, 5000u);
    const HLNTreemapLayout layout(s, {0, 0, w, h});
    for (uint32_t k = 1; k <= 5000; ++k)
        EXPECT_GT(layout.rects()[k].area(), HLNTreemapLayout::minimumRootEntryArea);
    const auto deeper =
        HLNTreemapSnapshot::take(root, HLNTreemapLayout::minimumFractionForArea(w, h) * 12);
    EXPECT_EQ(deeper.entries()[0].childCount, 0u) << "the same entries deeper down are left out";
}
