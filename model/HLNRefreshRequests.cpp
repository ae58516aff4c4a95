#include "model/HLNRefreshRequests.h"

#include "toolkit/TFMainThread.h"
#include "toolkit/TFNotificationCenter.h"

#include <atomic>
#include <exception>
#include <mutex>

namespace {

struct RefreshState {
    std::mutex refreshLock; // guards the two fields below; taken before the tree lock
    bool refreshPending = false;
    std::optional<HLNRefreshRequests::Clock::time_point> lastRefreshDate;
    std::atomic<bool> mainThreadCallPending{false};
    int holds = 0;                  // main thread only
    bool heldRequest = false;       // main thread only: a refresh waits for the holds
    bool idleRefreshQueued = false; // main thread only
    std::mutex clockLock;           // leaf lock, only around the clock itself
    std::function<HLNRefreshRequests::Clock::time_point()> clock;
};

RefreshState& state() {
    static RefreshState s;
    return s;
}

HLNRefreshRequests::Clock::time_point now() {
    RefreshState& s = state();
    std::scoped_lock lock(s.clockLock);
    return s.clock ? s.clock() : HLNRefreshRequests::Clock::now();
}

constexpr auto kThrottle = std::chrono::milliseconds(2000);

} // namespace

void HLNRefreshRequests::updateUI() {
    RefreshState& s = state();
    if (s.refreshLock.try_lock()) {
        s.refreshPending = true;
        s.refreshLock.unlock();
    }
    TFMainThread::performOnce(s.mainThreadCallPending, [] { mainThreadUpdateUI(); });
}

void HLNRefreshRequests::updateUIIfNeeded() {
    RefreshState& s = state();
    if (!s.refreshLock.try_lock())
        return;
    bool due = !s.refreshPending && (!s.lastRefreshDate || now() - *s.lastRefreshDate > kThrottle);
    s.refreshLock.unlock();
    if (due)
        updateUI();
}

void HLNRefreshRequests::mainThreadUpdateUI() {
    // A refresh already queued shows what this one would: on a huge
    // folder two in a row would hold the loop for twice as long.
    if (state().idleRefreshQueued)
        return;
    state().idleRefreshQueued = TFMainThread::performWhenIdle([] {
        RefreshState& s = state();
        s.idleRefreshQueued = false;
        if (s.holds > 0) {
            s.heldRequest = true;
            return;
        }
        size_t windows = TFNotificationCenter::defaultCenter().postNotificationName(
            HLNRefreshUserInterfaceNotificationName);
        if (windows == 0) {
            // Nobody refreshed: clear the request, or throttled requests
            // would be refused for good; and stamp it as a refresh, so a
            // windowless sizing run is not woken for every entry it visits.
            std::scoped_lock lock(s.refreshLock);
            s.refreshPending = false;
            s.lastRefreshDate = now();
        }
    });
}

HLNRefreshRequests::Hold::Hold() {
    ++state().holds;
}

HLNRefreshRequests::Hold::~Hold() {
    RefreshState& s = state();
    if (--s.holds > 0 || !s.heldRequest)
        return;
    s.heldRequest = false;
    mainThreadUpdateUI();
}

void HLNRefreshRequests::refreshWindow(const std::function<void()>& body) {
    RefreshState& s = state();
    std::exception_ptr failure;
    {
        std::scoped_lock lock(s.refreshLock);
        s.refreshPending = true;
        try {
            body();
        } catch (...) {
            failure = std::current_exception();
        }
        s.lastRefreshDate = now();
        s.refreshPending = false;
    }
    if (failure)
        std::rethrow_exception(failure);
}

bool HLNRefreshRequests::refreshPending() {
    RefreshState& s = state();
    std::scoped_lock lock(s.refreshLock);
    return s.refreshPending;
}

std::optional<HLNRefreshRequests::Clock::time_point> HLNRefreshRequests::lastRefreshDate() {
    RefreshState& s = state();
    std::scoped_lock lock(s.refreshLock);
    return s.lastRefreshDate;
}

void HLNRefreshRequests::setClockForTesting(std::function<Clock::time_point()> clock) {
    RefreshState& s = state();
    std::scoped_lock lock(s.clockLock);
    s.clock = std::move(clock);
}

void HLNRefreshRequests::resetForTesting() {
    RefreshState& s = state();
    std::scoped_lock lock(s.refreshLock);
    s.refreshPending = false;
    s.lastRefreshDate.reset();
    s.heldRequest = false;
    s.idleRefreshQueued = false;
}
