#pragma once

#include <functional>
#include <string>
#include <vector>

// The application's lifecycle as the toolkit sees it: when it finished
// initialising, when it started running, and whether it may terminate.
// Main thread only.
class TFController {
public:
    // Values as the application's termination reply expects them.
    enum TerminateReply { TerminateCancel = 0, TerminateNow = 1, TerminateLater = 2 };
    // A part of the program that may hold termination up (unsaved work, a
    // question to the user). Answering Later obliges it to call
    // replyToTerminationRequest() once it has decided.
    using TerminationHandler = std::function<TerminateReply()>;

    static TFController& sharedController();

    void didInitialize();
    void startedRunning();
    bool hasInitialized() const { return _initialized; }
    bool isRunning() const { return _running; }

    // Asks every handler in registration order. The first Cancel answers
    // Cancel at once; otherwise any Later answers Later; otherwise Now.
    TerminateReply requestTermination();
    // Ends a termination that was answered Later: true goes on to
    // willTerminate() and the completion, false takes the request back.
    void replyToTerminationRequest(bool shouldTerminate);
    bool terminationPending() const { return _terminationPending; }
    // Runs the will-terminate observers once; later calls do nothing.
    void willTerminate();
    bool isTerminating() const { return _terminating; }

    // Keyed by owner so an owner can take its registrations back.
    void addTerminationHandler(const void* owner, TerminationHandler handler);
    void addWillTerminateObserver(const void* owner, std::function<void()> observer);
    void removeOwner(const void* owner);
    // What quits the event loop after a Later that ended in termination.
    void setTerminationCompletion(std::function<void()> completion);

    // Back to the state at start; for tests.
    void reset();

private:
    bool _initialized = false;
    bool _running = false;
    bool _terminationPending = false;
    bool _terminating = false;
    std::vector<std::pair<const void*, TerminationHandler>> _handlers;
    std::vector<std::pair<const void*, std::function<void()>>> _willTerminateObservers;
    std::function<void()> _completion;
};
