#include "model/HLNDirectory.h"

#include "support/TempTree.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::vector<std::string> names(const HLNDirectory& dir) {
    std::vector<char> bytes;
    std::vector<uint32_t> offsets;
    EXPECT_TRUE(dir.readNames(bytes, offsets));
    std::vector<std::string> out;
    for (uint32_t o : offsets) out.emplace_back(bytes.data() + o);
    std::sort(out.begin(), out.end());
    return out;
}

// A chain of folders built with openat, deeper than one path may reach.
// Answers the deepest folder's path.
std::string chain(const std::string& top, size_t bytes, const std::string& component) {
    int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
    std::string path = top;
    while (path.size() < bytes) {
        ::mkdirat(fd, component.c_str(), 0755);
        int next = ::openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        path += "/" + component;
    }
    int file = ::openat(fd, "leaf \xff", O_WRONLY | O_CREAT, 0644);
    ::close(file);
    ::close(fd);
    return path;
}

} // namespace

TEST(HLNDirectoryListing, NamesAreRawBytesWithoutDotEntries) {
    TempTree tree;
    tree.writeFile("plain", 1);
    tree.writeFile("not \xC3\x28 text", 1);
    tree.writeFile("new\nline", 1);
    tree.mkdir("-dash");
    HLNDirectory dir = HLNDirectory::openPath(tree.path());
    ASSERT_TRUE(dir.isOpen());
    EXPECT_EQ(names(dir), (std::vector<std::string>{"-dash", "new\nline", "not \xC3\x28 text", "plain"}));
}

TEST(HLNDirectoryListing, OpeningRefusesLinksAndReportsErrors) {
    TempTree tree;
    tree.mkdir("real");
    tree.symlink(tree / "real", "link");
    EXPECT_FALSE(HLNDirectory::openPath(tree / "link").isOpen());
    int refused = HLNDirectory::openPath(tree / "link").error();
    EXPECT_TRUE(refused == ELOOP || refused == ENOTDIR) << refused;
    EXPECT_EQ(HLNDirectory::openPath(tree / "absent").error(), ENOENT);
    HLNDirectory top = HLNDirectory::openPath(tree.path());
    EXPECT_FALSE(top.openChild("link").isOpen());
    EXPECT_TRUE(top.openChild("real").isOpen());
}

TEST(HLNDirectoryListing, PathsBeyondTheLimitOpen) {
    TempTree tree;
    std::string deep = chain(tree.path(), 6000, std::string(100, 'p'));
    ASSERT_GT(deep.size(), size_t(PATH_MAX));
    HLNDirectory dir = HLNDirectory::openPath(deep);
    ASSERT_TRUE(dir.isOpen()) << std::strerror(dir.error());
    EXPECT_EQ(names(dir), (std::vector<std::string>{"leaf \xff"}));
}

TEST(HLNDirectoryListing, SplitPath) {
    std::string folder, last;
    HLNDirectory::splitPath("/a/b", folder, last);
    EXPECT_EQ(folder + "|" + last, "/a|b");
    HLNDirectory::splitPath("/a", folder, last);
    EXPECT_EQ(folder + "|" + last, "/|a");
    HLNDirectory::splitPath("a", folder, last);
    EXPECT_EQ(folder + "|" + last, ".|a");
    HLNDirectory::splitPath("/", folder, last);
    EXPECT_EQ(folder + "|" + last, "/|.");
    HLNDirectory::splitPath("/a//b/", folder, last);
    EXPECT_EQ(folder + "|" + last, "/a|b/");
}

TEST(HLNDirectoryRemoval, RemovesTreesWithOddNamesAndKeepsLinkTargets) {
    TempTree tree;
    tree.mkdir("outside");
    tree.writeFile("outside/precious", 100);
    tree.mkdir("doomed/a/b");
    tree.writeFile("doomed/a/b/\x80\xff", 10);
    tree.writeFile("doomed/new\nline", 10);
    tree.symlink(tree / "outside", "doomed/a/dirlink");
    tree.symlink(tree / "outside/precious", "doomed/filelink");
    tree.symlink("dangling-target", "doomed/dangling");
    int error = 0;
    EXPECT_TRUE(HLNDirectory::removePath(tree / "doomed", &error));
    EXPECT_EQ(error, 0);
    EXPECT_FALSE(exists(tree / "doomed"));
    EXPECT_TRUE(exists(tree / "outside/precious"));
}

