#include "receipts/HLNPackageReceipt.h"
#include "support/TempTree.h"
#include "toolkit/TFPreference.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A stand-in for the BOM lister: checks that it is called with "-s" and one
// path, prints the BOM file's own lines, fails for BOMs named *Broken*, and
// holds a BOM back while a "<bom>.hold" file exists next to it.
constexpr const char* listerScript = R"(#!/bin/sh
if [ "$#" != 2 ] || [ "$1" != "-s" ]; then echo "bad arguments: $*" >&2; exit 64; fi
case "$2" in *Broken*) echo "cannot read $2" >&2; exit 3;; esac
while [ -e "$2.hold" ]; do sleep 0.01; done
exec cat "$2"
)";

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

std::vector<std::string> packageNames(const HLNPackageReceipt::ReceiptList& list) {
    std::vector<std::string> names;
    for (const auto& r : *list)
        names.push_back(r->packageName());
    return names;
}

class HLNPackageReceiptTest : public ::testing::Test {
protected:
    void SetUp() override {
        HLNPackageReceipt::resetForTesting();
        receipts = tree.mkdir("Receipts");
        lister = tree / "lsbom";
        writeText(lister, listerScript);
        ASSERT_EQ(::chmod(lister.c_str(), 0755), 0);
        HLNPackageReceipt::setReceiptsFolder(receipts + "/");
        HLNPackageReceipt::setListerPath(lister);
        HLNPackageReceipt::setDpkgInfoFolder(""); // only the BOMs, unless a test says otherwise
    }
    void TearDown() override {
        HLNPackageReceipt::resetForTesting();
        TFPreference::removeKey("DebugPackageScanning");
    }

    // A BOM at a path relative to the receipts folder, listing these lines.
    std::string bom(const std::string& relative, const std::string& lines) {
        size_t slash = relative.rfind('/');
        if (slash != std::string::npos)
            tree.mkdir("Receipts/" + relative.substr(0, slash));
        std::string path = receipts + "/" + relative;
        writeText(path, lines);
        return path;
    }

    HLNPackageReceipt::ReceiptList scan() {
        HLNPackageReceipt::waitUntilScanFinished();
        return HLNPackageReceipt::allPackages();
    }

    TempTree tree;
    std::string receipts;
    std::string lister;
};

TEST_F(HLNPackageReceiptTest, NamesFollowTheBomLocation) {
    bom("boms/com.apple.pkg.Foo.bom", "./a\n");
    bom("boms/local.Bar.bom", "./a\n");
    bom("Docs/Extra.bom", "./a\n");
    bom("Tool.pkg/Contents/Archive.bom", "./a\n");
    bom("Top.bom", "./a\n");
    bom("Top.pkg.bom", "./a\n");
    bom("notes.txt", "./a\n");
    bom("Upper.BOM", "./a\n"); // the extension is case-sensitive
    bom("boms/Archive.bomx", "./a\n");
    // Listed in the order of the sorted walk, folders before their contents.
    EXPECT_EQ(packageNames(scan()), (std::vector<std::string>{"Docs/Extra", "Tool", "Top",
                                                              "Top.pkg", "Foo", "local.Bar"}));
}

TEST_F(HLNPackageReceiptTest, TheFolderMayBeALinkButLinksWithinAreNotFollowed) {
    bom("Inside.bom", "./a\n");
    tree.mkdir("elsewhere");
    writeText(tree / "elsewhere/Outside.bom", "./b\n");
    tree.symlink(tree / "elsewhere", "Receipts/Linked");
    tree.symlink("Receipts", "ReceiptsLink");
    HLNPackageReceipt::setReceiptsFolder(tree / "ReceiptsLink");
    EXPECT_EQ(packageNames(scan()), (std::vector<std::string>{"Inside"}));
}

TEST_F(HLNPackageReceiptTest, LinesBecomePathsUnderTheRoot) {
    bom("Rules.bom",
        ".\n./usr/bin/tool\n.profile\n/etc/x\nusr/bin/y\n\n./\n./Applications/Foo App/\n");
    auto list = scan();
    ASSERT_EQ(list->size(), 1u);
    const auto& receipt = (*list)[0];
    for (const char* member :
         {"/", "/usr/bin/tool", "/.profile", "/etc/x", "/usr/bin/y", "/Applications/Foo App/"})
        EXPECT_TRUE(receipt->fileIsPartOfPackage(member)) << member;
    for (const char* other : {"", ".", "./usr/bin/tool", "usr/bin/y", "/usr/bin", "/usr", "/etc/x/",
                              "/Applications/Foo App", "//etc/x"})
        EXPECT_FALSE(receipt->fileIsPartOfPackage(other)) << other;
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/"), "Part of package Rules");
}

