#include "toolkit/TFPathArgument.h"

#include "support/TempTree.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <unistd.h>

// One reading of a PATH for every command and the window: a link with a
// slash is its folder, a slash after a file is no folder, and --package's
// spellings resolve as the kernel resolves them.
TEST(TFPathArgument, TakesAPathAsTheKernelDoes) {
    TempTree tree;
    tree.mkdir("real/sub");
    tree.writeFile("real/file", 10);
    tree.symlink("real", "docs");
    const std::string real = *TFDirectory::resolvedPathFollowingLinks(tree / "real");

    const TFPathArgument link(tree / "docs"), folder(tree / "docs//");
    EXPECT_TRUE(link.examination().isLink());
    EXPECT_EQ(link.absolutePath(), tree / "docs");
    EXPECT_TRUE(folder.examination().isDirectory());
    EXPECT_EQ(folder.path(), tree / "docs/");
    EXPECT_EQ(folder.absolutePath(), real); // the window opens the folder
    EXPECT_EQ(TFPathArgument(tree / "real//").path(), tree / "real");

    EXPECT_EQ(TFPathArgument(tree / "real/file/").error(), ENOTDIR);
    EXPECT_EQ(TFPathArgument(tree / std::string(300, 'n')).error(), ENAMETOOLONG);
    EXPECT_EQ(TFPathArgument("").error(), ENOENT);

    EXPECT_EQ(TFPathArgument(tree / "docs/sub/..//./file").kernelPath(), real + "/file");
    EXPECT_EQ(TFPathArgument(tree / "real/sub/..").kernelPath(), real);
    EXPECT_EQ(TFPathArgument(tree / "docs").kernelPath(),
              real.substr(0, real.rfind('/')) + "/docs");
    EXPECT_EQ(TFPathArgument(tree / "real/absent").kernelPath(), "");
    ASSERT_EQ(::chdir(tree.path().c_str()), 0);
    EXPECT_EQ(TFPathArgument("real/./file").kernelPath(), real + "/file");
    EXPECT_EQ(TFPathArgument("docs/").absolutePath(), real);
    ASSERT_EQ(::chdir("/"), 0);
}
