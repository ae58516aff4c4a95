#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A tiny observer registry. Observers are identified by an opaque pointer
// (usually `this`) so they can remove every registration at once. Posting
// calls the observers synchronously on the posting thread, in the order
// they registered; an observer removed during a post is not called.
class TFNotificationCenter {
public:
    using Handler = std::function<void(const std::string& name)>;

    static TFNotificationCenter& defaultCenter();

    void addObserver(const void* observer, const std::string& name, Handler handler);
    void removeObserver(const void* observer);
    // Answers how many observers were called.
    size_t postNotificationName(const std::string& name);
    // Posts on the main thread once its event loop is idle.
    void postNotificationNameWhenIdle(const std::string& name);
    size_t observerCount(const std::string& name) const;

private:
    struct Entry {
        const void* observer;
        std::string name;
        std::shared_ptr<Handler> handler;
    };
    mutable std::mutex _lock; // leaf lock: never held while a handler runs
    std::vector<Entry> _entries;
};
