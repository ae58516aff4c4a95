#include "model/HLNFile.h"

#include "model/HLNBackgroundFileSizer.h"
#include "model/HLNDirectory.h"
#include "model/HLNRefreshRequests.h"
#include "toolkit/TFMainThread.h"

#include <QChar>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

static_assert(sizeof(HLNFile) <= 40, "a node stays small: seven fields, flags in one word");

using TreeGuard = std::scoped_lock<std::recursive_mutex>;

static std::atomic<uint64_t> createdCount{0};

uint64_t HLNFile::nodesCreated() { return createdCount.load(std::memory_order_relaxed); }

// ---------------------------------------------------------------- List

HLNFile::List::~List() {
    if (!_holdsNames)
        for (uint32_t i = 0; i < _count; ++i) nodes()[i].~Ref<HLNFile>();
}

Ref<HLNFile::List> HLNFile::List::makeNodes(size_t capacity) {
    return Ref<List>(new (Tail{}, capacity * sizeof(Ref<HLNFile>)) List(false));
}

Ref<HLNFile::List> HLNFile::List::makeNames(const char* bytes, const uint32_t* offsets, size_t count,
                                            size_t byteCount) {
    size_t extra = (count + 1) * sizeof(uint32_t) + byteCount;
    Ref<List> list(new (Tail{}, extra) List(true));
    list->_count = static_cast<uint32_t>(count);
    auto* table = reinterpret_cast<uint32_t*>(list.get() + 1);
    char* text = reinterpret_cast<char*>(table + count + 1);
    uint32_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        const char* name = bytes + offsets[i];
        size_t length = std::strlen(name) + 1;
        table[i] = at;
        std::memcpy(text + at, name, length);
        at += static_cast<uint32_t>(length);
    }
    table[count] = at;
    return list;
}

// ---------------------------------------------------------------- names

namespace {

// Decodes one UTF-8 character at s[i]; answers its folded code point, or a
// value above every code point for a byte that does not start a valid
// sequence (so such bytes sort after all characters, by byte value).
char32_t foldedCharacter(std::string_view s, size_t& i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        ++i;
        return (c >= 'A' && c <= 'Z') ? char32_t(c + 32) : char32_t(c);
    }
    size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (length && c <= 0xF4 && i + length <= s.size()) {
        char32_t cp = c & (0x3F >> (length - 1));
        bool ok = true;
        for (size_t k = 1; k < length; ++k) {
            unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && cp >= minimum[length] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF)) {
            i += length;
            return QChar::toCaseFolded(cp);
        }
    }
    ++i;
    return char32_t(0x110000) + c;
}

// The allocated bytes of an entry and what it is, read relative to an open
// folder; a folder on the same file system is listed too.
struct Reading {
    bool exists = true;
    int error = 0; // errno of a failed fstatat other than ENOENT
    bool isDirectory = false;
    bool isLink = false;
    uint64_t allocated = 0;
    int32_t fsNumber = 0;
    Ref<HLNFile::List> names;
};

int32_t foldDevice(dev_t dev) {
    uint64_t d = static_cast<uint64_t>(dev);
    return static_cast<int32_t>(static_cast<uint32_t>(d ^ (d >> 32)));
}

} // namespace