TEST_F(HLNPackageReceiptTest, MatchingIsExactAndCaseSensitive) {
    bom("Foo.bom", "./Applications/foo\n");
    scan();
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/Applications/foo"),
              "Part of package Foo");
    for (const char* miss :
         {"/applications/foo", "/Applications/Foo", "/Applications/fo", "/Applications/foo/",
          "/Applications/foo/bar", "/Applications", "Applications/foo", "/Applications//foo"})
        EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename(miss), "") << miss;
}

TEST_F(HLNPackageReceiptTest, SeveralPackagesAreNamedInScanOrder) {
    bom("A.bom", "./shared\n./only-a\n");
    bom("B.bom", "./shared\n./shared\n"); // a path listed twice counts once
    bom("C.bom", "/shared\n");
    bom("X.pkg/Contents/Archive.bom", "./twice\n");
    bom("X.pkg/Contents/Resources/Other.bom", "./twice\n");
    auto list = scan();
    EXPECT_EQ(packageNames(list), (std::vector<std::string>{"A", "B", "C", "X", "X"}));
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/shared"), "Part of packages A, B, C");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/only-a"), "Part of package A");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/twice"), "Part of packages X, X");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/nothing"), "");
    // Each receipt answers for itself alone.
    EXPECT_TRUE((*list)[1]->fileIsPartOfPackage("/shared"));
    EXPECT_FALSE((*list)[1]->fileIsPartOfPackage("/only-a"));
    EXPECT_TRUE((*list)[4]->fileIsPartOfPackage("/twice"));
    EXPECT_FALSE((*list)[0]->fileIsPartOfPackage("/twice"));
}

TEST_F(HLNPackageReceiptTest, LookupsDuringTheScanSeeOnlyWhatWasPublished) {
    std::string a = bom("A.bom", "./shared\n");
    std::string b = bom("B.bom", "./shared\n./b\n");
    writeText(a + ".hold", "");
    writeText(b + ".hold", "");
    auto waitForCount = [](size_t count) {
        for (int i = 0; i < 1000 && HLNPackageReceipt::allPackages()->size() < count; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return HLNPackageReceipt::allPackages();
    };

    auto before = HLNPackageReceipt::allPackages(); // starts the scan; A is held back
    EXPECT_TRUE(before->empty());
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/shared"), "");

    ASSERT_EQ(::unlink((a + ".hold").c_str()), 0);
    auto afterA = waitForCount(1);
    ASSERT_EQ(afterA->size(), 1u);
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/shared"), "Part of package A");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/b"), "");

    ASSERT_EQ(::unlink((b + ".hold").c_str()), 0);
    HLNPackageReceipt::waitUntilScanFinished();
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/shared"), "Part of packages A, B");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/b"), "Part of package B");
    // Snapshots taken earlier are unchanged by later publications.
    EXPECT_TRUE(before->empty());
    EXPECT_EQ(afterA->size(), 1u);
}

TEST_F(HLNPackageReceiptTest, FailuresAreLoggedAndTheScanGoesOn) {
    bom("A.bom", "./a\n");
    std::string broken = bom("Broken.bom", "./broken\n");
    bom("C.bom", "./c\n");
    ::testing::internal::CaptureStderr();
    auto list = scan();
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(packageNames(list), (std::vector<std::string>{"A", "C"}));
    EXPECT_NE(log.find("Unable to read package at " + broken + " ("), std::string::npos) << log;
    EXPECT_NE(log.find("), skipping...\n"), std::string::npos) << log;
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/broken"), "");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/c"), "Part of package C");
}

