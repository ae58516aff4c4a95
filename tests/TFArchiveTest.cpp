#include "toolkit/TFArchive.h"

#include "support/TempTree.h"

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

namespace {

struct Archived {
    TFDirectory folder;
    int fd = -1;
    std::vector<TFArchive::Member> members;
    TFArchive::Outcome written;
    Archived(const TempTree& tree, const std::string& name) {
        folder = TFDirectory::openPath(tree.path());
        fd = ::open((tree / "out.tar.zst").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        written = TFArchive::write(folder, name, fd, members);
    }
    ~Archived() { ::close(fd); }
    TFArchive::Outcome verify() { return TFArchive::verify(folder, fd, members); }
};

} // namespace

// The check that decides whether the originals may go must see any change
// made to them after they were archived.
TEST(TFArchive, ReadingBackFindsEveryDifferenceFromTheOriginals) {
    TempTree tree;
    tree.mkdir("logs/deep");
    tree.writeFile("logs/a.log", 300000);
    tree.writeFile("logs/deep/b.log", 70000);
    tree.writeFile("logs/empty", 0);
    tree.symlink("a.log", "logs/latest");
    Archived archive(tree, "logs");
    ASSERT_TRUE(archive.written.ok) << archive.written.reason;
    ASSERT_EQ(archive.members.size(), 6u); // logs, a.log, deep, b.log, empty, latest
    EXPECT_EQ(archive.members.front().path, "logs");
    EXPECT_TRUE(archive.verify().ok) << archive.verify().reason;

    { // one byte in the middle, the size kept
        std::fstream f(tree / "logs/deep/b.log", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(40000);
        f.put('y');
    }
    TFArchive::Outcome changed = archive.verify();
    EXPECT_FALSE(changed.ok);
    EXPECT_NE(changed.reason.find("logs/deep/b.log"), std::string::npos) << changed.reason;

    tree.writeFile("logs/deep/b.log", 70000); // as archived again
    ASSERT_TRUE(archive.verify().ok);
    ASSERT_EQ(::truncate((tree / "logs/a.log").c_str(), 299999), 0);
    EXPECT_FALSE(archive.verify().ok);
    tree.writeFile("logs/a.log", 300000);
    ASSERT_EQ(::unlink((tree / "logs/latest").c_str()), 0);
    tree.symlink("deep/b.log", "logs/latest");
    EXPECT_FALSE(archive.verify().ok) << "a link that points elsewhere";
}

TEST(TFArchive, WhatCannotBeArchivedWholeFailsAndSaysWhich) {
    TempTree tree;
    tree.mkdir("logs");
    tree.writeFile("logs/a.log", 1000);
    ASSERT_EQ(::mkfifo((tree / "logs/pipe").c_str(), 0600), 0);
    Archived archive(tree, "logs");
    EXPECT_FALSE(archive.written.ok);
    EXPECT_NE(archive.written.reason.find("logs/pipe"), std::string::npos)
        << archive.written.reason;

    TFArchive::Control control;
    control.cancel = true;
    std::vector<TFArchive::Member> members;
    const int fd = ::open((tree / "c.tar.zst").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    const TFArchive::Outcome cancelled =
        TFArchive::write(TFDirectory::openPath(tree.path()), "logs", fd, members, &control);
    ::close(fd);
    EXPECT_FALSE(cancelled.ok);
    EXPECT_TRUE(cancelled.cancelled);
}

TEST(TFArchive, SamplesOfTextCompressAndNoiseDoesNot) {
    std::string text;
    for (int i = 0; text.size() < (1 << 20); ++i)
        text += "line " + std::to_string(i) + " level=info served the request\n";
    EXPECT_LT(TFArchive::compressedSize(text.data(), text.size()), text.size() / 5);
    std::string noise(1 << 20, '\0');
    std::mt19937 random(7);
    for (char& c : noise)
        c = static_cast<char>(random());
    EXPECT_GT(TFArchive::compressedSize(noise.data(), noise.size()), noise.size() * 99 / 100);
}
