#include "model/HLNSharedSpace.h"

#include "toolkit/TFBtrfsCompression.h"
#include "toolkit/TFDirectory.h"
#include "toolkit/TFExtents.h"
#include "toolkit/TFTreeWalker.h"

#include <algorithm>
#include <chrono>
#include <set>
#include <string_view>
#include <utility>

namespace {
std::atomic<size_t> extentBound{HLNSharedSpace::kExtentBound};

bool byName(std::string_view a, std::string_view b) {
    return a < b;
}
} // namespace

// One walk of a folder on disk: each level sums its entries and keeps the
// distinct shared extents below it, handed to its parent when it is left.
class HLNSharedSpace::Walk : public TFTreeWalker::Sink {
public:
    Walk(const std::atomic<bool>& stop, bool mayShare, bool btrfs)
        : _stop(stop), _mayShare(mayShare), _compressedError(btrfs ? 0 : ENOTSUP) {
        _counted.bound = _bound;
    }

    void start(const Ref<HLNFile>& top) { _top = top; }
    bool cannotShare() const { return _cannotShare; }
    bool mayShare() const { return _mayShare; }
    std::vector<Entry>& done() { return _done; }

    bool entry(const TFTreeWalker::Folder& folder, const char* name,
               const TFTreeWalker::Examination& ex, bool enterable) override {
        if (ex.error)
            return false; // the sizing reports it; here it counts nothing
        if (ex.isDirectory())
            return enterable; // its own bytes count in its level
        // Each file once in the sums, however many names it has here (as
        // du counts); every name still gets its own row of figures.
        const bool counted = ex.linkCount <= 1 || _seen.emplace(ex.device, ex.inode).second;
        uint64_t shared = 0;
        _extents.clear();
        if (ex.type == TFDirectory::EntryType::regular && ex.allocatedBytes > 0) {
            if (TFExtents::extentsOf(folder.dir, name, _extents) != 0)
                _extents.clear(); // what cannot be read counts as its own
            for (const TFExtents::Extent& e : _extents)
                shared += e.shared ? e.length : 0;
            shared = std::min(shared, ex.allocatedBytes);
            if (!_mayShare) {
                // A file system of no sharing kind: the first file with
                // data decides, and nothing more is read.
                _cannotShare = shared == 0;
                _mayShare = !_cannotShare;
            }
        }
        // On btrfs, as the administrator: what it takes once compressed.
        uint64_t compressed = ex.allocatedBytes;
        if (!_compressedError && ex.type == TFDirectory::EntryType::regular &&
            ex.allocatedBytes > 0) {
            TFBtrfsCompression::Reading reading;
            if (TFBtrfsCompression::addFileAt(folder.dir.fd(), name, reading, _counted))
                compressed = reading.onDisk;
            else if (reading.error == EPERM || reading.error == EACCES)
                _compressedError = reading.error; // none will be read: said once
        }
        Level& level = _levels.back();
        if (shared > 0 || compressed != ex.allocatedBytes)
            level.files.push_back({name, ex.allocatedBytes, shared, compressed});
        if (!counted)
            return false;
        level.add(ex.allocatedBytes, shared);
        level.figures.compressed += compressed;
        for (const TFExtents::Extent& e : _extents)
            if (e.shared)
                _remember(level, e);
        return false;
    }

    bool enterFolder(const TFTreeWalker::Folder& folder) override {
        Level level;
        if (_levels.empty()) {
            level.node = _top;
        } else if (auto it = _levels.back().folders.find(folder.name);
                   it != _levels.back().folders.end()) {
            level.node = it->second;
        }
        if (level.node) {
            // Before its entries are read: a re-read after this changes it.
            level.signature = level.node->measures();
            std::vector<HLNFile::FolderSize> folders;
            level.node->appendChildFolders(folders);
            for (HLNFile::FolderSize& f : folders)
                level.folders.emplace(f.folder->nameView(), std::move(f.folder));
        }
        level.add(folder.examination.allocatedBytes, 0); // the folder's own blocks
        level.figures.compressed += folder.examination.allocatedBytes;
        _levels.push_back(std::move(level));
        return true;
    }