TEST_F(HLNPackageReceiptTest, MissingListerOrFolderLeavesAnEmptyList) {
    bom("A.bom", "./a\n");
    HLNPackageReceipt::setListerPath(tree / "no-such-lister");
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(scan()->empty());
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Unable to read package at " + receipts + "/A.bom ("), std::string::npos)
        << log;

    HLNPackageReceipt::resetForTesting();
    HLNPackageReceipt::setReceiptsFolder(tree / "missing");
    HLNPackageReceipt::setDpkgInfoFolder(tree / "missing-too");
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(scan()->empty());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/"), "");
}

TEST_F(HLNPackageReceiptTest, InvalidUtf8KeepsTheBytesAndTheScanGoing) {
    bom("A.bom", "./caf\xE9\n./after\xFF\xFE/x\n./plain\n");
    bom("B.bom", "./b\n");
    auto list = scan();
    ASSERT_EQ(list->size(), 2u);
    // The byte spelling matches the file the browser sees; no replacement
    // character takes its place.
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/caf\xE9"), "Part of package A");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/caf\xEF\xBF\xBD"), "");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/after\xFF\xFE/x"), "Part of package A");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/plain"), "Part of package A");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/b"), "Part of package B");
}

TEST_F(HLNPackageReceiptTest, DebugPreferenceLogsProgress) {
    std::string lines;
    for (int i = 0; i < 2500; ++i)
        lines += i % 10 == 0 ? "\n" : "./f" + std::to_string(i) + "\n";
    std::string path = bom("Big.bom", lines);

    ::testing::internal::CaptureStderr();
    scan();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/f2499"), "Part of package Big");

    HLNPackageReceipt::resetForTesting();
    SetUp();
    TFPreference::setBool("DebugPackageScanning", true);
    ::testing::internal::CaptureStderr();
    scan();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Scanning package at " + path + "\n" + "    Scanning " + path +
                  ": 1000 entries...\n" + "    Scanning " + path + ": 2000 entries...\n" +
                  "    Scanned " + path + ": total of 2500 entries\n");
}

// dpkg's file lists, in a temporary info folder naming paths in a real tree.
TEST_F(HLNPackageReceiptTest, DpkgListsAddOnePackageEach) {
    std::string root = tree.mkdir("root");
    tree.mkdir("root/usr/bin");
    tree.mkdir("root/var/empty");
    tree.writeFile("root/usr/bin/tool", 10);
    tree.writeFile("root/usr/bin/other", 10);
    tree.writeFile("root/usr/bin/shared", 10);
    tree.symlink("usr/bin", "root/bin"); // merged-/usr
    tree.symlink("tool", "root/usr/bin/tool-link");
    tree.symlink("usr", "root/usr-link"); // a link to a folder is recorded like any link
    std::string info = tree.mkdir("info");
    writeText(info + "/foo.list", "/.\n" + root + "\n" + root + "/bin\n" + root + "/bin/tool\n" +
                                      root + "/usr\n" + root + "/usr/bin\n" + root +
                                      "/usr/bin/tool-link\n" + root + "/usr/bin/shared\n" + root +
                                      "/var\n" + root + "/var/empty\n" + root + "/gone\n" + root +
                                      "/usr/bin/odd\rname\n" + root + "/usr-link\n");
    writeText(info + "/libbar:amd64.list", root + "/usr\n" + root + "/usr/bin\n" + root +
                                               "/usr/bin/other\n" + root + "/usr/bin/shared\n");
    writeText(info + "/foo.md5sums", root + "/usr/bin/md5\n");
    tree.mkdir("info/dir.list");
    bom("Bom.bom", "./x\n");
    HLNPackageReceipt::setDpkgInfoFolder(info);

    auto list = scan();
    EXPECT_EQ(packageNames(list), (std::vector<std::string>{"Bom", "foo", "libbar:amd64"}));
    auto names = [](const std::string& p) { return HLNPackageReceipt::packageNamesForFilename(p); };
    // Both spellings of a file reached through a linked folder.
    EXPECT_EQ(names(root + "/bin/tool"), "Part of package foo");
    EXPECT_EQ(names(root + "/usr/bin/tool"), "Part of package foo");
    EXPECT_EQ(names(root + "/usr/bin/tool-link"), "Part of package foo");
    EXPECT_EQ(names(root + "/usr/bin/shared"), "Part of packages foo, libbar:amd64");
    EXPECT_EQ(names(root + "/usr/bin/other"), "Part of package libbar:amd64");
    EXPECT_EQ(names(root + "/gone"), "Part of package foo"); // listed, though not on disk
    EXPECT_EQ(names(root + "/usr/bin/odd\rname"), "Part of package foo"); // only "\n" ends a line
    EXPECT_EQ(names(root + "/usr/bin/odd"), "");
    EXPECT_EQ(names(root + "/usr-link"), "Part of package foo");
    // Folders are not recorded: neither those with listed contents (even
    // where the disk has a link), nor empty ones, nor the root.
    for (const std::string& folder : {root, root + "/usr", root + "/usr/bin", root + "/bin",
                                      root + "/var/empty", std::string("/")})
        EXPECT_EQ(names(folder), "") << folder;
    EXPECT_EQ(names(root + "/usr/bin/md5"), "");
}

