// Hostile trees built for real: odd names, huge and deep folders, link loops,
// hard links, sparse files, special files, and a tree that changes while it
// is sized. For each: the totals equal du -sx -B1 of the same tree, nothing
// hangs, and destroying an entry removes that entry and nothing else.
#include "browser/HLNFileTreeController.h"
#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNFile.h"
#include "support/ChildNamed.h"
#include "support/TempTree.h"
#include "toolkit/TFMainThread.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QMainWindow>
#include <QPointer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs a program (no shell: names may hold any byte) and answers its
// standard output; *status gets its exit status.
std::string run(const std::vector<std::string>& argv, int* status = nullptr) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return {};
    // posix_spawn, not fork: a child forked from this many-threaded process
    // could wait for ever on a lock (the allocator's) another thread held.
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        ::close(out[0]);
        ::close(out[1]);
        if (status)
            *status = 127;
        return {};
    }
    ::close(out[1]);
    std::string text;
    char buffer[65536];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        text.append(buffer, size_t(n));
    }
    ::close(out[0]);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (status)
        *status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return text;
}

// What du -sx -B1 says the tree occupies: each file counted once, however
// many names it has, one file system.
uint64_t du(const std::string& path) {
    std::string text = run({"du", "-sx", "-B1", "--", path});
    return text.empty() ? ~uint64_t(0) : std::strtoull(text.c_str(), nullptr, 10);
}

// rm -rf, which copes with trees deeper than the path limit (nftw does not).
void removeAll(const std::string& path) {
    run({"rm", "-rf", "--", path});
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

uint64_t allocated(int dirfd, const char* name) {
    struct stat st {};
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return ~uint64_t(0);
    return uint64_t(st.st_blocks) * 512;
}

// Every entry under a folder, by relative path: its type and its bytes (the
// first bytes of a file, its target for a link), read with the system calls
// directly and compared before and after a deletion.
using Listing = std::map<std::string, std::string>;

void listInto(int dirfd, const std::string& prefix, Listing& out) {
    int fd = ::dup(dirfd);
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        out[prefix + "<unreadable>"] = "";
        return;
    }
    std::vector<std::string> names;
    while (dirent* e = ::readdir(dir))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
            names.push_back(e->d_name);
    ::closedir(dir);
    for (const std::string& name : names) {
        struct stat st {};
        std::string key = prefix + name;
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        std::string value =
            std::to_string(st.st_mode & S_IFMT) + ":" + std::to_string(st.st_size) + ":";
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = ::readlinkat(dirfd, name.c_str(), target, sizeof target);
            if (n > 0)
                value.append(target, size_t(n));
        } else if (S_ISREG(st.st_mode)) {
            int f = ::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            char head[64];
            ssize_t n = f >= 0 ? ::read(f, head, sizeof head) : -1;
            if (n > 0)
                value.append(head, size_t(n));
            if (f >= 0)
                ::close(f);
        }
        out[key] = value;
        if (S_ISDIR(st.st_mode)) {
            int sub =
                ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) {
                listInto(sub, key + "/", out);
                ::close(sub);
            }
        }
    }
}

Listing listing(const std::string& path) {
    Listing out;
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return out;
    listInto(fd, "", out);
    ::close(fd);
    return out;
}

// The listing with one entry and everything beneath it taken out.
Listing without(Listing all, const std::string& relative) {
    all.erase(relative);
    for (auto it = all.lower_bound(relative + "/");
         it != all.end() && it->first.rfind(relative + "/", 0) == 0;)
        it = all.erase(it);
    return all;
}

void writeBytes(const std::string& path, size_t bytes, char fill = 'h') {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
    std::string chunk(std::min<size_t>(bytes, 1 << 16), fill);
    for (size_t left = bytes; left > 0;) {
        size_t n = std::min(left, chunk.size());
        ASSERT_EQ(::write(fd, chunk.data(), n), ssize_t(n));
        left -= n;
    }
    ::close(fd);
}

bool waitFor(const std::function<bool()>& done, int ms = 60000) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A root node that is released (and its nodes freed) when the test ends.
struct SizedTree {
    Ref<HLNFile> root;
    explicit SizedTree(const std::string& path) : root(HLNFile::initWithParent(nullptr, path)) {}
    ~SizedTree() {
        if (!root)
            return;
        root->invalidate();
        waitFor([&] { return root->retainCount() == 1; }, 20000);
    }
    // Hands the root to the sizing thread and waits until the whole tree
    // is counted and the thread has nothing left to do.
    bool sizeInBackground(int ms = 300000) {
        HLNBackgroundFileSizer::sizeFile(root);
        return waitFor(
            [&] {
                return root->sizeStatus() == SizeStatus::complete &&
                       HLNBackgroundFileSizer::isIdle();
            },
            ms);
    }
    // Re-reads the whole tree from disk and waits for the new total.
    bool refresh(int ms = 300000) {
        root->refreshSize();
        return waitFor(
            [&] {
                return root->sizeStatus() == SizeStatus::complete &&
                       HLNBackgroundFileSizer::isIdle();
            },
            ms);
    }
};

Ref<HLNFile> nodeAt(Ref<HLNFile> n, const std::string& relative) {
    size_t start = 0;
    while (n && start <= relative.size()) {
        size_t slash = relative.find('/', start);
        if (slash == std::string::npos)
            slash = relative.size();
        n = childNamed(n, std::string_view(relative).substr(start, slash - start));
        start = slash + 1;
    }
    return n;
}

