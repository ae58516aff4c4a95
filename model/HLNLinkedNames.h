#pragma once

#include "model/HLNFile.h"

#include <cstdint>
#include <optional>
#include <vector>

// The files of a tree that have more than one name (st_nlink > 1), with
// their names in the tree. Of a file's names, the first in the tree's order
// (folders and names as a walk by name meets them) carries the bytes,
// whichever the walk met first: the window, a report and a scan of the same
// tree agree, and a click that sends the walk elsewhere first changes
// nothing. Only such files are entered, so a tree of files of one name
// costs nothing here. Under the tree lock; a name is taken out before its
// node is cut from its tree, so the pointers never outlive their nodes.
class HLNLinkedNames {
public:
    // A file, in one tree.
    struct Key {
        const HLNFile* root;
        uint64_t device, inode;
        bool operator==(const Key&) const = default;
    };
    struct File {
        HLNFile::Measures counted;   // as the carrying name was read
        uint32_t nameCount = 0;      // st_nlink, as last read
        HLNFile* carrier = nullptr;  // the name counting the bytes; null when none can
        std::vector<HLNFile*> names; // in the tree, the carrier among them
    };

    // The file that name is a name of; null when it is in no table.
    static const File* fileOf(const HLNFile* name);
    static std::optional<Key> keyOf(const HLNFile* name);
    // Enters name of the file key, which has nameCount names. Of it and the
    // name carrying the file's bytes so far, the later in the tree's order
    // gets a sizeSoFar of 0, taken off its folders if it was counted there
    // (the carrier always was; name when countedAbove). False when it was
    // not entered (no root: a cut node; or entered already).
    static bool enter(HLNFile& name, const Key& key, uint64_t nameCount, bool countedAbove,
                      const HLNFile::TreeGuard& held);
    // Takes name out of its file; if it carried the bytes, they move to a
    // name still in a tree (and are added to its folders).
    static void leave(HLNFile& name, const HLNFile::TreeGuard& held);
    // A name of the file went from the disk: one fewer for those left.
    static void nameGone(const Key& key, const HLNFile::TreeGuard& held);

private:
    struct Table;
};
