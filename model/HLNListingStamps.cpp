#include "model/HLNListingStamps.h"

#include "model/HLNFolderWalk.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFFanotify.h"
#include "toolkit/TFReadAhead.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

// A file system watched for changes to folders' entries.
struct HLNListingStamps::Watch {
    std::shared_ptr<TFFanotify> changes;
    uint32_t begun = 0; // the watch point counted once marked
};

// What a watch reported since it began: each folder changed, by identity,
// with the watch point counted after the report was read (a stamp taken
// since then has the change in its listing); whole when it cannot tell
// (events were lost).
struct HLNListingStamps::Reported {
    bool whole = false;
    std::unordered_map<uint32_t, uint32_t> changed;
};

// Under the tree lock, but what the checking thread alone uses.
struct HLNListingStamps::Shared {
    std::vector<Entry> entries; // in the order of listing: mostly depth-first
    int rounds = 0;             // checks in a row that found something (checking thread)
    std::unordered_map<int32_t, Watch> watches; // by file system number, until the work is done
    std::unordered_set<int32_t> unwatched;      // tried in vain meanwhile
    bool mayWatch = true;                       // false once the privilege was refused
    std::atomic<bool> working{false};           // from workBegins until a check finds nothing
    // Each file system's group, kept between watches: unmarked, it holds
    // nothing of it open.
    std::unordered_map<int32_t, std::shared_ptr<TFFanotify>> groups;
    std::unordered_map<uint32_t, Reported> reported; // by when the watch began (checking thread)

    static Shared& of() {
        static auto* stamps = new Shared; // never destroyed
        return *stamps;
    }
};

void HLNListingStamps::note(HLNFile& folder, const TFFolderStamp& stamp,
                            const HLNFile::TreeGuard& held) {
    if (!stamp.isFolder() && !stamp.isLost())
        return;
    Shared& shared = Shared::of();
    shared.entries.push_back({Ref<HLNFile>(&folder), stamp});
    if (stamp.isFolder() && shared.mayWatch && shared.working.load(std::memory_order_relaxed))
        _watch(folder, shared, held);
}

void HLNListingStamps::workBegins(const std::vector<Ref<HLNFile>>& folders) {
    Shared& shared = Shared::of();
    if (shared.working.load(std::memory_order_relaxed)) // set by this thread
        return;
    HLNFile::TreeGuard held;
    shared.working = true;
    for (const Ref<HLNFile>& folder : folders)
        if (shared.mayWatch && folder->_has(HLNFile::IsDirectory) &&
            !folder->_has(HLNFile::Invalidated))
            _watch(*folder, shared, held);
}

void HLNListingStamps::_watch(HLNFile& folder, Shared& shared, const HLNFile::TreeGuard& held) {
    const int32_t fileSystem = folder._fileSystemNumber();
    if (shared.watches.count(fileSystem) || shared.unwatched.count(fileSystem))
        return;
    std::string path;
    if (folder._hasPath(held))
        folder._appendPath(path, held);
    std::shared_ptr<TFFanotify>& group = shared.groups[fileSystem];
    bool marked = false;
    if (!path.empty() && TFFanotify::seesEveryChange(path)) {
        if (!group) {
            group = std::make_shared<TFFanotify>(path, TFFanotify::Changes::entries);
            marked = group->isOpen();
        } else {
            marked = group->mark(path);
        }
        // A root's path may lead elsewhere through a link: the file system
        // marked must be the folder's.
        if (marked && HLNFile::_fileSystemNumberOf(group->markedDevice()) != fileSystem) {
            group->unmark();
            marked = false;
        }
    }
    if (!marked) {
        shared.unwatched.insert(fileSystem);
        if (group && group->error() == EPERM)
            shared.mayWatch = false; // nor will it be
        if (!group || !group->isOpen())
            shared.groups.erase(fileSystem);
        return;
    }
    // Counted once marked: what is examined from now on is watched.
    shared.watches[fileSystem] = {group, TFFolderStamp::watchPoint()};
}

