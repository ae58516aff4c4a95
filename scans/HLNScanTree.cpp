#include "scans/HLNScanTree.h"

#include <limits>
#include <sys/stat.h>

namespace {

constexpr uint64_t maxBytes = uint64_t(std::numeric_limits<int64_t>::max());

// The entry alone as the scan gives it (an excluded entry counts nothing).
HLNFile::Measures own(const HLNScanReader::Entry& entry) {
    if (entry.excluded)
        return {};
    return {entry.dsize, entry.asize, 1, entry.mtime};
}

} // namespace

HLNScanTree::~HLNScanTree() {
    // A tree that failed half-way is attached into one piece and released
    // (a shown one is finished early instead, and is its window's).
    while (!_frames.empty())
        _close(0, false);
    if (_root && !_showing)
        _root->releaseNow();
}

uint64_t HLNScanTree::_add(uint64_t a, uint64_t b, uint64_t at) const {
    if (b > maxBytes - a)
        throw HLNScanReader::Failure{"sizes that add up past 2^63 bytes", at};
    return a + b;
}

HLNFile::Measures HLNScanTree::_add(HLNFile::Measures a, const HLNFile::Measures& b,
                                    uint64_t at) const {
    const uint64_t bytes = _add(a.bytes, b.bytes, at), apparent = _add(a.apparent, b.apparent, at);
    a += b;
    a.bytes = bytes, a.apparent = apparent;
    return a;
}

void HLNScanTree::openFolder(HLNScanReader::Entry& folder) {
    _hasApparent |= folder.hasApparent;
    _hasModification |= folder.hasModification;
    ++_entries;
    // A folder on another file system (not entered) counts nothing, as
    // when the live tree is read.
    const HLNFile::Measures mine = own(folder);
    const bool isRoot = _frames.empty();
    Ref<HLNFile> parent = isRoot ? Ref<HLNFile>() : _frames.back().node;
    const uint64_t device = folder.hasDev ? folder.dev : isRoot ? 0 : _frames.back().device;
    _frames.push_back(
        {HLNFile::_makeImported(parent, folder.name, true, false, mine), {}, mine, device});
    if (isRoot)
        _root = _frames.back().node;
}

void HLNScanTree::addEntry(HLNScanReader::Entry& entry) {
    _hasApparent |= entry.hasApparent;
    _hasModification |= entry.hasModification;
    ++_entries;
    Frame& top = _frames.back();
    const HLNFile::Measures mine = own(entry);
    const bool isLink = entry.hasMode && S_ISLNK(static_cast<mode_t>(entry.mode));
    top.total = _add(top.total, mine, entry.at);
    top.children.push_back(HLNFile::_makeImported(top.node, entry.name, false, isLink, mine));
    if (entry.hardLinked && entry.hasIno && !entry.excluded)
        _linked.push_back({top.children.back(), entry.hasDev ? entry.dev : top.device, entry.ino,
                           std::max<uint64_t>(entry.nlink, 2)});
}

void HLNScanTree::closeFolder(uint64_t at) {
    _close(at, true);
}

void HLNScanTree::_close(uint64_t at, bool checked) {
    Frame& top = _frames.back();
    HLNFile::_setImportedChildren(*top.node, top.children, top.total);
    if (_frames.size() > 1) {
        // Added up before the folder leaves the stack: if it fails, the
        // folder is still there for finishEarly.
        Frame& parent = _frames[_frames.size() - 2];
        if (checked)
            parent.total = _add(parent.total, top.total, at);
        else
            parent.total += top.total; // what a damaged scan gave, as far as it adds up
        parent.children.push_back(std::move(top.node));
    }
    _frames.pop_back();
}

void HLNScanTree::beginShowing() {
    _showing = true;
    showSoFar();
}

void HLNScanTree::showSoFar() {
    if (!_showing || _frames.empty())
        return;
    // The lists that changed are made first, without the lock; then the
    // folders are shown deepest first in one hold of it: each holds the one
    // below it, and the figures of them all add up at every moment.
    std::vector<Ref<HLNFile::List>> lists(_frames.size());
    for (size_t i = 0; i < _frames.size(); ++i) {
        const Frame& frame = _frames[i];
        const Ref<HLNFile>& open = i + 1 < _frames.size() ? _frames[i + 1].node : Ref<HLNFile>();
        if (frame.children.size() != frame.shownChildren || open.get() != frame.shownOpen)
            lists[i] = HLNFile::_importedList(frame.children, open);
    }
    for (size_t i = 0; i < _frames.size(); ++i)
        if (lists[i]) { // all made: nothing below throws
            _frames[i].shownChildren = _frames[i].children.size();
            _frames[i].shownOpen = i + 1 < _frames.size() ? _frames[i + 1].node.get() : nullptr;
        }
    HLNFile::TreeGuard held;
    HLNFile::Measures below;
    for (size_t i = _frames.size(); i-- > 0;) {
        HLNFile::Measures soFar = _frames[i].total;
        soFar += below;
        HLNFile::_showImportedSoFar(*_frames[i].node, std::move(lists[i]), soFar, held);
        below = soFar;
    }
}

Ref<HLNFile> HLNScanTree::finish() {
    HLNFile::_setImportedUnknowns(_root, !_hasApparent, !_hasModification);
    HLNFile::_countImportedNamesOnce(_root, _linked);
    Ref<HLNFile> root = std::move(_root);
    _root = nullptr;
    return root;
}

Ref<HLNFile> HLNScanTree::finishEarly() {
    while (!_frames.empty())
        _close(0, false);
    return finish();
}