// Destroys a node as the Destroy command does and waits until the sizing
// thread has re-read it: gone from its parent (expectGone), or counted again
// with whatever could not be removed.
bool destroy(SizedTree& tree, const Ref<HLNFile>& node, bool expectGone = true) {
    node->trash();
    if (!waitFor([&] { return !node->isTrashing(); }))
        return false;
    if (expectGone && !waitFor([&] { return node->isInvalidated(); }))
        return false;
    if (!expectGone) {
        // The deletion asked the main thread for the re-read before it
        // ended: a call queued after it runs once the re-read is with the
        // sizing thread, which is then busy until it is done.
        bool handedOn = false;
        TFMainThread::perform([&handedOn] { handedOn = true; });
        if (!waitFor([&] { return handedOn; }))
            return false;
    }
    return waitFor([&] {
        return tree.root->sizeStatus() == SizeStatus::complete && HLNBackgroundFileSizer::isIdle();
    });
}

// The bytes of a name, printable, for failure messages.
std::string shown(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c >= 0x20 && c < 0x7F && c != '\\')
            out += char(c);
        else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

} // namespace

// ---------------------------------------------------------------- names

namespace {

std::vector<std::string> hostileNames() {
    std::set<std::string> names;
    for (int b = 1; b <= 255; ++b) {
        if (b == '/')
            continue;
        names.insert(std::string("in") + char(b) + "side");
        if (b != '.')
            names.insert(std::string(1, char(b)));
    }
    for (const char* n : {"..",
                          "...",
                          ".hidden",
                          "-",
                          "--",
                          "-rf",
                          "--help",
                          "-n",
                          " lead",
                          "trail ",
                          "a\nb",
                          "\n\n",
                          "a\tb",
                          "\r\n",
                          "*",
                          "?",
                          "[a-z]",
                          "$(touch pwned)",
                          "`touch pwned`",
                          "'",
                          "\"",
                          "\\",
                          "~",
                          "%s%n%s",
                          "\xFF",
                          "\xC0\xAF",
                          "\xED\xA0\x80",
                          "caf\xE9",
                          "\xF4\x90\x80\x80",
                          "\xE2\x82",
                          "\xEF\xBB\xBF"
                          "bom",
                          "Case",
                          "CASE",
                          "case",
                          "\xC3\x89t\xC3\xA9",
                          "\xC3\xA9t\xC3\xA9",
                          "\xC3\x89T\xC3\x89",
                          "\xCE\xA3",
                          "\xCF\x83",
                          "\xCF\x82"})
        names.insert(n);
    names.erase("..");
    names.insert(std::string(255, 'L'));
    std::string accented;
    while (accented.size() + 2 <= 255)
        accented += "\xC3\xA9";
    names.insert(accented + "x"); // 255 bytes, 127 characters and one
    names.insert(std::string(255, '\xFE'));
    names.insert(std::string(254, 'L') + "\n");
    return {names.begin(), names.end()};
}

} // namespace

TEST(HostileNames, EveryByteAndOddNamesAreSizedListedAndDestroyedExactly) {
    TempTree tree;
    const std::vector<std::string> names = hostileNames();
    // Files of several sizes, some folders that hold files with odd names too.
    int fd = ::open(tree.path().c_str(), O_RDONLY | O_DIRECTORY);
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        if (i % 7 == 3) {
            ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0) << shown(name);
            writeBytes(tree.path() + "/" + name + "/-rf", 5000 + i);
            writeBytes(tree.path() + "/" + name + "/\xFF\n", 1);
        } else {
            writeBytes(tree.path() + "/" + name, (i % 5) * 3000);
        }
    }
    SizedTree sized(tree.path());
    ASSERT_TRUE(sized.root);
    ASSERT_TRUE(sized.sizeInBackground());
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree.path()));

    // Each name is listed once with its exact bytes and its own blocks.
    HLNFile::ChildList list = sized.root->children();
    ASSERT_TRUE(list);
    std::multiset<std::string> seen;
    for (const Ref<HLNFile>& c : *list) {
        seen.insert(c->name());
        EXPECT_EQ(c->sizeStatus(), SizeStatus::complete) << shown(c->name());
        if (!c->isDirectory()) {
            EXPECT_EQ(c->sizeSoFar(), allocated(fd, c->name().c_str())) << shown(c->name());
        }
        EXPECT_EQ(c->path(), tree.path() + "/" + c->name());
    }
    EXPECT_EQ(seen, std::multiset<std::string>(names.begin(), names.end()));

    // Destroying removes exactly that entry: names that differ only in case,
    // that look like options, that hold a newline or are not UTF-8, a folder
    // full of odd names, and a name that would mean something to a shell.
    std::vector<std::string> victims = {"CASE",
                                        "-rf",
                                        "a\nb",
                                        "\xFF",
                                        "$(touch pwned)",
                                        "*",
                                        std::string(255, '\xFE'),
                                        "\xC3\x89T\xC3\x89"};
    for (size_t i = 3; i < names.size(); i += 7)
        if (std::find(victims.begin(), victims.end(), names[i]) == victims.end()) {
            victims.push_back(names[i]); // a folder
            break;
        }
    for (const std::string& victim : victims) {
        Ref<HLNFile> node = childNamed(sized.root, victim);
        ASSERT_TRUE(node) << shown(victim);
        Listing expected = without(listing(tree.path()), victim);
        ASSERT_TRUE(destroy(sized, node)) << shown(victim);
        EXPECT_EQ(listing(tree.path()), expected) << shown(victim);
        EXPECT_TRUE(node->isInvalidated()) << shown(victim);
        EXPECT_FALSE(childNamed(sized.root, victim)) << shown(victim);
        EXPECT_EQ(sized.root->sizeSoFar(), du(tree.path())) << "after destroying " << shown(victim);
    }
    EXPECT_TRUE(exists(tree / "Case") && exists(tree / "case"));
    EXPECT_FALSE(exists(tree / "pwned"));
    ::close(fd);
}

