#pragma once

#include "toolkit/TFDirectory.h"
#include "toolkit/TFTreeSink.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The one way Hollin walks a tree on disk. It reads folders and reports
// them to a sink; it never builds anything itself.
//
// Each folder is opened relative to its parent's descriptor with
// O_NOFOLLOW|O_DIRECTORY: a folder swapped for a link is never entered, and
// no link is ever followed. Only the top and the deepest levels keep their
// descriptors (openBudget); a level closed for the budget is opened again
// from the deepest open one above it and checked to be the same folder by
// device and inode. Another file system is not entered unless asked, and
// whether listings end short is asked once a file system (TFDirectory::
// listingsEndShort). No working folder is changed.
//
// The sink gets the events of TFTreeSink, in its order, with the disk's
// descriptors besides: its folders are open while it is called about them,
// and leaveFolder() gives the parent folder, open (null for the top of a
// walk from a path). What is particular to the disk:
//   entry()       every name the listing gave (error set when it could not
//                 be examined; ENOENT: gone since the listing). A folder is
//                 enterable on the same file system unless crossing is asked.
//   readError()   name null: the folder was moved or replaced while it was
//                 read; its other entries are left out.
// Any TFTreeSink may be fed from the disk too, through the constructor that
// takes one. Such a walk needs no descriptors, so the read-ahead's workers
// (TFReadAhead) list and examine its folders on every core ahead of it,
// unless it crosses file systems or stays on its mount; its entries come
// in TFString::compareNamesThenBytes order then. A sink may call no walker
// method but path() during a call.
class TFTreeWalker {
public:
    using Examination = TFDirectory::Examination;

    // A folder being read, as the sink sees it: TFTreeSink's, open.
    struct Folder : TFTreeSink::Folder {
        TFDirectory dir; // open while the sink is called about it
        // The folder's names, NUL-terminated, in listing order.
        std::vector<char> bytes;
        std::vector<uint32_t> offsets;
        size_t next = 0;
    };

    class Sink {
    public:
        virtual ~Sink() = default;
        virtual bool entry(const Folder& folder, const char* name, const Examination& ex,
                           bool enterable) = 0;
        virtual bool enterFolder(const Folder& folder) = 0;
        virtual void leaveFolder(const Folder& folder, const TFDirectory* parent) = 0;
        virtual void readError(const Folder* parent, const char* name, int error) = 0;
        virtual bool stopped() const { return false; }
    };

    struct Options {
        bool crossFileSystems = false;
        // Also stay on the top's mount: a bind mount of the same file
        // system is not entered either (for removal).
        bool stayOnMount = false;
        size_t openBudget = 64;
        // Each folder's entries sorted bytewise instead of in the file
        // system's order, for walks whose order shows.
        bool sortedByBytes = false;
    };

    explicit TFTreeWalker(Sink& sink) : _sink(sink) {}
    TFTreeWalker(Sink& sink, Options options) : _sink(sink), _options(options) {}
    // A walk for a sink that needs no descriptors (one that a scan may feed).
    explicit TFTreeWalker(TFTreeSink& sink);
    TFTreeWalker(TFTreeSink& sink, Options options);
    ~TFTreeWalker();
    TFTreeWalker(const TFTreeWalker&) = delete;
    TFTreeWalker& operator=(const TFTreeWalker&) = delete;

    // Walks the folder at path (never following its last component), which
    // the caller has examined as top: enterFolder() for it first. False,
    // with the errno in *error, when it could not be opened or listed.
    bool walkPath(const std::string& path, const Examination& top, int* error = nullptr);
    // The same for a folder the caller opened (it may have followed links).
    bool walkOpen(TFDirectory dir, const std::string& name, int* error = nullptr);
    // Walks the entry `name` of parent as if it were one of parent's
    // entries: entry() for it, with parent as the folder, and on if it is
    // entered. The file system (and mount) not to leave is parent's.
    void walkEntry(const TFDirectory& parent, const char* name);

    // The path of the folder being read, for messages.
    std::string path() const;

    // A folder's names, NUL-terminated, and optionally each entry as statx
    // sees it: one folder's read, for those that read folders one at a time.
    struct Listing {
        std::vector<char> bytes;
        std::vector<uint32_t> offsets;
        std::vector<Examination> entries; // by offsets' index, when examined
        size_t folders = 0;               // names the listing typed as folders
        size_t size() const { return offsets.size(); }
        const char* name(size_t i) const { return bytes.data() + offsets[i]; }
        void clear();
    };
    // Lists dir (examined as ex, for the listing question) into out; false
    // when the listing failed or more than limit names were read.
    static bool list(const TFDirectory& dir, const Examination& ex, Listing& out,
                     size_t limit = SIZE_MAX);
    // Examines every name of out inside dir.
    static void examineAll(const TFDirectory& dir, Listing& out);
    // Opens the folder `name` in parent, never following a link, and checks
    // that it is the folder examined as ex (device and inode): one that was
    // swapped since gives an invalid descriptor with error ESTALE.
    static TFDirectory openChecked(const TFDirectory& parent, const char* name,
                                   const Examination& ex);

private:
    bool _enter(TFDirectory dir, const std::string& name, const Examination& ex, int* error);
    bool _enterable(const Examination& ex) const;
    bool _reopen();
    void _run();
    // The walk of a TFTreeSink, from the read-ahead's reads.
    struct Ahead;
    bool _walkAhead(TFDirectory dir, const std::string& name, const Examination& top, int* error);

    class Common;
    std::unique_ptr<Sink> _common; // the adapter of a TFTreeSink
    Sink& _sink;
    Options _options;
    std::vector<Folder> _levels;
    uint64_t _homeDevice = 0, _homeMount = 0;
};
