#include "scans/HLNScanReader.h"
#include "scans/HLNScanTree.h"
#include "scans/HLNScanWriter.h"
#include "toolkit/TFTreeWalker.h"

#include "support/ChildNamed.h"
#include "support/TempTree.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

// Writes a scan of path (a folder, or a scan file when again) into a
// string, through a real descriptor.
std::string exportScan(const std::string& path, bool again = false, bool extended = false) {
    char name[] = "/tmp/hollin-scan-XXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_GE(fd, 0);
    HLNScanWriter writer(fd);
    writer.setExtended(extended);
    std::string error;
    EXPECT_TRUE(again ? writer.writeScanOfScan(path, &error) : writer.writeScanOfPath(path, &error))
        << error;
    std::string bytes;
    char chunk[65536];
    ::lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
        bytes.append(chunk, size_t(n));
    ::close(fd);
    ::unlink(name);
    return bytes;
}

} // namespace

// What the export writes, the reader reads back: every byte of a name, the
// sizes as Hollin counts them, folders, links; the imported tree is left
// alone by re-reading and deletion.
TEST(HLNScanReaderTest, ReadsBackWhatTheExportWrote) {
    TempTree tree;
    std::string odd;
    for (int b = 1; b < 256; ++b)
        if (b != '/')
            odd += char(b);
    tree.mkdir("a/b");
    tree.writeFile("a/" + odd.substr(0, 120), 5000);
    tree.writeFile("a/" + odd.substr(120), 3);
    tree.writeFile("a/b/c", 10000);
    tree.symlink("a", "link");
    const std::string scanText = exportScan(tree.path());

    std::string error;
    std::optional<HLNScanReader::Scan> scan = HLNScanReader::readScanFromBytes(scanText, &error);
    ASSERT_TRUE(scan) << error;
    const Ref<HLNFile>& root = scan->root;
    EXPECT_EQ(root->path(), tree.path());
    EXPECT_GT(scan->timestamp, 1700000000);
    EXPECT_EQ(root->sizeSoFar(), TempTree::duBytes(tree.path()));
    EXPECT_EQ(root->sizeStatus(), SizeStatus::complete);
    Ref<HLNFile> a = childNamed(root, "a");
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->isDirectory());
    ASSERT_TRUE(childNamed(a, odd.substr(0, 120)));
    ASSERT_TRUE(childNamed(a, odd.substr(120)));
    EXPECT_EQ(childNamed(childNamed(a, "b"), "c")->path(), tree.path() + "/a/b/c");
    EXPECT_EQ(childNamed(root, "link")->isDirectory(), false);

    EXPECT_TRUE(root->isImported());
    const uint64_t before = root->sizeSoFar();
    tree.writeFile("a/new", 1 << 20);
    root->refreshSize();
    childNamed(a, "b")->trash();
    EXPECT_EQ(root->sizeSoFar(), before);
    EXPECT_EQ(childNamed(a, "b")->sizeStatus(), SizeStatus::complete);
    EXPECT_TRUE(TempTree::lstatOf(tree / "a/b/c").st_size == 10000);
    HLNScanReader::releaseScan(*scan);
}

