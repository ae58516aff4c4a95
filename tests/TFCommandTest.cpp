#include "toolkit/TFCommand.h"
#include "toolkit/TFException.h"

#include <chrono>
#include <cstdlib>
#include <future>
#include <gtest/gtest.h>
#include <string>

using TFCommand::filterDataThroughCommandAtPath;

namespace {

// Runs a filter with a watchdog: a deadlocked pipe must fail the test, not
// hang the suite until the CTest timeout.
std::string filterWithin(std::chrono::seconds limit, const std::string& data,
                         const std::string& path, const std::vector<std::string>& arguments) {
    auto future = std::async(std::launch::async,
                             [&] { return filterDataThroughCommandAtPath(data, path, arguments); });
    if (future.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << path << " did not finish within " << limit.count() << " s";
        std::_Exit(1);
    }
    return future.get();
}

std::string bigData(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    return data;
}

} // namespace

TEST(TFCommand, PassesDataThroughAndAnswersOutput) {
    EXPECT_EQ(filterDataThroughCommandAtPath("", "/bin/echo", {"a b", "c"}), "a b c\n");
    EXPECT_EQ(filterDataThroughCommandAtPath("line one\nline two\n", "/usr/bin/tr", {"a-z", "A-Z"}),
              "LINE ONE\nLINE TWO\n");
    // Bytes that are not text go through untouched.
    std::string binary("\0\xff\x01\n\r", 5);
    EXPECT_EQ(filterDataThroughCommandAtPath(binary, "/bin/cat", {}), binary);
}

TEST(TFCommand, LargeInputAndOutputDoNotDeadlock) {
    // Far beyond a pipe's buffer in both directions at once.
    std::string data = bigData(8 << 20);
    EXPECT_EQ(filterWithin(std::chrono::seconds(60), data, "/bin/cat", {}), data);
    // Output many times larger than the input.
    std::string out =
        filterWithin(std::chrono::seconds(60), "", "/bin/sh", {"-c", "head -c 20000000 /dev/zero"});
    EXPECT_EQ(out.size(), 20000000u);
}

TEST(TFCommand, ProgramThatIgnoresItsInputIsNoFailure) {
    // The unread input must not kill us with SIGPIPE.
    EXPECT_EQ(filterWithin(std::chrono::seconds(60), bigData(4 << 20), "/bin/true", {}), "");
}

TEST(TFCommand, FailuresRaise) {
    try {
        filterDataThroughCommandAtPath("x", "/nonexistent/hollin-tool", {});
        FAIL() << "no exception for a program that does not exist";
    } catch (const TFException& e) {
        EXPECT_NE(e.reason().find("/nonexistent/hollin-tool"), std::string::npos) << e.reason();
    }
    try {
        filterDataThroughCommandAtPath("", "/bin/sh", {"-c", "echo partial; exit 3"});
        FAIL() << "no exception for exit status 3";
    } catch (const TFException& e) {
        EXPECT_NE(e.reason().find("status 3"), std::string::npos) << e.reason();
    }
    try {
        filterDataThroughCommandAtPath("", "/bin/sh", {"-c", "kill -TERM $$"});
        FAIL() << "no exception for a program killed by a signal";
    } catch (const TFException& e) {
        EXPECT_NE(e.reason().find("signal 15"), std::string::npos) << e.reason();
    }
    // A directory is not a program.
    EXPECT_THROW(filterDataThroughCommandAtPath("", "/tmp", {}), TFException);
}

TEST(TFCommand, ProgramStartsWithDefaultSigpipe) {
    // We ignore SIGPIPE for ourselves; the program must not inherit that, or
    // a writer into a closed pipe would run on instead of stopping.
    std::string status = filterDataThroughCommandAtPath("", "/bin/cat", {"/proc/self/status"});
    size_t at = status.find("SigIgn:\t");
    ASSERT_NE(at, std::string::npos);
    unsigned long long ignored = std::stoull(status.substr(at + 8, 16), nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (13 - 1)), 0u) << status.substr(at, 30);
}
