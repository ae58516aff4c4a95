#include "model/HLNFile.h"

#include "model/HLNChildOrder.h"
#include "model/HLNFolderWalk.h"
#include "model/HLNLinkedNames.h"
#include "model/HLNListingStamps.h"
#include "model/HLNNodeMemory.h"
#include "model/HLNPendingSizes.h"
#include "model/HLNRefreshRequests.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFException.h"
#include "toolkit/TFFolderStamp.h"
#include "toolkit/TFMainThread.h"
#include "toolkit/TFProcess.h"
#include "toolkit/TFReadAhead.h"
#include "toolkit/TFString.h"
#include "toolkit/TFTreeWalker.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

static_assert(sizeof(HLNFile) <= 32, "a file's node stays at four words");
static_assert(alignof(HLNFile) == 4, "names after nodes are padded to four bytes, not eight");

static std::atomic<uint64_t> createdCount{0};
// Every name of a file counts its bytes (see setCountsEachName).
static std::atomic<bool> countsEachName{false};
static std::atomic<HLNFile::Figure> shownFigureOfAll{HLNFile::Figure::diskUsage};

void HLNFile::setShownFigure(Figure figure) {
    shownFigureOfAll = figure;
}

HLNFile::Figure HLNFile::shownFigure() {
    return shownFigureOfAll;
}

uint64_t HLNFile::nodesCreated() {
    return createdCount.load(std::memory_order_relaxed);
}

// ---------------------------------------------------------------- List

HLNFile::List::~List() {
    if (!_holdsNames)
        for (uint32_t i = 0; i < _count; ++i)
            nodes()[i].~Ref<HLNFile>();
}

Ref<HLNFile::List> HLNFile::List::makeNodes(size_t capacity) {
    return Ref<List>(new (Tail{}, capacity * sizeof(Ref<HLNFile>)) List(false));
}

HLNFile::ChildList HLNFile::reorderedList(const ChildList& list,
                                          const std::vector<uint32_t>& order) {
    Ref<List> built = List::makeNodes(order.size());
    for (uint32_t i : order)
        new (&built->nodes()[built->_count++]) Ref<HLNFile>((*list)[i]);
    return built;
}

template <class Names, class NameOf>
Ref<HLNFile::List> HLNFile::List::makeNames(const Names& names, NameOf nameOf, size_t byteCount,
                                            uint32_t folders) {
    const size_t count = names.size();
    size_t extra = (count + 1) * sizeof(uint32_t) + byteCount;
    Ref<List> list(new (Tail{}, extra) List(true));
    list->_count = static_cast<uint32_t>(count);
    list->_extra.store(folders, std::memory_order_relaxed);
    auto* table = reinterpret_cast<uint32_t*>(list.get() + 1);
    char* text = reinterpret_cast<char*>(table + count + 1);
    uint32_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        table[i] = at;
        const std::string_view name = nameOf(names[i]);
        std::memcpy(text + at, name.data(), name.size() + 1); // with its NUL
        at += static_cast<uint32_t>(name.size() + 1);
    }
    table[count] = at;
    return list;
}

// ---------------------------------------------------------------- names

namespace {
std::atomic<uint64_t> problems{0};
}

void HLNFile::reportProblem(const std::string& path, int error) {
    problems.fetch_add(1, std::memory_order_relaxed);
    std::string line = "hollin: " + path + ": " + std::strerror(error) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr); // the path's bytes as they are
}

uint64_t HLNFile::problemsReported() {
    return problems.load(std::memory_order_relaxed);
}

int HLNFile::compareNames(std::string_view a, std::string_view b) {
    return TFString::compareNamesThenBytes(a, b);
}

// What one entry is, read relative to an open folder; a folder that is to
// be listed comes with its sorted names.
struct HLNFile::Examination {
    TFDirectory::Examination entry;
    int32_t fileSystemNumber = 0; // the entry's device, folded
    int32_t parentFsNumber = 0;
    Ref<List> names;
    TFDirectory listed; // the folder as opened for its listing
    // The folder as it was listed, when it was (lost: it went before).
    TFFolderStamp stamp;
    // A window lists no more than this: a folder with more names is left
    // to the sizing thread (tooManyToList).
    size_t listLimit = SIZE_MAX;
    bool tooManyToList = false;

    // Why a folder examined well could not be listed; 0 when it was.
    int listError = 0;

    // The errno of a failure other than the entry being gone; 0 otherwise.
    int failure() const { return entry.exists() ? (entry.error ? entry.error : listError) : 0; }
};

namespace {

int32_t foldDevice(uint64_t d) {
    return static_cast<int32_t>(static_cast<uint32_t>(d ^ (d >> 32)));
}

bool hasSize(SizeStatus status) {
    switch (status) {
    case SizeStatus::notStarted:
    case SizeStatus::goneOrGoing:
        return false;
    case SizeStatus::inProgress:
    case SizeStatus::complete:
        return true;
    }
    return false;
}

// Each name measured and keyed once, not at every comparison; most
// comparisons are then of two keys. Two words: a folder of a million names
// sorts in 16 MB.
struct KeyedName {
    uint64_t key;
    uint32_t offset, length; // in the listing's bytes
};

// What a listing reads into, kept from one listing to the next on a thread:
// most folders are small, and growing fresh buffers for each cost more
// than sorting its names. A huge folder's are let go at the next listing.
struct ListingBuffers {
    std::vector<char> bytes;
    std::vector<uint32_t> offsets;
    std::vector<KeyedName> keyed;

    static bool tooLarge(const ListingBuffers& buffers) {
        return buffers.bytes.capacity() > (size_t(1) << 16) ||
               buffers.offsets.capacity() > (size_t(1) << 12) || // many short names
               buffers.keyed.capacity() > (size_t(1) << 12);
    }
    static ListingBuffers& emptyOfThisThread() {
        thread_local ListingBuffers buffers;
        if (tooLarge(buffers))
            buffers = ListingBuffers();
        buffers.bytes.clear();
        buffers.offsets.clear();
        buffers.keyed.clear();
        return buffers;
    }
};
} // namespace

Ref<HLNFile::List> HLNFile::_listFolder(const TFDirectory& folder, Examination& r) {
    ListingBuffers& buffers = ListingBuffers::emptyOfThisThread();
    std::vector<char>& bytes = buffers.bytes;
    std::vector<uint32_t>& offsets = buffers.offsets;
    size_t folders = 0;
    // A folder listed before it was examined (an awaited listing) has no
    // device yet, and asks.
    if (!folder.isOpen()) {
        // Gone or swapped for something else since it was examined: no failure.
        if (folder.error() != ENOENT && folder.error() != ENOTDIR && folder.error() != ELOOP)
            r.listError = folder.error();
        return nullptr;
    }
    errno = 0;
    if (!folder.readNames(bytes, offsets, r.listLimit, &folders,
                          folder.listingsEndShort(r.entry.mountId, r.entry.device)) &&
        offsets.size() <= r.listLimit && errno)
        r.listError = errno;
    if (offsets.size() > r.listLimit) {
        r.tooManyToList = true;
        return nullptr;
    }
    if (offsets.empty())
        return nullptr;
    std::vector<KeyedName>& keyed = buffers.keyed;
    keyed.reserve(offsets.size());
    const char* text = bytes.data();
    for (size_t i = 0; i < offsets.size(); ++i) {
        size_t end = i + 1 < offsets.size() ? offsets[i + 1] : bytes.size();
        const auto length = static_cast<uint32_t>(end - offsets[i] - 1);
        keyed.push_back({TFString::nameSortKey(std::string_view(text + offsets[i], length)),
                         offsets[i], length});
    }
    auto nameOf = [text](const KeyedName& k) {
        return std::string_view(text + k.offset, k.length);
    };
    std::sort(keyed.begin(), keyed.end(), [&](const KeyedName& x, const KeyedName& y) {
        if (x.key != y.key && x.key && y.key)
            return x.key < y.key;
        return HLNFile::compareNames(nameOf(x), nameOf(y)) < 0;
    });
    Ref<List> names =
        HLNFile::List::makeNames(keyed, nameOf, bytes.size(), static_cast<uint32_t>(folders));
    // A huge folder's buffers go now, not at the next listing: they would
    // stay beside its nodes.
    if (ListingBuffers::tooLarge(buffers))
        buffers = ListingBuffers();
    return names;
}

bool HLNFile::_sizesPending = false;
uint64_t HLNFile::_cuts = 0;

namespace {
std::atomic<bool> hasConversionHook{false};
std::mutex& conversionHookLock() {
    static std::mutex lock;
    return lock;
}
std::function<void(const Ref<HLNFile>&)>& conversionHook() { // never destroyed
    static auto* hook = new std::function<void(const Ref<HLNFile>&)>;
    return *hook;
}
} // namespace

void HLNFile::setConversionHookForTesting(std::function<void(const Ref<HLNFile>&)> hook) {
    std::scoped_lock lock(conversionHookLock());
    hasConversionHook = static_cast<bool>(hook);
    conversionHook() = std::move(hook);
}

