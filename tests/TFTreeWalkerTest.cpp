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