    void leaveFolder(const TFTreeWalker::Folder&, const TFDirectory*) override {
        Level level = std::move(_levels.back());
        _levels.pop_back();
        level.figures.countedOnce =
            level.figures.exclusive + std::min(level.figures.shared, level.once);
        level.figures.compressedError = _compressedError;
        if (level.node && !_cannotShare) {
            std::sort(
                level.files.begin(), level.files.end(),
                [](const FileShare& a, const FileShare& b) { return byName(a.name, b.name); });
            _done.push_back(Entry{std::move(level.node), level.signature, level.figures,
                                  std::move(level.files)});
        }
        if (_levels.empty())
            return;
        Level& parent = _levels.back();
        parent.figures.exclusive += level.figures.exclusive;
        parent.figures.shared += level.figures.shared;
        parent.figures.approximate |= level.figures.approximate;
        parent.figures.compressed += level.figures.compressed;
        // The larger set takes the smaller one's nodes; what is left in the
        // smaller one was in both, and counts once.
        if (level.extents.size() > parent.extents.size())
            std::swap(level.extents, parent.extents);
        parent.once += level.once;
        parent.extents.merge(level.extents);
        for (const auto& [physical, length] : level.extents)
            parent.once -= length;
        _remembered -= level.extents.size();
    }

    void readError(const TFTreeWalker::Folder*, const char*, int) override {}
    bool stopped() const override { return _stop.load() || _cannotShare; }

private:
    struct Level {
        Ref<HLNFile> node; // null: a folder whose entries are not nodes yet
        HLNFile::Measures signature;
        std::unordered_map<std::string_view, Ref<HLNFile>> folders; // its child folders' nodes
        Figures figures;
        uint64_t once = 0; // the distinct shared extents' bytes, and those past the bound
        std::set<std::pair<uint64_t, uint64_t>> extents;
        std::vector<FileShare> files;

        void add(uint64_t bytes, uint64_t shared) {
            figures.exclusive += bytes - shared;
            figures.shared += shared;
        }
    };
    void _remember(Level& level, const TFExtents::Extent& e) {
        if (_remembered >= _bound) {
            level.once += e.length; // counted in full: an upper bound
            level.figures.approximate = true;
        } else if (level.extents.emplace(e.physical, e.length).second) {
            level.once += e.length;
            ++_remembered;
        }
    }

    const std::atomic<bool>& _stop;
    bool _mayShare;
    int _compressedError;
    TFBtrfsCompression::CountedExtents _counted; // each compressed extent once a walk
    bool _cannotShare = false;
    Ref<HLNFile> _top;
    std::vector<Level> _levels;
    std::vector<Entry> _done;
    std::vector<TFExtents::Extent> _extents;
    std::set<std::pair<uint64_t, uint64_t>> _seen;
    size_t _remembered = 0; // extents in every level's set
    const size_t _bound = extentBound.load();
};

void HLNSharedSpace::setExtentBoundForTesting(size_t bound) {
    extentBound = bound;
}

HLNSharedSpace::HLNSharedSpace(Ref<HLNFile> root, std::function<void()> computed)
    : _root(std::move(root)), _computed(std::move(computed)) {
    _thread = std::thread([this] { _run(); });
}

HLNSharedSpace::~HLNSharedSpace() {
    {
        std::scoped_lock held(_lock);
        _stop = true;
    }
    _wake.notify_all();
    _thread.join();
}

bool HLNSharedSpace::cannotShare() const {
    std::scoped_lock held(_lock);
    return _cannotShare;
}

uint64_t HLNSharedSpace::walks() const {
    std::scoped_lock held(_lock);
    return _walks;
}

size_t HLNSharedSpace::bytesUsed() const {
    std::scoped_lock held(_lock);
    if (_table.empty())
        return 0;
    // A hash node per entry (the key, the entry, a link) and a bucket.
    size_t bytes = _table.bucket_count() * sizeof(void*);
    for (const auto& [node, entry] : _table) {
        bytes += sizeof(std::pair<const HLNFile*, Entry>) + sizeof(void*);
        bytes += entry.files.capacity() * sizeof(FileShare);
        for (const FileShare& f : entry.files)
            if (f.name.capacity() > sizeof(std::string) - 1)
                bytes += f.name.capacity() + 1;
    }
    return bytes;
}

const HLNSharedSpace::Entry* HLNSharedSpace::_freshEntry(const Ref<HLNFile>& folder,
                                                         const HLNFile::Measures& now,
                                                         std::vector<Entry>& dropped) {
    auto it = _table.find(folder.get());
    if (it != _table.end() && it->second.signature == now)
        return &it->second;
    if (it != _table.end()) {
        // Re-read since: computed again.
        dropped.push_back(std::move(it->second));
        _table.erase(it);
    }
    _ask(folder);
    return nullptr;
}