void HLNFile::_closeSizingFolders(HLNFolderWalk& walk) {
    walk.close();
    TreeGuard held; // every size whole again, and no node kept
    HLNPendingSizes::clear(held);
}

// ---------------------------------------------------------------- the lock

std::recursive_mutex& HLNFile::treeLock() {
    static std::recursive_mutex lock;
    return lock;
}

HLNFile::TreeGuard::TreeGuard(const HLNFolderWalk& walk)
    : _lock(treeLock()), _holdsBack(walk.isSizingWalk()) {
    _settleForReader();
}

void HLNFile::_settlePendingSizes() {
    HLNPendingSizes::settle();
}

int32_t HLNFile::_fileSystemNumberOf(uint64_t device) {
    return foldDevice(device);
}

void HLNFile::TreeGuard::unlock() {
    if (_lock.owns_lock())
        _lock.unlock();
    _list = nullptr;
    _node = nullptr;
    if (_toInvalidate.empty() && _nodes.empty() && _lists.empty())
        return;
    std::vector<Ref<HLNFile>> release = std::move(_toInvalidate);
    _toInvalidate.clear();
    _lists.clear();
    _nodes.clear();
    for (const Ref<HLNFile>& node : release)
        node->invalidate();
}

void HLNFile::TreeGuard::dropAfterUnlock(Ref<HLNFile> node) {
    if (!node)
        return;
    if (!_node)
        _node = std::move(node);
    else
        _nodes.push_back(std::move(node));
}

void HLNFile::TreeGuard::dropAfterUnlock(Ref<List> list) {
    if (!list)
        return;
    if (!_list)
        _list = std::move(list);
    else
        _lists.push_back(std::move(list));
}

void HLNFile::TreeGuard::invalidateAfterUnlock(Ref<HLNFile> node) {
    if (node)
        _toInvalidate.push_back(std::move(node));
}

// ---------------------------------------------------------------- creation

HLNFile::HLNFile(const Ref<HLNFile>& parent) : _parent(parent) {
    if (!parent)
        _flags |= IsRootFile;
}

// Of the roots of scans that lack a measure, which: under the tree lock.
struct HLNFile::Unknowns {
    static std::unordered_map<const HLNFile*, std::pair<bool, bool>>& table() {
        static auto* roots = new std::unordered_map<const HLNFile*, std::pair<bool, bool>>;
        return *roots;
    }
    static void of(const HLNFile* node, const TreeGuard&, bool& apparent, bool& modification) {
        while (node->_parent)
            node = node->_parent.get();
        if (auto at = table().find(node); at != table().end())
            apparent = !at->second.first, modification = !at->second.second;
    }
    static void forget(const HLNFile* root) {
        TreeGuard held;
        table().erase(root);
    }
};

HLNFile::~HLNFile() {
    if (_flags & MultiLinked) { // cut nodes have left the table already
        TreeGuard held;
        _leaveName(held);
    }
    if (_apparent32 == kOdd)
        HLNNodeMemory::setOddValues(this, false, 0, 0);
    if ((_flags & ImportedBit) && (_flags & IsRootFile))
        Unknowns::forget(this);
    if (_flags & PartBefore)
        _part()->~FolderPart();
    else if (_flags & PartApart)
        HLNNodeMemory::dropLatePart(this);
}

void HLNFile::operator delete(HLNFile* node, std::destroying_delete_t) {
    HLNNodeMemory::destroy(node);
}

Ref<HLNFile> HLNFile::_make(const Ref<HLNFile>& parent, std::string_view name, bool withPart,
                            HLNNodeMemory* memory) {
    uint32_t where = 0;
    void* room = HLNNodeMemory::room(name.size() + 1, withPart, memory, &where);
    Ref<HLNFile> node(new (Placed{}, room) HLNFile(parent));
    node->_flags |= where << BlockShift | (withPart ? uint32_t(PartBefore) : 0u);
    createdCount.fetch_add(1, std::memory_order_relaxed);
    char* bytes = const_cast<char*>(node->_nameBytes());
    std::memcpy(bytes, name.data(), name.size());
    bytes[name.size()] = 0;
    return node;
}

Ref<HLNFile> HLNFile::initWithParent(const Ref<HLNFile>& parent, std::string name, Asker asker) {
    // Names never hold NUL bytes; a string that does names nothing on disk.
    if (name.find('\0') != std::string::npos || name.empty())
        return nullptr;
    Ref<HLNFile> node = _make(parent, name, true);
    HLNFolderWalk walk;
    if (!node->_checkAttributes(walk, asker))
        return nullptr;
    return node;
}

// Reads one entry inside an open folder (on a folder that did not open, its
// error); a folder on its parent's file system is listed too.
void HLNFile::_readEntry(const TFDirectory& folder, const char* name, int32_t parentFs,
                         Examination& r) {
    r.entry = folder.examine(name);
    if (r.entry.error)
        return;
    r.fileSystemNumber = foldDevice(r.entry.device);
    if (r.entry.isDirectory() && r.fileSystemNumber == parentFs)
        _listFolderOpened(folder.openChild(name), r);
}

// Reads a root, given by its whole path; a root folder is always listed.
void HLNFile::_readRoot(const std::string& path, Examination& r) {
    r.entry = TFDirectory::examinePath(path);
    if (r.entry.error)
        return;
    r.fileSystemNumber = foldDevice(r.entry.device);
    if (r.entry.isDirectory())
        _listFolderOpened(TFDirectory::openPath(path), r);
}

void HLNFile::_listFolderOpened(TFDirectory folder, Examination& r) {
    r.listed = std::move(folder);
    const int openError = r.listed.error();
    // Taken before the listing, so that a change during it shows later.
    const TFFolderStamp stamp = TFFolderStamp::of(r.listed);
    r.names = _listFolder(r.listed, r);
    if (!r.listed.isOpen())
        r.stamp = openError == ENOENT || openError == ENOTDIR || openError == ELOOP
                      ? TFFolderStamp::lost()
                      : TFFolderStamp();
    else if (!r.listError && !r.tooManyToList)
        r.stamp = stamp;
}

bool HLNFile::_checkAttributes(HLNFolderWalk& walk, Asker asker) {
    // The disk is read without the tree lock, relative to the parent's
    // folder (a root by its path); the result is applied under the lock.
    Examination ex;
    Ref<HLNFile> parent;
    {
        TreeGuard held(walk);
        if (!_hasPath(held))
            return false;
        parent = _parent;
        ex.parentFsNumber = parent ? parent->_fileSystemNumber() : 0;
    }
    if (asker == Asker::window)
        ex.listLimit = kWindowNames;
    walk.forget(this); // opened for an earlier listing: this one opens it anew
    if (!parent) {
        _readRoot(std::string(nameView()), ex);
    } else {
        const TFDirectory* folder = walk.open(*parent);
        if (!folder)
            return false;
        _readEntry(*folder, _nameBytes(), ex.parentFsNumber, ex);
    }
    if (int error = ex.failure())
        reportProblem(path(), error);
    TreeGuard held(walk);
    const bool applied = _apply(ex, &held);
    if (applied && _has(IsDirectory))
        _noteListing(ex.stamp, held);
    const bool toVisit = applied && _has(ChildrenArrayContainsNames);
    held.unlock();
    if (toVisit && walk.isSizingWalk() && ex.listed.isOpen())
        walk.keepListed(Ref<HLNFile>(this), ex.listed);
    return applied;
}

bool HLNFile::_apply(Examination& ex, TreeGuard* held) {
    if (!ex.entry.exists())
        return false;
    // An entry that is there but cannot be examined is listed as a file of
    // 0 bytes, whatever it was before: its former entries are not counted.
    _set(IsDirectory, !ex.entry.error && ex.entry.isDirectory());
    _set(IsLink, !ex.entry.error && ex.entry.isLink());
    _set(IsExecutable, !ex.entry.error && ex.entry.type == TFDirectory::EntryType::regular &&
                           (ex.entry.mode & 0111) != 0);
    uint64_t allocated = ex.entry.error ? 0 : ex.entry.allocatedBytes;
    if (ex.entry.error)
        _setOwn(0, kNoModification);
    else
        _setOwn(ex.entry.apparentSize, ex.entry.modified);
    _set(AwaitsListing, false);
    if (_has(IsDirectory))
        _folderPart().fileSystemNumber = ex.fileSystemNumber;
    if (!_has(IsDirectory)) {
        _sizeSoFar = allocated;
        if (FolderPart* part = _part()) // a folder before: its figures go with its entries
            part->apparent = part->items = 0, part->newest = kNoModification;
        _setUnsized(_children() ? _children()->_count : 0);
        // A new node's names are entered by whoever attaches it.
        if (held && !ex.entry.error && ex.entry.linkCount > 1 && !countsEachName)
            _enterName(ex.entry.device, ex.entry.inode, ex.entry.linkCount, _liveRoot(*held), false,
                       *held);
    } else if (_has(IsRootFile) || _fileSystemNumber() == ex.parentFsNumber) {
        if (_has(Invalidated))
            return false;
        if (held)
            _setChildren(std::move(ex.names), *held);
        else
            _part()->children = std::move(ex.names);
        _set(ChildrenArrayContainsNames, _children() != nullptr);
        _set(AwaitsListing, ex.tooManyToList);
        _sizeSoFar = allocated;
        FolderPart& part = *_part();
        part.apparent = _ownApparent(), part.items = 1, part.newest = _ownModified();
        // A folder still to be listed counts as one entry left to size.
        _setUnsized(ex.tooManyToList ? 1 : _children() ? _children()->_count : 0);
        if (_unsized() > 0 && held && _parent)
            _parent->_childSized(_own(allocated), false, *held);
    } else {
        // A folder on another file system (a volume mounted inside the tree)
        // is neither listed nor counted.
        _sizeSoFar = 0;
        FolderPart& part = *_part();
        part.apparent = part.items = 0, part.newest = kNoModification;
        _setUnsized(0);
    }
    if (_unsized() == 0 && held && _parent)
        _parent->_childSized(_counted(*held), true, *held);
    return true;
}

