#pragma once

#include "model/HLNFile.h"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class QSocketNotifier;
class QTimer;
class TFFanotify;
class TFInotify;

// Follows the changes on disk under a sized tree and has the sizing thread
// re-read what changed (refreshSize, as Update does), so the totals stay
// what du says without anyone asking. With fanotify where the process may
// use it (one mark on the whole file system; folder handles are turned back
// into paths, so nothing is kept per folder), otherwise with one inotify
// watch per folder within a budget that leaves room for other programs:
// the folders shown first, then the largest; the rest are not followed.
//
// Re-reads are coalesced: at most one per node a second, a burst ends in
// re-reads of what it touched, a folder re-read covers what lies below it,
// and lost events re-read the whole tree once. Main thread only; it reads
// the tree and never changes it.
class HLNChangeFollower {
public:
    enum class Method { fanotify, inotify };
    // Starts following the tree under root, which has been sized whole.
    // HOLLIN_FOLLOW=inotify picks inotify even where fanotify could be used.
    HLNChangeFollower(Ref<HLNFile> root, std::string rootPath);
    ~HLNChangeFollower();
    HLNChangeFollower(const HLNChangeFollower&) = delete;
    HLNChangeFollower& operator=(const HLNChangeFollower&) = delete;

    Method method() const { return _fanotify ? Method::fanotify : Method::inotify; }
    // Folders of the tree that nothing follows (past the watch budget).
    uint64_t foldersNotFollowed() const { return _notFollowed; }
    uint64_t watches() const { return _wdOf.size(); }
    // Re-reads asked for so far.
    uint64_t rereads() const { return _rereads; }

    // The folders the window shows: watched before the others.
    void setShownFolders(const std::vector<Ref<HLNFile>>& folders);
    // The sizing thread is idle and the tree complete: watches what re-reads
    // made, drops the watches of folders gone, and re-reads folders whose
    // changes came while they were being read again.
    void treeSettled();
    // Called when the number of folders not followed changes.
    std::function<void()> onFollowingChanged;

private:
    void _readEvents();
    void _fanotifyEvent(uint64_t mask, std::string_view folder, std::string_view name);
    void _inotifyEvent(int wd, uint32_t mask, std::string_view name);
    enum class Change { contents, gone, added };
    void _touchEntry(const Ref<HLNFile>& folder, std::string_view name, Change change,
                     bool isFolderEvent);
    // The deepest node of the tree along path (null: not under the root);
    // whole: it is the path's own node, not a folder above it.
    Ref<HLNFile> _nodeForPath(const std::string& path, bool* whole) const;
    // listingOnly: new names in a folder, whose listing alone is read again.
    void _touch(const Ref<HLNFile>& node, bool listingOnly = false);
    void _overflow();
    void _flush();
    void _watchTree();

    Ref<HLNFile> _root;
    std::string _rootPath;
    std::string _realRoot; // as the kernel names it (no links): what handles resolve to
    dev_t _device = 0;
    std::unique_ptr<TFFanotify> _fanotify;
    std::unique_ptr<TFInotify> _inotify;
    std::unique_ptr<QSocketNotifier> _notifier;
    std::unique_ptr<QTimer> _timer;

    // fanotify: folder handles met since the last flush, and the last entry
    // resolved (writes come as runs of events on one file).
    struct Resolved {
        Ref<HLNFile> node;
        bool whole = false;
    };
    std::unordered_map<std::string, Resolved> _handles;
    std::string _lastEntryKey;
    Ref<HLNFile> _lastEntry;

    // inotify: the folder of each watch, the watch of each folder.
    // (By map, not by index: descriptors only grow while folders come and go.)
    std::unordered_map<int, Ref<HLNFile>> _byWd;
    std::unordered_map<const HLNFile*, int> _wdOf;
    std::vector<int> _changedWhileReread; // their folders were cut meanwhile
    std::unordered_set<const HLNFile*> _shown;
    uint64_t _budget = 0;
    bool _outOfWatches = false;
    uint64_t _notFollowed = 0;
    bool _watchWanted = true;
    bool _watchedOnce = false; // the tree as sized has been watched

    // The coalescer.
    std::vector<Ref<HLNFile>> _touched;
    std::unordered_set<const HLNFile*> _touchedSet;
    std::unordered_set<const HLNFile*> _listingOnly;         // of those touched
    std::unordered_map<const HLNFile*, int64_t> _lastReread; // ms, the last second only
    bool _overflowed = false;
    uint64_t _rereads = 0;
};
