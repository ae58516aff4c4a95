#pragma once

#include "drives/HLNDrive.h"
#include "toolkit/TFObject.h"
#include "toolkit/TFReadAhead.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

// One node of a browsed tree: a directory entry, its type, its entries and
// the bytes its subtree occupies so far. Shared between the main thread, the
// sizing thread and short-lived deletion and release threads; every operation
// takes the one recursive tree lock itself.
//
// Ownership: a node holds its parent and its children strongly, so a tree is
// freed only by an explicit release (invalidate). Everyone else holds a Ref
// for as long as they use a node.
//
// Memory (HLNNodeMemory): a node is 32 bytes with its name stored inline
// after them (no std::string per node); what only folders need lies just
// before a folder's node, so a file pays nothing for it. The nodes that one
// listing becomes share blocks (one allocation for many); a folder's
// entries are one List allocation (names before they become nodes, node
// references after). Beside the node, in units of their own: the walk the
// sizing thread reads with (HLNFolderWalk), the bytes it holds back
// (HLNPendingSizes), the listings kept for its last check
// (HLNListingStamps), the files of several names (HLNLinkedNames) and the
// order of entries (HLNChildOrder).
//
// Words used below:
// - trash(): delete from disk for good, the Destroy command. Move to Trash
//   is not the node's: HLNTrashMover moves entries to the user's Trash.
// - going: an entry being deleted or moved to the Trash (SizeStatus
//   goneOrGoing, with _beginTrashing) until it is gone and its folder
//   re-read; gone, or cut: taken out of its tree (invalidate, releaseNow).
// Threads and the tree lock, by group of operations:
// - reading (path, parent, snapshot, measures, children, the compares):
//   any thread; each takes the lock for itself, and childrenWithSnapshots
//   reads a folder in one hold of it.
// - asking (refreshSize, relistEntries, trash, invalidate): any thread; the
//   work is done by the sizing thread, or by a thread of its own.
// - building (appendUnfinishedChildren, _refreshSizeIfNeeded,
//   _closeSizingFolders): the sizing thread, with the walk it owns and
//   passes in; it alone links nodes made from the workers' reads. Other
//   readers may turn a folder's names into nodes when they ask for its
//   children first, on a walk of their own; a window (Asker::window) only
//   a small folder's. No operation asks which thread calls it.
// - a leading underscore and a TreeGuard parameter: the lock is held.
class HLNFolderWalk;
class HLNNodeMemory;
class TFDirectory;
class TFFolderStamp;

// How far a node's sizing has come. The numbers are those of the file-node
// contract and never change.
enum class SizeStatus : int {
    notStarted = 0,  // no entry below it has reported
    inProgress = 1,  // some entries have reported, not all have finished
    complete = 2,    // every entry has finished
    goneOrGoing = 3, // cut from its tree, or being deleted from disk
};

class HLNFile : public TFObject {
public:
    // An immutable, shared array: either entry names (internal, while a folder
    // has only been listed) or child nodes (what children() hands out).
    // Aligned for the node references stored right after the header.
    class alignas(alignof(void*)) List : public TFObject {
    public:
        uint32_t size() const { return _count; }
        bool empty() const { return _count == 0; }
        const Ref<HLNFile>& operator[](size_t i) const { return nodes()[i]; }
        const Ref<HLNFile>* begin() const { return nodes(); }
        const Ref<HLNFile>* end() const { return nodes() + _count; }

    private:
        friend class HLNFile;
        friend class Ref<List>;
        friend class Ref<const List>;
        struct Tail {};
        static void* operator new(size_t base, Tail, size_t extra) {
            return ::operator new(base + extra);
        }
        static void operator delete(void* p, Tail, size_t) { ::operator delete(p); }
        static void operator delete(void* p) { ::operator delete(p); }

        List(bool holdsNames) : _holdsNames(holdsNames) {}
        ~List();
        static Ref<List> makeNodes(size_t capacity);
        // nameOf(names[i]): NUL-terminated views into byteCount bytes in all.
        template <class Names, class NameOf>
        static Ref<List> makeNames(const Names& names, NameOf nameOf, size_t byteCount,
                                   uint32_t folders);