// ---------------------------------------------------------------- names of one file

void HLNFile::setCountsEachName(bool countEachName) {
    countsEachName = countEachName;
}

const HLNFile* HLNFile::_liveRoot(const TreeGuard&) const {
    for (const HLNFile* n = this;; n = n->_parent.get()) {
        if (n->_has(Invalidated))
            return nullptr;
        if (n->_has(IsRootFile))
            return n;
        if (!n->_parent)
            return nullptr;
    }
}

bool HLNFile::_enterName(uint64_t device, uint64_t inode, uint64_t nameCount, const HLNFile* root,
                         bool countedAbove, const TreeGuard& held) {
    return HLNLinkedNames::enter(*this, {root, device, inode}, nameCount, countedAbove, held);
}

void HLNFile::_leaveName(const TreeGuard& held) {
    HLNLinkedNames::leave(*this, held);
}

// ---------------------------------------------------------------- accessors

const Ref<HLNFile::List>& HLNFile::_children() const {
    static const Ref<List> none;
    const FolderPart* part = _part();
    return part ? part->children : none;
}

HLNFile::FolderPart* HLNFile::_partAside() const {
    return &HLNNodeMemory::latePart(this);
}

HLNFile::FolderPart& HLNFile::_folderPart() {
    if (FolderPart* part = _part())
        return *part;
    FolderPart& part = HLNNodeMemory::latePart(this);
    _flags |= PartApart;
    return part;
}

bool HLNFile::_hasPath(const TreeGuard&) const {
    const HLNFile* n = this;
    while (!n->_has(IsRootFile)) {
        if (!n->_parent)
            return false;
        n = n->_parent.get();
    }
    return true;
}

void HLNFile::_appendPath(std::string& out, const TreeGuard&) const {
    const HLNFile* chain[64];
    std::vector<const HLNFile*> deep;
    size_t count = 0;
    for (const HLNFile* n = this; n; n = n->_parent.get()) {
        if (count < 64)
            chain[count++] = n;
        else
            deep.push_back(n);
    }
    auto at = [&](size_t k) { return k < 64 ? chain[k] : deep[k - 64]; };
    size_t total = count + deep.size();
    for (size_t k = total; k-- > 0;) {
        const HLNFile* n = at(k);
        if (k + 1 < total && (out.empty() || out.back() != '/'))
            out += '/';
        out += n->nameView();
    }
}

std::string HLNFile::path() const {
    TreeGuard held;
    std::string p;
    if (_hasPath(held))
        _appendPath(p, held);
    return p;
}

Ref<HLNFile> HLNFile::parent() const {
    TreeGuard held;
    return _parent;
}

bool HLNFile::isDirectory(const HLNFolderWalk& walk) const {
    TreeGuard held(walk);
    return _has(IsDirectory);
}

bool HLNFile::isDirectory() const {
    TreeGuard held;
    return _has(IsDirectory);
}

bool HLNFile::isLink() const {
    TreeGuard held;
    return _has(IsLink);
}

bool HLNFile::isTrashing() const {
    TreeGuard held;
    return _has(IsTrashing);
}

bool HLNFile::_beginTrashing() {
    TreeGuard held;
    if (_has(IsTrashing) || (_flags & ImportedBit))
        return false;
    _flags |= IsTrashing;
    return true;
}

void HLNFile::_endTrashing() {
    TreeGuard held;
    _set(IsTrashing, false);
}

bool HLNFile::isInvalidated() const {
    TreeGuard held;
    return _has(Invalidated);
}

uint64_t HLNFile::sizeSoFar() const {
    TreeGuard held;
    return _sizeSoFar;
}

int64_t HLNFile::ownModification() const {
    TreeGuard held;
    return _ownModified();
}

HLNFile::Measures HLNFile::measures() const {
    TreeGuard held;
    // A name of a file another name counts: what that name counts.
    if (!_has(IsDirectory) && (_flags & MultiLinked))
        if (const HLNLinkedNames::File* file = HLNLinkedNames::fileOf(this);
            file && file->carrier != this)
            return file->counted;
    return _counted(held);
}

uint32_t HLNFile::unsizedChildrenCount() const {
    TreeGuard held;
    return _unsized();
}

uint32_t HLNFile::childrenCount() const {
    TreeGuard held;
    return _childrenCount(held);
}

SizeStatus HLNFile::_sizeStatus(const TreeGuard& held) const {
    if (_has(Invalidated) || _has(IsTrashing))
        return SizeStatus::goneOrGoing;
    if (_has(AwaitsListing))
        return SizeStatus::notStarted;
    if (_unsized() == 0)
        return SizeStatus::complete;
    if (_unsized() != _childrenCount(held) || _has(ChildrenHaveDoneSomeSizing))
        return SizeStatus::inProgress;
    return SizeStatus::notStarted;
}

SizeStatus HLNFile::sizeStatus() const {
    TreeGuard held;
    return _sizeStatus(held);
}

HLNFile::Snapshot HLNFile::snapshot() const {
    TreeGuard held;
    return _snapshot(held);
}

HLNFile::ChildList HLNFile::childrenWithSnapshots(std::vector<Snapshot>& snapshots,
                                                  std::vector<int64_t>& ownModifications) {
    ChildList list = children();
    snapshots.clear();
    ownModifications.clear();
    if (!list)
        return list;
    snapshots.reserve(list->size());
    ownModifications.reserve(list->size());
    TreeGuard held;
    for (const Ref<HLNFile>& child : *list) {
        snapshots.push_back(child->_snapshot(held));
        ownModifications.push_back(child->_ownModified());
    }
    return list;
}

HLNFile::Snapshot HLNFile::_snapshot(const TreeGuard& held) const {
    Snapshot now;
    now.sizeSoFar = _sizeSoFar;
    now.measures = _counted(held);
    now.sizeStatus = _sizeStatus(held);
    now.isDirectory = _has(IsDirectory);
    now.isLink = _has(IsLink);
    now.isExecutable = _has(IsExecutable);
    if (_flags & MultiLinked)
        if (const HLNLinkedNames::File* file = HLNLinkedNames::fileOf(this)) {
            now.nameCount = file->nameCount;
            now.countedAtAnotherName = file->carrier != this;
            if (now.countedAtAnotherName) {
                now.bytesCountedElsewhere = file->counted.bytes;
                now.countedElsewhere = file->counted;
            }
        }
    if (_flags & ImportedBit)
        Unknowns::of(this, held, now.knowsApparent, now.knowsModification);
    return now;
}

// ---------------------------------------------------------------- children

HLNFile::ChildList HLNFile::_nodes(const TreeGuard&) const {
    if (!_children() || _has(ChildrenArrayContainsNames))
        return nullptr;
    return ChildList(_children());
}

void HLNFile::_setChildren(Ref<List> list, TreeGuard& held) {
    if (_has(Invalidated))
        return;
    std::swap(_folderPart().children, list);
    _set(ChildrenInNameOrder, false);
    held.dropAfterUnlock(std::move(list));
}

// Ends a conversion however it ends (an allocation may fail half-way): the
// mark is cleared, and those who asked meanwhile are answered once the lock
// is released.
struct HLNFile::ConversionEnd {
    Ref<HLNFile> folder;
    TreeGuard& held;
    bool ended = false, handBack = false, refresh = false;

    // Under the lock.
    void end() {
        folder->_set(ConvertingNames, false);
        handBack = folder->_has(ChildrenWantedDuringConversion);
        refresh = folder->_has(RefreshWantedAfterConversion);
        folder->_set(ChildrenWantedDuringConversion, false);
        folder->_set(RefreshWantedAfterConversion, false);
        ended = true;
    }
    ~ConversionEnd() {
        try {
            if (!ended) {
                held.lock();
                end();
            }
            held.unlock();
            if (handBack)
                _sizeLater(folder);
            if (refresh)
                HLNRefreshRequests::updateUI();
        } catch (...) {
            // Out of memory while answering: the next visit or refresh does.
        }
    }
};

