#include "toolkit/TFTreeWalker.h"

#include "support/TempTree.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Records the walk as lines: "+path" entered, "-path" left, "name" an entry,
// "!name error" a read error ("!" alone: a folder lost its place).
struct Recorder : TFTreeWalker::Sink {
    std::vector<std::string> lines;
    TFTreeWalker* walker = nullptr;
    std::string top;
    std::string rel(const std::string& path) const { return path.substr(top.size()); }
    std::function<void(const std::string&)> onEntry; // called with each entry's path

    bool entry(const TFTreeWalker::Folder&, const char* name, const TFDirectory::Examination& ex,
               bool enterable) override {
        if (!ex.exists())
            return false;
        const std::string where = walker->path() + "/" + name;
        lines.push_back(rel(where));
        if (onEntry)
            onEntry(where);
        return enterable;
    }
    bool enterFolder(const TFTreeWalker::Folder&) override {
        lines.push_back("+" + rel(walker->path()));
        return true;
    }
    void leaveFolder(const TFTreeWalker::Folder& f, const TFDirectory* parent) override {
        lines.push_back("-" + (f.depth ? f.name : "top") + (parent ? "" : " (no parent)"));
    }
    void readError(const TFTreeWalker::Folder*, const char* name, int error) override {
        lines.push_back(name ? "!" + std::string(name) + " " + std::to_string(error) : "!");
    }
    bool has(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

std::vector<std::string> walk(const std::string& root, Recorder& r, size_t budget = 64) {
    TFTreeWalker::Options options;
    options.openBudget = budget;
    options.sortedByBytes = true;
    TFTreeWalker walker(r, options);
    r.walker = &walker;
    r.top = root;
    EXPECT_TRUE(walker.walkPath(root, TFDirectory::examinePath(root)));
    return r.lines;
}

} // namespace

TEST(TFTreeWalker, CallsTheSinkInOrderAndFollowsNoLink) {
    TempTree tree;
    tree.mkdir("root/a/b");
    tree.writeFile("root/a/b/f", 10);
    tree.writeFile("root/z", 10);
    tree.mkdir("outside/secret");
    tree.symlink(tree / "outside", "root/a/link");
    Recorder r;
    const std::vector<std::string> expected = {
        "+",  "/a",      "+/a", "/a/b", "+/a/b",           "/a/b/f",
        "-b", "/a/link", "-a",  "/z",   "-top (no parent)"};
    EXPECT_EQ(walk(tree / "root", r), expected);
}

// Deeper than the open levels: the folders closed for the budget are opened
// again and checked. One moved away meanwhile, with a folder of the same
// name put in its place, is not read as if it were the same.
TEST(TFTreeWalker, ReopensClosedLevelsAndNoticesOneReplaced) {
    TempTree tree;
    tree.mkdir("root/a/b/c/d/e");
    tree.writeFile("root/a/b/c/d/e/f", 1);
    tree.writeFile("root/a/b/later", 1);
    tree.mkdir("elsewhere");
    Recorder r;
    r.onEntry = [&](const std::string& path) {
        if (path.size() > 2 && path.substr(path.size() - 2) == "/f") {
            // root/a/b is closed by now (budget 2): swap it for a look-alike.
            ASSERT_EQ(std::rename((tree / "root/a/b").c_str(), (tree / "elsewhere/b").c_str()), 0);
            tree.mkdir("root/a/b");
            tree.writeFile("root/a/b/planted", 1);
        }
    };
    walk(tree / "root", r, 2);
    EXPECT_TRUE(r.has("!")) << "the replaced folder went unnoticed";
    EXPECT_FALSE(r.has("/a/b/planted"));
    EXPECT_FALSE(r.has("/a/b/later"));

    // Unchanged, the same deep walk reads every entry.
    Recorder again;
    walk(tree / "elsewhere", again, 1);
    EXPECT_FALSE(again.has("!"));
    // The top and 4 folders entered and left; 6 entries.
    EXPECT_EQ(again.lines.size(), 2 * 5 + 6u);
}

// A walk for a sink without descriptors is read ahead on every core: the
// same entries, folders and order of events as the walk that keeps them
// open (in another order of names), over a folder too large to be read
// ahead, an empty one and a link.
TEST(TFTreeWalker, ASinkWithoutDescriptorsGetsTheSameWalkReadAhead) {
    TempTree tree;
    tree.mkdir("root/a/b");
    tree.writeFile("root/a/b/f", 10);
    tree.mkdir("root/empty");
    tree.mkdir("root/many");
    for (int i = 0; i < 9000; ++i)
        tree.writeFile("root/many/f" + std::to_string(i), 0);
    tree.mkdir("root/many/sub");
    tree.writeFile("root/many/sub/g", 1);
    tree.symlink(tree / "root/a", "root/link");
    struct Lines : TFTreeSink {
        std::vector<std::string> path, lines;
        bool entry(const Folder&, const char* name, const Examination& ex,
                   bool enterable) override {
            lines.push_back(path.back() + "/" + name + (ex.isDirectory() ? "/" : ""));
            return enterable;
        }
        bool enterFolder(const Folder& f) override {
            path.push_back(f.depth ? path.back() + "/" + f.name : "");
            lines.push_back("+" + path.back());
            return true;
        }
        void leaveFolder(const Folder&) override {
            lines.push_back("-" + path.back());
            path.pop_back();
        }
        void readError(const Folder*, const char* name, int error) override {
            lines.push_back("!" + std::string(name ? name : "") + std::to_string(error));
        }
    } ahead;
    ASSERT_TRUE(
        TFTreeWalker(ahead).walkPath(tree / "root", TFDirectory::examinePath(tree / "root")));
    Recorder kept;
    walk(tree / "root", kept);
    EXPECT_EQ(ahead.lines.size(), kept.lines.size());
    EXPECT_EQ(ahead.lines.front(), "+");
    EXPECT_EQ(ahead.lines.back(), "-");
    std::vector<std::string> entries;
    for (const std::string& line : ahead.lines)
        if (line[0] == '/')
            entries.push_back(line.back() == '/' ? line.substr(0, line.size() - 1) : line);
    std::sort(entries.begin(), entries.end());
    std::vector<std::string> expected;
    for (const std::string& line : kept.lines)
        if (line[0] == '/')
            expected.push_back(line);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries, expected);
    // Each folder's entries come between its entering and its leaving.
    const auto at = [&](const std::string& line) {
        return std::find(ahead.lines.begin(), ahead.lines.end(), line) - ahead.lines.begin();
    };
    EXPECT_LT(at("+/many/sub"), at("/many/sub/g"));
    EXPECT_LT(at("/many/sub/g"), at("-/many/sub"));
    EXPECT_LT(at("-/many/sub"), at("-/many"));
    EXPECT_EQ(at("+/empty") + 1, at("-/empty"));
    EXPECT_EQ(at("+/link"), long(ahead.lines.size())) << "a link was entered";
}
