#include "toolkit/TFMainThread.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <deque>
#include <mutex>

namespace {

// Calls waiting for the main thread. They pass through this queue under our
// own mutex rather than inside Qt's queued event: Qt hands the event over
// under its own locks, which thread checkers cannot see, so what a call
// captured would look unsynchronised between the two threads. Each queued
// event runs the oldest waiting call, so the order is the order of posting.
std::mutex& waitingLock() {
    static std::mutex lock;
    return lock;
}
std::deque<std::function<void()>>& waitingCalls() { // under waitingLock
    static auto* calls = new std::deque<std::function<void()>>; // never destroyed: threads post until exit
    return *calls;
}
// The application calls are posted to, and whether it has begun to go
// (under waitingLock). Its destruction first waits for a post in progress,
// then no other thread posts to it: background threads outlive it.
QCoreApplication* postingTo = nullptr;
bool applicationGoing = false;

void stopPosting() {
    std::scoped_lock lock(waitingLock());
    applicationGoing = true;
}

void runOldestWaitingCall() {
    std::function<void()> call;
    {
        std::scoped_lock lock(waitingLock());
        if (waitingCalls().empty()) return;
        call = std::move(waitingCalls().front());
        waitingCalls().pop_front();
    }
    call();
}

} // namespace

namespace TFMainThread {

void perform(std::function<void()> call) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    std::scoped_lock lock(waitingLock());
    if (postingTo != app) {
        postingTo = app;
        applicationGoing = false;
        qAddPostRoutine(stopPosting); // run first thing in the application's destructor
    }
    if (applicationGoing) return;
    waitingCalls().push_back(std::move(call));
    QMetaObject::invokeMethod(app, [] { runOldestWaitingCall(); }, Qt::QueuedConnection);
}

void performOnce(std::atomic<bool>& pending, std::function<void()> call) {
    // Without an event loop nothing would ever clear the flag again.
    if (!QCoreApplication::instance()) return;
    if (pending.exchange(true)) return;
    perform([&pending, call = std::move(call)] {
        pending.store(false);
        call();
    });
}

void performWhenIdle(std::function<void()> call) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    // A zero timer fires only once the posted events ahead of it are handled.
    perform([call = std::move(call)] { QTimer::singleShot(0, QCoreApplication::instance(), call); });
}

bool isMainThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace TFMainThread