bool HLNFile::_listAwaited(TreeGuard& held, HLNFolderWalk& walk, Asker asker) {
    if (asker == Asker::window) {
        _handToSizingThread(held);
        return false;
    }
    Ref<HLNFile> self(this);
    held.unlock();
    Examination ex;
    {
        const TFDirectory* folder = walk.open(*this);
        if (folder && folder->isOpen()) {
            folder->rewind(); // the walk's descriptor may have been listed before
            const TFFolderStamp stamp = TFFolderStamp::of(*folder);
            ex.names = _listFolder(*folder, ex);
            if (!ex.listError)
                ex.stamp = stamp;
        } else if (folder && folder->error() != ENOENT)
            reportProblem(path(), folder->error());
        if (ex.listError)
            reportProblem(path(), ex.listError);
    }
    held.lock();
    if (_has(Invalidated))
        return false;
    if (!_has(AwaitsListing))
        return true; // listed by another thread, or re-read, meanwhile
    _set(AwaitsListing, false);
    _setChildren(std::move(ex.names), held);
    _set(ChildrenArrayContainsNames, _children() != nullptr);
    _noteListing(ex.stamp, held);
    // The one entry it counted for its listing becomes its names.
    if (uint32_t count = _childrenCount(held))
        _setUnsized(count);
    else
        _childrenSized({}, 1, true, held, walk);
    return true;
}

void HLNFile::_handToSizingThread(TreeGuard& held) {
    // Once: the window is refreshed when the nodes are in.
    const bool asked = _has(RefreshWantedAfterConversion);
    _set(RefreshWantedAfterConversion, true);
    if (asked)
        return;
    Ref<HLNFile> self(this);
    held.unlock();
    _sizeLater(self);
    held.lock();
}

HLNFile::ChildList HLNFile::children(Asker asker) {
    HLNFolderWalk walk;
    return _readChildren(walk, asker);
}

HLNFile::ChildList HLNFile::children(HLNFolderWalk& walk) {
    return _readChildren(walk, Asker::anyThread);
}

HLNFile::ChildList HLNFile::_readChildren(HLNFolderWalk& walk, Asker asker) {
    TreeGuard held(walk);
    if (_has(AwaitsListing) && !_listAwaited(held, walk, asker))
        return nullptr;
    if (!_has(ChildrenArrayContainsNames))
        return _nodes(held);
    if (_has(ConvertingNames)) {
        // Another thread is turning the names into nodes. Nobody waits for
        // it: a window gets a refresh, any other asker has the folder
        // handed to the sizing thread, once the nodes are in.
        _set(asker == Asker::window ? RefreshWantedAfterConversion : ChildrenWantedDuringConversion,
             true);
        return nullptr;
    }
    if (asker == Asker::window && _childrenCount(held) > kWindowNames) {
        // Too many to examine without stalling the window: the sizing
        // thread does it next.
        _handToSizingThread(held);
        return nullptr;
    }
    // Each name is examined outside the tree lock, relative to this open
    // folder; the finished nodes are attached, and their sizes reported,
    // in one hold of the lock. Readers meanwhile see the folder as listed.
    _set(ConvertingNames, true);
    Ref<List> names = _children();
    int32_t fsNumber = _fileSystemNumber();
    Ref<HLNFile> self(this);
    held.unlock();
    ConversionEnd conversion{self, held};
    if (hasConversionHook) {
        std::function<void(const Ref<HLNFile>&)> hook;
        {
            std::scoped_lock lock(conversionHookLock());
            hook = conversionHook();
        }
        if (hook)
            hook(self);
    }

    // A huge folder's names given back cannot be read again: a conversion
    // that ends in an exception leaves the folder to be listed anew.
    struct GivenBack {
        HLNFile& folder;
        const Ref<List>& names;
        bool any = false;
        ~GivenBack() {
            if (!any)
                return;
            try {
                TreeGuard again;
                if (folder._has(Invalidated) || folder._children() != names)
                    return; // its nodes are in, or it is not this folder's list
                folder._setChildren(nullptr, again);
                folder._set(ChildrenArrayContainsNames, false);
                folder._set(AwaitsListing, true);
                folder._setUnsized(1);
            } catch (...) {
            }
        }
    } givenBack{*this, names};
    constexpr uint32_t kNamesGivenBack = 4096; // at once

    Ref<List> built = List::makeNodes(names->_count);
    // The files of several names among them, entered once they are attached.
    struct LinkedName {
        uint32_t index;
        uint64_t device, inode, nameCount;
    };
    std::vector<LinkedName> linked;
    const bool countOnce = !countsEachName;
    bool droppedNewest = false;
    size_t blockBytes = names->_extra.load(std::memory_order_relaxed) *
                        (HLNNodeMemory::slotBytes(0, true) - HLNNodeMemory::slotBytes(0, false));
    for (uint32_t i = 0; i < names->_count; ++i)
        blockBytes +=
            HLNNodeMemory::slotBytes(names->nameOffsets()[i + 1] - names->nameOffsets()[i], false);
    HLNNodeMemory memory(blockBytes);
    Measures measures;
    uint32_t finished = 0;
    // On the sizing thread, a folder that is no longer the one listed
    // (moved, replaced, gone) is read again once this ends.
    bool lost = false;
    // The subfolders' stamps as they were listed, by index in built; and
    // whether an entry went since this folder's listing, which is then
    // out of date (a folder moved elsewhere may now be where it was read).
    std::vector<std::pair<uint32_t, TFFolderStamp>> stamps;
    stamps.reserve(names->_extra.load(std::memory_order_relaxed)); // the names typed as folders
    bool outOfDate = false;
    {
        std::string where; // for messages, made at the first one
        auto report = [&](const char* name, int error) {
            if (where.empty())
                where = path();
            reportProblem(where + (*name && where.back() != '/' ? "/" : "") + name, error);
        };
        // The node for name i, as read in ex, counted into the folder's bytes;
        // however the folder was read, its files of several names are entered.
        auto makeNode = [&](uint32_t i, const char* name, Examination& ex) {
            const size_t length = names->nameOffsets()[i + 1] - names->nameOffsets()[i] - 1;
            const bool isFolder = !ex.entry.error && ex.entry.isDirectory();
            Ref<HLNFile> node = _make(self, std::string_view(name, length), isFolder, &memory);
            node->_apply(ex, nullptr);
            if (node->_has(IsDirectory) && (ex.stamp.isFolder() || ex.stamp.isLost())) {
                stamps.emplace_back(built->_count, ex.stamp);
                outOfDate |= ex.stamp.isLost();
            }
            if (countOnce && !isFolder && !ex.entry.error && ex.entry.linkCount > 1)
                linked.push_back(
                    {built->_count, ex.entry.device, ex.entry.inode, ex.entry.linkCount});
            measures +=
                node->_has(IsDirectory) ? node->_counted(held) : node->_own(node->_sizeSoFar);
            return node;
        };
        // A huge folder is read here, name by name, and its names are
        // given back as they become nodes, so that a million of them, their
        // reads and their nodes are not all held at once.
        const bool huge = names->_count > kHugeFolder;
        std::shared_ptr<TFReadAhead::Job> read;
        if (walk.isSizingWalk() && !huge) {
            read = _takeRead(walk, names);
            lost = !read;
        } else if (walk.isSizingWalk()) {
            walk.takeRead(this, names); // its listing, no read
        }
        const TFDirectory* folder = read ? nullptr : walk.open(*this);
        if (read) {
            // Made from the read: no system call here.
            const std::vector<TFDirectory::Examination>& entries = read->entries();
            std::vector<std::shared_ptr<TFReadAhead::Job>> below = read->takeChildren();
            for (uint32_t i = 0; i < names->_count; ++i) {
                const char* name = names->nameAt(i);
                Examination ex;
                ex.parentFsNumber = fsNumber;
                ex.entry = entries[i];
                ex.listError = read->childError(i);
                ex.stamp = read->childStamp(i);
                if (!ex.entry.exists()) {
                    ++finished; // vanished since the listing: finished with 0 bytes
                    outOfDate = true;
                    continue;
                }
                if (int error = ex.failure())
                    report(name, error);
                ex.fileSystemNumber = foldDevice(ex.entry.device);
                std::shared_ptr<TFReadAhead::Job> sub = i < below.size() ? below[i] : nullptr;
                if (sub) {
                    const TFTreeWalker::Listing& listed = sub->names();
                    ex.names = List::makeNames(
                        listed.offsets,
                        [&](uint32_t at) { return std::string_view(listed.bytes.data() + at); },
                        listed.bytes.size(), static_cast<uint32_t>(listed.folders));
                }
                Ref<HLNFile> node = makeNode(i, name, ex);
                if (node->_unsized() == 0)
                    ++finished;
                else if (sub && sub->names().size() <= kHugeFolder)
                    walk.keepRead(node, node->_children(), std::move(sub));
                new (&built->nodes()[built->_count++]) Ref<HLNFile>(std::move(node));
            }
        } else if (!folder || !folder->isOpen()) {
            // Gone, or no longer a folder (a link put in its place is not
            // followed): its names are finished with 0 bytes.
            if (folder && folder->error() != ENOENT && folder->error() != ELOOP &&
                folder->error() != ENOTDIR)
                report("", folder->error());
            finished = names->_count;
            lost = huge && walk.isSizingWalk(); // as a read would have found it
        } else {
            const TFDirectory& here = *folder;
            Examination ex;
            // What a window lists of the subfolders, all told.
            size_t windowBudget = asker == Asker::window ? 8 * kWindowNames : SIZE_MAX;
            // Of a huge folder: how far its names have been given back.
            uint32_t given = 0;
            // A huge folder's names are examined on every core, a chunk
            // ahead of the one made into nodes here: two chunks in flight.
            const bool shared = huge && windowBudget == SIZE_MAX;
            static constexpr uint32_t kChunk = 2048, kPiece = 256;
            std::vector<Examination> chunks[2];
            std::optional<TFReadAhead::Pieces> examining;
            auto examineChunk = [&](uint32_t from) {
                std::vector<Examination>& out = chunks[(from / kChunk) % 2];
                out.clear();
                out.resize(std::min(kChunk, names->_count - from));
                const List* list = names.get();
                examining.emplace((out.size() + kPiece - 1) / kPiece, [&here, &out, list, from,
                                                                       fsNumber](size_t piece) {
                    const size_t end = std::min<size_t>(out.size(), (piece + 1) * kPiece);
                    for (size_t k = piece * kPiece; k < end; ++k) {
                        Examination& r = out[k];
                        r.parentFsNumber = fsNumber;
                        try {
                            _readEntry(here, list->nameAt(uint32_t(from + k)), fsNumber, r);
                        } catch (const std::bad_alloc&) { // a piece must not throw
                            r = Examination();
                            r.entry.error = ENOMEM;
                        }
                        // Opened again for its visit: thousands would stay open.
                        r.listed = TFDirectory();
                    }
                });
            };
            if (shared)
                examineChunk(0);
            for (uint32_t i = 0; i < names->_count; ++i) {
                if (huge && i - given >= kNamesGivenBack) {
                    givenBack.any = true;
                    const uint32_t* offsets = names->nameOffsets();
                    const char* text = names->nameAt(0);
                    TFProcess::discardPages(const_cast<uint32_t*>(offsets), i * sizeof(uint32_t));
                    TFProcess::discardPages(const_cast<char*>(text),
                                            size_t(names->nameAt(i) - text));
                    given = i;
                }
                const char* name = names->nameAt(i);
                if (shared) {
                    if (i % kChunk == 0) {
                        examining.reset(); // finished
                        if (names->_count - i > kChunk)
                            examineChunk(i + kChunk);
                    }
                    ex = std::move(chunks[(i / kChunk) % 2][i % kChunk]);
                } else {
                    ex = Examination();
                    ex.parentFsNumber = fsNumber;
                    if (windowBudget != SIZE_MAX)
                        ex.listLimit = std::min(windowBudget, kWindowNames);
                    _readEntry(here, name, fsNumber, ex);
                }
                if (!ex.entry.exists()) {
                    ++finished; // vanished since the listing: finished with 0 bytes
                    outOfDate = true;
                    continue;
                }
                if (int error = ex.failure())
                    report(name, error);
                if (windowBudget != SIZE_MAX && ex.names)
                    windowBudget -= std::min<size_t>(windowBudget, ex.names->_count);
                Ref<HLNFile> node = makeNode(i, name, ex);
                if (node->_unsized() == 0)
                    ++finished;
                else if (walk.isSizingWalk() && ex.listed.isOpen() && !ex.tooManyToList)
                    walk.keepListed(node, ex.listed);
                new (&built->nodes()[built->_count++]) Ref<HLNFile>(std::move(node));
            }
        }
    }

    held.lock();
    conversion.end();
    ChildList result;
    if (_has(Invalidated) || _children() != names) {
        // Cut or re-read meanwhile: the nodes built are not this folder's.
        result = _nodes(held);
        held.unlock();
        built = nullptr;
        return result;
    }
    _part()->children = built;
    _set(ChildrenArrayContainsNames, false);
    _set(ChildrenInNameOrder, true); // the names were sorted when listed
    for (const auto& [index, stamp] : stamps)
        built->nodes()[index]->_noteListing(stamp, held);
    if (outOfDate)
        _noteListing(TFFolderStamp::changed(), held);
    if (!linked.empty()) {
        const HLNFile* root = _liveRoot(held);
        for (const LinkedName& l : linked) {
            HLNFile& node = *built->nodes()[l.index];
            const Measures had = node._own(node._sizeSoFar);
            if (node._enterName(l.device, l.inode, l.nameCount, root, false, held) &&
                node._counted(held) == Measures()) {
                // Another name counts it: it leaves this listing's figures.
                measures.bytes = lessOrZero(measures.bytes, had.bytes, "bytes of a listing");
                measures.apparent = lessOrZero(measures.apparent, had.apparent, "apparent bytes");
                measures.items = lessOrZero(measures.items, had.items, "items of a listing");
                droppedNewest |= had.newest >= measures.newest;
            }
        }
        if (droppedNewest) {
            measures.newest = kNoModification;
            for (const Ref<HLNFile>& child : *built)
                measures.newest = std::max(measures.newest, child->_counted(held).newest);
        }
    }
    _childrenSized(measures, finished, names->_count > 0, held, walk);
    result = ChildList(built);
    held.dropAfterUnlock(std::move(names));
    held.unlock();
    if (lost)
        refreshSize(); // moved, replaced or gone since it was listed
    return result;
}

