#pragma once

#include "model/HLNFile.h"
#include <cerrno>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// What a tree's files hold alone and what they share with copies or
// snapshots (FIEMAP's shared extents), for a window that shows it. The
// figures live in a side table of this object, keyed by folder node: the
// tree pays nothing for them, and they go when this object goes.
//
// A thread of its own reads the extents: a folder asked for is walked on
// disk (never across file systems), its path and its subfolders' nodes read
// under the tree lock for a moment each, FIEMAP outside it. A folder's entry
// holds its sums and the few of its files that share anything (a file that
// shares nothing is all exclusive, and needs no entry). Each entry keeps the
// folder's measures as they stood before its walk: a re-read changes them,
// and the entry is dropped and computed again when next asked for.
//
// On a file system that cannot share (not btrfs, XFS or bcachefs by its
// statfs type, and no shared extent in the first file with data) the walk
// stops at once and every byte is exclusive.
//
// Lock order: the table's lock is never held while the tree lock is taken,
// nor the other way round. figuresOf is for any thread but the sizing one.
class HLNSharedSpace {
public:
    struct Figures {
        uint64_t exclusive = 0; // held by no other file: freed if deleted, at least
        uint64_t shared = 0;    // held by copies or snapshots too
        // A folder's usage with each extent shared between its files once.
        uint64_t countedOnce = 0;
        // More shared extents than kExtentBound: countedOnce is an upper bound.
        bool approximate = false;
        // On btrfs: what the entry takes on disk once compressed (an extent
        // counted at the first file the walk meets holding it). Reading it
        // needs the administrator: compressedError is then EPERM; on other
        // file systems it is ENOTSUP and nothing is compressed.
        uint64_t compressed = 0;
        int compressedError = ENOTSUP;
    };
    // Distinct shared extents remembered in one walk, at most.
    static constexpr size_t kExtentBound = 1u << 20;
    // Tests: another bound for the walks started from now on.
    static void setExtentBoundForTesting(size_t bound);

    // computed: called on the computing thread whenever a folder's entry is
    // in (to refresh the window).
    HLNSharedSpace(Ref<HLNFile> root, std::function<void()> computed);
    // Stops the thread (at its next entry) and releases the table.
    ~HLNSharedSpace();
    HLNSharedSpace(const HLNSharedSpace&) = delete;
    HLNSharedSpace& operator=(const HLNSharedSpace&) = delete;

    // The figures of node, whose snapshot is now; false while they are not
    // known (the node still sizing, or not computed yet: then asked for).
    bool figuresOf(const Ref<HLNFile>& node, const HLNFile::Snapshot& now, Figures& out);
    // The walk found a file system that cannot share.
    bool cannotShare() const;
    // What the side table takes in memory, roughly (its entries and their files).
    size_t bytesUsed() const;
    // Folders walked so far (each walk counts its top once).
    uint64_t walks() const;

private:
    // A file that shares or is compressed (the others are all their own).
    struct FileShare {
        std::string name;
        uint64_t bytes = 0, shared = 0, compressed = 0;
    };
    struct Entry {
        Ref<HLNFile> node;
        HLNFile::Measures signature; // the folder's measures before its walk
        Figures figures;
        std::vector<FileShare> files; // by name, those that share
    };
    class Walk;

    // The entry of folder, fresh against its measures now; null when there
    // is none (it is then asked for). Under _lock.
    const Entry* _freshEntry(const Ref<HLNFile>& folder, const HLNFile::Measures& now,
                             std::vector<Entry>& dropped);
    void _ask(const Ref<HLNFile>& folder);
    void _run();
    void _compute(const Ref<HLNFile>& folder);

    Ref<HLNFile> _root;
    std::function<void()> _computed;
    mutable std::mutex _lock; // guards everything below
    std::condition_variable _wake;
    std::atomic<bool> _stop{false}; // read by the walk without the lock
    bool _cannotShare = false;
    bool _mayShare = false; // a shared extent was seen, or the type says so
    bool _probed = false;   // the file system has been judged
    uint64_t _walks = 0;
    std::unordered_map<const HLNFile*, Entry> _table;
    std::deque<Ref<HLNFile>> _asked;
    std::unordered_set<const HLNFile*> _askedSet;
    std::thread _thread; // last: started once the rest is made
};
