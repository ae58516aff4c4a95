#pragma once

#include "history/HLNFolderFigures.h"
#include "history/HLNHistory.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class HLNHistory;

// Writes records on a thread of its own, one after another, so that a
// window that has just sized a tree never waits on the disk: the figures
// are taken on the caller's thread (under the tree lock, by
// HLNFolderFigures), the database is touched only here. A failing history
// is said once (see HLNHistory) and fails each save; nothing else notices.
//
// Locks: its own lock only around its queue, never held with the tree lock
// nor while saving or calling back.
class HLNHistoryRecorder {
public:
    // The process's recorder, on the user's history; lives until the end.
    static HLNHistoryRecorder& shared();

    explicit HLNHistoryRecorder(std::string databasePath,
                                size_t keepLast = HLNHistory::defaultKeepLast());
    // Saves what was asked for first.
    ~HLNHistoryRecorder();
    HLNHistoryRecorder(const HLNHistoryRecorder&) = delete;
    HLNHistoryRecorder& operator=(const HLNHistoryRecorder&) = delete;

    // Any thread; returns at once. done, if any, is called on the
    // recorder's thread once the record is written (true) or not (false).
    void record(HLNFolderFigures figures, std::function<void(bool saved)> done = {});
    // Returns once every record asked for so far has been dealt with.
    void waitUntilIdle();
    // What went wrong last; empty when nothing did.
    std::string lastProblem();

private:
    void _run();

    struct Job {
        HLNFolderFigures figures;
        std::function<void(bool)> done;
    };
    std::unique_ptr<HLNHistory> _history; // the thread's alone
    std::mutex _lock;                     // guards the fields below
    std::condition_variable _changed;
    std::deque<Job> _jobs;
    bool _busy = false, _stopping = false;
    std::string _problem;
    std::thread* _thread = nullptr;
};
