#pragma once

#include <atomic>
#include <functional>

// Calls onto the Qt main event loop, from any thread.
namespace TFMainThread {

// Runs the call on the main thread later, behind the events already waiting.
// Does nothing, and says false, when no QCoreApplication exists.
bool perform(std::function<void()> call);

// As perform(), but not queued a second time while an earlier call made
// with the same pending flag has not yet run. The flag is cleared just
// before the call runs, so a request made during the call queues anew.
void performOnce(std::atomic<bool>& pending, std::function<void()> call);

// Runs the call after every event already queued on the main loop has been
// handled (the idle point of the loop). False as perform().
bool performWhenIdle(std::function<void()> call);

bool isMainThread();

} // namespace TFMainThread
