#pragma once

#include <chrono>
#include <functional>
#include <optional>

inline constexpr const char* HLNRefreshUserInterfaceNotificationName =
    "HLNRefreshUserInterfaceNotificationName";

// How any thread asks every open browser window to redraw. Requests from the
// sizing thread are thinned to one per 2.0 seconds; every request becomes one
// notification posted on the main thread when its event loop is idle.
//
// Lock order: refreshLock, then the tree lock (a window's refresh reads
// nodes). updateUI and updateUIIfNeeded only ever try refreshLock, so the
// sizing thread never waits for drawing.
class HLNRefreshRequests {
public:
    using Clock = std::chrono::steady_clock;

    // Any thread: a refresh soon; merged with a request still waiting.
    static void updateUI();
    // Any thread: a refresh only when none is pending and the last one
    // finished more than 2.0 seconds ago.
    static void updateUIIfNeeded();
    // Main thread: queues the notification for the idle point of the loop.
    static void mainThreadUpdateUI();

    // A window's observer runs its own refresh through this wrapper: takes the
    // refresh lock, sets refreshPending, runs body, stamps lastRefreshDate and
    // clears refreshPending even if body throws, then rethrows.
    static void refreshWindow(const std::function<void()>& body);

    // Main thread: while a hold lives (a modal alert or a drag runs its own
    // event loop), refreshes wait, so that no column is re-sorted under an
    // open question or a drag in progress; when the last hold ends, one
    // refresh is delivered if any was asked for meanwhile.
    class Hold {
    public:
        Hold();
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
    };

    // Inspection and a replaceable clock, for tests.
    static bool refreshPending();
    static std::optional<Clock::time_point> lastRefreshDate(); // nullopt: the distant past
    static void setClockForTesting(std::function<Clock::time_point()> now); // null: the real clock
    static void resetForTesting();
};
