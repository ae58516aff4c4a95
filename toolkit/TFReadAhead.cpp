#include "toolkit/TFReadAhead.h"

#include "toolkit/TFDirectory.h"
#include "toolkit/TFString.h"
#include "toolkit/TFTreeWalker.h"

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string_view>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

// Enough reads in flight to keep a disk's queue busy; the workers mostly
// wait, so there are more of them than processors.
constexpr int kWorkers = 8;

// Folders waiting to be read; each keeps its parent open, so the oldest
// (the sizing thread's last) give way beyond this.
constexpr size_t kPendingBudget = 256;

// A walk gives up when fewer than this many of the last 64 folders it read
// made it wait for the disk: the rest of the tree is most likely cached too.
constexpr int kWaitsOfLast64ToGoOn = 8;

uint64_t blocksReadByThisThread() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return static_cast<uint64_t>(usage.ru_inblock);
}

struct Item {
    std::shared_ptr<const TFDirectory> parent; // a root: the root itself, named "."
    std::string name;
    TFDirectory::Examination ex; // the folder as its parent's read saw it
};

struct Walk {
    std::mutex lock; // leaf lock: nothing is called while it is held
    std::condition_variable work;
    std::condition_variable idle;
    std::vector<Item> stack;       // the next folder to read on top
    uint64_t generation = 0;       // a stop drops the older items
    uint64_t waits = ~uint64_t(0); // one bit a folder, the last read lowest: it waited
    int busy = 0;
    uint64_t listed = 0;
    bool started = false;
};

Walk& walk() {
    static auto* w = new Walk; // never destroyed: the workers outlive exit
    return *w;
}

void readFolder(Walk& w, Item item, uint64_t generation) {
    TFDirectory dir = TFTreeWalker::openChecked(*item.parent, item.name.c_str(), item.ex);
    if (!dir.isOpen())
        return;
    TFTreeWalker::Listing listing;
    TFTreeWalker::list(dir, item.ex, listing);
    TFTreeWalker::examineAll(dir, listing);
    std::vector<std::pair<std::string_view, size_t>> folders;
    for (size_t i = 0; i < listing.size(); ++i) {
        const TFDirectory::Examination& e = listing.entries[i];
        if (e.isDirectory() && e.device == item.ex.device)
            folders.emplace_back(listing.name(i), i);
    }
    // The sizing thread visits a folder's last name first.
    std::sort(folders.begin(), folders.end(), [](const auto& a, const auto& b) {
        return TFString::compareNames(a.first, b.first) < 0;
    });
    auto shared = std::make_shared<const TFDirectory>(std::move(dir));
    std::vector<Item> dropped; // closed outside the lock
    std::scoped_lock lock(w.lock);
    ++w.listed;
    if (generation != w.generation)
        return;
    for (const auto& [name, i] : folders)
        w.stack.push_back({shared, std::string(name), listing.entries[i]});
    if (w.stack.size() > kPendingBudget) {
        auto excess = w.stack.begin() + std::ptrdiff_t(w.stack.size() - kPendingBudget);
        dropped.assign(std::make_move_iterator(w.stack.begin()), std::make_move_iterator(excess));
        w.stack.erase(w.stack.begin(), excess);
    }
    if (!folders.empty())
        w.work.notify_all();
}

void work(Walk& w) {
    std::unique_lock lock(w.lock);
    for (;;) {
        w.work.wait(lock, [&] { return !w.stack.empty(); });
        Item item = std::move(w.stack.back());
        w.stack.pop_back();
        uint64_t generation = w.generation;
        ++w.busy;
        lock.unlock();
        TFReadAhead::hasWaitedForDisk(); // counts from here
        readFolder(w, std::move(item), generation);
        const bool waited = TFReadAhead::hasWaitedForDisk();
        std::vector<Item> dropped; // closed outside the lock
        lock.lock();
        w.waits = (w.waits << 1) | uint64_t(waited);
        if (std::popcount(w.waits) < kWaitsOfLast64ToGoOn && generation == w.generation) {
            ++w.generation;
            dropped.swap(w.stack);
        }
        if (--w.busy == 0 && w.stack.empty())
            w.idle.notify_all();
        if (!dropped.empty()) {
            lock.unlock();
            dropped.clear();
            lock.lock();
        }
    }
}

} // namespace

void TFReadAhead::readAheadOf(const std::vector<std::string>& paths) {
    // Opened here, where a relative path means what the caller means by it:
    // the workers never use a path (the sizing thread, which starts them,
    // moves its working folder).
    std::vector<Item> roots;
    for (const std::string& path : paths) {
        auto dir = std::make_shared<const TFDirectory>(TFDirectory::openPath(path));
        TFDirectory::Examination root = dir->examine(".");
        if (root.isDirectory())
            roots.push_back({std::move(dir), ".", root});
    }
    if (roots.empty())
        return;
    Walk& w = walk();
    {
        std::scoped_lock lock(w.lock);
        if (!w.started) {
            w.started = true;
            for (int i = 0; i < kWorkers; ++i)
                std::thread([&w] { work(w); }).detach();
        }
        w.waits = ~uint64_t(0);
        for (Item& root : roots)
            w.stack.push_back(std::move(root));
    }
    w.work.notify_all();
}

void TFReadAhead::stop() {
    Walk& w = walk();
    std::vector<Item> dropped; // closed outside the lock
    std::scoped_lock lock(w.lock);
    ++w.generation;
    dropped.swap(w.stack);
    if (w.busy == 0)
        w.idle.notify_all();
}

bool TFReadAhead::isIdle() {
    Walk& w = walk();
    std::scoped_lock lock(w.lock);
    return w.busy == 0 && w.stack.empty();
}

bool TFReadAhead::hasWaitedForDisk() {
    thread_local uint64_t seen = 0;
    uint64_t now = blocksReadByThisThread();
    bool waited = now != seen;
    seen = now;
    return waited;
}

uint64_t TFReadAhead::waitUntilIdleForTesting() {
    Walk& w = walk();
    std::unique_lock lock(w.lock);
    w.idle.wait(lock, [&] { return w.busy == 0 && w.stack.empty(); });
    return w.listed;
}