// A scan is a source as the disk is: exported from disk, read back and
// exported again, it is the same file, byte for byte; the tree built from
// the disk's events is the one built from the scan's; and what a scan holds
// beyond what the disk gives (other file systems below, excluded entries,
// read errors, sizes it lacks) survives being exported again.
TEST(HLNScanReaderTest, ExportsAScanAgainAsTheDiskExportedIt) {
    TempTree tree;
    tree.mkdir("a/b/c");
    tree.mkdir("empty");
    tree.writeFile("a/b/c/f", 70000);
    tree.writeFile("a/one", 4096);
    ASSERT_EQ(::link((tree / "a/one").c_str(), (tree / "a/b/two").c_str()), 0);
    ASSERT_EQ(::mkfifo((tree / "a/fifo").c_str(), 0600), 0);
    tree.symlink("a", "link");
    tree.writeFile("name\n\"with\\", 1);
    TempTree out;
    for (const bool extended : {false, true}) {
        const std::string first = exportScan(tree.path(), false, extended);
        const std::string saved = out.writeFile(extended ? "first-e.json" : "first.json", 0);
        std::FILE* f = std::fopen(saved.c_str(), "w");
        std::fwrite(first.data(), 1, first.size(), f);
        std::fclose(f);
        EXPECT_EQ(exportScan(saved, true, extended), first) << "extended: " << extended;
    }
    // The tree builder fed by the disk builds what it builds from the scan.
    HLNScanTree fed;
    TFTreeWalker walker(fed);
    ASSERT_TRUE(walker.walkPath(tree.path(), TFDirectory::examinePath(tree.path())));
    const Ref<HLNFile> fromDisk = fed.finish();
    std::optional<HLNScanReader::Scan> fromScan =
        HLNScanReader::readScanFromBytes(exportScan(tree.path(), false, true), nullptr);
    ASSERT_TRUE(fromScan);
    auto lines = [](const Ref<HLNFile>& root) {
        std::map<std::string, std::tuple<HLNFile::Measures, bool, bool>> out;
        std::vector<Ref<HLNFile>> folders{root};
        out[root->path()] = {root->measures(), true, false};
        while (!folders.empty()) {
            const Ref<HLNFile> folder = folders.back();
            folders.pop_back();
            if (HLNFile::ChildList children = folder->children())
                for (const Ref<HLNFile>& child : *children) {
                    out[child->path()] = {child->measures(), child->isDirectory(), child->isLink()};
                    if (child->isDirectory())
                        folders.push_back(child);
                }
        }
        return out;
    };
    EXPECT_EQ(lines(fromDisk).size(), 11u);
    EXPECT_TRUE(lines(fromDisk) == lines(fromScan->root));
    fromDisk->releaseNow();
    HLNScanReader::releaseScan(*fromScan);

    const std::string made =
        "[1,0,{\"timestamp\":1700000000},[{\"name\":\"/srv\",\"dsize\":4096,\"dev\":7},"
        "[{\"name\":\"mnt\",\"dev\":8,\"excluded\":\"othfs\"}],"
        "[{\"name\":\"other\",\"dsize\":10,\"dev\":9},{\"name\":\"h\",\"dsize\":4,\"ino\":3,"
        "\"nlink\":2},{\"name\":\"h2\",\"dsize\":4,\"ino\":3,\"hlnkc\":true}],"
        "{\"name\":\"skip\",\"dsize\":99,\"excluded\":\"pattern\"},"
        "{\"name\":\"bad\",\"read_error\":true},"
        "[{\"name\":\"unread\",\"dsize\":20,\"read_error\":true}]]]";
    const std::string saved = out.writeFile("made.json", 0);
    std::FILE* f = std::fopen(saved.c_str(), "w");
    std::fwrite(made.data(), 1, made.size(), f);
    std::fclose(f);
    const std::string again = exportScan(saved, true);
    for (const char* kept :
         {"\"timestamp\":1700000000", "\"excluded\":\"othfs\"", "\"dsize\":10,\"dev\":9}",
          "\"excluded\":\"pattern\"", "{\"name\":\"bad\",\"read_error\":true}",
          "\"dsize\":20,\"read_error\":true}]"})
        EXPECT_NE(again.find(kept), std::string::npos) << kept << " in " << again;
    EXPECT_EQ(again.find("asize"), std::string::npos) << again;
    std::optional<HLNScanReader::Scan> before = HLNScanReader::readScanFromBytes(made, nullptr);
    std::optional<HLNScanReader::Scan> after = HLNScanReader::readScanFromBytes(again, nullptr);
    ASSERT_TRUE(before && after);
    EXPECT_EQ(after->root->measures(), before->root->measures());
    EXPECT_EQ(before->root->sizeSoFar(), 4096u + 10 + 4 + 20);
    EXPECT_FALSE(after->root->snapshot().knowsApparent);
    HLNScanReader::releaseScan(*before);
    HLNScanReader::releaseScan(*after);
}

