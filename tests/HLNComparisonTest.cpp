#include "history/HLNComparison.h"
#include "scans/HLNScanReader.h"
#include "scans/HLNScanWriter.h"

#include "support/ChildNamed.h"
#include "support/TempTree.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

// The tree at path as a scan gives it back, complete as made.
HLNScanReader::Scan scanOf(const std::string& path) {
    char name[] = "/tmp/hollin-comparison-scan-XXXXXX";
    const int fd = ::mkstemp(name);
    HLNScanWriter writer(fd);
    std::string error;
    EXPECT_TRUE(writer.writeScanOfPath(path, &error)) << error;
    ::close(fd);
    std::optional<HLNScanReader::Scan> scan = HLNScanReader::readScanAtPath(name, &error);
    ::unlink(name);
    if (!scan)
        throw std::runtime_error(error);
    return std::move(*scan);
}

} // namespace

// A node of the tree now finds its folder then by path: grown, new (not
// there then), a file (never kept); nodes of another tree have none. The
// list of changes holds the gone folder with its old size, and orders ties
// by path.
TEST(HLNComparisonTest, NodesFindTheirFoldersThen) {
    TempTree tree;
    tree.mkdir("a/b");
    tree.mkdir("gone");
    tree.mkdir("same");
    tree.writeFile("a/b/f", 100000);
    tree.writeFile("gone/g", 300000);
    tree.writeFile("same/s", 8192);
    HLNScanReader::Scan then = scanOf(tree.path());
    const HLNComparison comparison(HLNFolderFigures::ofTree(then.root));
    HLNScanReader::releaseScan(then);

    tree.writeFile("a/b/more", 1 << 20);
    tree.mkdir("fresh");
    tree.writeFile("fresh/x", 1 << 20);
    ::unlink((tree / "gone/g").c_str());
    ::rmdir((tree / "gone").c_str());
    HLNScanReader::Scan now = scanOf(tree.path());

    const Ref<HLNFile> b = childNamed(childNamed(now.root, "a"), "b");
    auto grown = comparison.changeOf(b, now.root);
    ASSERT_TRUE(grown);
    EXPECT_EQ(grown->relativePath, "a/b");
    EXPECT_TRUE(grown->wasThere);
    EXPECT_EQ(grown->change(), int64_t(TempTree::duBytes(tree / "a/b/more")));
    auto fresh = comparison.changeOf(childNamed(now.root, "fresh"), now.root);
    ASSERT_TRUE(fresh);
    EXPECT_FALSE(fresh->wasThere);
    EXPECT_EQ(fresh->now, TempTree::duBytes(tree / "fresh"));
    EXPECT_FALSE(comparison.changeOf(childNamed(b, "f"), now.root)->wasThere);
    EXPECT_FALSE(comparison.changeOf(b, childNamed(now.root, "same")));
    auto root = comparison.changeOf(now.root, now.root);
    EXPECT_EQ(root->relativePath, "");
    EXPECT_EQ(root->then, comparison.then().totalDiskUsage());

    // a and a/b grew by the same bytes: the shorter path first.
    std::vector<std::string> order;
    for (const HLNComparison::Change& change :
         comparison.changesTo(HLNFolderFigures::ofTree(now.root), 2))
        order.push_back(change.relativePath + (change.now ? "" : " (gone)"));
    EXPECT_EQ(order, (std::vector<std::string>{"", "fresh", "a", "a/b", "gone (gone)"}));
    HLNScanReader::releaseScan(now);
}
