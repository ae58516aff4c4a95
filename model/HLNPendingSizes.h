#pragma once

#include "model/HLNFile.h"

#include <vector>

class HLNFolderWalk;

// The bytes the sizing thread has counted that the folders above it have
// still to count. Adding each folder's bytes to every folder above it at
// once would cost the tree's depth a folder: a chain of thousands of
// nested folders would take time growing with the square of its depth. So
// each level of the sizing walk's path holds what it and the levels below
// it counted that the levels above have yet to count. A level the walk
// leaves hands its bytes to the one above; any other reader settles them
// all as it takes the tree lock (TreeGuard), and so never sees a size
// short. One for the process; under the tree lock.
class HLNPendingSizes {
public:
    // Keeps m, which folder's entries added, for the folders above it to
    // count later: true when folder is the deepest level of the sizing
    // walk. False for any other walk or folder: the caller tells them now.
    static bool defer(HLNFile& folder, const HLNFile::Measures& m, const HLNFolderWalk& walk,
                      HLNFile::TreeGuard& held);
    // Every level's bytes counted in all the folders above it.
    static void settle();
    // Settled, and no node kept (the sizing thread out of work).
    static void clear(HLNFile::TreeGuard& held);

private:
    struct Level {
        Ref<HLNFile> node;
        HLNFile::Measures measures;
    };
    static std::vector<Level>& _path(); // from a root down, each the parent of the next
    // The deepest level hands its bytes up: to the one above, if the node
    // still hangs from it (a cut node's bytes are not counted above).
    static void _pop(std::vector<Level>& path, HLNFile::TreeGuard& held);
};
