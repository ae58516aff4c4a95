#include "toolkit/TCCCrashCatcher.h"
#include "support/TempTree.h"

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

size_t threadsOfThisProcess() {
    size_t count = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            count += e->d_name[0] != '.';
        ::closedir(d);
    }
    return count;
}

// Crashes a forked child with crash catching on; answers how it died. The
// child goes on without exec (it allocates, sets variables), which is safe
// only while the process has no other thread that could hold a lock.
int crashChild(const std::string& stateHome, const std::string& home, void (*crash)()) {
    if (const size_t threads = threadsOfThisProcess(); threads != 1) {
        ADD_FAILURE() << "forking to crash needs a single-threaded test process; it has " << threads
                      << " threads";
        return -1;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        rlimit none{0, 0};
        ::setrlimit(RLIMIT_CORE, &none);
        if (stateHome.empty())
            ::unsetenv("XDG_STATE_HOME");
        else
            ::setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
        ::setenv("HOME", home.c_str(), 1);
        TCCCrashCatcher::setCrashEmailAddress("crashes@hollin.invalid");
        TCCCrashCatcher::enableCrashCatching();
        crash();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

std::vector<std::string> reportsIn(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                out.push_back(dir + "/" + e->d_name);
        ::closedir(d);
    }
    return out;
}

std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A real invalid access: the undefined-behaviour checker must not stop it first.
[[gnu::noinline, gnu::no_sanitize("undefined")]] void dereferenceNull() {
    volatile int* p = nullptr;
    *p = 1;
}
void abortNow() {
    std::abort();
}
volatile int gDepthLimit = 1 << 30; // not known to the compiler: no infinite-recursion warning
[[gnu::noinline]] int recurse(int n) {
    volatile char pad[1024];
    pad[0] = static_cast<char>(n);
    if (n > gDepthLimit)
        return 0;
    return recurse(n + 1) + pad[0];
}
void overflowStack() {
    recurse(0);
}

} // namespace

TEST(TCCCrashCatcher, SegfaultWritesAReportAndStillKills) {
    TempTree tree;
    int status = crashChild(tree.path(), tree / "home", dereferenceNull);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    auto reports = reportsIn(tree / "hollin/crashes");
    ASSERT_EQ(reports.size(), 1u);
    std::string text = contents(reports[0]);
    EXPECT_NE(text.find("version: " HOLLIN_VERSION), std::string::npos) << text;
    EXPECT_NE(text.find("signal: 11 (SIGSEGV)"), std::string::npos) << text;
    EXPECT_NE(text.find("address: 0x0"), std::string::npos) << text;
    EXPECT_NE(text.find("crashes@hollin.invalid"), std::string::npos) << text;
    size_t trace = text.find("backtrace:\n");
    ASSERT_NE(trace, std::string::npos);
    EXPECT_GE(std::count(text.begin() + trace, text.end(), '\n'), 4) << text; // several frames
}

TEST(TCCCrashCatcher, AbortAndStackOverflowAreReportedUnderHome) {
    TempTree tree;
    int status = crashChild("", tree / "home", abortNow);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGABRT);
    auto reports = reportsIn(tree / "home/.local/state/hollin/crashes");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(contents(reports[0]).find("(SIGABRT)"), std::string::npos);

    TempTree other;
    status = crashChild(other.path(), other / "home", overflowStack);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    EXPECT_EQ(reportsIn(other / "hollin/crashes").size(), 1u);
}
