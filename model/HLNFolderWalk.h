#pragma once

#include "model/HLNFile.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFReadAhead.h"

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

// The folders along one path from a root that a reader of the tree has
// open, each opened inside the one above with O_NOFOLLOW|O_DIRECTORY, so
// that a folder swapped for a link is never entered.
//
// The sizing thread owns one walk for as long as it runs and passes it to
// every node it reads: a depth-first visit finds its parent open and opens
// one folder, the workers' reads ahead are taken from it, and the bytes its
// folders count are held back for the folders above (HLNPendingSizes). Any
// other reader makes a walk of its own for one read, which does none of
// that. Only the root and the deepest levels stay open (a bounded budget);
// a level closed for the budget is opened again from the deepest open one
// above it. Used by one thread at a time, without the tree lock.
class HLNFolderWalk {
public:
    enum class Owner { reader, sizingThread };
    explicit HLNFolderWalk(Owner owner = Owner::reader) : _owner(owner) {}
    ~HLNFolderWalk();
    HLNFolderWalk(const HLNFolderWalk&) = delete;
    HLNFolderWalk& operator=(const HLNFolderWalk&) = delete;

    bool isSizingWalk() const { return _owner == Owner::sizingThread; }

    // node's folder, opened from the deepest open folder of the walk that
    // leads to it, never following a link (a root by its path); null when
    // the node has been cut. Takes the tree lock itself; not to be held.
    // open false: only the walk's path follows the node (for the bytes its
    // folders hold back), nothing is opened and null is answered.
    const TFDirectory* open(const HLNFile& node, bool open = true);
    // Closes every folder and lets go of every node and read it holds (so
    // that nothing held open keeps a volume from being unmounted).
    void close();

    // The nodes of the path, top first, as the last open() left it.
    size_t depth() const { return _levels.size(); }
    const Ref<HLNFile>& nodeAt(size_t depth) const { return _levels[depth].node; }

    // A folder just listed (dir) by a conversion, kept open for its own
    // visit so that each is opened once; the oldest give way.
    void keepListed(const Ref<HLNFile>& node, TFDirectory& dir);
    // Lets go of what it holds open of node (it is about to be read anew),
    // and of everything below it on the path.
    void forget(const HLNFile* node);

    // A worker's read of node's folder, kept until its names become nodes;
    // taken only if its names are still those the read gave.
    void keepRead(const Ref<HLNFile>& node, Ref<HLNFile::List> names, TFReadAhead::JobRef job);
    TFReadAhead::JobRef takeRead(const HLNFile* node, const Ref<HLNFile::List>& names);

private:
    struct Level {
        Ref<HLNFile> node;
        TFDirectory dir;
    };
    struct Read {
        Ref<HLNFile> node;
        Ref<HLNFile::List> names;
        TFReadAhead::JobRef job;
    };
    static constexpr size_t kOpenBudget = 64;
    static constexpr size_t kListedBudget = 256;

    TFDirectory _takeListed(const HLNFile* node);

    Owner _owner;
    std::vector<Level> _levels;
    uint64_t _checkedAtCuts =
        ~uint64_t(0); // the tree's cuts when levels last climbed to their root
    std::vector<Level> _listed;
    std::vector<Ref<HLNFile>> _fresh; // open()'s, kept for the room it has
    std::unordered_map<const HLNFile*, Read> _reads;
};
