#pragma once

#include "model/HLNFile.h"

#include <functional>
#include <string>
#include <vector>

// Moves browsed entries to the trash (TFTrash) and brings their tree up to
// date, as a deletion does: each node is marked as going (status 3) until
// its move is over, then re-read, so that a moved entry leaves its parent
// and its bytes leave every ancestor. When the trash folder used lies in
// the same browsed tree, its node is re-read as well, so the totals keep
// counting what is on disk.
//
// The caller has judged the selection against a fresh mount table: like
// destroying, nothing here checks for volumes mounted beneath an entry.
class HLNTrashMover {
public:
    struct Failure {
        Ref<HLNFile> file;
        std::string reason;
    };
    // Where an entry went: enough to put it back (TFTrash::restoreFromTrash).
    struct Moved {
        std::string path;        // where it was
        std::string trashFolder; // empty when it could not be told
        std::string trashedName; // its name in the trash folder
    };
    // Runs on the main thread, once, after every entry has been tried.
    using Completion = std::function<void(std::vector<Failure> notMoved, std::vector<Moved> moved)>;

    // Main thread or any: returns at once. The entries are moved one after
    // the other, in order, on a thread of their own; a node already going
    // (being moved or destroyed) is left out, and so is a cut node. Every
    // node tried is re-read; entries that could not be moved (other than
    // vanished ones) are left in place and handed to done with the reason.
    static void moveToTrash(std::vector<Ref<HLNFile>> files, Completion done);

    // The node of the folder at path within file's tree, or of its deepest
    // ancestor found there (a folder not yet read); null when the path lies
    // outside the tree. A window (asker) reads no large folder on the way.
    static Ref<HLNFile> nodeInTreeForPath(const Ref<HLNFile>& file, const std::string& path,
                                          HLNFile::Asker asker = HLNFile::Asker::anyThread);

private:
    static void _detachedMove(std::vector<Ref<HLNFile>> files, Completion done);
};
