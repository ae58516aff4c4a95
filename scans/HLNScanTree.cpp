#include "scans/HLNScanTree.h"

#include "scans/HLNScanReader.h"

#include <algorithm>
#include <limits>

namespace {
constexpr uint64_t maxBytes = uint64_t(std::numeric_limits<int64_t>::max());
} // namespace

HLNScanTree::~HLNScanTree() {
    // A tree that failed half-way is attached into one piece and released
    // (a shown one is finished early instead, and is its window's).
    while (!_frames.empty())
        _close(false);
    if (_root && !_showing)
        _root->releaseNow();
}

uint64_t HLNScanTree::_add(uint64_t a, uint64_t b) const {
    if (b > maxBytes - a)
        throw HLNScanReader::Failure{"sizes that add up past 2^63 bytes", 0};
    return a + b;
}

HLNFile::Measures HLNScanTree::_add(HLNFile::Measures a, const HLNFile::Measures& b) const {
    const uint64_t bytes = _add(a.bytes, b.bytes), apparent = _add(a.apparent, b.apparent);
    a += b;
    a.bytes = bytes, a.apparent = apparent;
    return a;
}

HLNFile::Measures HLNScanTree::_own(const Examination& ex, bool counted) {
    const bool knowsApparent = ex.apparentSize != kUnknownSize;
    _hasApparent |= knowsApparent;
    _hasModification |= ex.modified != kUnknownTime;
    ++_entries;
    if (!counted || ex.error == kLeftOut)
        return {};
    return {ex.allocatedBytes, knowsApparent ? ex.apparentSize : 0, 1,
            ex.modified == kUnknownTime ? HLNFile::kNoModification : ex.modified};
}

bool HLNScanTree::enterFolder(const Folder& folder) {
    if (!_frames.empty())
        return true; // its frame opened with its entry
    const HLNFile::Measures mine = _own(folder.examination, true);
    _frames.push_back({HLNFile::_makeImported(Ref<HLNFile>(), folder.name, true, false, mine),
                       {},
                       mine,
                       folder.examination.device});
    _root = _frames.back().node;
    return true;
}

bool HLNScanTree::entry(const Folder&, const char* name, const Examination& ex, bool enterable) {
    if (!ex.exists())
        return false; // gone since the disk's listing
    if (enters(ex, enterable)) {
        // Its entries come next, or its readError.
        const HLNFile::Measures mine = _own(ex, true);
        Ref<HLNFile> node = HLNFile::_makeImported(_frames.back().node, name, true, false, mine);
        _frames.push_back({std::move(node), {}, mine, ex.device});
        return true;
    }
    // A folder not entered (on another file system) counts nothing, as
    // when the live tree is read.
    const HLNFile::Measures mine = _own(ex, !ex.isDirectory());
    Frame& top = _frames.back();
    top.total = _add(top.total, mine);
    Ref<HLNFile> node = HLNFile::_makeImported(top.node, name, ex.isDirectory(), ex.isLink(), mine);
    if (ex.isDirectory()) {
        std::vector<Ref<HLNFile>> none;
        HLNFile::_setImportedChildren(*node, none, mine);
    } else if (ex.linkCount > 1 && ex.inode && ex.error != kLeftOut) {
        _linked.push_back({node, ex.device, ex.inode, ex.linkCount});
    }
    top.children.push_back(std::move(node));
    return false;
}

void HLNScanTree::leaveFolder(const Folder&) {
    _close(true);
}

void HLNScanTree::readError(const Folder*, const char* name, int) {
    if (name) // the folder entered, with nothing read in it
        _close(true);
}

void HLNScanTree::_close(bool checked) {
    Frame& top = _frames.back();
    HLNFile::_setImportedChildren(*top.node, top.children, top.total);
    if (_frames.size() > 1) {
        // Added up before the folder leaves the stack: if it fails, the
        // folder is still there for finishEarly.
        Frame& parent = _frames[_frames.size() - 2];
        if (checked)
            parent.total = _add(parent.total, top.total);
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
        _close(false);
    return finish();
}