// ---------------------------------------------------------------- shapes

// One folder of 200,000 entries, built once for the tests that use it.
class HugeFolder : public ::testing::Test {
protected:
    static constexpr int kEntries = 200000;
    static void SetUpTestSuite() {
        tree = new TempTree;
        auto start = Clock::now();
        std::string folder = tree->mkdir("huge");
        int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        char name[64];
        std::string block(4096, 'b');
        for (int i = 0; i < kEntries; ++i) {
            std::snprintf(name, sizeof name, "entry-%06d%s", i, i % 3 == 0 ? "-\xE9" : "");
            if (i % 1000 == 0) {
                ::mkdirat(fd, name, 0755);
                continue;
            }
            int f = ::openat(fd, name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (i % 50 == 0 && f >= 0)
                (void)!::write(f, block.data(), block.size());
            if (f >= 0)
                ::close(f);
        }
        ::close(fd);
        tree->writeFile("sibling", 12345);
        std::printf("[ figures  ] built a folder of %d entries in %.2f s\n", kEntries,
                    secondsSince(start));
    }
    static void TearDownTestSuite() {
        removeAll(tree->path());
        delete tree;
        tree = nullptr;
    }
    static TempTree* tree;
};
TempTree* HugeFolder::tree = nullptr;

TEST_F(HugeFolder, IsSizedCompletelyAndInOrder) {
    SizedTree sized(tree->path());
    ASSERT_TRUE(sized.root);
    auto start = Clock::now();
    ASSERT_TRUE(sized.sizeInBackground());
    double took = secondsSince(start);
    std::printf("[ figures  ] sized a folder of %d entries in %.2f s\n", kEntries, took);
    RecordProperty("huge_folder_entries", kEntries);
    RecordProperty("huge_folder_seconds", std::to_string(took));
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree->path()));
    Ref<HLNFile> huge = childNamed(sized.root, "huge");
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->childrenCount(), uint32_t(kEntries));
    EXPECT_EQ(huge->sizeSoFar(), du(tree->path() + "/huge"));
    start = Clock::now();
    huge->sortChildren();
    std::printf("[ figures  ] sorted it in %.2f s\n", secondsSince(start));
    HLNFile::ChildList sortedList = huge->children();
    ASSERT_TRUE(sortedList);
    for (uint32_t i = 1; i < sortedList->size(); ++i)
        ASSERT_LE((*sortedList)[i - 1]->compare(*(*sortedList)[i]), 0) << i;
}

TEST_F(HugeFolder, TheWindowsThreadLeavesItToTheSizingThread) {
    // Opened on the main thread, as a window opens it: listed and examined
    // only by the sizing thread, whole.
    Ref<HLNFile> huge =
        HLNFile::initWithParent(nullptr, tree->path() + "/huge", HLNFile::Asker::window);
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->childrenCount(), 0u);
    EXPECT_EQ(huge->sizeStatus(), SizeStatus::notStarted);
    EXPECT_FALSE(huge->children(HLNFile::Asker::window));
    EXPECT_TRUE(waitFor([&] { return huge->sizeStatus() == SizeStatus::complete; }, 300000));
    HLNFile::ChildList nodes = huge->children();
    ASSERT_TRUE(nodes);
    EXPECT_EQ(nodes->size(), uint32_t(kEntries));
    EXPECT_EQ(huge->sizeSoFar(), du(tree->path() + "/huge"));
    huge->invalidate();
}

TEST_F(HugeFolder, DestroyingItRemovesEveryEntryAndNothingElse) {
    SizedTree sized(tree->path());
    ASSERT_TRUE(sized.sizeInBackground());
    Ref<HLNFile> huge = childNamed(sized.root, "huge");
    ASSERT_TRUE(huge);
    auto start = Clock::now();
    ASSERT_TRUE(destroy(sized, huge));
    std::printf("[ figures  ] destroyed a folder of %d entries in %.2f s\n", kEntries,
                secondsSince(start));
    EXPECT_FALSE(exists(tree->path() + "/huge"));
    EXPECT_TRUE(exists(tree->path() + "/sibling"));
    EXPECT_EQ(sized.root->childrenCount(), 1u);
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree->path()));
}