bool HLNSharedSpace::figuresOf(const Ref<HLNFile>& node, const HLNFile::Snapshot& now,
                               Figures& out) {
    if (!node || now.sizeStatus != SizeStatus::complete)
        return false;
    const bool folder = now.isDirectory && !now.isLink;
    const uint64_t bytes =
        now.countedAtAnotherName ? now.countedElsewhere.bytes : now.measures.bytes;
    // A file's figures are its folder's: read before the table's lock.
    const Ref<HLNFile> holder = folder ? node : node->parent();
    if (!holder)
        return false;
    const HLNFile::Snapshot holderNow = folder ? now : holder->snapshot();
    if (holderNow.sizeStatus != SizeStatus::complete)
        return false;
    std::vector<Entry> dropped; // freed once the lock is released
    std::scoped_lock held(_lock);
    if (_cannotShare) {
        out = {bytes, 0, bytes, false};
        return true;
    }
    const Entry* entry = _freshEntry(holder, holderNow.measures, dropped);
    if (!entry)
        return false;
    if (folder) {
        out = entry->figures;
        return true;
    }
    const std::string_view name = node->nameView();
    auto it =
        std::lower_bound(entry->files.begin(), entry->files.end(), name,
                         [](const FileShare& f, std::string_view n) { return byName(f.name, n); });
    if (it == entry->files.end() || it->name != name) {
        // It shares nothing, and is not compressed.
        out = {bytes, 0, bytes, false, bytes, entry->figures.compressedError};
        return true;
    }
    if (it->bytes != bytes) { // changed without its folder's measures moving
        dropped.push_back(std::move(_table.find(holder.get())->second));
        _table.erase(holder.get());
        _ask(holder);
        return false;
    }
    out = {bytes - it->shared,
           it->shared,
           bytes,
           false,
           it->compressed,
           entry->figures.compressedError};
    return true;
}

void HLNSharedSpace::_ask(const Ref<HLNFile>& folder) {
    if (_askedSet.insert(folder.get()).second) {
        _asked.push_back(folder);
        _wake.notify_one();
    }
}

void HLNSharedSpace::_run() {
    for (;;) {
        Ref<HLNFile> next;
        {
            std::unique_lock held(_lock);
            _wake.wait(held, [this] { return _stop.load() || !_asked.empty(); });
            if (_stop)
                return;
            next = std::move(_asked.front());
            _asked.pop_front();
        }
        const auto started = std::chrono::steady_clock::now();
        _compute(next);
        std::unique_lock held(_lock);
        _askedSet.erase(next.get());
        // A tree that keeps changing is walked again and again: resting as
        // long as the walk took keeps that to half a processor at most.
        _wake.wait_for(held, std::chrono::steady_clock::now() - started,
                       [this] { return _stop.load(); });
    }
}

void HLNSharedSpace::_compute(const Ref<HLNFile>& folder) {
    const HLNFile::Snapshot now = folder->snapshot();
    if (now.sizeStatus != SizeStatus::complete)
        return; // asked again once it is sized
    bool mayShare;
    {
        std::scoped_lock held(_lock);
        auto it = _table.find(folder.get());
        if (_cannotShare || (it != _table.end() && it->second.signature == now.measures))
            return; // a walk of a folder above did it meanwhile
        mayShare = _mayShare;
    }
    const std::string path = folder->path();
    if (path.empty())
        return; // cut from its tree
    const TFTreeWalker::Examination top = TFDirectory::examinePath(path);
    if (!top.isDirectory())
        return;
    if (!mayShare) {
        const TFDirectory dir = TFDirectory::openPath(path);
        mayShare = dir.fd() >= 0 && TFExtents::fileSystemMayShare(dir.fd());
    }
    bool btrfs;
    {
        const TFDirectory dir = TFDirectory::openPath(path);
        btrfs = dir.fd() >= 0 && TFBtrfsCompression::isBtrfs(dir.fd());
    }
    Walk walk(_stop, mayShare, btrfs);
    walk.start(folder);
    TFTreeWalker walker(walk);
    walker.walkPath(path, top);
    std::unordered_map<const HLNFile*, Entry> old; // freed once the lock is released
    {
        std::scoped_lock held(_lock);
        if (_stop)
            return;
        ++_walks;
        if (walk.cannotShare()) {
            _cannotShare = true;
            old.swap(_table);
        } else {
            _mayShare = _mayShare || walk.mayShare();
            // The root's walk holds every entry there is: the old ones go,
            // with the nodes of entries cut since.
            if (folder == _root)
                old.swap(_table);
            for (Entry& entry : walk.done()) {
                const HLNFile* key = entry.node.get();
                auto [it, added] = _table.try_emplace(key, std::move(entry));
                if (!added)
                    std::swap(it->second, entry);
            }
        }
    }
    if (_computed)
        _computed();
}
