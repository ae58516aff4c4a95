#pragma once

#include "model/HLNFile.h"
#include "toolkit/TFFolderStamp.h"

#include <vector>

class HLNFolderWalk;

// The folders listed since the sizing thread last ran out of work, each
// with its stamp as it was listed, and the check of them before the work
// is called done. A walk lists a folder long before it reads the folders
// below it, so a folder moved in between would be missed at both ends (or
// met twice): every folder whose stamp no longer holds is listed again
// (what it gained is read, what it lost taken off). Kept aside, not in the
// nodes, which have no room for it.
//
// Where the kernel can report every change to folders' entries on a file
// system (fanotify, with the privilege it needs), that file system is
// watched from the first listing noted on it until the work is done: a
// folder listed since the watch began is then looked at only if the watch
// reported a change in it, not each with a stat of its own.
class HLNListingStamps {
public:
    // Under the tree lock: folder was listed as stamp says (a stamp of no
    // folder is not kept; lost: an entry went between listing and read).
    static void note(HLNFile& folder, const TFFolderStamp& stamp, const HLNFile::TreeGuard& held);
    // The sizing thread's last step before it calls its work done: every
    // folder listed since the last check whose listing may no longer hold
    // (its modification time changed, it went or was replaced, an entry
    // went between its listing and its read) is marked to be listed or
    // read again and appended to toVisit. True when it found anything: the
    // caller sizes them and checks again, in a bounded number of rounds (a
    // tree that keeps changing is left as the last round found it), until a
    // check finds nothing.
    static bool recheck(std::vector<Ref<HLNFile>>& toVisit);
    // The sizing thread has work (folders, which it may list next): from
    // now until a check finds nothing more to do, the file systems of the
    // listings noted are watched where they can be, these folders' first.
    // A listing noted while it has none is checked by a stat, so that no
    // watch holds a file system open while nothing is sized.
    static void workBegins(const std::vector<Ref<HLNFile>>& folders);

private:
    struct Entry {
        Ref<HLNFile> folder;
        TFFolderStamp stamp;
    };
    struct Shared;
    struct Watch;
    struct Reported;
    static void _watch(HLNFile& folder, Shared& shared, const HLNFile::TreeGuard& held);
};
