#include "model/HLNListingStamps.h"

#include "model/HLNFolderWalk.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFReadAhead.h"

#include <algorithm>
#include <exception>
#include <string>
#include <unordered_set>
#include <utility>

// Under the tree lock.
struct HLNListingStamps::Shared {
    std::vector<Entry> entries; // in the order of listing: mostly depth-first
    int rounds = 0;             // checks in a row that found something (sizing thread)

    static Shared& of() {
        static auto* stamps = new Shared; // never destroyed
        return *stamps;
    }
};

void HLNListingStamps::note(HLNFile& folder, const TFFolderStamp& stamp,
                            const HLNFile::TreeGuard&) {
    if (stamp.isFolder() || stamp.isLost())
        Shared::of().entries.push_back({Ref<HLNFile>(&folder), stamp});
}

bool HLNListingStamps::recheck(std::vector<Ref<HLNFile>>& toVisit) {
    // A tree changing faster than it can be listed again is left after
    // these many rounds, with what the last one found: the first finds
    // what changed during the whole walk, each next one what changed
    // during the one before, a far shorter time.
    constexpr int kRounds = 4;
    Shared& shared = Shared::of();
    std::vector<Entry> entries;
    {
        HLNFile::TreeGuard held;
        entries.swap(shared.entries);
    }
    if (entries.empty() || ++shared.rounds > kRounds) {
        shared.rounds = 0;
        return false;
    }
    // Each folder found out of date, in the order of listing, and whether
    // it is to be read whole (gone, or another folder in its place).
    using Due = std::vector<std::pair<Ref<HLNFile>, bool>>;
    auto check = [](Entry* from, Entry* to, HLNFolderWalk& on, Due& due) {
        // Each folder's parent (null for a root), and whether it is
        // checked: all taken under one hold of the tree lock.
        std::vector<Ref<HLNFile>> parents(size_t(to - from));
        std::vector<bool> checked(size_t(to - from));
        {
            HLNFile::TreeGuard held(on);
            for (Entry* e = from; e != to; ++e) {
                HLNFile& folder = *e->folder;
                // A cut folder is marked so with its whole subtree.
                if (folder._has(HLNFile::Invalidated) || !folder._has(HLNFile::IsDirectory) ||
                    (!folder._parent && !folder._has(HLNFile::IsRootFile)))
                    continue;
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
            else if (!e->stamp.unchangedAt(now))
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
    if (due.empty()) {
        shared.rounds = 0;
        return false;
    }
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
