#include "toolkit/TFMainThread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {
void drainEvents() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}
} // namespace

TEST(TFMainThread, PerformRunsLaterOnTheMainThread) {
    EXPECT_TRUE(TFMainThread::isMainThread());
    std::atomic<int> ran = 0;
    std::atomic<bool> onMain = false;
    bool workerSawMain = true;
    std::thread worker([&] {
        workerSawMain = TFMainThread::isMainThread();
        TFMainThread::perform([&] {
            onMain = TFMainThread::isMainThread();
            ++ran;
        });
    });
    worker.join();
    EXPECT_FALSE(workerSawMain);
    EXPECT_EQ(ran, 0); // queued, not run in the caller
    drainEvents();
    EXPECT_EQ(ran, 1);
    EXPECT_TRUE(onMain);
}

TEST(TFMainThread, PerformOnceMergesWhilePending) {
    static std::atomic<bool> pending = false;
    int runs = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 100; ++j)
                TFMainThread::performOnce(pending, [&] { ++runs; });
        });
    for (auto& t : threads)
        t.join();
    EXPECT_TRUE(pending);
    drainEvents();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(pending);

    // A request made while the call runs is queued anew, not lost.
    int nested = 0;
    std::function<void()> call = [&] {
        if (++nested == 1)
            TFMainThread::performOnce(pending, call);
    };
    TFMainThread::performOnce(pending, call);
    drainEvents();
    EXPECT_EQ(nested, 2);
}

TEST(TFMainThread, WhenIdleRunsBehindWhatIsQueued) {
    std::vector<std::string> order;
    TFMainThread::perform([&] { order.push_back("first"); });
    TFMainThread::performWhenIdle([&] { order.push_back("idle"); });
    TFMainThread::perform([&] { order.push_back("second"); });
    drainEvents();
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "idle"}));
}

TEST(TFMainThread, CallsFromManyThreadsArriveInOrderBesideTheMainThreadsOwnEvents) {
    constexpr int kThreads = 4, kCalls = 2000;
    std::vector<std::vector<int>> seen(kThreads + 1); // touched on the main thread only
    int qtEvents = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCalls; ++i)
                TFMainThread::perform([&, t, i] { seen[t].push_back(i); });
        });
    // Meanwhile the main thread posts its own Qt events and calls, and runs them.
    for (int i = 0; i < kCalls; ++i) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [&] { ++qtEvents; }, Qt::QueuedConnection);
        TFMainThread::perform([&, i] { seen[kThreads].push_back(i); });
        if (i % 100 == 0)
            QCoreApplication::processEvents();
    }
    for (auto& t : threads)
        t.join();
    auto total = [&] {
        size_t n = 0;
        for (auto& s : seen)
            n += s.size();
        return n;
    };
    for (int round = 0; round < 100 && total() < (kThreads + 1) * size_t(kCalls); ++round)
        drainEvents();
    EXPECT_EQ(qtEvents, kCalls);
    std::vector<int> expected(kCalls);
    for (int i = 0; i < kCalls; ++i)
        expected[i] = i;
    for (int t = 0; t <= kThreads; ++t)
        EXPECT_EQ(seen[t], expected) << "poster " << t;
}