        Ref<HLNFile>* nodes() const {
            return reinterpret_cast<Ref<HLNFile>*>(const_cast<List*>(this) + 1);
        }
        const uint32_t* nameOffsets() const { return reinterpret_cast<const uint32_t*>(this + 1); }
        const char* nameAt(size_t i) const {
            return reinterpret_cast<const char*>(nameOffsets() + _count + 1) + nameOffsets()[i];
        }

        uint32_t _count = 0;
        bool _holdsNames;
        // Of a names list: how many the listing typed as folders. Of a nodes
        // list: a digest of its order and sizes when it was last found in
        // order, so that a sort with nothing changed is told at a glance.
        mutable std::atomic<uint32_t> _extra{0};
    };
    using ChildList = Ref<const List>;
    // The nodes of a list in another order (order: indexes into it), for a
    // window that lists them by a key of its own.
    static ChildList reorderedList(const ChildList& list, const std::vector<uint32_t>& order);

    // The tree lock, held for as long as the guard lives (or until unlock).
    // Helpers that need the lock held take the guard as their witness.
    // What was cut from a tree while it was held is dropped, and releases
    // asked for are started, only once it is released, so that freeing a
    // subtree never holds up the other threads.
    class TreeGuard {
    public:
        TreeGuard() : _lock(treeLock()) { _settleForReader(); }
        // The hold of one walk's reader: the sizing walk's keeps the bytes
        // its folders hold back for the folders above (HLNPendingSizes)
        // held back; any other settles them as a plain hold does.
        explicit TreeGuard(const HLNFolderWalk& walk);
        ~TreeGuard() { unlock(); }
        TreeGuard(const TreeGuard&) = delete;
        TreeGuard& operator=(const TreeGuard&) = delete;

        void unlock();
        void lock() {
            _lock.lock();
            _settleForReader();
        }
        void dropAfterUnlock(Ref<HLNFile> node);
        void dropAfterUnlock(Ref<List> list);
        // Sends invalidate to the node once the lock is released.
        void invalidateAfterUnlock(Ref<HLNFile> node);

    private:
        // Whoever takes the lock besides the sizing walk sees every size whole.
        void _settleForReader() {
            if (_sizesPending && !_holdsBack)
                _settlePendingSizes();
        }
        std::unique_lock<std::recursive_mutex> _lock;
        bool _holdsBack = false;
        // One of each in place: most holds drop one at most.
        Ref<HLNFile> _node;
        Ref<List> _list;
        std::vector<Ref<HLNFile>> _nodes;
        std::vector<Ref<List>> _lists;
        std::vector<Ref<HLNFile>> _toInvalidate;
    };

    // Who asks a node to read its folder, and so how much of the reading it
    // may do itself: a window's thread lists and converts no folder of more
    // than kWindowNames names, which would stall it; the sizing thread does
    // that work next and the window is refreshed when it is done.
    enum class Asker { anyThread, window };
    static constexpr size_t kWindowNames = 2000;

    // Null when the entry does not exist, or when the parent has been cut.
    static Ref<HLNFile> initWithParent(const Ref<HLNFile>& parent, std::string name,
                                       Asker asker = Asker::anyThread);

    // Raw bytes, never changes after creation (read without the lock).
    std::string name() const { return std::string(nameView()); }
    std::string_view nameView() const { return std::string_view(_nameBytes()); }
    // Empty string when the node has been cut from its tree.
    std::string path() const;
    Ref<HLNFile> parent() const;
    bool isDirectory() const;
    // The same for the walk's reader: the sizing walk's bytes held back stay so.
    bool isDirectory(const HLNFolderWalk& walk) const;
    bool isLink() const;