bool HLNListingStamps::recheck(std::vector<Ref<HLNFile>>& toVisit) {
    // A tree changing faster than it can be listed again is left after
    // these many rounds, with what the last one found: the first finds
    // what changed during the whole walk, each next one what changed
    // during the one before, a far shorter time.
    constexpr int kRounds = 4;
    Shared& shared = Shared::of();
    std::vector<Entry> entries;
    std::unordered_map<int32_t, Watch> watches;
    auto done = [&shared, &watches] {
        watches.clear();
        shared.rounds = 0;
        HLNFile::TreeGuard held;
        shared.working = false;
        for (auto& [fileSystem, watch] : shared.watches)
            watch.changes->unmark();
        shared.watches.clear();
        shared.unwatched.clear();
        shared.reported.clear();
        return false;
    };
    {
        HLNFile::TreeGuard held;
        entries.swap(shared.entries);
        watches = shared.watches;
    }
    if (entries.empty() || ++shared.rounds > kRounds)
        return done();
    // What the watches saw since they began, each folder reported turned
    // back into its identity (one gone since is reported by its parent
    // too). Past a quarter of the folders listed (and some thousands), a
    // stat of each costs less.
    const size_t mostReported = std::max<size_t>(entries.size() / 4, 4096);
    for (const auto& [fileSystem, watch] : watches) {
        Reported& seen = shared.reported[watch.begun];
        std::unordered_set<std::string> folders;
        while (watch.changes->readEvents([&](const TFFanotify::Event& e) {
            if (e.overflow)
                seen.whole = true;
            else if (!seen.whole && folders.size() <= mostReported)
                folders.emplace(e.folder);
        })) {
        }
        const uint32_t read = TFFolderStamp::watchPoint();
        seen.whole = seen.whole || folders.size() > mostReported;
        for (const std::string& handle : folders) {
            if (seen.whole)
                break;
            const TFDirectory::Examination ex = watch.changes->examineHandle(handle);
            if (!ex.error)
                seen.changed[TFFolderStamp::identityOf(ex)] = read;
            else if (ex.error != ESTALE && ex.error != ENOENT)
                seen.whole = true;
        }
    }
    // What the watch of its file system tells of a folder since its listing.
    enum class Told { nothing, unchanged, changed };
    auto told = [&watches, &reported = shared.reported](const HLNFile& folder,
                                                        const TFFolderStamp& stamp) {
        const auto watch = watches.find(folder._fileSystemNumber());
        if (watch == watches.end() || !stamp.takenSince(watch->second.begun))
            return Told::nothing;
        const auto seen = reported.find(watch->second.begun);
        if (seen == reported.end() || seen->second.whole)
            return Told::nothing;
        const auto change = seen->second.changed.find(stamp.identity());
        return change != seen->second.changed.end() && !stamp.takenSince(change->second)
                   ? Told::changed
                   : Told::unchanged;
    };
    // Each folder found out of date, in the order of listing, and whether
    // it is to be read whole (gone, or another folder in its place).
    using Due = std::vector<std::pair<Ref<HLNFile>, bool>>;
    auto check = [&told](Entry* from, Entry* to, HLNFolderWalk& on, Due& due) {
        // Each folder's parent (null for a root), and whether it is
        // checked (and whether the watch saw it change): all taken under
        // one hold of the tree lock.
        std::vector<Ref<HLNFile>> parents(size_t(to - from));
        std::vector<bool> checked(size_t(to - from)), changed(size_t(to - from));
        {
            HLNFile::TreeGuard held(on);
            for (Entry* e = from; e != to; ++e) {
                HLNFile& folder = *e->folder;
                // A cut folder is marked so with its whole subtree.
                if (folder._has(HLNFile::Invalidated) || !folder._has(HLNFile::IsDirectory) ||
                    (!folder._parent && !folder._has(HLNFile::IsRootFile)))
                    continue;
                // A root is looked at whatever the watch says: its path
                // may name another folder now.
                const Told watched =
                    folder._parent && !e->stamp.isLost() ? told(folder, e->stamp) : Told::nothing;
                if (watched == Told::unchanged)
                    continue;
                changed[size_t(e - from)] = watched == Told::changed;
                checked[size_t(e - from)] = true;
                parents[size_t(e - from)] = folder._parent;
            }
        }
        const HLNFile* openParent = nullptr; // the last opened, as above
        const TFDirectory* above = nullptr;
        for (Entry* e = from; e != to; ++e) {
            if (!checked[size_t(e - from)])
                continue;
            HLNFile& folder = *e->folder;
            const Ref<HLNFile>& parent = parents[size_t(e - from)];
            if (e->stamp.isLost()) {
                due.emplace_back(std::move(e->folder), true);
                continue;
            }
            TFFolderStamp now;
            if (!parent) {
                now = TFFolderStamp::of(TFDirectory::openPath(std::string(folder.nameView())));
            } else {
                // Its parent is open on the walk: listings came depth-first, so
                // this mostly opens one folder for all its subfolders.
                if (parent.get() != openParent) {
                    above = on.open(*parent);
                    openParent = parent.get();
                }
                if (!above || !above->isOpen())
                    continue; // moved with a folder above: that one's listing tells
                now = TFFolderStamp::at(*above, folder._nameBytes());
            }
            if (!e->stamp.sameFolderAs(now) || !now.isFolder())
                due.emplace_back(std::move(e->folder), true); // gone, or another there now
            else if (changed[size_t(e - from)] || !e->stamp.unchangedAt(now))
                due.emplace_back(std::move(e->folder), false);
        }
    };
    // Each stamp is a look at the disk, and the other cores are idle now:
    // the read-ahead's workers and this thread take runs of them in the
    // order of listing (whose folders share their parents), each run on a
    // walk of its own.
    constexpr size_t kPerPiece = 256;
    const size_t pieces = (entries.size() + kPerPiece - 1) / kPerPiece;
    std::vector<Due> found(pieces);
    std::vector<std::exception_ptr> failures(pieces);
    TFReadAhead::Pieces(pieces, [&](size_t p) {
        try {
            HLNFolderWalk own;
            Entry* base = entries.data();
            check(base + p * kPerPiece, base + std::min(entries.size(), (p + 1) * kPerPiece), own,
                  found[p]);
        } catch (...) {
            failures[p] = std::current_exception();
        }
    }).finish();
    for (const std::exception_ptr& failure : failures)
        if (failure)
            std::rethrow_exception(failure);
    Due due;
    for (Due& some : found)
        for (auto& one : some)
            due.push_back(std::move(one));
    if (due.empty())
        return done();
    // Each goes on the sizing thread's stack as a request would, the first
    // listed on top: a folder listed again has what it gained sized before
    // the next is listed, so that little changes in between.
    std::unordered_set<const HLNFile*> seen;
    {
        HLNFile::TreeGuard held;
        for (size_t i = due.size(); i-- > 0;) {
            auto& [folder, whole] = due[i];
            if (!seen.insert(folder.get()).second)
                continue;
            if (whole)
                folder->_set(HLNFile::NeedsSizeRefreshed, true);
            else
                folder->_wantRelist(held);
            toVisit.push_back(std::move(folder));
        }
    }
    return true;
}
