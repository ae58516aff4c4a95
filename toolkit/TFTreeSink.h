#pragma once

#include "toolkit/TFDirectory.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>

// What a source of a tree tells the one who takes it in: the disk, read by
// TFTreeWalker, and a scan file, read by HLNScanReader, drive this same
// contract, so that what is built or written from either cannot differ.
//
// The events, for one reading on one thread:
//   enterFolder() the top first (depth 0, named as it was given: a path;
//                 no entry() before it), then every folder entered after
//                 it. Its entries come next, then leaveFolder(). Answer
//                 false to skip its entries (leaveFolder() still comes).
//   entry()       each entry of the folder being read, in the source's
//                 order, with its figures. `enterable`: a folder the source
//                 may enter; one that is not (another file system, or left
//                 out of a scan) is not entered whatever the answer. Answer
//                 true to enter it: enterFolder() or readError() follows at
//                 once, before the next entry.
//   leaveFolder() after the folder's last entry.
//   readError()   a folder to be entered that could not be read (name set,
//                 inside `parent`), or, from the disk only, a folder that
//                 lost its place while it was read (name null; its other
//                 entries are left out).
//   stopped()     asked before each entry: true ends the reading (the open
//                 folders are still left, innermost first).
//
// The figures are statx's (TFDirectory::Examination); what a scan may lack
// is marked, never made up:
//   error         why the entry has no figures of its own: an errno (ENOENT
//                 from the disk: gone since the listing; EIO from a scan:
//                 unreadable where the scan was made), or kLeftOut.
//   apparentSize  kUnknownSize when the source does not say.
//   modified      kUnknownTime when the source does not say.
//   mode          0 when the source does not say (owner and group with it);
//                 type says the kind all the same.
//   inode         0 when the source does not say; linkCount then 1 or more.
//   device        a scan's folder's, or the one above it that gives one.
class TFTreeSink {
public:
    using Examination = TFDirectory::Examination;

    // The entry's maker left it out on purpose (a scan made with exclusions).
    static constexpr int kLeftOut = ECANCELED;
    static constexpr uint64_t kUnknownSize = UINT64_MAX;
    static constexpr int64_t kUnknownTime = INT64_MIN;

    // A folder being read, as any source gives it.
    struct Folder {
        std::string name; // the top's path, or the name in its parent
        Examination examination;
        size_t depth = 0; // 0: the top
    };

    virtual ~TFTreeSink() = default;
    virtual bool entry(const Folder& folder, const char* name, const Examination& ex,
                       bool enterable) = 0;
    virtual bool enterFolder(const Folder& folder) = 0;
    virtual void leaveFolder(const Folder& folder) = 0;
    virtual void readError(const Folder* parent, const char* name, int error) = 0;
    virtual bool stopped() const { return false; }
};