    // What a subtree holds as du counts it: each file once (unless every
    // name counts, see setCountsEachName), a volume mounted inside not at
    // all. Sizes and items add up; the newest modification is the latest
    // of them.
    struct Measures {
        uint64_t bytes = 0;               // allocated (st_blocks)
        uint64_t apparent = 0;            // st_size
        uint64_t items = 0;               // entries, itself included
        int64_t newest = kNoModification; // st_mtime, Unix seconds
        Measures& operator+=(const Measures& m) {
            bytes += m.bytes, apparent += m.apparent, items += m.items;
            newest = std::max(newest, m.newest);
            return *this;
        }
        bool operator==(const Measures&) const = default;
    };
    static constexpr int64_t kNoModification = INT64_MIN;
    // Which of the measures the windows show, order by and map: one choice
    // for the whole process (the View menu's, remembered).
    enum class Figure { diskUsage, apparentSize, items };
    static void setShownFigure(Figure figure);
    static Figure shownFigure();
    static uint64_t figureOf(const Measures& m, Figure figure) {
        return figure == Figure::items          ? m.items
               : figure == Figure::apparentSize ? m.apparent
                                                : m.bytes;
    }

    // What a cell shows of a node, read in one hold of the lock.
    struct Snapshot {
        uint64_t sizeSoFar = 0;
        // The same subtree's other figures (sizeSoFar is their bytes).
        Measures measures;
        // What the tree knows: a scan file may lack apparent sizes or dates.
        bool knowsApparent = true, knowsModification = true;
        SizeStatus sizeStatus = SizeStatus::notStarted;
        bool isDirectory = false;
        bool isLink = false;
        bool isExecutable = false; // a regular file with an execute bit
        // A file of several names (hard links): how many it has (st_nlink
        // when last read; 1 otherwise), and, for a name other than the one
        // that carries the file's bytes, those bytes (its sizeSoFar is 0).
        uint32_t nameCount = 1;
        bool countedAtAnotherName = false;
        uint64_t bytesCountedElsewhere = 0;
        // Of such a name: its file's measures, which it would count with
        // every name counting.
        Measures countedElsewhere;
    };
    Snapshot snapshot() const;
    // children(), and each child's snapshot and own modification time, read
    // in one hold of the lock (for walks over a whole tree).
    ChildList childrenWithSnapshots(std::vector<Snapshot>& snapshots,
                                    std::vector<int64_t>& ownModifications);

    // The child nodes, names turned into nodes on the first call. Null for
    // non-directories, empty folders and cut nodes, and while another thread
    // is turning this folder's names into nodes; when that conversion ends,
    // however it ends, the folder is handed back to the sizing thread if any
    // other asker asked, and a window refresh is asked for if a window did.
    // A window gets null for a folder of more than kWindowNames names: the
    // sizing thread does the work next and the window is refreshed when the
    // nodes are in (a folder so left unlisted counts 0 names and is not
    // started until then).
    ChildList children(Asker asker = Asker::anyThread);
    // The sizing thread's: with its walk, which takes the workers' reads.
    ChildList children(HLNFolderWalk& walk);
    // The sizing thread's step: appends the children not yet complete, last
    // first, read in one hold of the lock.
    void appendUnfinishedChildren(std::vector<Ref<HLNFile>>& out, HLNFolderWalk& walk);
    uint32_t childrenCount() const;
    // For following changes, without turning names into nodes: the child
    // node of that name, null unless the entries are nodes already; and the
    // child folders (links are no folders) with their sizes so far.
    Ref<HLNFile> existingChildNamed(std::string_view name) const;
    struct FolderSize {
        Ref<HLNFile> folder;
        uint64_t bytes;
    };
    void appendChildFolders(std::vector<FolderSize>& out) const;
    void sortChildren(Asker asker = Asker::anyThread);

    // -1: the receiver is shown first; largest first, then by name.
    int compare(const HLNFile& other) const;
    int compareSizeStatus(const HLNFile& other) const;
    int compareSize(const HLNFile& other) const;
    int compareName(const HLNFile& other) const;
    // Case-insensitive, no locale: valid UTF-8 folded by Unicode case
    // folding, other bytes compared as bytes (after every character); names
    // that fold alike by their bytes, so that a live tree and a scan of it
    // list entries of one size in the same order.
    static int compareNames(std::string_view a, std::string_view b);