std::shared_ptr<TFReadAhead::Job> HLNFile::_takeRead(HLNFolderWalk& walk, const Ref<List>& names) {
    std::shared_ptr<TFReadAhead::Job> read = walk.takeRead(this, names);
    if (read) {
        walk.open(*this, false);
    } else {
        const TFDirectory* folder = walk.open(*this);
        if (!folder || !folder->isOpen())
            return nullptr;
        const TFDirectory::Examination self = folder->examine(".");
        if (self.error)
            return nullptr;
        TFTreeWalker::Listing listing; // in the names' order, which the nodes keep
        listing.bytes.assign(
            reinterpret_cast<const char*>(names->nameOffsets() + names->_count + 1),
            names->nameAt(0) + names->nameOffsets()[names->_count]);
        listing.offsets.assign(names->nameOffsets(), names->nameOffsets() + names->_count);
        read = TFReadAhead::makeJob(folder->duplicate(), self, std::move(listing));
    }
    TFReadAhead::take(read, true);
    return read->error() ? nullptr : read;
}

void HLNFile::appendUnfinishedChildren(std::vector<Ref<HLNFile>>& out, HLNFolderWalk& walk) {
    ChildList list = children(walk);
    if (!list)
        return;
    TreeGuard held(walk);
    for (uint32_t i = list->size(); i-- > 0;)
        if ((*list)[i]->_sizeStatus(held) != SizeStatus::complete)
            out.push_back((*list)[i]);
}

Ref<HLNFile> HLNFile::existingChildNamed(std::string_view name) const {
    TreeGuard held;
    if (ChildList list = _nodes(held))
        for (const Ref<HLNFile>& child : *list)
            if (child->nameView() == name)
                return child;
    return nullptr;
}

void HLNFile::appendChildFolders(std::vector<FolderSize>& out) const {
    TreeGuard held;
    if (ChildList list = _nodes(held))
        for (const Ref<HLNFile>& child : *list)
            if (child->_has(IsDirectory) && !child->_has(IsLink))
                out.push_back({child, child->_sizeSoFar});
}

