#include "toolkit/TFController.h"

#include <algorithm>

TFController& TFController::sharedController() {
    static TFController controller;
    return controller;
}

void TFController::didInitialize() {
    _initialized = true;
}

void TFController::startedRunning() {
    _running = true;
}

TFController::TerminateReply TFController::requestTermination() {
    if (_terminating)
        return TerminateNow;
    bool later = false;
    // A copy: a handler may register or remove handlers while it runs.
    auto handlers = _handlers;
    for (auto& [owner, handler] : handlers) {
        TerminateReply reply = handler();
        switch (reply) {
        case TerminateCancel:
            _terminationPending = false;
            return TerminateCancel;
        case TerminateLater:
            later = true;
            break;
        case TerminateNow:
            break;
        }
    }
    _terminationPending = later;
    return later ? TerminateLater : TerminateNow;
}

void TFController::replyToTerminationRequest(bool shouldTerminate) {
    if (!_terminationPending)
        return;
    _terminationPending = false;
    if (!shouldTerminate)
        return;
    willTerminate();
    if (_completion)
        _completion();
}

void TFController::willTerminate() {
    if (_terminating)
        return;
    _terminating = true;
    auto observers = _willTerminateObservers;
    for (auto& [owner, observer] : observers)
        observer();
}

void TFController::addTerminationHandler(const void* owner, TerminationHandler handler) {
    _handlers.emplace_back(owner, std::move(handler));
}

void TFController::addWillTerminateObserver(const void* owner, std::function<void()> observer) {
    _willTerminateObservers.emplace_back(owner, std::move(observer));
}

void TFController::removeOwner(const void* owner) {
    std::erase_if(_handlers, [&](const auto& entry) { return entry.first == owner; });
    std::erase_if(_willTerminateObservers, [&](const auto& entry) { return entry.first == owner; });
}

void TFController::setTerminationCompletion(std::function<void()> completion) {
    _completion = std::move(completion);
}

void TFController::reset() {
    *this = TFController();
}