    uint64_t sizeSoFar() const;
    // A folder's subtree as counted; a file's own (whichever name counts it).
    Measures measures() const;
    // The entry's own st_mtime (kNoModification when not known).
    int64_t ownModification() const;
    SizeStatus sizeStatus() const;
    uint32_t unsizedChildrenCount() const;

    bool hasDrivesMountedUnderneath();
    bool hadDrivesMountedUnderneathLastTimeWeCheckedDrives();
    // Against a given drive list (the destroy command reads a fresh one).
    bool _hasDrivesMountedUnderneathFromDriveArray(const HLNDrive::DriveList& drives) const;

    std::string shortDescription() const;

    // Where nodes send themselves to be sized or read again (refreshSize,
    // relistEntries, a folder a window leaves to the sizing thread): the
    // sizing thread's queue, which HLNBackgroundFileSizer sets as the
    // program starts, so that the nodes need not know of it.
    using SizingQueue = void (*)(const Ref<HLNFile>&);
    static void setSizingQueue(SizingQueue queue);

    // Re-read in the background (sizing thread).
    void refreshSize();
    // Re-read in the background this folder's listing alone: names new
    // since are read (a new folder with everything below it), names gone
    // are taken out, and the entries that stay are not read again. A folder
    // that cannot be listed so is re-read whole.
    void relistEntries();
    // The re-read itself, run by the sizing thread on each node it visits.
    void _refreshSizeIfNeeded(HLNFolderWalk& walk);
    // Delete from disk for good on a thread of its own, then re-read.
    void trash();
    bool isTrashing() const;
    // The going mark (status 3) for a removal run elsewhere (the trash
    // mover): false, and nothing marked, when one is running already.
    bool _beginTrashing();
    void _endTrashing();
    // Mark this node cut and release its subtree on a thread of its own.
    void invalidate();
    // The same, done before it returns, on this thread: for a tree that no
    // window shows (a command's, or a scan's), where waiting costs nothing.
    void releaseNow();
    bool isInvalidated() const;
    // Drops the children list and cuts every child node below.
    void _releaseChildren();
    // Takes child out of this folder's list and has its subtree released;
    // sizes are the re-read's business.
    void _removeChild(const Ref<HLNFile>& child, TreeGuard& held);

    // The sizing thread keeps the folders along its path open between
    // visits; it closes them when it runs out of work (so that nothing it
    // held open keeps a volume from being unmounted), and every size is
    // whole again.
    static void _closeSizingFolders(HLNFolderWalk& walk);
    // Tests: called by a thread turning a folder's names into nodes, once
    // the lock is released and before any entry is read; it may block or
    // throw. Null removes it.
    static void setConversionHookForTesting(std::function<void(const Ref<HLNFile>&)> hook);

    // count - less, for the size counters. Less than zero is a bookkeeping
    // error: a checked (test) build stops right there, so the fault shows
    // where it happened; a release gives 0, so one error shows as a total a
    // little off rather than one wrapped around to exabytes.
    static uint64_t lessOrZero(uint64_t count, uint64_t less, const char* what);

    // Each file is counted once in a tree's totals, however many names it
    // has there (as du counts by default): the first of its names in the
    // tree's order carries its bytes, the others count 0, and when that
    // name goes (re-read, removed, cut) the bytes move to a name that
    // stays. With countEachName set before any tree is made, every name
    // counts the file's bytes (du -l).
    static void setCountsEachName(bool countEachName);

    // An entry that could not be examined or a folder that could not be
    // listed, said on standard error as "hollin: PATH: <reason>" (it
    // counts 0 bytes); how many so far in this process.
    static void reportProblem(const std::string& path, int error);
    static uint64_t problemsReported();