void HLNFile::sortChildren(Asker asker) {
    children(asker);
    // Sizes and statuses are read in one hold of the lock; the sort runs
    // outside it (names never change, and the list read keeps the nodes).
    // Sized children go first, largest first, then the rest; ties by name.
    // An unsized child's size plays no part in where it goes.
    std::vector<HLNChildOrder::Key> sized, unsized;
    ChildList current;
    bool ranked = false, split = true;
    uint64_t digest = 0;
    const Figure figure = shownFigure();
    {
        TreeGuard held;
        current = _nodes(held);
        if (!current)
            return;
        ranked = _has(ChildrenInNameOrder);
        // First without keys: a list found in order, as most are, needs
        // none (a folder of a million entries would take 16 MB of them).
        uint64_t last = 0;
        bool inOrder = true;
        for (const Ref<HLNFile>& c : *current) {
            if (hasSize(c->_sizeStatus(held))) {
                const uint64_t key = ~figureOf(c->_counted(held), figure);
                inOrder = inOrder && key >= last && split;
                last = key;
                digest = HLNChildOrder::digestStep(digest, c.get(), key);
            } else {
                split = false;
                digest = HLNChildOrder::digestStep(digest, c.get(), 0);
            }
        }
        const uint64_t found = HLNChildOrder::digestValue(digest);
        if (current->_extra.load(std::memory_order_relaxed) == found)
            return;              // in order, and nothing has changed since
        if (ranked && inOrder) { // by size, ties by name, the unsized last
            current->_extra.store(found, std::memory_order_relaxed);
            return;
        }
        digest = 0, split = true;
        sized.reserve(current->size());
        for (const Ref<HLNFile>& c : *current) {
            if (hasSize(c->_sizeStatus(held))) {
                split = split && unsized.empty();
                sized.push_back({~figureOf(c->_counted(held), figure), c.get()});
                digest = HLNChildOrder::digestStep(digest, c.get(), sized.back().smallerFirst);
            } else {
                unsized.push_back({0, c.get()});
                digest = HLNChildOrder::digestStep(digest, c.get(), 0);
            }
        }
    }
    if (current->_extra.load(std::memory_order_relaxed) == HLNChildOrder::digestValue(digest))
        return; // in order, and nothing has changed since
    const bool moved = HLNChildOrder::order(sized, unsized, ranked) || !split;
    if (!moved) { // the list stays as it is
        current->_extra.store(HLNChildOrder::digestValue(digest), std::memory_order_relaxed);
        return;
    }
    Ref<List> sorted = List::makeNodes(current->size());
    digest = 0;
    for (const std::vector<HLNChildOrder::Key>* part : {&sized, &unsized})
        for (const HLNChildOrder::Key& k : *part) {
            new (&sorted->nodes()[sorted->_count++]) Ref<HLNFile>(k.node);
            digest = HLNChildOrder::digestStep(digest, k.node, k.smallerFirst);
        }
    sorted->_extra.store(HLNChildOrder::digestValue(digest), std::memory_order_relaxed);
    TreeGuard held;
    if (_nodes(held) == current) // not re-read meanwhile
        _setChildren(std::move(sorted), held);
    else
        held.dropAfterUnlock(std::move(sorted));
}

// ---------------------------------------------------------------- sizes

uint64_t HLNFile::lessOrZero(uint64_t count, uint64_t less, const char* what) {
    if (less <= count)
        return count - less;
#if HOLLIN_CHECKED
    std::fprintf(stderr, "hollin: bookkeeping error: %s below zero (%llu less %llu)\n", what,
                 static_cast<unsigned long long>(count), static_cast<unsigned long long>(less));
    std::abort();
#else
    (void)what;
    return 0;
#endif
}

void HLNFile::_childSized(const Measures& m, bool done, const TreeGuard&) {
    const bool sizes = m.bytes || m.apparent || m.items;
    for (HLNFile* n = this; n; n = n->_parent.get()) {
        // Nothing changes further up: the folders above are marked already.
        if (!sizes && !done && n->_has(ChildrenHaveDoneSomeSizing) && n->_unsized() != 0 &&
            m.newest <= n->_folderPart().newest)
            break;
        n->_flags |= ChildrenHaveDoneSomeSizing;
        n->_add(m);
        if (done)
            n->_setUnsized(uint32_t(lessOrZero(n->_unsized(), 1, "entries left to size")));
        done = n->_unsized() == 0;
    }
}

void HLNFile::_childrenSized(Measures m, uint32_t finished, bool anyReport, TreeGuard& held,
                             const HLNFolderWalk& walk) {
    if (!anyReport)
        return;
    _flags |= ChildrenHaveDoneSomeSizing;
    _add(m);
    _setUnsized(uint32_t(lessOrZero(_unsized(), finished, "entries left to size")));
    if (!_parent)
        return;
    if (m != Measures() && HLNPendingSizes::defer(*this, m, walk, held))
        m = Measures(); // counted above later; what finished is told now
    _parent->_childSized(m, _unsized() == 0, held);
}

void HLNFile::_childRefreshing(const Measures& m, bool wasDone, const TreeGuard&) {
    for (HLNFile* n = this; n; n = n->_parent.get()) {
        bool wasComplete = wasDone && n->_unsized() == 0;
        if (wasDone)
            n->_setUnsized(n->_unsized() + 1);
        n->_subtract(m);
        wasDone = wasComplete;
    }
}

// ---------------------------------------------------------------- measures

uint64_t HLNFile::_ownApparent() const {
    if (_apparent32 != kOdd)
        return _apparent32;
    return HLNNodeMemory::oddValues(this).first;
}

int64_t HLNFile::_ownModified() const {
    if (_modified32 != kOdd)
        return _modified32 == kOdd - 1 ? kNoModification : int64_t(_modified32);
    return HLNNodeMemory::oddValues(this).second;
}

void HLNFile::_setOwn(uint64_t apparent, int64_t modified) {
    const bool oddApparent = apparent >= kOdd;
    const bool oddModified =
        modified != kNoModification && (modified < 0 || modified >= int64_t(kOdd) - 1);
    if (oddApparent || oddModified || _apparent32 == kOdd || _modified32 == kOdd)
        HLNNodeMemory::setOddValues(this, oddApparent || oddModified, apparent, modified);
    _apparent32 = oddApparent || oddModified ? kOdd : uint32_t(apparent);
    _modified32 = oddApparent || oddModified    ? kOdd
                  : modified == kNoModification ? kOdd - 1
                                                : uint32_t(modified);
}

HLNFile::Measures HLNFile::_counted(const TreeGuard&) const {
    if (_has(IsDirectory)) {
        const FolderPart* part = _part();
        return part ? Measures{_sizeSoFar, part->apparent, part->items, part->newest}
                    : Measures{_sizeSoFar, 0, 0, kNoModification};
    }
    if (_flags & MultiLinked)
        if (const HLNLinkedNames::File* file = HLNLinkedNames::fileOf(this);
            file && file->carrier != this)
            return {};
    return _own(_sizeSoFar);
}

void HLNFile::_add(const Measures& m) {
    _sizeSoFar += m.bytes;
    if (!m.apparent && !m.items && m.newest == kNoModification)
        return;
    FolderPart& part = _folderPart();
    part.apparent += m.apparent;
    part.items += m.items;
    part.newest = std::max(part.newest, m.newest);
}

void HLNFile::_subtract(const Measures& m) {
    _sizeSoFar = lessOrZero(_sizeSoFar, m.bytes, "bytes counted");
    if (!m.apparent && !m.items)
        return;
    FolderPart& part = _folderPart();
    part.apparent = lessOrZero(part.apparent, m.apparent, "apparent bytes counted");
    part.items = lessOrZero(part.items, m.items, "items counted");
}

void HLNFile::_retakeNewest(const TreeGuard& held) {
    for (HLNFile* n = this; n; n = n->_parent.get()) {
        FolderPart* part = n->_part();
        if (!part || !n->_has(IsDirectory))
            return;
        // A folder on another file system counts nothing, its own date included.
        int64_t newest = part->items ? n->_ownModified() : kNoModification;
        if (ChildList nodes = n->_nodes(held))
            for (const Ref<HLNFile>& child : *nodes)
                newest = std::max(newest, child->_counted(held).newest);
        if (newest == part->newest)
            return;
        part->newest = newest;
    }
}

// ---------------------------------------------------------------- ordering

int HLNFile::_compareSize(const HLNFile& other, const TreeGuard& held) const {
    const Figure figure = shownFigure();
    const uint64_t mine = figureOf(_counted(held), figure);
    const uint64_t theirs = figureOf(other._counted(held), figure);
    return mine > theirs ? -1 : mine < theirs ? 1 : 0;
}

int HLNFile::_compareSizeStatus(const HLNFile& other, const TreeGuard& held) const {
    bool mineSized = hasSize(_sizeStatus(held)), theirsSized = hasSize(other._sizeStatus(held));
    if (mineSized != theirsSized)
        return mineSized ? -1 : 1;
    return mineSized ? _compareSize(other, held) : 0;
}

int HLNFile::_compare(const HLNFile& other, const TreeGuard& held) const {
    int r = _compareSizeStatus(other, held);
    return r != 0 ? r : compareName(other);
}

int HLNFile::compareSize(const HLNFile& other) const {
    TreeGuard held;
    return _compareSize(other, held);
}

int HLNFile::compareSizeStatus(const HLNFile& other) const {
    TreeGuard held;
    return _compareSizeStatus(other, held);
}

int HLNFile::compareName(const HLNFile& other) const {
    return compareNames(nameView(), other.nameView());
}

int HLNFile::compare(const HLNFile& other) const {
    TreeGuard held;
    return _compare(other, held);
}

// ---------------------------------------------------------------- drives

bool HLNFile::_hasDrivesMountedUnderneathFromDriveArray(const HLNDrive::DriveList& drives) const {
    std::string p = path();
    if (p.empty() || !drives)
        return false;
    for (const Ref<HLNDrive>& drive : *drives)
        if (drive && drive->location().compare(0, p.size(), p) == 0)
            return true;
    return false;
}

bool HLNFile::hasDrivesMountedUnderneath() {
    bool answer = _hasDrivesMountedUnderneathFromDriveArray(HLNDrive::drives());
    TreeGuard held;
    _flags |= KnowsWhetherItHadDrivesMountedUnderneath;
    _set(HadDrivesMountedUnderneath, answer);
    return answer;
}

