#pragma once

#include "drives/HLNDrive.h"
#include "toolkit/TFObject.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

// One node of a browsed tree: a directory entry, its type, its entries and
// the bytes its subtree occupies so far. Shared between the main thread, the
// sizing thread and short-lived deletion and release threads; every operation
// takes the one recursive tree lock itself.
//
// Ownership: a node holds its parent and its children strongly, so a tree is
// freed only by an explicit release (invalidate). Everyone else holds a Ref
// for as long as they use a node.
//
// Memory: the node is one allocation with its name stored inline after the
// fields (no std::string per node); the ten flags share one word; a folder's
// entries are one List allocation (names before they become nodes, node
// references after).
class HLNDirectory;

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
        static void* operator new(size_t base, Tail, size_t extra) { return ::operator new(base + extra); }
        static void operator delete(void* p, Tail, size_t) { ::operator delete(p); }
        static void operator delete(void* p) { ::operator delete(p); }

        List(bool holdsNames) : _holdsNames(holdsNames) {}
        ~List();
        static Ref<List> makeNodes(size_t capacity);
        static Ref<List> makeNames(const char* bytes, const uint32_t* offsets, size_t count, size_t byteCount);

        Ref<HLNFile>* nodes() const { return reinterpret_cast<Ref<HLNFile>*>(const_cast<List*>(this) + 1); }
        const uint32_t* nameOffsets() const { return reinterpret_cast<const uint32_t*>(this + 1); }
        const char* nameAt(size_t i) const {
            return reinterpret_cast<const char*>(nameOffsets() + _count + 1) + nameOffsets()[i];
        }

        uint32_t _count = 0;
        bool _holdsNames;
    };
    using ChildList = Ref<const List>;

    // Null when the entry does not exist, or when the parent has been cut.
    static Ref<HLNFile> initWithParent(const Ref<HLNFile>& parent, std::string name);

    // Raw bytes, never changes after creation (read without the lock).
    std::string name() const { return std::string(nameView()); }
    std::string_view nameView() const { return std::string_view(_nameBytes()); }
    // Empty string when the node has been cut from its tree.
    std::string path() const;
    Ref<HLNFile> parent() const;
    bool isDirectory() const;
    bool isLink() const;

    // The child nodes, names turned into nodes on the first call. Null for
    // non-directories, empty folders and cut nodes, and while another thread
    // is turning this folder's names into nodes (that thread then asks the
    // sizing thread to visit the folder again, so nothing is skipped).
    ChildList children();
    uint32_t childrenCount() const;
    void sortChildren();

    // -1: the receiver is shown first; largest first, then by name.
    int compare(const HLNFile& other) const;
    int compareSizeStatus(const HLNFile& other) const;
    int compareSize(const HLNFile& other) const;
    int compareName(const HLNFile& other) const;
    // Case-insensitive, no locale: valid UTF-8 folded by Unicode case
    // folding, other bytes compared as bytes (after every character).
    static int compareNames(std::string_view a, std::string_view b);

    uint64_t sizeSoFar() const;
    // 0 not started, 1 in progress, 2 complete, 3 gone or going.
    int sizeStatus() const;
    uint32_t unsizedChildrenCount() const;

    bool hasDrivesMountedUnderneath();
    bool hadDrivesMountedUnderneathLastTimeWeCheckedDrives();
    bool _hasDrivesMountedUnderneathFromDriveArray(const HLNDrive::DriveList& drives) const;

    std::string shortDescription() const;

    // Re-read in the background (sizing thread).
    void refreshSize();
    // Delete from disk for good on a thread of its own, then re-read.
    void trash();
    // Mark this node cut and release its subtree on a thread of its own.
    void invalidate();

    // How many nodes have been made so far in this process (for progress).
    static uint64_t nodesCreated();

    // The one recursive lock guarding every field of every node.
    static std::recursive_mutex& treeLock();

    // Used by the file-tree units only.
    bool _checkAttributes();
    void _childSized(uint64_t bytes, bool done);
    void _childRefreshing(uint64_t bytes, bool wasDone);
    void _setChildren(const Ref<List>& list);
    int32_t _fileSystemNumber() const { return _fsNumber; }
    void _releaseChildren();
    void _releaseParent();
    void _removeChild(const Ref<HLNFile>& child);
    // The re-read done by the sizing thread.
    void _refreshSizeIfNeeded();
    // Body of the deletion thread; public so tests can run it synchronously.
    void _detachedTrash();
    bool isTrashing() const;
    bool isInvalidated() const;
    // The going mark (status 3) for a removal run elsewhere (the trash
    // mover): false, and nothing marked, when one is running already.
    bool _beginTrashing();
    void _endTrashing();

private:
    friend class Ref<HLNFile>;
    friend class Ref<const HLNFile>;
    struct Tail {};
    static void* operator new(size_t base, Tail, size_t nameBytes) { return ::operator new(base + nameBytes); }
    static void operator delete(void* p, Tail, size_t) { ::operator delete(p); }
    static void operator delete(void* p) { ::operator delete(p); }

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
    };

    struct Examination;
    static Ref<List> _listFolder(const HLNDirectory& folder);
    static void _readEntry(int dirfd, const char* name, bool isRoot, int32_t parentFs, Examination& r);
    static Ref<HLNFile> _make(const Ref<HLNFile>& parent, std::string_view name);
    HLNFile(const Ref<HLNFile>& parent);
    ~HLNFile() = default;

    const char* _nameBytes() const { return reinterpret_cast<const char*>(this + 1); }
    bool _has(Flag f) const { return (_flags & f) != 0; }
    void _set(Flag f, bool on) { _flags = on ? (_flags | f) : (_flags & ~uint32_t(f)); }

    // Unlocked helpers: the caller holds the tree lock.
    int _sizeStatusLocked() const;
    uint32_t _childrenCountLocked() const { return _children ? _children->_count : 0; }
    void _appendPath(std::string& out) const;
    bool _hasPath() const;
    // Applies what an examination found; reports to the parent when asked.
    bool _apply(Examination& ex, bool report);
    // Reports many entries at once: bytes added, entries finished.
    void _childrenSized(uint64_t bytes, uint32_t finished, bool anyReport);
    ChildList _nodesLocked() const;
    void _afterConversionRequests();

    uint32_t _flags = 0;                 // Flag bits, under the tree lock
    Ref<HLNFile> _parent;                // null for a root and once cut
    uint64_t _sizeSoFar = 0;             // own allocated bytes + what entries reported
    Ref<List> _children;                 // names or nodes; null when none
    uint32_t _unsizedChildrenCount = 0;  // entries of _children not yet complete
    int32_t _fsNumber = 0;               // folded st_dev, written when read as a folder
    // The name's bytes follow here, NUL-terminated.
};