int HLNFile::compareNames(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        unsigned char ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
        if (ca < 0x80 && cb < 0x80) { // the common case: plain ASCII
            if (ca >= 'A' && ca <= 'Z') ca += 32;
            if (cb >= 'A' && cb <= 'Z') cb += 32;
            if (ca != cb) return ca < cb ? -1 : 1;
            ++i, ++j;
            continue;
        }
        char32_t fa = foldedCharacter(a, i), fb = foldedCharacter(b, j);
        if (fa != fb) return fa < fb ? -1 : 1;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

struct HLNFile::Examination : Reading {
    int32_t parentFsNumber = 0;
};

Ref<HLNFile::List> HLNFile::_listFolder(const HLNDirectory& folder) {
    std::vector<char> bytes;
    std::vector<uint32_t> offsets;
    folder.readNames(bytes, offsets);
    if (offsets.empty()) return nullptr;
    std::sort(offsets.begin(), offsets.end(), [&](uint32_t x, uint32_t y) {
        return HLNFile::compareNames(bytes.data() + x, bytes.data() + y) < 0;
    });
    return HLNFile::List::makeNames(bytes.data(), offsets.data(), offsets.size(), bytes.size());
}

// ---------------------------------------------------------------- creation

std::recursive_mutex& HLNFile::treeLock() {
    static std::recursive_mutex lock;
    return lock;
}

HLNFile::HLNFile(const Ref<HLNFile>& parent) : _parent(parent) {
    if (!parent) _flags |= IsRootFile;
}

Ref<HLNFile> HLNFile::_make(const Ref<HLNFile>& parent, std::string_view name) {
    Ref<HLNFile> node(new (Tail{}, name.size() + 1) HLNFile(parent));
    createdCount.fetch_add(1, std::memory_order_relaxed);
    char* bytes = const_cast<char*>(node->_nameBytes());
    std::memcpy(bytes, name.data(), name.size());
    bytes[name.size()] = 0;
    return node;
}

Ref<HLNFile> HLNFile::initWithParent(const Ref<HLNFile>& parent, std::string name) {
    // Names never hold NUL bytes; a string that does names nothing on disk.
    if (name.find('\0') != std::string::npos || name.empty()) return nullptr;
    Ref<HLNFile> node = _make(parent, name);
    if (!node->_checkAttributes()) return nullptr;
    return node;
}

// Reads one entry relative to an open folder; a folder is listed when it is
// the root or lies on its parent's file system.
void HLNFile::_readEntry(int dirfd, const char* name, bool isRoot, int32_t parentFs, Examination& r) {
    struct stat st {};
    if (::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) r.exists = false;
        else r.error = errno;
        return;
    }
    r.isDirectory = S_ISDIR(st.st_mode);
    r.isLink = S_ISLNK(st.st_mode);
    r.allocated = static_cast<uint64_t>(st.st_blocks) * 512u;
    r.fsNumber = foldDevice(st.st_dev);
    if (r.isDirectory && (isRoot || r.fsNumber == parentFs)) {
        HLNDirectory folder(::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
        r.names = _listFolder(folder);
    }
}

bool HLNFile::_checkAttributes() {
    Examination ex;
    std::string where; // the path, for messages
    bool isRoot;
    {
        TreeGuard lock(treeLock());
        isRoot = _has(IsRootFile);
        if (!_hasPath()) return false;
        ex.parentFsNumber = _parent ? _parent->_fsNumber : 0;
        _appendPath(where);
    }
    if (isRoot) {
        if (where.size() < PATH_MAX) {
            _readEntry(AT_FDCWD, where.c_str(), true, 0, ex);
        } else {
            std::string folder, last;
            HLNDirectory::splitPath(where, folder, last);
            HLNDirectory dir = HLNDirectory::openPath(folder);
            if (dir.isOpen()) _readEntry(dir.fd(), last.c_str(), true, 0, ex);
            else if (dir.error() == ENOENT || dir.error() == ENOTDIR) ex.exists = false;
            else ex.error = dir.error();
        }
    } else {
        std::string folder = where.substr(0, where.size() - nameView().size());
        HLNDirectory dir = HLNDirectory::openPath(folder);
        if (dir.isOpen()) _readEntry(dir.fd(), _nameBytes(), false, ex.parentFsNumber, ex);
        else if (dir.error() == ENOENT || dir.error() == ENOTDIR) ex.exists = false;
        else ex.error = dir.error();
    }
    if (ex.error) std::fprintf(stderr, "%s: %s\n", where.c_str(), std::strerror(ex.error));
    TreeGuard lock(treeLock());
    return _apply(ex, true);
}

bool HLNFile::_apply(Examination& ex, bool report) {
    if (!ex.exists) return false;
    uint64_t allocated = 0;
    if (!ex.error) {
        _set(IsDirectory, ex.isDirectory);
        if (ex.isDirectory) _fsNumber = ex.fsNumber;
        _set(IsLink, ex.isLink);
        allocated = ex.allocated;
    }
    if (!_has(IsDirectory)) {
        _sizeSoFar = allocated;
        _unsizedChildrenCount = _childrenCountLocked();
    } else if (_has(IsRootFile) || _fsNumber == ex.parentFsNumber) {
        if (_has(Invalidated)) return false;
        _setChildren(ex.names);
        _set(ChildrenArrayContainsNames, ex.names != nullptr);
        _sizeSoFar = allocated;
        _unsizedChildrenCount = _childrenCountLocked();
        if (_unsizedChildrenCount > 0 && report && _parent) _parent->_childSized(allocated, false);
    } else {
        // A folder on another file system (a volume mounted inside the tree)
        // is neither listed nor counted.
        _sizeSoFar = 0;
        _unsizedChildrenCount = 0;
    }
    if (_unsizedChildrenCount == 0 && report && _parent) _parent->_childSized(_sizeSoFar, true);
    return true;
}

// ---------------------------------------------------------------- accessors

bool HLNFile::_hasPath() const {
    const HLNFile* n = this;
    while (!n->_has(IsRootFile)) {
        if (!n->_parent) return false;
        n = n->_parent.get();
    }
    return true;
}

void HLNFile::_appendPath(std::string& out) const {
    const HLNFile* chain[64];
    std::vector<const HLNFile*> deep;
    size_t count = 0;
    for (const HLNFile* n = this; n; n = n->_parent.get()) {
        if (count < 64) chain[count++] = n;
        else deep.push_back(n);
    }
    auto at = [&](size_t k) { return k < 64 ? chain[k] : deep[k - 64]; };
    size_t total = count + deep.size();
    for (size_t k = total; k-- > 0;) {
        const HLNFile* n = at(k);
        if (k + 1 < total && (out.empty() || out.back() != '/')) out += '/';
        out += n->nameView();
    }
}

std::string HLNFile::path() const {
    TreeGuard lock(treeLock());
    std::string p;
    if (_hasPath()) _appendPath(p);
    return p;
}

Ref<HLNFile> HLNFile::parent() const {
    TreeGuard lock(treeLock());
    return _parent;
}

bool HLNFile::isDirectory() const {
    TreeGuard lock(treeLock());
    return _has(IsDirectory);
}

bool HLNFile::isLink() const {
    TreeGuard lock(treeLock());
    return _has(IsLink);
}

bool HLNFile::isTrashing() const {
    TreeGuard lock(treeLock());
    return _has(IsTrashing);
}

bool HLNFile::_beginTrashing() {
    TreeGuard lock(treeLock());
    if (_has(IsTrashing)) return false;
    _flags |= IsTrashing;
    return true;
}

void HLNFile::_endTrashing() {
    TreeGuard lock(treeLock());
    _set(IsTrashing, false);
}

bool HLNFile::isInvalidated() const {
    TreeGuard lock(treeLock());
    return _has(Invalidated);
}

uint64_t HLNFile::sizeSoFar() const {
    TreeGuard lock(treeLock());
    return _sizeSoFar;
}

uint32_t HLNFile::unsizedChildrenCount() const {
    TreeGuard lock(treeLock());
    return _unsizedChildrenCount;
}

uint32_t HLNFile::childrenCount() const {
    TreeGuard lock(treeLock());
    return _childrenCountLocked();
}

int HLNFile::_sizeStatusLocked() const {
    if (_has(Invalidated) || _has(IsTrashing)) return 3;
    if (_unsizedChildrenCount == 0) return 2;
    if (_unsizedChildrenCount != _childrenCountLocked() || _has(ChildrenHaveDoneSomeSizing)) return 1;
    return 0;
}

int HLNFile::sizeStatus() const {
    TreeGuard lock(treeLock());
    return _sizeStatusLocked();
}

// ---------------------------------------------------------------- children

HLNFile::ChildList HLNFile::_nodesLocked() const {
    if (!_children || _has(ChildrenArrayContainsNames)) return nullptr;
    return ChildList(_children);
}

void HLNFile::_setChildren(const Ref<List>& list) {
    TreeGuard lock(treeLock());
    if (_has(Invalidated)) return;
    _children = list;
}

HLNFile::ChildList HLNFile::children() {
    std::unique_lock<std::recursive_mutex> lock(treeLock());
    if (!_has(ChildrenArrayContainsNames)) return _nodesLocked();
    if (_has(ConvertingNames)) {
        // Another thread is turning the names into nodes. The main thread
        // does not wait (the next refresh shows them); any other thread gets
        // the folder handed to the sizing thread once the nodes are in.
        if (!TFMainThread::isMainThread()) _set(ChildrenWantedDuringConversion, true);
        return nullptr;
    }
    // Each name is examined outside the tree lock, relative to this open
    // folder; the finished nodes are attached, and their sizes reported,
    // in one hold of the lock. Readers meanwhile see the folder as listed.
    _set(ConvertingNames, true);
    Ref<List> names = _children;
    int32_t fsNumber = _fsNumber;
    std::string where;
    _appendPath(where);
    Ref<HLNFile> self(this);
    lock.unlock();

    Ref<List> built = List::makeNodes(names->_count);
    uint64_t bytes = 0;
    uint32_t finished = 0;
    {
        HLNDirectory folder = HLNDirectory::openPath(where);
        bool folderGone = !folder.isOpen() && (folder.error() == ENOENT || folder.error() == ENOTDIR);
        Examination ex;
        for (uint32_t i = 0; i < names->_count; ++i) {
            const char* name = names->nameAt(i);
            ex = Examination();
            ex.parentFsNumber = fsNumber;
            if (folder.isOpen()) _readEntry(folder.fd(), name, false, fsNumber, ex);
            else if (folderGone) ex.exists = false;
            else ex.error = folder.error();
            if (!ex.exists) {
                ++finished; // vanished since the listing: finished with 0 bytes
                continue;
            }
            if (ex.error) {
                std::string full = where;
                if (full.back() != '/') full += '/';
                std::fprintf(stderr, "%s%s: %s\n", full.c_str(), name, std::strerror(ex.error));
            }
            Ref<HLNFile> node = _make(self, name);
            node->_apply(ex, false);
            bytes += node->_sizeSoFar;
            if (node->_unsizedChildrenCount == 0) ++finished;
            new (&built->nodes()[built->_count++]) Ref<HLNFile>(std::move(node));
        }
    }

    lock.lock();
    _set(ConvertingNames, false);
    bool wanted = _has(ChildrenWantedDuringConversion);
    _set(ChildrenWantedDuringConversion, false);
    ChildList result;
    if (_has(Invalidated) || _children != names) {
        // Cut or re-read meanwhile: the nodes built are not this folder's.
        result = _nodesLocked();
        lock.unlock();
        built = nullptr;
        return result;
    }
    _children = built;
    _set(ChildrenArrayContainsNames, false);
    _childrenSized(bytes, finished, names->_count > 0);
    result = ChildList(built);
    lock.unlock();
    if (wanted) HLNBackgroundFileSizer::sizeFile(self);
    return result;
}

void HLNFile::sortChildren() {
    children();
    TreeGuard lock(treeLock());
    ChildList current = _nodesLocked();
    if (!current) return;
    std::vector<HLNFile*> order;
    order.reserve(current->size());
    for (const Ref<HLNFile>& c : *current) order.push_back(c.get());
    std::sort(order.begin(), order.end(), [](HLNFile* a, HLNFile* b) { return a->compare(*b) < 0; });
    Ref<List> sorted = List::makeNodes(order.size());
    for (HLNFile* n : order) new (&sorted->nodes()[sorted->_count++]) Ref<HLNFile>(n);
    _setChildren(sorted);
}

// ---------------------------------------------------------------- sizes

void HLNFile::_childSized(uint64_t bytes, bool done) {
    TreeGuard lock(treeLock());
    for (HLNFile* n = this; n; n = n->_parent.get()) {
        n->_flags |= ChildrenHaveDoneSomeSizing;
        n->_sizeSoFar += bytes;
        if (done && n->_unsizedChildrenCount > 0) --n->_unsizedChildrenCount;
        done = n->_unsizedChildrenCount == 0;
    }
}

void HLNFile::_childrenSized(uint64_t bytes, uint32_t finished, bool anyReport) {
    if (!anyReport) return;
    _flags |= ChildrenHaveDoneSomeSizing;
    _sizeSoFar += bytes;
    _unsizedChildrenCount -= std::min(finished, _unsizedChildrenCount);
    if (_parent) _parent->_childSized(bytes, _unsizedChildrenCount == 0);
}

void HLNFile::_childRefreshing(uint64_t bytes, bool wasDone) {
    TreeGuard lock(treeLock());
    for (HLNFile* n = this; n; n = n->_parent.get()) {
        bool wasComplete = wasDone && n->_unsizedChildrenCount == 0;
        if (wasDone) ++n->_unsizedChildrenCount;
        n->_sizeSoFar -= bytes;
        wasDone = wasComplete;
    }
}

// ---------------------------------------------------------------- ordering

int HLNFile::compareSize(const HLNFile& other) const {
    uint64_t mine = sizeSoFar(), theirs = other.sizeSoFar();
    return mine > theirs ? -1 : mine < theirs ? 1 : 0;
}

int HLNFile::compareSizeStatus(const HLNFile& other) const {
    int a = sizeStatus(), b = other.sizeStatus();
    bool mineSized = a == 1 || a == 2, theirsSized = b == 1 || b == 2;
    if (mineSized != theirsSized) return mineSized ? -1 : 1;
    return mineSized ? compareSize(other) : 0;
}

int HLNFile::compareName(const HLNFile& other) const { return compareNames(nameView(), other.nameView()); }

int HLNFile::compare(const HLNFile& other) const {
    int r = compareSizeStatus(other);
    return r != 0 ? r : compareName(other);
}

// ---------------------------------------------------------------- drives

bool HLNFile::_hasDrivesMountedUnderneathFromDriveArray(const HLNDrive::DriveList& drives) const {
    std::string p = path();
    if (p.empty() || !drives) return false;
    for (const Ref<HLNDrive>& drive : *drives)
        if (drive && drive->location().compare(0, p.size(), p) == 0) return true;
    return false;
}

bool HLNFile::hasDrivesMountedUnderneath() {
    bool answer = _hasDrivesMountedUnderneathFromDriveArray(HLNDrive::drives());
    TreeGuard lock(treeLock());
    _flags |= KnowsWhetherItHadDrivesMountedUnderneath;
    _set(HadDrivesMountedUnderneath, answer);
    return answer;
}

bool HLNFile::hadDrivesMountedUnderneathLastTimeWeCheckedDrives() {
    bool answer = _hasDrivesMountedUnderneathFromDriveArray(HLNDrive::cachedDrives());
    TreeGuard lock(treeLock());
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
        TreeGuard lock(treeLock());
        _flags |= Invalidated;
    }
    Ref<HLNFile> self(this);
    auto release = [self] {
        Ref<HLNFile> parent;
        {
            TreeGuard lock(treeLock());
            parent = std::move(self->_parent);
        }
        self->_releaseChildren();
    };
    try {
        std::thread(release).detach();
    } catch (const std::system_error&) {
        release(); // no thread to be had: release here rather than leak
    }
}

