#include "toolkit/TFDirectory.h"

#include "support/TempTree.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> names(const TFDirectory& dir) {
    std::vector<char> bytes;
    std::vector<uint32_t> offsets;
    EXPECT_TRUE(dir.readNames(bytes, offsets));
    std::vector<std::string> out;
    for (uint32_t o : offsets)
        out.emplace_back(bytes.data() + o);
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

TEST(TFDirectoryListing, NamesAreRawBytesWithoutDotEntries) {
    TempTree tree;
    tree.writeFile("plain", 1);
    tree.writeFile("not \xC3\x28 text", 1);
    tree.writeFile("new\nline", 1);
    tree.mkdir("-dash");
    TFDirectory dir = TFDirectory::openPath(tree.path());
    ASSERT_TRUE(dir.isOpen());
    EXPECT_EQ(names(dir),
              (std::vector<std::string>{"-dash", "new\nline", "not \xC3\x28 text", "plain"}));
}

// Many reads' worth of long names: a read that filled the buffer is never
// taken for the last one.
TEST(TFDirectoryListing, AListingThatEndsShortStillReadsEveryName) {
    TempTree tree;
    for (int i = 0; i < 1000; ++i)
        tree.writeFile(std::to_string(i) + std::string(200 + i % 50, 'n'), 0);
    TFDirectory dir = TFDirectory::openPath(tree.path());
    std::vector<char> bytes;
    std::vector<uint32_t> offsets;
    // The temporary folder's file system fills its reads, whatever it says.
    ASSERT_TRUE(dir.readNames(bytes, offsets, SIZE_MAX, nullptr, true));
    EXPECT_EQ(offsets.size(), 1000u);
}

TEST(TFDirectoryListing, OpeningRefusesLinksAndReportsErrors) {
    TempTree tree;
    tree.mkdir("real");
    tree.symlink(tree / "real", "link");
    EXPECT_FALSE(TFDirectory::openPath(tree / "link").isOpen());
    int refused = TFDirectory::openPath(tree / "link").error();
    EXPECT_TRUE(refused == ELOOP || refused == ENOTDIR) << refused;
    EXPECT_EQ(TFDirectory::openPath(tree / "absent").error(), ENOENT);
    TFDirectory top = TFDirectory::openPath(tree.path());
    EXPECT_FALSE(top.openChild("link").isOpen());
    EXPECT_TRUE(top.openChild("real").isOpen());
}

TEST(TFDirectoryListing, EntriesComeWithTheirTypes) {
    TempTree tree;
    tree.mkdir("folder");
    tree.writeFile("file \xff", 1);
    tree.symlink(tree / "folder", "link");
    ASSERT_EQ(::mkfifo((tree / "fifo").c_str(), 0644), 0);
    std::vector<TFDirectory::Entry> entries;
    ASSERT_TRUE(TFDirectory::openPath(tree.path()).readEntries(entries));
    std::sort(entries.begin(), entries.end(), [](auto& a, auto& b) { return a.name < b.name; });
    std::vector<std::pair<std::string, TFDirectory::EntryType>> seen;
    for (const auto& e : entries)
        seen.emplace_back(e.name, e.type);
    using T = TFDirectory::EntryType;
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, T>>{{"fifo", T::other},
                                                            {"file \xff", T::regular},
                                                            {"folder", T::directory},
                                                            {"link", T::link}}));
    EXPECT_FALSE(TFDirectory::openPath(tree / "absent").readEntries(entries));
}