TEST(HLNDirectoryRemoval, ALinkGivenAsThePathIsRemovedItself) {
    TempTree tree;
    tree.mkdir("target");
    tree.writeFile("target/f", 1);
    tree.symlink(tree / "target", "link");
    EXPECT_TRUE(HLNDirectory::removePath(tree / "link"));
    EXPECT_FALSE(exists(tree / "link"));
    EXPECT_TRUE(exists(tree / "target/f"));
}

TEST(HLNDirectoryRemoval, DeeperThanThePathLimitAndTheOpenLevels) {
    TempTree tree;
    tree.mkdir("doomed");
    // About 170 levels: more than stay open at once.
    std::string deep = chain(tree / "doomed", 5200, std::string(30, 'q'));
    ASSERT_GT(deep.size(), size_t(PATH_MAX));
    int error = 0;
    EXPECT_TRUE(HLNDirectory::removePath(tree / "doomed", &error)) << std::strerror(error);
    EXPECT_FALSE(exists(tree / "doomed"));
}

TEST(HLNDirectoryRemoval, GoesOnAfterErrors) {
    if (!runningAsRoot()) GTEST_SKIP() << "needs root to mark a file immutable";
    TempTree tree;
    tree.mkdir("doomed/a");
    tree.mkdir("doomed/z");
    tree.writeFile("doomed/a/pinned", 1);
    tree.writeFile("doomed/z/loose", 1);
    tree.writeFile("doomed/loose", 1);
    std::string pinned = tree / "doomed/a/pinned";
    if (std::system(("chattr +i '" + pinned + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "the file system does not take the immutable flag";
    int error = 0;
    EXPECT_FALSE(HLNDirectory::removePath(tree / "doomed", &error));
    EXPECT_EQ(error, EPERM);
    EXPECT_TRUE(exists(pinned));
    EXPECT_FALSE(exists(tree / "doomed/z"));
    EXPECT_FALSE(exists(tree / "doomed/loose"));
    EXPECT_EQ(std::system(("chattr -i '" + pinned + "'").c_str()), 0);
}

TEST(HLNDirectoryRemoval, NeverEntersAnotherMount) {
    if (!runningAsRoot()) GTEST_SKIP() << "mounting needs root";
    TempTree tree;
    tree.mkdir("doomed/tmp");
    tree.mkdir("doomed/sub/bound");
    tree.mkdir("outside");
    tree.writeFile("outside/kept", 1);
    tree.writeFile("doomed/sub/loose", 1);
    ASSERT_EQ(::mount("tmpfs", (tree / "doomed/tmp").c_str(), "tmpfs", 0, nullptr), 0);
    ASSERT_EQ(::mount((tree / "outside").c_str(), (tree / "doomed/sub/bound").c_str(), nullptr, MS_BIND, nullptr), 0);
    { std::ofstream(tree / "doomed/tmp/kept") << "x"; }
    int error = 0;
    EXPECT_FALSE(HLNDirectory::removePath(tree / "doomed", &error));
    EXPECT_TRUE(exists(tree / "doomed/tmp/kept"));
    EXPECT_TRUE(exists(tree / "doomed/sub/bound/kept"));
    EXPECT_TRUE(exists(tree / "outside/kept"));
    EXPECT_FALSE(exists(tree / "doomed/sub/loose"));
    // The mount point itself, given as the path, is not entered either.
    EXPECT_FALSE(HLNDirectory::removePath(tree / "doomed/tmp"));
    EXPECT_TRUE(exists(tree / "doomed/tmp/kept"));
    ::umount2((tree / "doomed/tmp").c_str(), MNT_DETACH);
    ::umount2((tree / "doomed/sub/bound").c_str(), MNT_DETACH);
}
