#pragma once

#include "model/HLNFile.h"

#include <string>

// The tree a window-less command reads: a scan file's, or a folder's sized
// now by the sizing thread, with a progress line on a terminal's standard
// error meanwhile. Entries that cannot be read are named on standard error
// as the sizing meets them.
class HLNCommandTree {
public:
    // Null, with the reason said on standard error, when PATH is neither a
    // readable scan nor a path that can be examined. argv: the program's,
    // for the application object sizing needs.
    static Ref<HLNFile> treeAtPath(const std::string& path, char** argv);
    // Whether some entry could not be read (the command then fails, as du).
    static bool hadProblems();
    // Done with the tree: a scan's is freed; a sized one goes with the
    // process (taking it apart node by node would only hold up the exit).
    static void finish(Ref<HLNFile> root);
};