    // How many nodes have been made so far in this process (for progress).
    static uint64_t nodesCreated();

    // The one recursive lock guarding every field of every node. Taken after
    // the refresh lock, never together with the sizer's condition lock.
    static std::recursive_mutex& treeLock();

    // ---------------------------------------------------------------- imported trees
    // A node read from a scan file rather than from this disk: complete as
    // made, never re-read, never deleted (the files are elsewhere).
    bool isImported() const;

private:
    friend class Ref<HLNFile>;
    friend class Ref<const HLNFile>;
    friend class HLNTreemapSnapshot; // copies a subtree's fields in one hold of the lock
    friend class HLNFolderWalk;      // follows parents and opens folders by their names
    friend class HLNPendingSizes;    // adds the bytes held back to the folders above
    friend class HLNListingStamps;   // marks folders whose listing no longer holds
    friend class HLNLinkedNames;     // moves a file's bytes between its names
    struct Placed {};
    static void* operator new(size_t, Placed, void* where) { return where; }
    static void operator delete(void*, Placed, void*) {}
    // A node gives its room back where it was made (HLNNodeMemory).
    static void operator delete(HLNFile* node, std::destroying_delete_t);
    friend class HLNNodeMemory;

    enum Flag : uint32_t {
        Invalidated = 1u << 0,
        ChildrenHaveDoneSomeSizing = 1u << 1,
        ChildrenArrayContainsNames = 1u << 2,
        IsDirectory = 1u << 3,
        IsLink = 1u << 4,
        KnowsWhetherItHadDrivesMountedUnderneath = 1u << 5,
        HadDrivesMountedUnderneath = 1u << 6,
        IsTrashing = 1u << 7,
        NeedsSizeRefreshed = 1u << 8,
        IsRootFile = 1u << 9,
        // Internal: a thread is turning the names into nodes outside the lock.
        ConvertingNames = 1u << 10,
        // Internal: another thread asked for children during that conversion.
        ChildrenWantedDuringConversion = 1u << 11,
        // Internal: the main thread asked during that conversion.
        RefreshWantedAfterConversion = 1u << 12,
        // Internal: a folder with too many names for the main thread to
        // list; the sizing thread lists it when it gets there.
        AwaitsListing = 1u << 13,
        // Internal: the nodes are still in the order of the listing (by name).
        ChildrenInNameOrder = 1u << 14,
        // Set once, when made: the folder's part lies just before the node.
        PartBefore = 1u << 15,
        // A node made without that part that became a folder later: its
        // part is kept aside (HLNNodeMemory).
        PartApart = 1u << 16,
        // A regular file that someone may run (an execute bit set).
        IsExecutable = 1u << 29,
        // A file of several names, in the table of such names (HLNLinkedNames).
        MultiLinked = 1u << 30,
    };
    // Bits 17-28 of the flags: where the node lies in its block, in four
    // bytes from the block's start (0: not in a block). Set once, when made.
    static constexpr uint32_t BlockShift = 17, BlockMask = (1u << 12) - 1;