// What other writers may write: whitespace anywhere, keys in any order,
// unknown keys with nested values, a newer minor version, \u escapes with
// surrogate pairs, raw bytes that are not UTF-8, excluded folders, and
// folders nested far deeper than any stack would allow.
TEST(HLNScanReaderTest, AcceptsWhatOtherWritersWrite) {
    std::string text = " [ 1 , 7 ,{\"x\":[{\"y\":null}],\"timestamp\":1765190520.5},\n"
                       "[ {\"dsize\":4096,\"name\":\"/srv/\",\"extra\":{\"a\":[1,2,{}]}},\n"
                       "\t{\"name\":\"caf\xe9\",\"dsize\" : 100,\"hlnkc\":true,\"ino\":5},"
                       "{\"name\":\"\\u00e9\\ud83d\\ude00\\n\",\"dsize\":1},"
                       "[{\"name\":\"mnt\",\"dev\":40,\"excluded\":\"othfs\"}],"
                       "{\"name\":\"l\",\"mode\":41471,\"notreg\":true},"
                       "{\"name\":\"sk\",\"dsize\":9,\"excluded\":\"pattern\"}";
    const int depth = 200000;
    for (int i = 0; i < depth; ++i)
        text += ",[{\"name\":\"d\",\"dsize\":1}";
    for (int i = 0; i < depth; ++i)
        text += "]";
    text += "]]\n";
    std::string error;
    std::optional<HLNScanReader::Scan> scan = HLNScanReader::readScanFromBytes(text, &error);
    ASSERT_TRUE(scan) << error;
    const Ref<HLNFile>& root = scan->root;
    EXPECT_EQ(root->path(), "/srv");
    EXPECT_EQ(scan->timestamp, 1765190520);
    EXPECT_EQ(root->sizeSoFar(), 4096u + 100 + 1 + depth);
    EXPECT_TRUE(childNamed(root, "caf\xe9"));
    EXPECT_TRUE(childNamed(root, "\xc3\xa9\xf0\x9f\x98\x80\n"));
    EXPECT_TRUE(childNamed(root, "mnt")->isDirectory());
    EXPECT_EQ(childNamed(root, "mnt")->sizeSoFar(), 0u);
    EXPECT_TRUE(childNamed(root, "l")->isLink());
    EXPECT_EQ(childNamed(root, "sk")->sizeSoFar(), 0u);
    HLNScanReader::releaseScan(*scan);
}