// A chain of folders whose path is 6,000 bytes long, built once: one-byte
// names, so about 3,000 levels, with a file at the bottom.
class DeepChain : public ::testing::Test {
protected:
    static constexpr size_t kPathBytes = 6000;
    static void SetUpTestSuite() {
        tree = new TempTree;
        deepest = tree->path();
        int fd = ::open(deepest.c_str(), O_RDONLY | O_DIRECTORY);
        levels = 0;
        while (deepest.size() < kPathBytes) {
            ::mkdirat(fd, "d", 0755);
            if (levels % 500 == 250) {
                int f = ::openat(fd, "side", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                std::string block(10000, 's');
                (void)!::write(f, block.data(), block.size());
                ::close(f);
            }
            int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
            ::close(fd);
            fd = next;
            deepest += "/d";
            ++levels;
        }
        int f = ::openat(fd, "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        std::string block(8192, 'z');
        (void)!::write(f, block.data(), block.size());
        ::close(f);
        ::close(fd);
    }
    static void TearDownTestSuite() {
        removeAll(tree->path());
        delete tree;
        tree = nullptr;
    }
    static TempTree* tree;
    static std::string deepest;
    static int levels;
};
TempTree* DeepChain::tree = nullptr;
std::string DeepChain::deepest;
int DeepChain::levels = 0;

TEST_F(DeepChain, IsSizedToTheBottomBeyondThePathLimit) {
    ASSERT_GT(deepest.size(), size_t(PATH_MAX));
    SizedTree sized(tree->path());
    ASSERT_TRUE(sized.root);
    auto start = Clock::now();
    ASSERT_TRUE(sized.sizeInBackground());
    double took = secondsSince(start);
    std::printf("[ figures  ] sized a chain of %d folders, deepest path %zu bytes, in %.2f s\n",
                levels, deepest.size() + 5, took);
    RecordProperty("deep_chain_levels", levels);
    RecordProperty("deep_chain_seconds", std::to_string(took));
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree->path()));
    Ref<HLNFile> n = sized.root;
    int depth = 0;
    while (Ref<HLNFile> next = childNamed(n, "d"))
        n = next, ++depth;
    EXPECT_EQ(depth, levels);
    EXPECT_EQ(n->path(), deepest);
    Ref<HLNFile> leaf = childNamed(n, "leaf");
    ASSERT_TRUE(leaf);
    EXPECT_EQ(leaf->path(), deepest + "/leaf");
    EXPECT_EQ(leaf->sizeSoFar(), 8192u);
}

TEST_F(DeepChain, DestroyingTheBottomHalfLeavesTheTopHalf) {
    SizedTree sized(tree->path());
    ASSERT_TRUE(sized.sizeInBackground());
    Ref<HLNFile> n = sized.root;
    for (int i = 0; i < levels / 2; ++i)
        n = childNamed(n, "d");
    ASSERT_TRUE(n);
    Ref<HLNFile> bottom = childNamed(n, "d");
    ASSERT_TRUE(bottom);
    std::string kept = n->path();
    ASSERT_GT(bottom->path().size(), size_t(2900));
    ASSERT_TRUE(destroy(sized, bottom));
    EXPECT_TRUE(bottom->isInvalidated());
    EXPECT_EQ(n->childrenCount(), levels / 2 % 500 == 250 ? 1u : 0u);
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree->path()));
    std::string found = run({"find", tree->path(), "-type", "d", "-name", "d"});
    EXPECT_EQ(size_t(std::count(found.begin(), found.end(), '\n')), size_t(levels / 2));
    EXPECT_TRUE(exists(kept));
}

// ---------------------------------------------------------------- links

TEST(HostileLinks, LoopsAndLinksOutAreCountedAsLinksAndDestroyedAsLinks) {
    TempTree tree, outside;
    outside.writeFile("precious", 70000);
    tree.mkdir("loops/deeper");
    tree.symlink("b", "loops/a");
    tree.symlink("a", "loops/b");
    tree.symlink("self", "loops/self");
    tree.symlink(".", "loops/dot");
    tree.symlink("..", "loops/deeper/up");
    tree.symlink(tree.path(), "loops/deeper/home");
    tree.symlink("/", "loops/root");
    tree.symlink(outside.path(), "loops/out");
    tree.symlink(outside.path() + "/precious", "loops/outFile");
    tree.symlink(std::string(3000, 'x') + "/" + std::string(200, 'y'),
                 "loops/long"); // a target of its own block
    tree.writeFile("loops/deeper/f", 9000);

    SizedTree sized(tree.path());
    ASSERT_TRUE(sized.sizeInBackground());
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree.path()));
    for (const char* name :
         {"loops/a", "loops/self", "loops/dot", "loops/root", "loops/out", "loops/deeper/home"}) {
        Ref<HLNFile> link = nodeAt(sized.root, name);
        ASSERT_TRUE(link) << name;
        EXPECT_TRUE(link->isLink()) << name;
        EXPECT_FALSE(link->isDirectory()) << name;
        EXPECT_FALSE(link->children()) << name;
    }

    // Destroying a link removes the link, never what it points at; a folder
    // holding links to "/" and out of the tree goes without following them.
    Listing outsideBefore = listing(outside.path());
    Ref<HLNFile> out = nodeAt(sized.root, "loops/out");
    ASSERT_TRUE(destroy(sized, out));
    EXPECT_FALSE(exists(tree / "loops/out"));
    EXPECT_EQ(listing(outside.path()), outsideBefore);
    ASSERT_TRUE(destroy(sized, nodeAt(sized.root, "loops")));
    EXPECT_FALSE(exists(tree / "loops"));
    EXPECT_EQ(listing(outside.path()), outsideBefore);
    EXPECT_TRUE(exists("/etc/passwd"));
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree.path()));
    EXPECT_EQ(sized.root->childrenCount(), 0u);
}

