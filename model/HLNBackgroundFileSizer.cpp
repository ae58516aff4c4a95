#include "model/HLNBackgroundFileSizer.h"

#include "model/HLNFile.h"
#include "model/HLNFolderWalk.h"
#include "model/HLNListingStamps.h"
#include "model/HLNRefreshRequests.h"
#include "receipts/HLNPackageReceipt.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFProcess.h"
#include "toolkit/TFReadAhead.h"

#include <atomic>
#include <cstdio>
#include <exception>
#include <thread>

namespace {
std::mutex& classLock() {
    static std::mutex lock;
    return lock;
}
HLNBackgroundFileSizer* sharedInstance = nullptr; // under classLock; never destroyed
std::atomic<int> sizingTid{0};
std::atomic<bool> hasVisitHook{false};
std::atomic<bool> startsReceiptScan{true};
std::mutex currentLock; // leaf lock, only around currentNode()
// The node being visited. Never destroyed: the sizing thread still uses it
// while static objects are destroyed at exit.
Ref<HLNFile>& currentNode() {
    static auto* node = new Ref<HLNFile>;
    return *node;
}
std::mutex& visitHookLock() {
    static std::mutex lock;
    return lock;
}
std::function<void(const Ref<HLNFile>&)>& visitHook() { // never destroyed, as above
    static auto* hook = new std::function<void(const Ref<HLNFile>&)>;
    return *hook;
}
} // namespace

namespace {
// Nodes reach the sizing thread through this, without knowing of it.
[[maybe_unused]] const bool queueSet =
    (HLNFile::setSizingQueue(&HLNBackgroundFileSizer::sizeFile), true);
} // namespace

void HLNBackgroundFileSizer::startBackgroundThread() {
    // The sizing thread starts the receipt scan; it may not read
    // preferences itself.
    if (startsReceiptScan)
        HLNPackageReceipt::readPreferences();
    backgroundFileSizer();
}

void HLNBackgroundFileSizer::setStartsReceiptScan(bool starts) {
    startsReceiptScan = starts;
}

void HLNBackgroundFileSizer::sizeFile(const Ref<HLNFile>& file) {
    backgroundFileSizer()._sizeFile(file);
}

HLNBackgroundFileSizer& HLNBackgroundFileSizer::backgroundFileSizer() {
    std::scoped_lock lock(classLock());
    if (!sharedInstance) {
        sharedInstance = new HLNBackgroundFileSizer();
        HLNBackgroundFileSizer* sizer = sharedInstance;
        std::thread([sizer] { sizer->sizeFilesInSeparateThread(); }).detach();
    }
    return *sharedInstance;
}

void HLNBackgroundFileSizer::performOnSizingThread(std::function<void()> task) {
    HLNBackgroundFileSizer& sizer = backgroundFileSizer();
    {
        std::scoped_lock lock(sizer.filesAvailableLock);
        sizer.tasks.push_back(std::move(task));
        sizer.condition = 0;
    }
    sizer.filesAvailable.notify_one();
}

bool HLNBackgroundFileSizer::requestsWaiting() {
    HLNBackgroundFileSizer& sizer = backgroundFileSizer();
    std::scoped_lock lock(sizer.filesAvailableLock);
    return !sizer.requestedFiles.empty() || !sizer.tasks.empty();
}

int HLNBackgroundFileSizer::sizingThreadId() {
    return sizingTid.load();
}

void HLNBackgroundFileSizer::setVisitHookForTesting(std::function<void(const Ref<HLNFile>&)> hook) {
    std::scoped_lock lock(visitHookLock());
    hasVisitHook = static_cast<bool>(hook);
    visitHook() = std::move(hook);
}

Ref<HLNFile> HLNBackgroundFileSizer::currentFile() {
    std::scoped_lock lock(currentLock);
    return currentNode();
}

bool HLNBackgroundFileSizer::isIdle() {
    HLNBackgroundFileSizer* sizer;
    {
        std::scoped_lock lock(classLock());
        sizer = sharedInstance;
    }
    if (!sizer)
        return true;
    std::scoped_lock lock(sizer->filesAvailableLock);
    return sizer->waiting && sizer->condition == 1 && sizer->requestedFiles.empty() &&
           sizer->tasks.empty();
}

void HLNBackgroundFileSizer::_sizeFile(const Ref<HLNFile>& file) {
    {
        std::scoped_lock lock(filesAvailableLock);
        requestedFiles.push_back(file);
        condition = 0;
    }
    filesAvailable.notify_one();
}

void HLNBackgroundFileSizer::sizeFilesInSeparateThread() {
    sizingTid.store(static_cast<int>(TFProcess::threadNumber()));
    // Starts the one receipt scan, so that packaged files are known early.
    try {
        if (startsReceiptScan)
            HLNPackageReceipt::allPackages();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hollin: package receipts: %s\n", e.what());
    }
    std::vector<Ref<HLNFile>> stack;
    // Its own walk, passed to every node it reads: the one that takes the
    // workers' reads and holds back the bytes its folders count.
    HLNFolderWalk walk(HLNFolderWalk::Owner::sizingThread);
    for (;;) {
        // A failure escaping a pass is reported and the thread goes on: a
        // dead sizing thread would leave every window frozen.
        try {
            _pass(stack, walk);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "hollin: sizing: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "hollin: sizing: unknown failure\n");
        }
    }
}

void HLNBackgroundFileSizer::_pass(std::vector<Ref<HLNFile>>& stack, HLNFolderWalk& walk) {
    std::vector<std::function<void()>> due;
    {
        std::unique_lock lock(filesAvailableLock);
        for (;;) {
            waiting = true;
            filesAvailable.wait(lock, [this] { return condition == 0; });
            waiting = false;
            // Newest request on top.
            for (Ref<HLNFile>& f : requestedFiles)
                stack.push_back(std::move(f));
            requestedFiles.clear();
            due.swap(tasks);
            if (!stack.empty() || !due.empty())
                break;
            // Out of work: the tree may have changed while it was read. What
            // was listed is checked before the work is called done, without
            // this lock (the check takes the tree lock).
            lock.unlock();
            const bool changed = HLNListingStamps::recheck(stack);
            lock.lock();
            if (!stack.empty())
                break;
            if (changed || !requestedFiles.empty())
                continue;
            condition = 1;
            lock.unlock();
            HLNFile::_closeSizingFolders(walk);
            TFReadAhead::stop();
            {
                std::scoped_lock c(currentLock);
                currentNode() = nullptr;
            }
            HLNRefreshRequests::updateUI();
            lock.lock();
        }
    }
    HLNRefreshRequests::updateUIIfNeeded();
    HLNListingStamps::workBegins(stack);
    if (!due.empty()) {
        for (std::function<void()>& task : due)
            task();
        return;
    }
    Ref<HLNFile> node = std::move(stack.back());
    stack.pop_back();
    if (node->isDirectory(walk)) {
        std::scoped_lock c(currentLock);
        currentNode() = node;
    }
    if (hasVisitHook) {
        std::function<void(const Ref<HLNFile>&)> hook;
        {
            std::scoped_lock lock(visitHookLock());
            hook = visitHook();
        }
        if (hook)
            hook(node);
    }
    node->_refreshSizeIfNeeded(walk);
    if (node->isDirectory(walk))
        node->appendUnfinishedChildren(stack, walk);
}
