#include "model/HLNRefreshRequests.h"

#include "toolkit/TFNotificationCenter.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = HLNRefreshRequests::Clock;

// Runs the main loop long enough for queued calls and idle posts.
void drainMainLoop() {
    auto end = std::chrono::steady_clock::now() + 150ms;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(2ms);
    }
}

// One stand-in window: observes the notification and refreshes through the
// wrapper, as a browser window does.
struct Window {
    int refreshes = 0;
    std::function<void()> body = [] {};
    Window() {
        TFNotificationCenter::defaultCenter().addObserver(
            this, HLNRefreshUserInterfaceNotificationName, [this](const std::string&) {
                HLNRefreshRequests::refreshWindow([this] {
                    ++refreshes;
                    body();
                });
            });
    }
    ~Window() { TFNotificationCenter::defaultCenter().removeObserver(this); }
};

class HLNRefreshRequestsTest : public ::testing::Test {
protected:
    void SetUp() override {
        drainMainLoop();
        HLNRefreshRequests::resetForTesting();
        HLNRefreshRequests::setClockForTesting([this] { return now; });
    }
    void TearDown() override {
        drainMainLoop();
        HLNRefreshRequests::setClockForTesting(nullptr);
        HLNRefreshRequests::resetForTesting();
    }
    Clock::time_point now = Clock::time_point() + 1000s;
};

} // namespace

TEST_F(HLNRefreshRequestsTest, FirstThrottledRequestGoesThroughAtOnce) {
    Window w;
    HLNRefreshRequests::updateUIIfNeeded();
    EXPECT_TRUE(HLNRefreshRequests::refreshPending());
    drainMainLoop();
    EXPECT_EQ(w.refreshes, 1);
    EXPECT_FALSE(HLNRefreshRequests::refreshPending());
    EXPECT_EQ(HLNRefreshRequests::lastRefreshDate(), now);
}

TEST_F(HLNRefreshRequestsTest, ThrottledRequestsNeedMoreThanTwoSeconds) {
    Window w;
    HLNRefreshRequests::updateUI();
    drainMainLoop();
    ASSERT_EQ(w.refreshes, 1);
    Clock::time_point finished = now;

    now = finished + 1900ms;
    HLNRefreshRequests::updateUIIfNeeded();
    EXPECT_FALSE(HLNRefreshRequests::refreshPending());
    now = finished + 2000ms; // exactly 2.0 s is not enough
    HLNRefreshRequests::updateUIIfNeeded();
    EXPECT_FALSE(HLNRefreshRequests::refreshPending());
    drainMainLoop();
    EXPECT_EQ(w.refreshes, 1);

    now = finished + 2100ms;
    HLNRefreshRequests::updateUIIfNeeded();
    EXPECT_TRUE(HLNRefreshRequests::refreshPending());
    drainMainLoop();
    EXPECT_EQ(w.refreshes, 2);
}

TEST_F(HLNRefreshRequestsTest, NothingThrottledGoesThroughWhileOneIsPending) {
    Window w;
    HLNRefreshRequests::updateUI();
    now += 10s;
    HLNRefreshRequests::updateUIIfNeeded(); // pending: asks for nothing more
    drainMainLoop();
    EXPECT_EQ(w.refreshes, 1);
}

TEST_F(HLNRefreshRequestsTest, TenRequestsFromAnotherThreadGiveOneNotification) {
    Window w;
    std::thread sizing([] {
        for (int i = 0; i < 10; ++i)
            HLNRefreshRequests::updateUI();
    });
    sizing.join();
    drainMainLoop();
    EXPECT_EQ(w.refreshes, 1);
}

TEST_F(HLNRefreshRequestsTest, RequestsReachingTheMainThreadBeforeTheRefreshGiveOne) {
    Window w;
    HLNRefreshRequests::mainThreadUpdateUI();
    HLNRefreshRequests::mainThreadUpdateUI();
    drainMainLoop();
    EXPECT_EQ(w.refreshes, 1);
}

TEST_F(HLNRefreshRequestsTest, OneNotificationRefreshesEveryWindow) {
    Window a, b;
    HLNRefreshRequests::updateUI();
    drainMainLoop();
    EXPECT_EQ(a.refreshes, 1);
    EXPECT_EQ(b.refreshes, 1);
}

TEST_F(HLNRefreshRequestsTest, NotificationReachingNoWindowClearsThePendingRequest) {
    HLNRefreshRequests::updateUI();
    EXPECT_TRUE(HLNRefreshRequests::refreshPending());
    drainMainLoop();
    EXPECT_FALSE(HLNRefreshRequests::refreshPending());
    EXPECT_EQ(HLNRefreshRequests::lastRefreshDate(), now); // spaced like a real refresh
    HLNRefreshRequests::updateUIIfNeeded();
    EXPECT_FALSE(HLNRefreshRequests::refreshPending());
    now += 2100ms;
    HLNRefreshRequests::updateUIIfNeeded(); // throttled requests still work
    EXPECT_TRUE(HLNRefreshRequests::refreshPending());
}

TEST_F(HLNRefreshRequestsTest, ThrowingRefreshLeavesTheMachineryIdle) {
    now += 5s;
    EXPECT_THROW(
        HLNRefreshRequests::refreshWindow([] { throw std::runtime_error("drawing failed"); }),
        std::runtime_error);
    EXPECT_FALSE(HLNRefreshRequests::refreshPending());
    EXPECT_EQ(HLNRefreshRequests::lastRefreshDate(), now);
    // The lock was given back: a throttled request after 2.1 s goes through.
    now += 2100ms;
    HLNRefreshRequests::updateUIIfNeeded();
    EXPECT_TRUE(HLNRefreshRequests::refreshPending());
}

TEST_F(HLNRefreshRequestsTest, RequestDuringARefreshIsStillDelivered) {
    Window w;
    bool first = true;
    w.body = [&] {
        if (!first)
            return;
        first = false;
        // The refresh lock is held here: another thread's request cannot
        // set the flag, but it still schedules the next refresh.
        std::thread([] { HLNRefreshRequests::updateUI(); }).join();
    };
    HLNRefreshRequests::updateUI();
    drainMainLoop();
    EXPECT_EQ(w.refreshes, 2);
    EXPECT_FALSE(HLNRefreshRequests::refreshPending());
}

TEST_F(HLNRefreshRequestsTest, RefreshesWaitForTheLastHoldThenArriveOnce) {
    Window w;
    {
        HLNRefreshRequests::Hold alert;
        {
            HLNRefreshRequests::Hold dragInsideIt;
            HLNRefreshRequests::updateUI();
            drainMainLoop();
            HLNRefreshRequests::updateUI();
            drainMainLoop();
        }
        drainMainLoop();
        EXPECT_EQ(w.refreshes, 0);
    }
    drainMainLoop();
    EXPECT_EQ(w.refreshes, 1);
    HLNRefreshRequests::updateUI(); // and nothing stays held afterwards
    drainMainLoop();
    EXPECT_EQ(w.refreshes, 2);
}
