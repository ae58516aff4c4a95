#pragma once

#include "toolkit/TFObject.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

class HLNFile;
class HLNFolderWalk;

// The one thread that sizes every tree, depth-first with a work stack; the
// newest request is served next. Lives until the program ends. The
// read-ahead workers (TFReadAhead) list and examine the folders below the
// ones it visits, and it turns each folder's finished read into nodes: it
// alone creates and changes nodes. A folder no worker has started it reads
// itself, so a selected folder never waits behind their backlog.
//
// Locks: the class lock only around creating the shared instance;
// filesAvailableLock only around moving requests and tasks, never held with the tree
// lock nor while asking for a refresh.
class HLNBackgroundFileSizer {
public:
    // From the main thread, which reads what the thread's first act needs
    // of the preferences; a thread started by a first request without it
    // scans receipts with the preferences' defaults.
    static void startBackgroundThread();
    // Before the thread starts: whether its first act starts the package
    // receipt scan (on by default; a headless report has no use for it).
    static void setStartsReceiptScan(bool starts);
    // Any thread; returns at once. The node is visited after the one the
    // thread is on, ahead of everything already waiting.
    static void sizeFile(const Ref<HLNFile>& file);
    static HLNBackgroundFileSizer& backgroundFileSizer();
    // Any thread; returns at once. The sizing thread runs the task next,
    // before the nodes waiting (a scan's entries are linked in so).
    static void performOnSizingThread(std::function<void()> task);
    // Whether a request or a task waits (for a long task to make way).
    static bool requestsWaiting();

    // For tests and the report: true while the thread waits with no work.
    static bool isIdle();
    // The sizing thread's kernel thread id (0 before it started).
    static int sizingThreadId();
    // The node the thread is visiting now (null when idle), for progress.
    static Ref<HLNFile> currentFile();
    // Tests: called on the sizing thread with each node it takes, before
    // the node is re-read and visited; it may block or throw. Null removes it.
    static void setVisitHookForTesting(std::function<void(const Ref<HLNFile>&)> hook);

private:
    HLNBackgroundFileSizer() = default;
    void _sizeFile(const Ref<HLNFile>& file);
    void sizeFilesInSeparateThread();
    void _pass(std::vector<Ref<HLNFile>>& stack, HLNFolderWalk& walk);

    std::mutex filesAvailableLock;          // guards the four fields below
    std::condition_variable filesAvailable; // signalled when the condition becomes 0
    int condition = 1;                      // 0: there may be work; 1: none
    bool waiting = false;                   // the thread waits for condition 0
    std::vector<Ref<HLNFile>> requestedFiles;
    std::vector<std::function<void()>> tasks;
};