bool HLNFile::hadDrivesMountedUnderneathLastTimeWeCheckedDrives() {
    bool answer = _hasDrivesMountedUnderneathFromDriveArray(HLNDrive::cachedDrives());
    TreeGuard held;
    _flags |= KnowsWhetherItHadDrivesMountedUnderneath;
    _set(HadDrivesMountedUnderneath, answer);
    return answer;
}

std::string HLNFile::shortDescription() const {
    char identity[32];
    std::snprintf(identity, sizeof identity, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(this));
    return std::string(identity) + " (" + path() + ")";
}

// ---------------------------------------------------------------- release

void HLNFile::invalidate() {
    {
        TreeGuard held;
        _flags |= Invalidated;
        _leaveName(held);
    }
    Ref<HLNFile> self(this);
    auto release = [self] {
        Ref<HLNFile> parent;
        {
            TreeGuard held;
            parent = std::move(self->_parent);
            ++_cuts;
        }
        self->_releaseChildren();
    };
    try {
        std::thread(release).detach();
    } catch (const std::system_error&) {
        release(); // no thread to be had: release here rather than leak
    }
}

void HLNFile::releaseNow() {
    TreeGuard held;
    _releaseParent(held);
}

Ref<HLNFile::List> HLNFile::_detachChildren(TreeGuard& held) {
    FolderPart* part = _part();
    Ref<List> list = part ? std::move(part->children) : nullptr;
    const bool nodes = list && !_has(ChildrenArrayContainsNames);
    _set(ChildrenArrayContainsNames, false);
    if (nodes)
        return list;
    held.dropAfterUnlock(std::move(list));
    return nullptr;
}

void HLNFile::_releaseChildren() {
    Ref<List> kept;
    {
        TreeGuard held;
        kept = _detachChildren(held);
    }
    if (kept)
        for (const Ref<HLNFile>& child : *kept) {
            TreeGuard held;
            child->_releaseParent(held);
        }
}

void HLNFile::_releaseParent(TreeGuard& held) {
    _settlePendingSizes(); // counted above before the subtree is cut
    ++_cuts;
    // Depth-first over the subtree in one hold of the lock, with an explicit
    // stack so that deep trees cannot exhaust the thread's stack. The lists
    // taken off the nodes keep the nodes alive until the lock is released.
    std::vector<HLNFile*> pending{this}, linked;
    while (!pending.empty()) {
        HLNFile* n = pending.back();
        pending.pop_back();
        n->_flags |= Invalidated;
        if (n->_flags & MultiLinked)
            linked.push_back(n);
        // Below the top, the parent was reached through a list taken off
        // its own parent (or is the top), which keeps it until the lock is
        // released: this is never its last reference, and no list of every
        // node's parent need be kept meanwhile.
        if (n == this)
            held.dropAfterUnlock(std::move(n->_parent));
        else
            n->_parent = nullptr;
        if (Ref<List> list = n->_detachChildren(held)) {
            for (uint32_t i = list->_count; i-- > 0;)
                pending.push_back(list->nodes()[i].get());
            held.dropAfterUnlock(std::move(list));
        }
    }
    // Once the whole subtree is cut: a file's bytes move to a name outside it.
    for (HLNFile* n : linked)
        n->_leaveName(held);
}

void HLNFile::_removeChild(const Ref<HLNFile>& child, TreeGuard& held) {
    if (ChildList current = _nodes(held)) {
        Ref<List> rest = List::makeNodes(current->size());
        for (const Ref<HLNFile>& c : *current)
            if (c != child)
                new (&rest->nodes()[rest->_count++]) Ref<HLNFile>(c);
        const bool inNameOrder = _has(ChildrenInNameOrder);
        _setChildren(std::move(rest), held);
        _set(ChildrenInNameOrder, inNameOrder);
    }
    // Cut at once; its subtree is released on a thread of its own.
    child->_flags |= Invalidated;
    held.invalidateAfterUnlock(child);
}

// ---------------------------------------------------------------- re-reading

namespace {
std::atomic<HLNFile::SizingQueue> sizingQueue{nullptr};
} // namespace

void HLNFile::setSizingQueue(SizingQueue queue) {
    sizingQueue.store(queue);
}

void HLNFile::_sizeLater(const Ref<HLNFile>& node) {
    if (SizingQueue queue = sizingQueue.load()) {
        queue(node);
        return;
    }
    // A program that reads trees without sizing them: nothing would answer.
    static std::atomic<bool> said{false};
    if (!said.exchange(true))
        std::fprintf(stderr, "hollin: no sizing thread to read %s\n", node->path().c_str());
}

void HLNFile::refreshSize() {
    {
        TreeGuard held;
        if (_flags & ImportedBit)
            return; // a scan's files are not here to be read
        _flags |= NeedsSizeRefreshed;
    }
    _sizeLater(Ref<HLNFile>(this));
}

namespace {
// The folders whose listing alone is to be read again (under the tree lock).
// Each is also in the sizing thread's queue, which keeps it alive until
// the sizing thread takes it out of here.
std::unordered_set<const HLNFile*>& relistsWanted() {
    static auto* wanted = new std::unordered_set<const HLNFile*>;
    return *wanted;
}
// New and gone names past which a folder is read whole: each gone name
// makes its folder's list anew, so past these many, and past this many
// entries copied in all. A folder whose entries move in and out by the
// hundred is still listed again, not read whole with all that stayed.
constexpr size_t kRelistChanges = 64, kRelistCopies = size_t(1) << 22;
} // namespace

void HLNFile::relistEntries() {
    {
        TreeGuard held;
        if (_flags & ImportedBit)
            return;
        relistsWanted().insert(this);
    }
    _sizeLater(Ref<HLNFile>(this));
}

bool HLNFile::_relist(HLNFolderWalk& walk) {
    ChildList before;
    {
        TreeGuard held(walk);
        if (_has(Invalidated) || _has(NeedsSizeRefreshed))
            return true; // gone, or about to be read whole anyway
        if (!_has(IsDirectory) || _has(IsLink) || _has(AwaitsListing) ||
            _has(ChildrenArrayContainsNames) || _has(ConvertingNames))
            return false; // its entries are no nodes yet: reading it whole costs as much
        before = _nodes(held);
    }
    Examination ex;
    std::vector<Ref<HLNFile>> changed;
    {
        walk.forget(this); // a descriptor kept open may be of a folder since replaced
        const TFDirectory* folder = walk.open(*this);
        if (!folder || !folder->isOpen())
            return false;
        ex.stamp = TFFolderStamp::of(*folder);
        ex.names = _listFolder(*folder, ex);
        if (ex.listError)
            return false;
        // A folder that stays may have been swapped for another kind of
        // entry, or had a volume mounted over it: those are read again.
        if (before)
            for (const Ref<HLNFile>& child : *before) {
                bool wasFolder;
                int32_t fileSystem;
                {
                    TreeGuard held(walk);
                    wasFolder = child->_has(IsDirectory);
                    fileSystem = wasFolder ? child->_fileSystemNumber() : 0;
                }
                if (!wasFolder)
                    continue;
                const TFDirectory::Examination now = folder->examine(child->_nameBytes());
                if (now.exists() &&
                    (now.error || !now.isDirectory() || foldDevice(now.device) != fileSystem))
                    changed.push_back(child);
            }
    }
    std::unordered_set<std::string_view> listed, known;
    const uint32_t count = ex.names ? ex.names->_count : 0;
    for (uint32_t i = 0; i < count; ++i)
        listed.insert(ex.names->nameAt(i));
    std::vector<Ref<HLNFile>> reread, added; // reread: the names gone
    if (before)
        for (const Ref<HLNFile>& child : *before) {
            known.insert(child->nameView());
            if (!listed.count(child->nameView()))
                reread.push_back(child);
        }
    std::vector<std::string_view> newNames;
    for (uint32_t i = 0; i < count; ++i)
        if (!known.count(ex.names->nameAt(i)))
            newNames.push_back(ex.names->nameAt(i));
    const size_t changes = reread.size() + newNames.size() + changed.size();
    if (changes > kRelistChanges && changes * (count + 1) > kRelistCopies)
        return false;
    // A changed folder goes as a name gone does, and its name comes anew.
    std::vector<Ref<HLNFile>> replaced;
    for (const Ref<HLNFile>& child : changed)
        if (listed.count(child->nameView())) {
            replaced.push_back(child);
            newNames.push_back(child->nameView());
        }
    {
        TreeGuard held(walk);
        if (_has(Invalidated))
            return true;
        _noteListing(ex.stamp, held);
        for (const std::vector<Ref<HLNFile>>* children : {&reread, &replaced})
            for (const Ref<HLNFile>& child : *children)
                child->_set(NeedsSizeRefreshed, true);
    }
    // A name gone is found gone and taken out.
    for (const Ref<HLNFile>& child : reread)
        child->_reread(false, walk);
    for (const Ref<HLNFile>& child : replaced)
        child->_reread(true, walk);
    if (newNames.empty())
        return true;
    // A new name first becomes an entry of no bytes, complete, as its
    // folder counts it; then it is read as a re-read reads an entry (a new
    // folder is left unfinished, and the sizing thread goes into it next).
    for (std::string_view name : newNames)
        added.push_back(_make(Ref<HLNFile>(this), name, true));
    {
        TreeGuard held(walk);
        if (_has(Invalidated))
            return true;
        // The list as it is now: the window may have put it in order.
        const ChildList now = _nodes(held);
        Ref<List> list = List::makeNodes((now ? now->size() : 0) + added.size());
        if (now)
            for (const Ref<HLNFile>& child : *now)
                new (&list->nodes()[list->_count++]) Ref<HLNFile>(child);
        for (const Ref<HLNFile>& child : added) {
            new (&list->nodes()[list->_count++]) Ref<HLNFile>(child);
            child->_set(NeedsSizeRefreshed, true);
        }
        _setChildren(std::move(list), held);
        // Until read, a new name counts as the one item it is: its re-read
        // takes that off again, so a name gone before it is read leaves the
        // folders as they were.
        for (HLNFile* n = this; n && !added.empty(); n = n->_parent.get())
            n->_add({0, 0, added.size(), kNoModification}); // items alone: nothing finishes
    }
    for (const Ref<HLNFile>& child : added)
        child->_reread(false, walk);
    return true;
}