// Every cut and a few hundred corruptions of a good scan: a clear error
// naming a byte inside the input, or (when the damage still reads as a
// scan) a tree; never a crash, never a tree from a cut scan.
TEST(HLNScanReaderTest, RefusesDamagedScansClearly) {
    TempTree tree;
    tree.mkdir("one/two");
    tree.writeFile("one/two/three", 100);
    tree.writeFile("one/x\"y\\z", 4096);
    tree.writeFile("f\n", 1);
    tree.mkdir("empty");
    const std::string good = exportScan(tree.path());
    std::optional<HLNScanReader::Scan> whole = HLNScanReader::readScanFromBytes(good, nullptr);
    ASSERT_TRUE(whole);
    HLNScanReader::releaseScan(*whole);
    // "not a scan file: <what> at byte <N>", N inside the input.
    auto isClear = [](const std::string& error, size_t size) {
        const std::string head = "not a scan file: ", mark = " at byte ";
        const size_t at = error.rfind(mark);
        if (error.rfind(head, 0) != 0 || at == std::string::npos || at <= head.size())
            return false;
        const std::string number = error.substr(at + mark.size());
        if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos)
            return false;
        for (size_t i = head.size(); i < at; ++i)
            if (error[i] < 0x20 || error[i] > 0x7e)
                return false;
        return std::stoull(number) <= size;
    };

    auto expectClearError = [&](const std::string& bad, const std::string& what) {
        std::string error;
        std::optional<HLNScanReader::Scan> scan = HLNScanReader::readScanFromBytes(bad, &error);
        if (scan) {
            HLNScanReader::releaseScan(*scan);
            return false;
        }
        EXPECT_TRUE(isClear(error, bad.size())) << what << ": " << error;
        return true;
    };
    const size_t end = good.find_last_not_of(" \n") + 1;
    for (size_t cut = 0; cut < end; ++cut)
        EXPECT_TRUE(expectClearError(good.substr(0, cut), "cut at " + std::to_string(cut)));
    int refused = 0;
    const std::string damage[] = {"]", "[", "{", "}", ",", "\"", "\\", "x", "-", "9", "\x01"};
    for (size_t at = 0; at < good.size(); at += 3)
        for (size_t k = 0; k < 2; ++k) {
            std::string bad = good;
            bad[at] = damage[(at + k) % std::size(damage)][0];
            refused += expectClearError(bad, "byte " + std::to_string(at) + " damaged");
        }
    EXPECT_GT(refused, 100);

    for (const char* bad :
         {"[2,0,{},[{\"name\":\"/\"}]]", "[1,2,{},{\"name\":\"/\"}]",
          "[1,2,{},[[{\"name\":\"/\"}]]]", "[1,2,{},[{\"name\":\"/\",\"dsize\":-1}]]",
          "[1,2,{},[{\"name\":\"/\",\"dsize\":99999999999999999999}]]",
          "[1,2,{},[{\"name\":\"/\"},{\"name\":\"a/b\"}]]",
          "[1,2,{},[{\"name\":\"/\"},{\"dsize\":1}]]",
          "[1,2,{},[{\"name\":\"/\",\"dsize\":9223372036854775807},"
          "{\"name\":\"a\",\"dsize\":1}]]",
          "{\"not\":\"a scan\"}", ""})
        EXPECT_TRUE(expectClearError(bad, bad));
}

// What is not JSON, and names no file can have, are refused; names up to
// the longest a file system keeps are read.
TEST(HLNScanReaderTest, RefusesWhatIsNotJSONOrNoFilesName) {
    auto scanWith = [](const std::string& root, const std::string& rest) {
        return "[1,2,{\"timestamp\":1.5e9},[{\"name\":\"" + root + "\"}" + rest + "]]";
    };
    auto error = [](const std::string& bytes) {
        std::string why;
        std::optional<HLNScanReader::Scan> scan = HLNScanReader::readScanFromBytes(bytes, &why);
        if (scan)
            HLNScanReader::releaseScan(*scan);
        return scan ? std::string() : why;
    };
    EXPECT_EQ(error("\xEF\xBB[1"), "not a scan file: not a JSON array at byte 0");
    EXPECT_EQ(error("\xEF\xBB\xBF" + scanWith("/x", "")),
              "not a scan file: a byte-order mark before the array at byte 0");
    EXPECT_EQ(error(scanWith("/x", ",{\"name\":\"y\",\"dsize\":012}")),
              "not a scan file: a number with a leading zero at byte 60");
    for (const char* stamp : {"01", "+1", ".5", "1.", "1e", "--1", "0x1"})
        EXPECT_NE(error("[1,2,{\"timestamp\":" + std::string(stamp) + "},[{\"name\":\"/\"}]]"), "")
            << stamp;
    EXPECT_NE(error("[01,2,{},[{\"name\":\"/\"}]]"), "");

    const std::string longest(1020, 'n'), tooLong(1021, 'n');
    EXPECT_EQ(error(scanWith("/x", ",{\"name\":\"" + longest + "\"}")), "");
    EXPECT_EQ(error(scanWith("/" + longest + "/x", "")), "");
    EXPECT_EQ(error(scanWith("/x", ",{\"name\":\"" + tooLong + "\"}")),
              "not a scan file: a name longer than any file system allows at byte 48");
    EXPECT_NE(error(scanWith("/x", ",[{\"name\":\"" + tooLong + "\"}]")), "");
    EXPECT_NE(error(scanWith("/" + tooLong + "/x", "")), "");
    EXPECT_NE(error(scanWith("/" + std::string(140000, 'n'), "")), "");
}