TEST(HostileLinks, HardLinkedFileCountsOnceAndItsBytesFallWithItsLastName) {
    TempTree tree;
    tree.mkdir("a");
    tree.mkdir("b/c");
    writeBytes(tree / "b/c/first", 100000, 'o');
    ASSERT_EQ(::link((tree / "b/c/first").c_str(), (tree / "a/second").c_str()), 0);
    ASSERT_EQ(::link((tree / "b/c/first").c_str(), (tree / "b/third").c_str()), 0);
    SizedTree sized(tree.path());
    ASSERT_TRUE(sized.sizeInBackground());
    const uint64_t one = TempTree::lstatOf(tree / "b/c/first").st_blocks * 512ull;
    const uint64_t total = du(tree.path());
    EXPECT_EQ(sized.root->sizeSoFar(), total);
    // The first name in the tree's order carries the bytes; the others
    // show them as counted elsewhere.
    HLNFile::Snapshot carrier = nodeAt(sized.root, "a/second")->snapshot();
    EXPECT_EQ(carrier.sizeSoFar, one);
    EXPECT_FALSE(carrier.countedAtAnotherName);
    EXPECT_EQ(carrier.nameCount, 3u);
    HLNFile::Snapshot further = nodeAt(sized.root, "b/third")->snapshot();
    EXPECT_EQ(further.sizeSoFar, 0u);
    EXPECT_TRUE(further.countedAtAnotherName);
    EXPECT_EQ(further.bytesCountedElsewhere, one);
    EXPECT_EQ(nodeAt(sized.root, "a")->sizeSoFar(),
              one + TempTree::lstatOf(tree / "a").st_blocks * 512ull);

    // Destroying the name that carries them moves the bytes to a name left:
    // the total stays, until the last name goes.
    ASSERT_TRUE(destroy(sized, nodeAt(sized.root, "a/second")));
    EXPECT_EQ(TempTree::lstatOf(tree / "b/third").st_nlink, 2u);
    EXPECT_EQ(nodeAt(sized.root, "b/third")->snapshot().nameCount, 2u);
    EXPECT_EQ(sized.root->sizeSoFar(), total);
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree.path()));
    EXPECT_EQ(nodeAt(sized.root, "b")->sizeSoFar(), du(tree / "b"));
    ASSERT_TRUE(destroy(sized, nodeAt(sized.root, "b/third")));
    EXPECT_EQ(sized.root->sizeSoFar(), total);
    EXPECT_EQ(nodeAt(sized.root, "b/c/first")->snapshot().sizeSoFar, one);
    EXPECT_EQ(nodeAt(sized.root, "b/c")->sizeSoFar(), du(tree / "b/c"));
    Listing rest = listing(tree.path());
    EXPECT_EQ(rest["b/c/first"].substr(rest["b/c/first"].size() - 64), std::string(64, 'o'));
    ASSERT_TRUE(destroy(sized, nodeAt(sized.root, "b/c/first")));
    EXPECT_EQ(sized.root->sizeSoFar(), total - one);
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree.path()));

    // A re-read of a folder holding the carrying name moves the bytes out
    // of it and back to the first name once it is read again.
    writeBytes(tree / "a/x", 50000);
    ASSERT_EQ(::link((tree / "a/x").c_str(), (tree / "b/y").c_str()), 0);
    ASSERT_TRUE(sized.refresh());
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree.path()));
    Ref<HLNFile> a = nodeAt(sized.root, "a");
    const uint64_t aBytes = a->sizeSoFar();
    Ref<HLNFile> oldX = nodeAt(a, "x");
    a->refreshSize();
    ASSERT_TRUE(waitFor([&] {
        return oldX->isInvalidated() && sized.root->sizeStatus() == SizeStatus::complete &&
               HLNBackgroundFileSizer::isIdle();
    }));
    EXPECT_EQ(a->sizeSoFar(), aBytes);
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree.path()));
    EXPECT_TRUE(nodeAt(sized.root, "b/y")->snapshot().countedAtAnotherName);
}

// ---------------------------------------------------------------- files that are not plain

TEST(HostileFiles, SparseAndPreallocatedFilesCountTheirBlocks) {
    TempTree tree;
    int fd = ::open((tree / "sparse").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::ftruncate(fd, off_t(1) << 32), 0); // 4 GiB of hole
    ASSERT_EQ(::pwrite(fd, "data", 4, off_t(1) << 31), 4);
    ::close(fd);
    fd = ::open((tree / "hole").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_EQ(::ftruncate(fd, off_t(1) << 40), 0); // 1 TiB, nothing written
    ::close(fd);
    fd = ::open((tree / "reserved").c_str(), O_WRONLY | O_CREAT, 0644);
    bool reserved = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, 1 << 20) == 0; // blocks, size 0
    ::close(fd);
    SizedTree sized(tree.path());
    ASSERT_TRUE(sized.sizeInBackground());
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree.path()));
    EXPECT_LT(childNamed(sized.root, "sparse")->sizeSoFar(), uint64_t(1) << 20);
    EXPECT_EQ(childNamed(sized.root, "hole")->sizeSoFar(), 0u);
    if (reserved) {
        EXPECT_GE(childNamed(sized.root, "reserved")->sizeSoFar(), uint64_t(1) << 20);
    }
}

