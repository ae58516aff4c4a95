#include "toolkit/TFMainThread.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

// Calls waiting for the main thread, in the order they were posted. A
// background thread never calls into Qt: it queues under our own mutex and
// wakes the main thread by writing to an eventfd, a plain system call that
// thread checkers understand. Qt's own queues hand events over under locks
// those checkers cannot see (Qt is not built with them), so what a call
// captured would look unsynchronised between the two threads.
struct Waiting {
    std::mutex lock;
    std::deque<std::function<void()>> calls; // under lock
    // Whether an application is up and not yet going (under lock): posting
    // stops in the application's destructor, before anything is torn down,
    // because background threads outlive it.
    bool accepting = false;
    int wakeDescriptor = -1; // set once, never closed: threads may post until exit
    std::atomic<std::thread::id> mainThread{}; // while accepting; read without the lock
};
Waiting& waiting() {
    static auto* w = new Waiting; // never destroyed, as above
    return *w;
}

// Owned by the main thread, alive while the application is.
QSocketNotifier* wakeNotifier = nullptr;

void wake(Waiting& w) { // under w.lock
    const uint64_t one = 1;
    while (write(w.wakeDescriptor, &one, sizeof one) < 0 && errno == EINTR) {
    }
    // EAGAIN means the counter is already huge: the main thread is woken anyway.
}

// Runs what was waiting when the wake arrived. One call is taken at a time,
// so a call that runs a nested event loop (an alert) leaves the rest to be
// run there, still in order; calls posted meanwhile wake the thread again.
void runWaitingCalls() {
    Waiting& w = waiting();
    uint64_t count;
    while (read(w.wakeDescriptor, &count, sizeof count) < 0 && errno == EINTR) {
    }
    size_t budget;
    {
        std::scoped_lock lock(w.lock);
        budget = w.calls.size();
    }
    for (; budget > 0; --budget) {
        std::function<void()> call;
        {
            std::scoped_lock lock(w.lock);
            if (w.calls.empty())
                return;
            call = std::move(w.calls.front());
            w.calls.pop_front();
        }
        call();
    }
}

void stopPosting() {
    Waiting& w = waiting();
    std::deque<std::function<void()>> unrun;
    {
        std::scoped_lock lock(w.lock);
        w.accepting = false;
        w.mainThread = std::thread::id();
        unrun.swap(w.calls);
    }
    delete wakeNotifier;
    wakeNotifier = nullptr;
    // The calls are dropped here, on the main thread, outside the lock: what
    // they captured may post again, which is now refused.
}

// Runs in every QCoreApplication's constructor, on the main thread.
void startPosting() {
    Waiting& w = waiting();
    std::deque<std::function<void()>> stale; // posted to an earlier application
    {
        std::scoped_lock lock(w.lock);
        if (w.wakeDescriptor < 0)
            w.wakeDescriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (w.wakeDescriptor < 0)
            return; // no descriptors left: calls are refused
        w.mainThread = std::this_thread::get_id();
        stale.swap(w.calls);
        w.accepting = true;
    }
    wakeNotifier = new QSocketNotifier(w.wakeDescriptor, QSocketNotifier::Read);
    QObject::connect(wakeNotifier, &QSocketNotifier::activated, [] { runWaitingCalls(); });
    qAddPostRoutine(stopPosting); // run first thing in the application's destructor
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startPosting)

namespace TFMainThread {

bool perform(std::function<void()> call) {
    Waiting& w = waiting();
    std::scoped_lock lock(w.lock);
    if (!w.accepting)
        return false;
    w.calls.push_back(std::move(call));
    wake(w);
    return true;
}

void performOnce(std::atomic<bool>& pending, std::function<void()> call) {
    // Without an event loop nothing would ever clear the flag again.
    {
        Waiting& w = waiting();
        std::scoped_lock lock(w.lock);
        if (!w.accepting)
            return;
    }
    if (pending.exchange(true))
        return;
    perform([&pending, call = std::move(call)] {
        pending.store(false);
        call();
    });
}

bool performWhenIdle(std::function<void()> call) {
    // A zero timer fires only once the events ahead of it are handled.
    return perform(
        [call = std::move(call)] { QTimer::singleShot(0, QCoreApplication::instance(), call); });
}

bool isMainThread() {
    // Asked often (under the tree lock too), so no lock: the id is only
    // set while an application accepts calls.
    return std::this_thread::get_id() == waiting().mainThread.load();
}

} // namespace TFMainThread