    struct Examination;
    struct ConversionEnd;
    // The sizing walk's read of this folder, whose names are names: the
    // workers' when they made one, else one made and read here (whose
    // subfolders go to the workers). Null when the folder cannot be read
    // as it was listed: the caller reads it itself and has it re-read.
    std::shared_ptr<TFReadAhead::Job> _takeRead(HLNFolderWalk& walk, const Ref<List>& names);
    // Sorted names, or null (none, or more than r.listLimit).
    static Ref<List> _listFolder(const TFDirectory& folder, Examination& r);
    // children() for an asker, on its walk.
    ChildList _readChildren(HLNFolderWalk& walk, Asker asker);
    // A folder of more names is read where its names become nodes, not
    // ahead, and gives its names back as they do (see children()).
    static constexpr size_t kHugeFolder = TFReadAhead::kLargestReadAhead;
    // The listing of a folder a window left unlisted, by any other asker;
    // a window hands it to the sizing thread and gets false.
    bool _listAwaited(TreeGuard& held, HLNFolderWalk& walk, Asker asker);
    // A window's request that the sizing thread turn this folder's names
    // into nodes, and refresh the window when they are in.
    void _handToSizingThread(TreeGuard& held);
    // Sends node to the sizing queue.
    static void _sizeLater(const Ref<HLNFile>& node);
    static void _readEntry(const TFDirectory& folder, const char* name, int32_t parentFs,
                           Examination& r);
    static void _readRoot(const std::string& path, Examination& r);
    // Lists a folder just opened into r (its names and stamp).
    static void _listFolderOpened(TFDirectory folder, Examination& r);
    // A node of its own, or one in memory's blocks; withPart: room for a
    // folder's fields (a node whose type is not known yet gets it too).
    static Ref<HLNFile> _make(const Ref<HLNFile>& parent, std::string_view name, bool withPart,
                              HLNNodeMemory* memory = nullptr);
    HLNFile(const Ref<HLNFile>& parent);
    ~HLNFile();

    const char* _nameBytes() const { return reinterpret_cast<const char*>(this + 1); }
    bool _has(Flag f) const { return (_flags & f) != 0; }
    void _set(Flag f, bool on) { _flags = on ? (_flags | f) : (_flags & ~uint32_t(f)); }

    // Reads the entry from disk and sets type, size and entries; false when
    // it is gone (or was cut meanwhile). Takes the lock itself.
    bool _checkAttributes(HLNFolderWalk& walk, Asker asker);
    // Sets type, size and entries from an examination. With held, the
    // parent hears of the size; without, the node is new and known to no
    // other thread, and nothing is reported.
    bool _apply(Examination& ex, TreeGuard* held);

    // The helpers below need the tree lock held: held is the witness.
    SizeStatus _sizeStatus(const TreeGuard& held) const;
    uint32_t _childrenCount(const TreeGuard&) const {
        const FolderPart* part = _part();
        return part && part->children ? part->children->_count : 0;
    }
    int _compare(const HLNFile& other, const TreeGuard& held) const;
    int _compareSizeStatus(const HLNFile& other, const TreeGuard& held) const;
    int _compareSize(const HLNFile& other, const TreeGuard& held) const;
    void _appendPath(std::string& out, const TreeGuard& held) const;
    bool _hasPath(const TreeGuard& held) const;
    ChildList _nodes(const TreeGuard& held) const;
    // Stores a new list unless the node has been cut; the old one is dropped
    // once the lock is released.
    void _setChildren(Ref<List> list, TreeGuard& held);
    // Size reports, climbing to the root.
    void _childSized(const Measures& m, bool done, const TreeGuard& held);
    void _childRefreshing(const Measures& m, bool wasDone, const TreeGuard& held);
    // Reports many entries at once, read on walk: bytes added, entries
    // finished.
    void _childrenSized(Measures m, uint32_t finished, bool anyReport, TreeGuard& held,
                        const HLNFolderWalk& walk);
    // Whether the sizing walk holds back bytes for the folders above it
    // (under the lock): see HLNPendingSizes.
    static bool _sizesPending;
    static void _settlePendingSizes();
    // The names of files with more than one: see HLNLinkedNames.
    // The root this node hangs from, or null when it, or a folder above
    // it, has been cut.
    const HLNFile* _liveRoot(const TreeGuard& held) const;
    // Enters this name of a file of several names in the table. Of it and
    // the name carrying the file's bytes so far, the later in the tree's
    // order gets a sizeSoFar of 0, taken off its folders if it was counted
    // there (the carrier always was; this name when countedAbove). False
    // when it was not entered (a cut node, or entered already).
    bool _enterName(uint64_t device, uint64_t inode, uint64_t nameCount, const HLNFile* root,
                    bool countedAbove, const TreeGuard& held);
    // Takes this name out of the table; if it carried the bytes, they move
    // to a name still in a tree (and are added to its folders).
    void _leaveName(const TreeGuard& held);
    // Takes the children list off this node: the nodes list, or null.
    Ref<List> _detachChildren(TreeGuard& held);
    // Cuts this node and its whole subtree.
    void _releaseParent(TreeGuard& held);
    // Nodes cut from their parents so far (under the lock): a path checked
    // to hang from a root still does while this has not changed.
    static uint64_t _cuts;