TEST(HostileFiles, FifoSocketAndDeviceNodesAreNeverOpenedAndAreDestroyedAsEntries) {
    TempTree tree;
    tree.mkdir("special");
    ASSERT_EQ(::mkfifo((tree / "special/fifo").c_str(), 0644), 0);
    int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string socketPath = tree / "special/socket";
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    bool devices = runningAsRoot();
    if (devices) {
        ASSERT_EQ(::mknod((tree / "special/null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
        ASSERT_EQ(::mknod((tree / "special/loop").c_str(), S_IFBLK | 0600, makedev(7, 0)), 0);
    } else {
        std::printf("device nodes need root: only the FIFO and the socket are tried\n");
    }
    // A FIFO opened for reading would block for ever: a hang fails here.
    SizedTree sized(tree.path());
    ASSERT_TRUE(sized.sizeInBackground(60000));
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree.path()));
    for (const char* name : {"special/fifo", "special/socket"}) {
        Ref<HLNFile> n = nodeAt(sized.root, name);
        ASSERT_TRUE(n) << name;
        EXPECT_FALSE(n->isDirectory());
        EXPECT_EQ(n->sizeStatus(), SizeStatus::complete);
    }
    ASSERT_TRUE(destroy(sized, nodeAt(sized.root, "special")));
    EXPECT_FALSE(exists(tree / "special"));
    EXPECT_TRUE(S_ISCHR(TempTree::lstatOf("/dev/null").st_mode));
    ::close(sock);
}

// ---------------------------------------------------------------- faults during work

namespace {

// A tree of folders and files, shuffled from a second thread.
void buildBushyTree(const TempTree& tree, int folders, int filesEach) {
    for (int d = 0; d < folders; ++d) {
        std::string folder = tree.mkdir("t/d" + std::to_string(d % 10) + "/e" + std::to_string(d));
        for (int f = 0; f < filesEach; ++f)
            writeBytes(folder + "/f" + std::to_string(f), size_t((f * 1237 + d) % 9000));
    }
}

} // namespace

TEST(HostileFaults, EntriesChangingWhileTheTreeIsSizedEndWithTheRightTotal) {
    TempTree tree, outside;
    outside.writeFile("elsewhere", 500000);
    buildBushyTree(tree, 60, 25);
    std::atomic<bool> stop{false};
    std::atomic<int> changes{0};
    // What changed, as a user would know it: afterwards only these folders
    // are read again, so a wrong incremental total stays visible.
    std::mutex changedLock;
    std::set<std::string> changed; // relative to the tree
    std::thread mutator([&] {
        std::mt19937 random(42);
        int serial = 0;
        while (!stop.load()) {
            int d = int(random() % 60);
            const std::string parent = "t/d" + std::to_string(d % 10);
            const std::string relative = parent + "/e" + std::to_string(d);
            const std::string folder = tree / relative;
            std::string f = folder + "/f" + std::to_string(random() % 25);
            const int what = int(random() % 6);
            {
                std::scoped_lock lock(changedLock);
                changed.insert(what == 3 || what == 4 ? parent : relative);
            }
            switch (what) {
            case 0:
                ::unlink(f.c_str());
                break;
            case 1:
                ::rename(f.c_str(), (f + "r").c_str());
                break;
            case 2:
                writeBytes(folder + "/new" + std::to_string(serial++), random() % 20000);
                break;
            case 3:
                ::rename(folder.c_str(), (folder + "x").c_str());
                ::rename((folder + "x").c_str(), folder.c_str());
                break;
            case 4: // a folder becomes a link out of the tree, and back
                if (::rename(folder.c_str(), (folder + "-moved").c_str()) == 0) {
                    (void)!::symlink(outside.path().c_str(), folder.c_str());
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    ::unlink(folder.c_str());
                    ::rename((folder + "-moved").c_str(), folder.c_str());
                }
                break;
            case 5:
                ::mkdir((folder + "/sub" + std::to_string(serial++)).c_str(), 0755);
                break;
            }
            changes.fetch_add(1);
        }
    });
    SizedTree sized(tree.path());
    ASSERT_TRUE(sized.root);
    HLNBackgroundFileSizer::sizeFile(sized.root);
    auto until = Clock::now() + std::chrono::seconds(3);
    int rounds = 0;
    while (Clock::now() < until) {
        // The window's part: read children, sort them, re-read some.
        if (Ref<HLNFile> t = childNamed(sized.root, "t"))
            if (HLNFile::ChildList list = t->children())
                for (const Ref<HLNFile>& c : *list) {
                    c->sortChildren();
                    if (rounds % 3 == 0)
                        c->refreshSize();
                }
        ++rounds;
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    stop = true;
    mutator.join();
    std::printf("[ figures  ] %d changes in %zu folders during %d rounds of sizing\n",
                changes.load(), changed.size(), rounds);
    ASSERT_TRUE(waitFor([&] { return HLNBackgroundFileSizer::isIdle(); }));
    for (std::string relative : changed) {
        // A folder missed while it was being renamed: its parent is read again.
        Ref<HLNFile> n = nodeAt(sized.root, relative);
        while (!n && relative.find('/') != std::string::npos) {
            relative.erase(relative.rfind('/'));
            n = nodeAt(sized.root, relative);
        }
        ASSERT_TRUE(n) << relative;
        n->refreshSize();
    }
    ASSERT_TRUE(waitFor([&] {
        return sized.root->sizeStatus() == SizeStatus::complete && HLNBackgroundFileSizer::isIdle();
    }));
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree.path()));
    EXPECT_EQ(listing(outside.path()).size(), 1u);
}

