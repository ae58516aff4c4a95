#pragma once

#include "toolkit/TFDirectory.h"

#include <climits>
#include <cstdint>

// What a folder's listing depends on, taken when it is listed, to tell
// later with one stat whether the listing may be out of date: which folder
// it was (device and inode, folded), its modification time to the
// nanosecond and its link count. Adding, removing or renaming an entry
// changes the time; moving a folder in or out, the count too.
//
// The kernel stamps a change with a clock that moves by ticks (a few
// milliseconds): before Linux 6.13, a change in the same tick as the one
// before the stamp was taken keeps the time (the count still tells a
// folder moved). A file system that keeps whole seconds makes a stamp of
// a time that recent fresh: its listing is read again at the next check
// whatever the time is then.
class TFFolderStamp {
public:
    TFFolderStamp() = default;

    // When a stamp was taken: the kernel's coarse clock, which stamps
    // changes (nanoseconds since 1970), and the watch points counted by
    // then (see watchPoint).
    struct Clock {
        int64_t time = 0;
        uint32_t watchPoints = 0;
    };

    // The open folder itself (taken before it is listed).
    static TFFolderStamp of(const TFDirectory& folder);
    // A folder as ex examined it (before it was listed), where before is
    // what clock() answered before the examination.
    static TFFolderStamp of(const TFDirectory::Examination& ex, Clock before);
    // The same, fresh also when its time is not before the tick the clock
    // showed (a change to come may keep that time): to vouch, while it
    // still holds, that each name in the folder is what it was.
    static TFFolderStamp settled(const TFDirectory::Examination& ex, Clock before);
    // Now, as of and settled want it: read before the examination.
    static Clock clock();
    // Counts a point in the watching of folders for changes (a watch
    // begun, its reports read) and answers its number: a stamp taken later
    // tells so (takenSince).
    static uint32_t watchPoint();
    // The entry `name` inside folder, never following a link.
    static TFFolderStamp at(const TFDirectory& folder, const char* name);
    // A stamp that no folder matches in time: its listing is to be read
    // again (its identity still tells whether it is the same folder).
    static TFFolderStamp changed() { return TFFolderStamp(kChanged, 0); }
    // A stamp of a folder that went between its listing in its parent and
    // its own: it is to be read again whole, whatever is there now.
    static TFFolderStamp lost() { return TFFolderStamp(kLost, 0); }

    // Taken from a folder (false: it could not be examined, is gone, or is
    // no folder).
    bool isFolder() const { return _identity != 0; }
    // Which folder: its device and inode folded (0 when none).
    uint32_t identity() const { return _identity; }
    static uint32_t identityOf(const TFDirectory::Examination& ex);
    // Taken once the watch point numbered `point` was counted.
    bool takenSince(uint32_t point) const { return point != 0 && _watchPoints >= point; }
    bool isLost() const { return _modified == kLost; }
    // Whether now (taken later) is of the same folder as this.
    bool sameFolderAs(const TFFolderStamp& now) const {
        return _modified != kLost && (_identity == 0 || _identity == now._identity);
    }
    // Whether the listing this was taken for still holds, as far as now
    // (taken later of the same folder) tells.
    bool unchangedAt(const TFFolderStamp& now) const {
        return _modified > kLost && _modified == now._modified && now.isFolder();
    }

private:
    static constexpr int64_t kChanged = INT64_MIN, kLost = INT64_MIN + 1;
    TFFolderStamp(int64_t modified, uint32_t identity) : _modified(modified), _identity(identity) {}
    static TFFolderStamp _from(int result, const void* statBuffer, Clock before);
    static TFFolderStamp _from(const TFDirectory::Examination& ex, Clock before, bool settled);
    static TFFolderStamp _make(uint64_t device, uint64_t inode, int64_t modified, uint64_t links,
                               Clock before, bool settled);

    // Two words, as a stamp is kept for every folder listed until the
    // check: a folder replaced by another whose identity folds the same (a
    // chance in four billion) is listed again by its names, not whole.
    int64_t _modified = kChanged; // nanoseconds since 1970, or kChanged or kLost
    uint32_t _identity = 0;       // device and inode folded; 0: none
    uint32_t _watchPoints = 0;    // counted before it was taken
};
