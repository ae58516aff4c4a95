#pragma once

#include "toolkit/TFObject.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

class HLNFile;

// The one thread that sizes every tree, depth-first with a work stack; the
// newest request is served next. Lives until the program ends. When it
// keeps waiting for the disk, the read-ahead workers (TFReadAhead) read the
// folders it visits next into the kernel's caches; they touch no node.
//
// Locks: the class lock only around creating the shared instance;
// filesAvailableLock only around moving requests, never held with the tree
// lock nor while asking for a refresh.
class HLNBackgroundFileSizer {
public:
    static void startBackgroundThread();
    // Before the thread starts: whether its first act starts the package
    // receipt scan (on by default; a headless report has no use for it).
    static void setStartsReceiptScan(bool starts);
    // Any thread; returns at once. The node is visited after the one the
    // thread is on, ahead of everything already waiting.
    static void sizeFile(const Ref<HLNFile>& file);
    static HLNBackgroundFileSizer& backgroundFileSizer();

    // True on the sizing thread itself.
    static bool isSizingThread();
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
    void _pass(std::vector<Ref<HLNFile>>& stack);
    // Hands the folders on top of the stack (the next visits) to the
    // read-ahead workers.
    static void _readAheadOfNextVisits(const std::vector<Ref<HLNFile>>& stack);

    std::mutex filesAvailableLock;          // guards the three fields below
    std::condition_variable filesAvailable; // signalled when the condition becomes 0
    int condition = 1;                      // 0: there may be work; 1: none
    bool waiting = false;                   // the thread waits for condition 0
    std::vector<Ref<HLNFile>> requestedFiles;

    // The sizing thread's own: folders visited since it last asked whether
    // it waited for the disk (the first visit asks), and how many answers
    // in a row were yes.
    static constexpr int kVisitsPerDiskCheck = 8;
    static constexpr size_t kReadAheadVisits = 64;
    int visitsSinceDiskCheck = kVisitsPerDiskCheck - 1;
    int diskChecksWaited = 0;
};
