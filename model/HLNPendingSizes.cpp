#include "model/HLNPendingSizes.h"

#include "model/HLNFolderWalk.h"

#include <utility>

std::vector<HLNPendingSizes::Level>& HLNPendingSizes::_path() {
    static auto* path = new std::vector<Level>; // never destroyed
    return *path;
}

void HLNPendingSizes::_pop(std::vector<Level>& path, HLNFile::TreeGuard& held) {
    Level deepest = std::move(path.back());
    path.pop_back();
    if (deepest.measures != HLNFile::Measures() && !path.empty() &&
        deepest.node->_parent == path.back().node) {
        path.back().node->_add(deepest.measures);
        path.back().measures += deepest.measures;
    }
    held.dropAfterUnlock(std::move(deepest.node));
}

bool HLNPendingSizes::defer(HLNFile& folder, const HLNFile::Measures& m, const HLNFolderWalk& walk,
                            HLNFile::TreeGuard& held) {
    const size_t depth = walk.depth();
    if (!walk.isSizingWalk() || depth == 0 || walk.nodeAt(depth - 1).get() != &folder)
        return false;
    // The walk's levels are this folder's path; the pending path follows it,
    // its levels left behind handing their bytes up.
    std::vector<Level>& path = _path();
    while (!path.empty() &&
           (path.size() > depth || path.back().node != walk.nodeAt(path.size() - 1)))
        _pop(path, held);
    while (path.size() < depth)
        path.push_back({walk.nodeAt(path.size()), {}});
    path.back().measures += m;
    HLNFile::_sizesPending = true;
    return true;
}

void HLNPendingSizes::settle() {
    if (!HLNFile::_sizesPending)
        return;
    std::vector<Level>& path = _path();
    HLNFile::Measures carried;
    for (size_t d = path.size(); d-- > 1;) {
        carried += std::exchange(path[d].measures, HLNFile::Measures());
        if (path[d].node->_parent != path[d - 1].node)
            carried = HLNFile::Measures(); // cut: not counted above
        path[d - 1].node->_add(carried);
    }
    if (!path.empty())
        path[0].measures = HLNFile::Measures();
    HLNFile::_sizesPending = false;
}

void HLNPendingSizes::clear(HLNFile::TreeGuard& held) {
    std::vector<Level>& path = _path();
    while (!path.empty())
        _pop(path, held);
    HLNFile::_sizesPending = false;
}