    // Keeps the stamp of this folder's listing for the sizing thread's last
    // check (HLNListingStamps).
    void _noteListing(const TFFolderStamp& stamp, const TreeGuard& held);
    // Has the sizing thread list this folder again when it next visits it.
    void _wantRelist(const TreeGuard& held);

    // The sizing thread's part of relistEntries; false when the folder is
    // to be re-read whole instead.
    bool _relist(HLNFolderWalk& walk);
    // A re-read of this node (NeedsSizeRefreshed set); replaced: taken out
    // of its folder without reading it, as if found gone.
    void _reread(bool replaced, HLNFolderWalk& walk);

    // Body of the deletion thread.
    void _detachedTrash();

    // A node is aligned to four bytes only, so that names need not be
    // padded to eight: its 64-bit fields are kept in two halves.
    class Packed64 {
    public:
        Packed64(uint64_t v = 0) { *this = v; }
        operator uint64_t() const {
            uint64_t v;
            std::memcpy(&v, _bytes, sizeof v);
            return v;
        }
        Packed64& operator=(uint64_t v) {
            std::memcpy(_bytes, &v, sizeof v);
            return *this;
        }
        Packed64& operator+=(uint64_t v) { return *this = uint64_t(*this) + v; }

    private:
        alignas(4) unsigned char _bytes[8];
    };
    // A strong reference to the parent, as Ref<HLNFile> is, in two halves.
    class ParentRef {
    public:
        ParentRef(const Ref<HLNFile>& parent) { _store(parent.get()), _retain(); }
        ParentRef(const ParentRef&) = delete;
        ParentRef& operator=(const ParentRef&) = delete;
        ~ParentRef() { _release(); }
        ParentRef& operator=(std::nullptr_t) {
            _release();
            _store(nullptr);
            return *this;
        }
        HLNFile* get() const {
            HLNFile* p;
            std::memcpy(&p, _bytes, sizeof p);
            return p;
        }
        HLNFile* operator->() const { return get(); }
        explicit operator bool() const { return get() != nullptr; }
        operator Ref<HLNFile>() const& { return Ref<HLNFile>(get()); }
        operator Ref<HLNFile>() && {
            Ref<HLNFile> taken(get());
            *this = nullptr;
            return taken;
        }
        friend bool operator==(const ParentRef& a, const Ref<HLNFile>& b) {
            return a.get() == b.get();
        }

    private:
        void _store(HLNFile* p) { std::memcpy(_bytes, &p, sizeof p); }
        void _retain() {
            if (HLNFile* p = get())
                p->retain();
        }
        void _release() {
            if (HLNFile* p = get(); p && p->releaseAndTestLast())
                delete p;
        }
        alignas(4) unsigned char _bytes[sizeof(HLNFile*)];
    };

    uint32_t _flags = 0; // Flag bits, under the tree lock
    ParentRef _parent;   // null for a root and once cut
    Packed64 _sizeSoFar; // own allocated bytes + what entries reported
    // The entry's own st_size and st_mtime, in a word between them: a value
    // that does not fit is kept aside (HLNNodeMemory), kOdd standing for it.
    uint32_t _apparent32 = 0;
    uint32_t _modified32 = 0;
    // The name's bytes follow here, NUL-terminated.

