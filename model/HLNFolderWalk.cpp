#include "model/HLNFolderWalk.h"

#include <algorithm>
#include <string>
#include <utility>

HLNFolderWalk::~HLNFolderWalk() = default;

void HLNFolderWalk::close() {
    _levels.clear();
    _listed.clear();
    _reads.clear();
}

void HLNFolderWalk::keepListed(const Ref<HLNFile>& node, TFDirectory& dir) {
    if (_listed.size() == kListedBudget)
        _listed.erase(_listed.begin()); // visited last, depth-first
    _listed.push_back({node, std::move(dir)});
}

void HLNFolderWalk::forget(const HLNFile* node) {
    _takeListed(node);
    for (size_t d = 0; d < _levels.size(); ++d)
        if (_levels[d].node.get() == node) {
            _levels.resize(d);
            break;
        }
}

TFDirectory HLNFolderWalk::_takeListed(const HLNFile* node) {
    for (size_t i = _listed.size(); i-- > 0;)
        if (_listed[i].node.get() == node) {
            TFDirectory dir = std::move(_listed[i].dir);
            _listed.erase(_listed.begin() + std::ptrdiff_t(i));
            return dir;
        }
    return TFDirectory();
}

void HLNFolderWalk::keepRead(const Ref<HLNFile>& node, Ref<HLNFile::List> names,
                             TFReadAhead::JobRef job) {
    _reads[node.get()] = {node, std::move(names), std::move(job)};
}

TFReadAhead::JobRef HLNFolderWalk::takeRead(const HLNFile* node, const Ref<HLNFile::List>& names) {
    auto at = _reads.find(node);
    if (at == _reads.end())
        return nullptr;
    TFReadAhead::JobRef job = at->second.names == names ? std::move(at->second.job) : nullptr;
    _reads.erase(at);
    return job;
}

const TFDirectory* HLNFolderWalk::open(const HLNFile& node, bool open) {
    const HLNFile* self = &node;
    size_t depth = 0, kept = 0;
    std::vector<Ref<HLNFile>>& fresh = _fresh; // the nodes below the kept levels, top first
    fresh.clear();
    {
        HLNFile::TreeGuard held(*this);
        // Most visits are of a level of the walk or of a folder just below
        // one, and the walk's levels still hang from their root while no
        // node has been cut since it last climbed to it: then neither the
        // depth nor the root takes a walk up (a chain of nested folders
        // would cost its depth at every visit).
        size_t k = _checkedAtCuts == HLNFile::_cuts ? _levels.size() : 0;
        while (k > 0 && _levels[k - 1].node.get() != self && _levels[k - 1].node != self->_parent)
            --k;
        if (k > 0) {
            kept = k;
            depth = _levels[k - 1].node.get() == self ? k : k + 1;
            if (depth > k)
                fresh.push_back(Ref<HLNFile>(const_cast<HLNFile*>(self)));
        } else {
            // Its depth, and whether it still hangs from a root, in one walk up.
            const HLNFile* top = self;
            for (depth = 1; top->_parent; ++depth)
                top = top->_parent.get();
            if (!top->_has(HLNFile::IsRootFile))
                return nullptr;
            // A node's ancestors never change, so the walk's levels match the
            // path up to the deepest level that is one of this node's ancestors.
            const HLNFile* n = self;
            for (size_t d = depth; d > _levels.size(); --d)
                n = n->_parent.get();
            kept = std::min(_levels.size(), depth);
            while (kept > 0 && _levels[kept - 1].node.get() != n) {
                n = n->_parent.get();
                --kept;
            }
            fresh.resize(depth - kept);
            n = self;
            for (size_t d = depth; d > kept; --d, n = n->_parent.get())
                fresh[d - kept - 1] = Ref<HLNFile>(const_cast<HLNFile*>(n));
            _checkedAtCuts = HLNFile::_cuts;
        }
    }
    _levels.resize(kept); // the rest of the old path is closed and let go here
    for (Ref<HLNFile>& n : fresh)
        _levels.push_back({std::move(n), TFDirectory()});
    fresh.clear();
    if (!open)
        return nullptr; // the path follows the visit; its folders open when needed
    size_t from = kept;
    while (from > 0 && !_levels[from - 1].dir.isOpen())
        --from;
    for (size_t d = from; d < depth; ++d) {
        Level& level = _levels[d];
        level.dir = _takeListed(level.node.get());
        if (!level.dir.isOpen())
            level.dir = d == 0 ? TFDirectory::openPath(std::string(level.node->nameView()))
                               : _levels[d - 1].dir.openChild(level.node->_nameBytes());
        if (!level.dir.isOpen()) {
            _levels.resize(d + 1);
            return &level.dir;
        }
    }
    // Levels above the budget were closed on earlier visits, but for those
    // just opened or just left behind, all just above the budget's edge.
    if (depth > kOpenBudget)
        for (size_t d = depth - kOpenBudget; d >= 1 && _levels[d].dir.isOpen(); --d)
            _levels[d].dir = TFDirectory();
    return &_levels[depth - 1].dir;
}