TEST_F(HLNPackageReceiptTest, UnreadableDpkgListIsSkipped) {
    std::string info = tree.mkdir("info");
    writeText(info + "/a.list", "/a-file\n");
    tree.symlink("/proc/self/mem", "info/b.list"); // a regular-looking file that cannot be read
    writeText(info + "/c.list", "/c-file\n");
    HLNPackageReceipt::setDpkgInfoFolder(info);
    ::testing::internal::CaptureStderr();
    auto list = scan();
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(packageNames(list), (std::vector<std::string>{"a", "c"}));
    EXPECT_NE(log.find("Unable to read package at " + info + "/b.list ("), std::string::npos)
        << log;
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/c-file"), "Part of package c");
}

TEST_F(HLNPackageReceiptTest, BinaryJunkFromTheListerNeitherStopsNorConfusesTheScan) {
    // NUL bytes, bytes that are not UTF-8, carriage returns, a megabyte with
    // no line end, and lines that climb out of the root.
    std::string junk;
    std::mt19937 random(7);
    for (int i = 0; i < 200000; ++i)
        junk += char(random() % 256);
    static const char odd[] =
        "\n\0\0\0\n./\xFF\xFE\0x\n\r\r\r\n././././\n../../etc/passwd\n//double\n/\n.\n";
    junk += std::string(odd, sizeof odd - 1);
    junk += std::string(1 << 20, '\xAB') + "\n";
    static const char withNul[] = "./with\0nul\n";
    junk += std::string(withNul, sizeof withNul - 1);
    bom("Junk.bom", junk + "./ok\n");
    bom("Later.bom", "./later\n");
    auto list = scan();
    EXPECT_EQ(packageNames(list), (std::vector<std::string>{"Junk", "Later"}));
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/ok"), "Part of package Junk");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/later"), "Part of package Later");
    // A line cut at a NUL byte names nothing that the line did not spell.
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/with"), "");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/etc/passwd"), "");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename(std::string(1, '\0')), "");
}

// This machine's own dpkg database, indexed while other threads look up.
TEST(HLNPackageReceiptMachine, CoreutilsOwnsLsUnderBothSpellings) {
    HLNPackageReceipt::resetForTesting();
    if (::access("/var/lib/dpkg/info/coreutils.list", R_OK) != 0)
        GTEST_SKIP() << "no dpkg database";
    std::atomic<bool> finished{false};
    std::atomic<int> wrongAnswers{0};
    std::vector<std::thread> readers;
    for (const char* path : {"/bin/ls", "/usr/bin/ls", "/usr/bin"}) {
        readers.emplace_back([&, path] {
            // An answer may appear during the scan; once there it stays.
            std::string first;
            for (bool last = false; !last;) {
                last = finished.load();
                std::string answer = HLNPackageReceipt::packageNamesForFilename(path);
                if (first.empty())
                    first = answer;
                if (answer != first)
                    ++wrongAnswers;
            }
        });
    }
    HLNPackageReceipt::waitUntilScanFinished();
    finished = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(wrongAnswers.load(), 0);
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/bin/ls"), "Part of package coreutils");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/usr/bin/ls"),
              "Part of package coreutils");
    EXPECT_EQ(HLNPackageReceipt::packageNamesForFilename("/usr/bin"), "");
    HLNPackageReceipt::resetForTesting();
}

TEST(HLNPackageCommand, PrintsOneLinePerPathWithoutADisplay) {
    const char* binary = std::getenv("HOLLIN_BINARY");
    if (!binary)
        GTEST_SKIP() << "HOLLIN_BINARY not set";
    if (::access("/var/lib/dpkg/info/coreutils.list", R_OK) != 0)
        GTEST_SKIP() << "no dpkg database";
    std::string command = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '") +
                          binary + "' --package /usr/bin/ls /no/such/path 2>/dev/null";
    FILE* p = ::popen(command.c_str(), "r");
    ASSERT_TRUE(p);
    std::string output;
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, p))
        output.append(buffer, n);
    // A path that does not exist is said on standard error and fails the
    // command; the others are still answered.
    const int status = ::pclose(p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(output, "/usr/bin/ls\tPart of package coreutils\n");
}

} // namespace