void HLNFile::_releaseChildren() {
    Ref<List> kept;
    {
        TreeGuard lock(treeLock());
        if (!_children) return;
        if (!_has(ChildrenArrayContainsNames)) kept = std::move(_children);
        _children = nullptr;
        _set(ChildrenArrayContainsNames, false);
    }
    if (kept)
        for (const Ref<HLNFile>& child : *kept) child->_releaseParent();
}

void HLNFile::_releaseParent() {
    // Depth-first over the subtree in one hold of the lock, with an explicit
    // stack so that deep trees cannot exhaust the thread's stack. Cut nodes
    // are freed only after the lock is released.
    std::vector<Ref<HLNFile>> pending{Ref<HLNFile>(this)};
    std::vector<Ref<HLNFile>> cut;
    {
        TreeGuard lock(treeLock());
        while (!pending.empty()) {
            Ref<HLNFile> n = std::move(pending.back());
            pending.pop_back();
            n->_flags |= Invalidated;
            cut.push_back(std::move(n->_parent));
            Ref<List> list = std::move(n->_children);
            bool nodes = list && !n->_has(ChildrenArrayContainsNames);
            n->_set(ChildrenArrayContainsNames, false);
            if (nodes)
                for (uint32_t i = list->_count; i-- > 0;) pending.push_back(list->nodes()[i]);
            cut.push_back(std::move(n));
        }
    }
}

