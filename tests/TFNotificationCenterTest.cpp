#include "toolkit/TFNotificationCenter.h"
#include "toolkit/TFMainThread.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

TEST(TFNotificationCenter, ObserversRunInRegistrationOrderByName) {
    TFNotificationCenter center;
    std::vector<std::string> calls;
    int a = 0, b = 0, c = 0;
    center.addObserver(&a, "refresh", [&](const std::string& n) { calls.push_back("a:" + n); });
    center.addObserver(&b, "other", [&](const std::string& n) { calls.push_back("b:" + n); });
    center.addObserver(&c, "refresh", [&](const std::string& n) { calls.push_back("c:" + n); });
    EXPECT_EQ(center.observerCount("refresh"), 2u);
    EXPECT_EQ(center.postNotificationName("refresh"), 2u);
    EXPECT_EQ(calls, (std::vector<std::string>{"a:refresh", "c:refresh"}));
    EXPECT_EQ(center.postNotificationName("nobody"), 0u);
}

TEST(TFNotificationCenter, RemovalTakesEveryRegistrationAndHoldsDuringAPost) {
    TFNotificationCenter center;
    int first = 0, second = 0, late = 0;
    int secondCalls = 0, lateCalls = 0;
    center.addObserver(&first, "n", [&](const std::string&) {
        center.removeObserver(&second); // removed before its turn: not called
        center.addObserver(&late, "n", [&](const std::string&) { ++lateCalls; });
    });
    center.addObserver(&second, "n", [&](const std::string&) { ++secondCalls; });
    center.addObserver(&second, "m", [&](const std::string&) { ++secondCalls; });
    EXPECT_EQ(center.postNotificationName("n"), 1u);
    EXPECT_EQ(secondCalls, 0);
    EXPECT_EQ(lateCalls, 0); // added during the post: from the next one on
    EXPECT_EQ(center.postNotificationName("m"), 0u);
    center.removeObserver(&first);
    EXPECT_EQ(center.postNotificationName("n"), 1u);
    EXPECT_EQ(lateCalls, 1);
}

TEST(TFNotificationCenter, ObserverMayRemoveItselfWhileRunning) {
    TFNotificationCenter center;
    int self = 0;
    int calls = 0;
    center.addObserver(&self, "n", [&](const std::string&) {
        ++calls;
        center.removeObserver(&self); // destroys the registration that is running
    });
    EXPECT_EQ(center.postNotificationName("n"), 1u);
    EXPECT_EQ(center.postNotificationName("n"), 0u);
    EXPECT_EQ(calls, 1);
}

TEST(TFNotificationCenter, WhenIdlePostsOnTheMainThreadLater) {
    TFNotificationCenter center;
    int o = 0;
    int calls = 0;
    bool onMain = false;
    center.addObserver(&o, "n", [&](const std::string&) {
        ++calls;
        onMain = TFMainThread::isMainThread();
    });
    std::thread([&] { center.postNotificationNameWhenIdle("n"); }).join();
    EXPECT_EQ(calls, 0);
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(onMain);
}