TEST(HostileFaults, FolderReplacedByALinkAfterListingIsNeverFollowed) {
    TempTree tree, outside;
    outside.writeFile("big", 3000000);
    outside.mkdir("victim");
    outside.writeFile("victim/inner", 2000000);
    tree.mkdir("victim");
    tree.writeFile("victim/inner", 4096);
    tree.writeFile("victim/other", 4096);
    tree.writeFile("keep", 4096);
    SizedTree sized(tree.path());
    ASSERT_TRUE(sized.root);
    Ref<HLNFile> victim = childNamed(sized.root, "victim"); // listed, entries not yet examined
    ASSERT_TRUE(victim && victim->isDirectory());
    ASSERT_EQ(::rename((tree / "victim").c_str(), (tree / "gone").c_str()), 0);
    removeAll(tree / "gone");
    tree.symlink(outside.path(), "victim");
    ASSERT_TRUE(sized.sizeInBackground());
    EXPECT_LT(sized.root->sizeSoFar(), uint64_t(1000000)) << "the link's target is not counted";
    ASSERT_TRUE(sized.refresh());
    EXPECT_EQ(sized.root->sizeSoFar(), du(tree.path()));
    // A stale node for the old folder: destroying it removes the link only.
    Listing outsideBefore = listing(outside.path());
    Ref<HLNFile> stale = childNamed(sized.root, "victim");
    ASSERT_TRUE(stale);
    ASSERT_TRUE(destroy(sized, stale));
    EXPECT_FALSE(exists(tree / "victim"));
    EXPECT_EQ(listing(outside.path()), outsideBefore);
}

TEST(HostileFaults, FolderAboveReplacedByALinkBeforeDestroyingDestroysNothingElse) {
    TempTree tree, outside;
    tree.mkdir("a/b");
    tree.writeFile("a/b/target", 8192);
    outside.mkdir("b");
    outside.writeFile("b/target", 8192);
    SizedTree sized(tree.path());
    ASSERT_TRUE(sized.sizeInBackground());
    Ref<HLNFile> target = nodeAt(sized.root, "a/b/target");
    ASSERT_TRUE(target);
    // "a" now leads out of the tree, to a folder of the same shape.
    ASSERT_EQ(::rename((tree / "a").c_str(), (tree / "a-moved").c_str()), 0);
    tree.symlink(outside.path(), "a");
    Listing outsideBefore = listing(outside.path());
    ASSERT_TRUE(destroy(sized, target, false));
    EXPECT_EQ(listing(outside.path()), outsideBefore) << "nothing outside the tree is removed";
    EXPECT_TRUE(exists(tree / "a-moved/b/target"));
}

namespace {
constexpr const char* kUnreadableEnv = "HOLLIN_HOSTILE_UNREADABLE_TREE";
}

// Runs in a child process started by the test below (disabled otherwise):
// without root's rights, an unreadable folder counts its own blocks only,
// and destroying it leaves what could not be removed, counted again.
TEST(HostileUnreadable, DISABLED_ChildWithoutPrivileges) {
    const char* path = std::getenv(kUnreadableEnv);
    ASSERT_TRUE(path);
    if (::geteuid() == 0) {
        ASSERT_EQ(::setgroups(0, nullptr), 0);
        ASSERT_EQ(::setgid(65534), 0);
        ASSERT_EQ(::setuid(65534), 0);
    }
    ASSERT_NE(::geteuid(), 0u);
    const std::string root = path;
    ASSERT_NE(::access((root + "/closed/inside").c_str(), F_OK), 0)
        << "the folder is readable after all";
    SizedTree sized(root);
    ASSERT_TRUE(sized.root);
    ASSERT_TRUE(sized.sizeInBackground(60000));
    EXPECT_EQ(sized.root->sizeSoFar(), du(root));
    Ref<HLNFile> closed = childNamed(sized.root, "closed");
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->sizeStatus(), SizeStatus::complete);
    EXPECT_EQ(closed->childrenCount(), 0u);
    Ref<HLNFile> open = childNamed(sized.root, "open");
    ASSERT_TRUE(open);
    ASSERT_TRUE(destroy(sized, closed, false));
    EXPECT_TRUE(exists(root + "/closed"));
    EXPECT_FALSE(closed->isInvalidated());
    ASSERT_TRUE(destroy(sized, open));
    EXPECT_FALSE(exists(root + "/open"));
    EXPECT_EQ(sized.root->sizeSoFar(), du(root));

    // A folder that can no longer be examined is listed again as a file of
    // 0 bytes; what was counted inside it goes.
    Ref<HLNFile> lidded = childNamed(sized.root, "lidded");
    Ref<HLNFile> former = lidded ? childNamed(lidded, "former") : nullptr;
    ASSERT_TRUE(former && former->isDirectory());
    const uint64_t own = uint64_t(TempTree::lstatOf(root + "/lidded").st_blocks) * 512;
    ASSERT_EQ(::chmod((root + "/lidded").c_str(), 0600), 0);
    former->refreshSize();
    const bool settled = waitFor(
        [&] {
            return !former->isDirectory() && HLNBackgroundFileSizer::isIdle() &&
                   lidded->sizeStatus() == SizeStatus::complete;
        },
        20000);
    ::chmod((root + "/lidded").c_str(), 0777);
    ASSERT_TRUE(settled);
    EXPECT_EQ(former->sizeSoFar(), 0u);
    EXPECT_EQ(former->childrenCount(), 0u);
    EXPECT_EQ(lidded->sizeSoFar(), own);
}