void HLNFile::_removeChild(const Ref<HLNFile>& child) {
    TreeGuard lock(treeLock());
    ChildList current = children();
    if (!current) return;
    Ref<List> rest = List::makeNodes(current->size());
    for (const Ref<HLNFile>& c : *current)
        if (c != child) new (&rest->nodes()[rest->_count++]) Ref<HLNFile>(c);
    child->invalidate();
    _setChildren(rest);
}

// ---------------------------------------------------------------- re-reading

void HLNFile::refreshSize() {
    {
        TreeGuard lock(treeLock());
        _flags |= NeedsSizeRefreshed;
    }
    HLNBackgroundFileSizer::sizeFile(Ref<HLNFile>(this));
}

void HLNFile::_refreshSizeIfNeeded() {
    {
        TreeGuard lock(treeLock());
        if (!_has(NeedsSizeRefreshed) || _has(Invalidated)) return;
        _set(NeedsSizeRefreshed, false);
        if (_parent) _parent->_childRefreshing(_sizeSoFar, _unsizedChildrenCount == 0);
        _sizeSoFar = 0;
        _releaseChildren();
    }
    if (_checkAttributes()) return;
    TreeGuard lock(treeLock());
    if (Ref<HLNFile> parent = _parent) {
        parent->_childSized(0, true);
        parent->_removeChild(Ref<HLNFile>(this));
    }
}