void HLNFile::_noteListing(const TFFolderStamp& stamp, const TreeGuard& held) {
    if (!(_flags & ImportedBit)) // a scan's folders are not here to change
        HLNListingStamps::note(*this, stamp, held);
}

void HLNFile::_wantRelist(const TreeGuard&) {
    relistsWanted().insert(this);
}

void HLNFile::_refreshSizeIfNeeded(HLNFolderWalk& walk) {
    bool relist;
    {
        TreeGuard held(walk);
        relist = relistsWanted().erase(this) != 0;
    }
    if (relist && !_relist(walk)) {
        TreeGuard held(walk);
        _set(NeedsSizeRefreshed, true);
    }
    _reread(false, walk);
}

void HLNFile::_reread(bool replaced, HLNFolderWalk& walk) {
    std::optional<HLNLinkedNames::Key> linkedAs; // when a file of several names
    {
        TreeGuard held(walk);
        if (!_has(NeedsSizeRefreshed) || _has(Invalidated))
            return;
        _set(NeedsSizeRefreshed, false);
        _settlePendingSizes(); // what is taken off above must have been added there
        const Measures counted = _counted(held);
        if (_parent)
            _parent->_childRefreshing(counted, _unsized() == 0, held);
        _sizeSoFar = 0;
        _setOwn(0, kNoModification);
        if (FolderPart* part = _part())
            part->apparent = part->items = 0, part->newest = kNoModification;
        if (_parent && counted.newest >= _parent->_folderPart().newest)
            _parent->_retakeNewest(held);
        if (_flags & MultiLinked)
            linkedAs = HLNLinkedNames::keyOf(this);
        _leaveName(held); // its bytes move to another name, if it has one left
        if (Ref<List> old = _detachChildren(held)) {
            for (const Ref<HLNFile>& child : *old)
                child->_releaseParent(held);
            held.dropAfterUnlock(std::move(old));
        }
    } // the old subtree is freed here, once the lock is released
    if (!replaced && _checkAttributes(walk, Asker::anyThread))
        return;
    TreeGuard held(walk);
    if (linkedAs) // one name fewer for the names left
        HLNLinkedNames::nameGone(*linkedAs, held);
    if (Ref<HLNFile> parent = _parent) {
        parent->_childSized({}, true, held);
        parent->_removeChild(Ref<HLNFile>(this), held);
        held.dropAfterUnlock(std::move(parent));
    }
}

// ---------------------------------------------------------------- deletion

void HLNFile::trash() {
    {
        TreeGuard held;
        if (_flags & ImportedBit)
            return;
        bool already = _has(IsTrashing);
        _flags |= IsTrashing;
        if (already)
            return;
    }
    HLNRefreshRequests::updateUI();
    Ref<HLNFile> self(this);
    try {
        std::thread([self] { self->_detachedTrash(); }).detach();
    } catch (const std::system_error& e) {
        // Deleting on the calling thread would freeze the window for as long
        // as the removal takes: nothing is deleted, and the user is told.
        {
            TreeGuard held;
            _set(IsTrashing, false);
        }
        HLNRefreshRequests::updateUI();
        throw TFException("Hollin couldn't start deleting \"" + path() + "\": " + e.what() +
                          ". Nothing was deleted.");
    }
}

void HLNFile::_detachedTrash() {
    // Removes everything it can and goes on after errors; what stays is
    // counted again by the re-read. Below the root, each folder is entered
    // without following links: a folder replaced by a link since it was
    // listed must not lead the deletion out of the tree.
    std::string rootPath;
    std::vector<std::string> below; // names from this node up to the root's child
    {
        TreeGuard held;
        if (_hasPath(held)) {
            const HLNFile* n = this;
            for (; !n->_has(IsRootFile); n = n->_parent.get())
                below.emplace_back(n->nameView());
            rootPath = n->nameView();
        }
    }
    if (below.empty()) {
        if (!rootPath.empty())
            TFDirectory::removePath(rootPath);
    } else {
        TFDirectory folder = TFDirectory::openPath(rootPath);
        for (size_t k = below.size(); k-- > 1 && folder.isOpen();)
            folder = folder.openChild(below[k].c_str());
        if (folder.isOpen())
            folder.removeTree(below[0].c_str());
    }
    // The re-read is asked for before the node stops showing as going, so
    // that it never shows its old size as complete in between.
    Ref<HLNFile> self(this);
    TFMainThread::perform([self] { self->refreshSize(); });
    TreeGuard held;
    _set(IsTrashing, false);
}

// ---------------------------------------------------------------- imported trees

bool HLNFile::isImported() const {
    TreeGuard held;
    return (_flags & ImportedBit) != 0;
}

Ref<HLNFile> HLNFile::_makeImported(const Ref<HLNFile>& parent, std::string_view name,
                                    bool isDirectory, bool isLink, const Measures& own) {
    Ref<HLNFile> node = _make(parent, name, isDirectory);
    node->_flags |= ImportedBit;
    node->_set(IsDirectory, isDirectory);
    node->_set(IsLink, isLink);
    node->_sizeSoFar = own.bytes;
    node->_setOwn(own.apparent, own.newest);
    if (isDirectory) {
        FolderPart& part = node->_folderPart();
        part.apparent = own.apparent, part.items = own.items, part.newest = own.newest;
    }
    return node;
}

void HLNFile::_setImportedChildren(HLNFile& folder, std::vector<Ref<HLNFile>>& children,
                                   const Measures& total) {
    // Under the lock, so that whichever thread reads the tree first sees it whole.
    TreeGuard held;
    folder._sizeSoFar = total.bytes;
    FolderPart& part = folder._folderPart();
    part.apparent = total.apparent, part.items = total.items, part.newest = total.newest;
    part.unsizedChildrenCount = 0;
    if (children.empty())
        return;
    Ref<List> list = List::makeNodes(children.size());
    for (Ref<HLNFile>& child : children)
        new (&list->nodes()[list->_count++]) Ref<HLNFile>(std::move(child));
    children.clear();
    folder._folderPart().children = std::move(list);
    folder._flags |= ChildrenHaveDoneSomeSizing;
}

Ref<HLNFile::List> HLNFile::_importedList(const std::vector<Ref<HLNFile>>& children,
                                          const Ref<HLNFile>& open) {
    Ref<List> list = List::makeNodes(children.size() + (open ? 1 : 0));
    for (const Ref<HLNFile>& child : children)
        new (&list->nodes()[list->_count++]) Ref<HLNFile>(child);
    if (open)
        new (&list->nodes()[list->_count++]) Ref<HLNFile>(open);
    return list;
}

void HLNFile::_showImportedSoFar(HLNFile& folder, Ref<List> list, const Measures& soFar,
                                 TreeGuard& held) {
    folder._sizeSoFar = soFar.bytes;
    FolderPart& part = folder._folderPart();
    part.apparent = soFar.apparent, part.items = soFar.items, part.newest = soFar.newest;
    part.unsizedChildrenCount = 1; // the rest of the scan
    folder._flags |= ChildrenHaveDoneSomeSizing;
    if (list)
        folder._setChildren(std::move(list), held);
}

void HLNFile::_setImportedUnknowns(const Ref<HLNFile>& root, bool apparent, bool modification) {
    TreeGuard held;
    if (apparent || modification)
        Unknowns::table()[root.get()] = {apparent, modification};
}

void HLNFile::_countImportedNamesOnce(const Ref<HLNFile>& root, std::vector<ImportedName>& names) {
    if (countsEachName)
        return;
    TreeGuard held;
    for (const ImportedName& name : names)
        name.node->_enterName(name.device, name.inode, name.nameCount, root.get(), true, held);
    names.clear();
}
