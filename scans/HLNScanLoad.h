#pragma once

#include "scans/HLNScanReader.h"
#include "scans/HLNScanTree.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A scan file read into a window's tree while the window shows it. Its head
// (metadata and the scanned folder) is read at once; the rest is parsed on a
// thread of its own, which hands the entries in batches to the sizing thread,
// the only one that links nodes into a shown tree (HLNScanTree). At most a
// few batches are in flight, never the whole file. The main thread hears
// once, when the reading ends; a damaged scan keeps what was read before.
//
// Locks: _lock only around the batch queue and the flags below it, never
// with the tree lock or the sizer's.
class HLNScanLoad : public std::enable_shared_from_this<HLNScanLoad> {
public:
    // Ended: on the main thread, "" when the whole scan was read, else what
    // is wrong with it ("not a scan file: <what> at byte <N>").
    using Ended = std::function<void(const std::string& problem)>;
    struct Opening {
        HLNScanReader::Scan scan;          // the root, to be shown at once
        std::shared_ptr<HLNScanLoad> load; // null: read whole already
    };
    // Files this small are read whole here (in a few milliseconds).
    static constexpr uint64_t kReadHereBytes = 1 << 20;
    // A null root, with *error, when there is nothing to show: the file
    // cannot be read, or its head is damaged (or a small file, at all).
    static Opening open(const std::string& path, std::string* error);
    // Main thread: what to call when the reading ends.
    void onEnded(Ended ended) { _ended = std::move(ended); }

    // Main thread, when the window goes: the reading stops, and ended is
    // not called. False when it had ended: the tree is the caller's to
    // release; true: it is released once the reading has stopped.
    bool cancel();
    // Entries read so far (any thread).
    uint64_t entriesRead() const { return _entries.load(std::memory_order_relaxed); }

    ~HLNScanLoad();

private:
    // One of the reader's events, to be given to the tree as it came.
    struct Record {
        enum Kind : uint8_t { entry, entering, leaving, unread } kind;
        bool enterable = false;
        uint64_t at = 0; // where it is in the file, for the tree's failures
        std::string name;
        TFTreeSink::Examination examination;
    };
    // Batches go back to the reading thread once applied, and are filled
    // again in place: no allocation, no fresh pages, for each one.
    struct Batch {
        std::vector<Record> records; // the first used ones hold this batch's
        size_t used = 0;
        bool last = false;   // the scan's end, or where it went wrong
        std::string problem; // what went wrong, at its end
    };
    class BatchSink;
    struct Stopped {};

    HLNScanLoad() = default;
    void _start();
    void _read(); // on the reading thread
    // Queues a batch, waiting while the queue is full; throws Stopped.
    void _hand(Batch&& batch);
    // An applied batch to fill again, or a new one.
    Batch _spareBatch();
    void _postDrain(std::unique_lock<std::mutex>& held);
    void _drain();                     // on the sizing thread
    void _apply(const Record& record); // to the tree, on the sizing thread
    // On the sizing thread: the tree ends (finished or cut short).
    void _end(const std::string& problem);

    std::shared_ptr<HLNScanReader::Parser> _parser; // the reading thread's
    std::unique_ptr<HLNScanTree> _tree;             // the sizing thread's
    std::vector<TFTreeSink::Folder> _folders;       // its open ones (the sizing thread's)
    std::chrono::steady_clock::time_point _nextShown;
    Ended _ended; // the main thread's
    std::atomic<uint64_t> _entries{0};

    std::mutex _lock;
    std::condition_variable _room;   // a batch was taken, or the reading stops
    std::condition_variable _filled; // a batch was queued
    std::deque<Batch> _queue;
    std::vector<Batch> _spare;
    bool _drainPosted = false; // a drain is queued on the sizing thread or runs
    bool _stopped = false;     // cancelled, or the tree refused the scan
    bool _done = false;        // the tree has ended
};
