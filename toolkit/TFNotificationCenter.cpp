#include "toolkit/TFNotificationCenter.h"

#include "toolkit/TFMainThread.h"

#include <algorithm>
#include <memory>

TFNotificationCenter& TFNotificationCenter::defaultCenter() {
    static TFNotificationCenter center;
    return center;
}

void TFNotificationCenter::addObserver(const void* observer, const std::string& name,
                                       Handler handler) {
    std::scoped_lock lock(_lock);
    _entries.push_back({observer, name, std::make_shared<Handler>(std::move(handler))});
}

void TFNotificationCenter::removeObserver(const void* observer) {
    std::scoped_lock lock(_lock);
    std::erase_if(_entries, [&](const Entry& e) { return e.observer == observer; });
}

size_t TFNotificationCenter::postNotificationName(const std::string& name) {
    std::vector<std::pair<const void*, std::shared_ptr<Handler>>> targets;
    {
        std::scoped_lock lock(_lock);
        for (const auto& e : _entries)
            if (e.name == name)
                targets.emplace_back(e.observer, e.handler);
    }
    size_t called = 0;
    for (auto& [observer, handler] : targets) {
        bool stillRegistered;
        {
            std::scoped_lock lock(_lock);
            stillRegistered = std::any_of(_entries.begin(), _entries.end(), [&](const Entry& e) {
                return e.observer == observer && e.handler == handler;
            });
        }
        if (!stillRegistered)
            continue;
        ++called;
        (*handler)(name);
    }
    return called;
}

void TFNotificationCenter::postNotificationNameWhenIdle(const std::string& name) {
    TFMainThread::performWhenIdle([this, name] { postNotificationName(name); });
}

size_t TFNotificationCenter::observerCount(const std::string& name) const {
    std::scoped_lock lock(_lock);
    return std::count_if(_entries.begin(), _entries.end(),
                         [&](const Entry& e) { return e.name == name; });
}