// ---------------------------------------------------------------- deletion

void HLNFile::trash() {
    {
        TreeGuard lock(treeLock());
        bool already = _has(IsTrashing);
        _flags |= IsTrashing;
        if (already) return;
    }
    HLNRefreshRequests::updateUI();
    Ref<HLNFile> self(this);
    try {
        std::thread([self] { self->_detachedTrash(); }).detach();
    } catch (const std::system_error&) {
        _detachedTrash();
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
        TreeGuard lock(treeLock());
        if (_hasPath()) {
            const HLNFile* n = this;
            for (; !n->_has(IsRootFile); n = n->_parent.get()) below.emplace_back(n->nameView());
            rootPath = n->nameView();
        }
    }
    if (below.empty()) {
        if (!rootPath.empty()) HLNDirectory::removePath(rootPath);
    } else {
        HLNDirectory folder = HLNDirectory::openPath(rootPath);
        for (size_t k = below.size(); k-- > 1 && folder.isOpen();) folder = folder.openChild(below[k].c_str());
        if (folder.isOpen()) folder.removeTree(below[0].c_str());
    }
    {
        TreeGuard lock(treeLock());
        _set(IsTrashing, false);
    }
    Ref<HLNFile> self(this);
    TFMainThread::perform([self] { self->refreshSize(); });
}