TEST(TFDirectoryExamining, FiguresMatchLstatAndLinksAreNotFollowed) {
    TempTree tree;
    tree.writeFile("full", 20000);
    ASSERT_EQ(::link((tree / "full").c_str(), (tree / "second").c_str()), 0);
    int fd = ::open((tree / "sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::ftruncate(fd, 1 << 24), 0);
    ::close(fd);
    tree.symlink(tree / "full", "link");
    TFDirectory top = TFDirectory::openPath(tree.path());
    for (const char* name : {"full", "sparse", "link"}) {
        struct stat st = TempTree::lstatOf(tree / name);
        TFDirectory::Examination e = top.examine(name);
        ASSERT_EQ(e.error, 0) << name;
        EXPECT_EQ(e.allocatedBytes, uint64_t(st.st_blocks) * 512) << name;
        EXPECT_EQ(e.apparentSize, uint64_t(st.st_size)) << name;
        EXPECT_EQ(e.device, uint64_t(st.st_dev)) << name;
        EXPECT_EQ(e.inode, uint64_t(st.st_ino)) << name;
        EXPECT_EQ(e.linkCount, uint64_t(st.st_nlink)) << name;
    }
    EXPECT_EQ(top.examine("full").linkCount, 2u);
    EXPECT_TRUE(top.examine("link").isLink());
    EXPECT_EQ(top.examineFollowingLink("link").type, TFDirectory::EntryType::regular);
    EXPECT_TRUE(TFDirectory::examinePath(tree / "link").isLink());
    EXPECT_FALSE(top.examine("absent").exists());
    // A folder that did not open answers with the error of the opening.
    TFDirectory::Examination closed = TFDirectory::openPath(tree / "absent").examine("x");
    EXPECT_EQ(closed.error, ENOENT);
    EXPECT_FALSE(closed.exists());
}

TEST(TFDirectoryReading, WholeFilesAndTheirErrors) {
    TempTree tree;
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = char(i * 7);
    { std::ofstream(tree / "big", std::ios::binary) << big; }
    std::string read;
    EXPECT_EQ(TFDirectory::readWholeFile(tree / "big", read), 0);
    EXPECT_EQ(read, big);
    std::string none;
    EXPECT_EQ(TFDirectory::readWholeFile(tree / "absent", none), ENOENT);
    EXPECT_EQ(TFDirectory::readWholeFile(tree.path(), none), EISDIR);
}

TEST(TFDirectoryListing, PathsBeyondTheLimitOpen) {
    TempTree tree;
    std::string deep = chain(tree.path(), 6000, std::string(100, 'p'));
    ASSERT_GT(deep.size(), size_t(PATH_MAX));
    TFDirectory dir = TFDirectory::openPath(deep);
    ASSERT_TRUE(dir.isOpen()) << std::strerror(dir.error());
    EXPECT_EQ(names(dir), (std::vector<std::string>{"leaf \xff"}));
}

TEST(TFDirectoryListing, SplitPath) {
    std::string folder, last;
    TFDirectory::splitPath("/a/b", folder, last);
    EXPECT_EQ(folder + "|" + last, "/a|b");
    TFDirectory::splitPath("/a", folder, last);
    EXPECT_EQ(folder + "|" + last, "/|a");
    TFDirectory::splitPath("a", folder, last);
    EXPECT_EQ(folder + "|" + last, ".|a");
    TFDirectory::splitPath("/", folder, last);
    EXPECT_EQ(folder + "|" + last, "/|.");
    TFDirectory::splitPath("/a//b/", folder, last);
    EXPECT_EQ(folder + "|" + last, "/a|b/");
}

TEST(TFDirectoryRemoval, RemovesTreesWithOddNamesAndKeepsLinkTargets) {
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
    EXPECT_TRUE(TFDirectory::removePath(tree / "doomed", &error));
    EXPECT_EQ(error, 0);
    EXPECT_FALSE(exists(tree / "doomed"));
    EXPECT_TRUE(exists(tree / "outside/precious"));
}

TEST(TFDirectoryRemoval, ALinkGivenAsThePathIsRemovedItself) {
    TempTree tree;
    tree.mkdir("target");
    tree.writeFile("target/f", 1);
    tree.symlink(tree / "target", "link");
    EXPECT_TRUE(TFDirectory::removePath(tree / "link"));
    EXPECT_FALSE(exists(tree / "link"));
    EXPECT_TRUE(exists(tree / "target/f"));
}

TEST(TFDirectoryRemoval, DeeperThanThePathLimitAndTheOpenLevels) {
    TempTree tree;
    tree.mkdir("doomed");
    // About 170 levels: more than stay open at once.
    std::string deep = chain(tree / "doomed", 5200, std::string(30, 'q'));
    ASSERT_GT(deep.size(), size_t(PATH_MAX));
    int error = 0;
    EXPECT_TRUE(TFDirectory::removePath(tree / "doomed", &error)) << std::strerror(error);
    EXPECT_FALSE(exists(tree / "doomed"));
}

TEST(TFDirectoryRemoval, GoesOnAfterErrors) {
    if (!runningAsRoot())
        GTEST_SKIP() << "needs root to mark a file immutable";
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
    EXPECT_FALSE(TFDirectory::removePath(tree / "doomed", &error));
    EXPECT_EQ(error, EPERM);
    EXPECT_TRUE(exists(pinned));
    EXPECT_FALSE(exists(tree / "doomed/z"));
    EXPECT_FALSE(exists(tree / "doomed/loose"));
    EXPECT_EQ(std::system(("chattr -i '" + pinned + "'").c_str()), 0);
}

TEST(TFDirectoryRemoval, NeverEntersAnotherMount) {
    if (!runningAsRoot())
        GTEST_SKIP() << "mounting needs root";
    TempTree tree;
    tree.mkdir("doomed/tmp");
    tree.mkdir("doomed/sub/bound");
    tree.mkdir("outside");
    tree.writeFile("outside/kept", 1);
    tree.writeFile("doomed/sub/loose", 1);
    ASSERT_EQ(::mount("tmpfs", (tree / "doomed/tmp").c_str(), "tmpfs", 0, nullptr), 0);
    ASSERT_EQ(::mount((tree / "outside").c_str(), (tree / "doomed/sub/bound").c_str(), nullptr,
                      MS_BIND, nullptr),
              0);
    { std::ofstream(tree / "doomed/tmp/kept") << "x"; }
    int error = 0;
    EXPECT_FALSE(TFDirectory::removePath(tree / "doomed", &error));
    EXPECT_TRUE(exists(tree / "doomed/tmp/kept"));
    EXPECT_TRUE(exists(tree / "doomed/sub/bound/kept"));
    EXPECT_TRUE(exists(tree / "outside/kept"));
    EXPECT_FALSE(exists(tree / "doomed/sub/loose"));
    // The mount point itself, given as the path, is not entered either.
    EXPECT_FALSE(TFDirectory::removePath(tree / "doomed/tmp"));
    EXPECT_TRUE(exists(tree / "doomed/tmp/kept"));
    ::umount2((tree / "doomed/tmp").c_str(), MNT_DETACH);
    ::umount2((tree / "doomed/sub/bound").c_str(), MNT_DETACH);
}