    // What only a folder needs, so that a file's node stays at three words:
    // made with the node when it is read as a folder then, or aside when it
    // becomes one later, and kept after.
    struct FolderPart {
        Ref<List> children;                // names or nodes; null when none
        uint32_t unsizedChildrenCount = 0; // entries of children not yet complete
        int32_t fileSystemNumber = 0;      // folded st_dev, written when read as a folder
        // The subtree's measures besides its bytes (_sizeSoFar), own included.
        uint64_t apparent = 0, items = 0;
        int64_t newest = kNoModification;
    };
    // Null when the node has none.
    FolderPart* _part() const {
        if (_flags & PartBefore)
            return reinterpret_cast<FolderPart*>(const_cast<HLNFile*>(this)) - 1;
        return (_flags & PartApart) ? _partAside() : nullptr;
    }
    FolderPart* _partAside() const;
    FolderPart& _folderPart();
    const Ref<List>& _children() const;
    uint32_t _unsized() const {
        const FolderPart* part = _part();
        return part ? part->unsizedChildrenCount : 0;
    }
    void _setUnsized(uint32_t count) {
        if (FolderPart* part = _part())
            part->unsizedChildrenCount = count;
        else if (count)
            _folderPart().unsizedChildrenCount = count;
    }
    int32_t _fileSystemNumber() const {
        const FolderPart* part = _part();
        return part ? part->fileSystemNumber : 0;
    }
    // The number a folder on device keeps as its file system's.
    static int32_t _fileSystemNumberOf(uint64_t device);

    // ---------------------------------------------------------------- measures
    // A value kept aside by HLNNodeMemory.
    static constexpr uint32_t kOdd = UINT32_MAX;
    uint64_t _ownApparent() const;
    int64_t _ownModified() const;
    void _setOwn(uint64_t apparent, int64_t modified);
    Snapshot _snapshot(const TreeGuard& held) const;
    // What the entry alone is, with these allocated bytes.
    Measures _own(uint64_t bytes) const { return {bytes, _ownApparent(), 1, _ownModified()}; }
    // What the node counts in its folder's figures: a folder's subtree; a
    // file's own, or nothing for a name whose file another name counts.
    Measures _counted(const TreeGuard& held) const;
    // Adds to a folder's figures (the sizing's and a re-read's way).
    void _add(const Measures& m);
    void _subtract(const Measures& m);
    // The newest modification of each folder from this one up, taken anew
    // from its own and its entries' (when one that may have been the newest
    // went or changed); stops where nothing changes.
    void _retakeNewest(const TreeGuard& held);

    // ---------------------------------------------------------------- imported trees
    // The scan reader builds its trees through these makers only.
    friend class HLNScanReader;
    friend class HLNScanTree;
    static constexpr uint32_t ImportedBit = 1u << 31; // clear of every Flag
    // A finished node; a folder gets its entries later (or none).
    // own: the entry alone (items 1, or 0 for an entry the scan excludes).
    static Ref<HLNFile> _makeImported(const Ref<HLNFile>& parent, std::string_view name,
                                      bool isDirectory, bool isLink, const Measures& own);
    // Gives an imported folder its entries and its totals (its own and theirs):
    // complete.
    static void _setImportedChildren(HLNFile& folder, std::vector<Ref<HLNFile>>& children,
                                     const Measures& total);
    // An imported folder shown while it is read, not complete: its entries
    // so far, then open, the folder being read in it (or null), as a list
    // made without the lock; then the list (null: the one it has) and the
    // figures of them all.
    static Ref<List> _importedList(const std::vector<Ref<HLNFile>>& children,
                                   const Ref<HLNFile>& open);
    static void _showImportedSoFar(HLNFile& folder, Ref<List> list, const Measures& soFar,
                                   TreeGuard& held);
    // What a scan lacks is unknown in every node of its tree, never 0.
    static void _setImportedUnknowns(const Ref<HLNFile>& root, bool apparent, bool modification);
    struct Unknowns;
    // A name of a file that the scan says has several, with the file's identity.
    struct ImportedName {
        Ref<HLNFile> node;
        uint64_t device, inode, nameCount;
    };
    // Once the whole tree is read: each such file counts once in its
    // folders' totals, as in a tree read from disk (see setCountsEachName).
    static void _countImportedNamesOnce(const Ref<HLNFile>& root, std::vector<ImportedName>& names);
};