TEST(HostileUnreadable, UnreadableFolderForAUserWithoutRoot) {
    TempTree tree;
    ASSERT_EQ(::chmod(tree.path().c_str(), 0777), 0);
    tree.mkdir("closed");
    tree.writeFile("closed/inside", 50000);
    tree.mkdir("open");
    tree.writeFile("open/file", 20000);
    ASSERT_EQ(::chmod((tree / "open").c_str(), 0777), 0);
    ASSERT_EQ(::chmod((tree / "closed").c_str(), 0), 0);
    // Closed by the child itself once sized, so it must be the child's.
    tree.mkdir("lidded/former");
    tree.writeFile("lidded/former/deep", 30000);
    ASSERT_EQ(::chmod((tree / "lidded").c_str(), 0777), 0);
    if (runningAsRoot()) {
        ASSERT_EQ(::chown((tree / "lidded").c_str(), 65534, 65534), 0);
    }
    if (runningAsRoot()) {
        // The child drops to nobody: it must be able to reach the tree.
        for (std::string p = tree.path(); p.size() > 1; p = p.substr(0, p.rfind('/')))
            if ((TempTree::lstatOf(p).st_mode & 0011) == 0)
                GTEST_SKIP() << p << " is closed to other users";
    }
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    ::setenv(kUnreadableEnv, tree.path().c_str(), 1);
    int status = -1;
    std::string output = run({self, "--gtest_also_run_disabled_tests",
                              "--gtest_filter=HostileUnreadable.DISABLED_ChildWithoutPrivileges"},
                             &status);
    ::unsetenv(kUnreadableEnv);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    EXPECT_TRUE(exists(tree / "closed/inside"));
}

// ---------------------------------------------------------------- windows

namespace {

struct Window {
    QPointer<HLNFileTreeController> controller;
    explicit Window(const std::string& path)
        : controller(HLNFileTreeController::initWithPath(path)) {}
    ~Window() { close(); }
    void close() {
        if (!controller)
            return;
        QPointer<HLNFileTreeController> watch(controller.data());
        controller->window()->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        waitFor([&] { return watch.isNull(); }, 5000);
    }
};

} // namespace

TEST(HostileWindow, RootDeletedWhileShownLeavesAnEmptyTreeAndAWorkingWindow) {
    TempTree tree;
    buildBushyTree(tree, 20, 10);
    Window window(tree.path());
    ASSERT_TRUE(window.controller);
    Ref<HLNFile> root = window.controller->rootFile();
    ASSERT_TRUE(waitFor([&] {
        return root->sizeStatus() == SizeStatus::complete && HLNBackgroundFileSizer::isIdle();
    }));
    removeAll(tree / "t");
    ASSERT_EQ(::rmdir(tree.path().c_str()), 0);
    window.controller->_refreshDisplay();
    window.controller->updateSelection(); // nothing selected: measures the root again
    ASSERT_TRUE(waitFor([&] {
        return HLNBackgroundFileSizer::isIdle() && root->sizeStatus() != SizeStatus::inProgress;
    }));
    window.controller->_refreshDisplay();
    EXPECT_EQ(root->childrenCount(), 0u) << "nothing that is gone is still listed";
    EXPECT_EQ(window.controller->browser()->numberOfRowsInColumn(0), 0);
    ::mkdir(tree.path().c_str(), 0700); // for the fixture's clean-up
}

TEST(HostileWindow, WindowClosedWhileSizingFreesItsWholeTree) {
    TempTree tree;
    buildBushyTree(tree, 200, 30);
    std::vector<Ref<HLNFile>> watched;
    // The sizing thread waits in the middle of the walk until the window is
    // closed, so the window is always closed while sizing.
    std::atomic<bool> closed{false};
    HLNBackgroundFileSizer::setVisitHookForTesting([&](const Ref<HLNFile>& n) {
        if (n->nameView() == "d5")
            while (!closed.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    {
        Window window(tree.path());
        ASSERT_TRUE(window.controller);
        Ref<HLNFile> root = window.controller->rootFile();
        QApplication::processEvents();
        EXPECT_NE(root->sizeStatus(), SizeStatus::complete) << "closed before the tree was sized";
        // Keep nodes from the middle of the walk to see them freed.
        if (HLNFile::ChildList list = root->children())
            for (const Ref<HLNFile>& c : *list)
                watched.push_back(c);
        watched.push_back(root);
        window.close();
        EXPECT_FALSE(window.controller);
    }
    closed = true;
    HLNBackgroundFileSizer::setVisitHookForTesting(nullptr);
    ASSERT_TRUE(waitFor([&] {
        if (!HLNBackgroundFileSizer::isIdle())
            return false;
        for (const Ref<HLNFile>& n : watched)
            if (n->retainCount() != 1)
                return false;
        return true;
    }));
    for (const Ref<HLNFile>& n : watched) {
        EXPECT_TRUE(n->isInvalidated());
        EXPECT_FALSE(n->parent());
        EXPECT_EQ(n->childrenCount(), 0u);
    }
}
