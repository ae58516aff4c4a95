#include "model/HLNChangeFollower.h"

#include "toolkit/TFDirectory.h"
#include "toolkit/TFFanotify.h"
#include "toolkit/TFInotify.h"

#include <QDateTime>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/fanotify.h>
#include <sys/inotify.h>

namespace {
// How long the first change waits for the others of its burst, and how
// often one node may be re-read.
constexpr int kGatherMs = 50;
constexpr int64_t kRereadSpacingMs = 1000;

int64_t nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}
} // namespace

HLNChangeFollower::HLNChangeFollower(Ref<HLNFile> root, std::string rootPath)
    : _root(std::move(root)), _rootPath(std::move(rootPath)), _timer(std::make_unique<QTimer>()) {
    if (const TFDirectory::Examination root = TFDirectory::examinePath(_rootPath); !root.error)
        _device = root.device;
    if (std::optional<std::string> real = TFDirectory::resolvedPathFollowingLinks(_rootPath))
        _realRoot = std::move(*real);
    const char* forced = std::getenv("HOLLIN_FOLLOW");
    if (!forced || std::strcmp(forced, "inotify") != 0) {
        auto fanotify = std::make_unique<TFFanotify>(_rootPath);
        if (fanotify->isOpen())
            _fanotify = std::move(fanotify);
    }
    int fd;
    if (_fanotify) {
        fd = _fanotify->fileDescriptor();
    } else {
        _inotify = std::make_unique<TFInotify>();
        _budget = TFInotify::budget();
        fd = _inotify->fileDescriptor();
    }
    _timer->setSingleShot(true);
    QObject::connect(_timer.get(), &QTimer::timeout, [this] { _flush(); });
    if (fd >= 0) {
        _notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(_notifier.get(), &QSocketNotifier::activated, [this] { _readEvents(); });
    }
}

HLNChangeFollower::~HLNChangeFollower() {
    _notifier.reset(); // before the descriptor closes with its marks or watches
}

void HLNChangeFollower::setShownFolders(const std::vector<Ref<HLNFile>>& folders) {
    _shown.clear();
    for (const Ref<HLNFile>& folder : folders)
        if (folder && !_wdOf.count(folder.get())) {
            _shown.insert(folder.get());
            _watchWanted = true;
        }
}

void HLNChangeFollower::treeSettled() {
    if (!_inotify || !_watchWanted)
        return;
    _watchTree();
}

void HLNChangeFollower::_readEvents() {
    if (_fanotify)
        _fanotify->readEvents([this](const TFFanotify::Event& e) {
            if (e.overflow)
                _overflow();
            else
                _fanotifyEvent(e.mask, e.folder, e.name);
        });
    else
        _inotify->readEvents([this](const TFInotify::Event& e) {
            if (e.mask & IN_Q_OVERFLOW)
                _overflow();
            else
                _inotifyEvent(e.wd, e.mask, e.name);
        });
}

void HLNChangeFollower::_fanotifyEvent(uint64_t mask, std::string_view folder,
                                       std::string_view name) {
    auto found = _handles.find(std::string(folder));
    if (found == _handles.end()) {
        const std::string path = _fanotify->pathOfHandle(folder);
        Resolved resolved;
        if (!path.empty())
            resolved.node = _nodeForPath(path, &resolved.whole);
        found = _handles.emplace(std::string(folder), std::move(resolved)).first;
    }
    if (!found->second.node)
        return; // outside the tree, or gone (its parent hears of that)
    if (!found->second.whole) {
        // In a folder the tree does not hold as a node: the nearest one
        // above is read again whole, which reads the change.
        _touch(found->second.node);
        return;
    }
    const Change change = (mask & (FAN_CREATE | FAN_MOVED_TO))     ? Change::added
                          : (mask & (FAN_DELETE | FAN_MOVED_FROM)) ? Change::gone
                                                                   : Change::contents;
    _touchEntry(found->second.node, name, change, (mask & FAN_ONDIR) != 0);
}

void HLNChangeFollower::_inotifyEvent(int wd, uint32_t mask, std::string_view name) {
    auto slot = _byWd.find(wd);
    if (slot == _byWd.end())
        return;
    Ref<HLNFile> folder = slot->second;
    if (mask & IN_IGNORED) { // the folder went, and its watch with it
        _wdOf.erase(folder.get());
        _byWd.erase(slot);
        _watchWanted = true;
        return;
    }
    if (name.empty())
        return; // the folder itself: its parent's watch tells what matters
    if (folder->isInvalidated()) {
        // Cut by a re-read that may already have listed it: the new node
        // takes this watch when the tree settles, and is re-read then.
        _changedWhileReread.push_back(wd);
        _watchWanted = true;
        return;
    }
    const Change change = (mask & (IN_CREATE | IN_MOVED_TO))     ? Change::added
                          : (mask & (IN_DELETE | IN_MOVED_FROM)) ? Change::gone
                                                                 : Change::contents;
    _touchEntry(folder, name, change, (mask & IN_ISDIR) != 0);
}

void HLNChangeFollower::_touchEntry(const Ref<HLNFile>& folder, std::string_view name,
                                    Change change, bool isFolderEvent) {
    // An entry the tree holds is read again alone: a file written or
    // changed, an entry gone (the re-read takes it out of its folder), or
    // one replaced by a move. A name the tree does not hold yet is new: its
    // folder's listing is read again, which reads the new entry.
    if (name.empty()) {
        _touch(folder);
        return;
    }
    if (change == Change::contents && isFolderEvent)
        return; // a folder's own attributes: its size is its listing's
    std::string key(reinterpret_cast<const char*>(&folder), sizeof(HLNFile*));
    key.append(name);
    if (key != _lastEntryKey || !_lastEntry || _lastEntry->isInvalidated()) {
        _lastEntryKey = std::move(key);
        _lastEntry = folder->existingChildNamed(name);
    }
    if (_lastEntry)
        _touch(_lastEntry);
    else
        // Past the watch budget a folder's listing alone would miss what
        // changed in the folders below it that nothing watches: it is read
        // whole then.
        _touch(folder, _fanotify || _notFollowed == 0);
}

Ref<HLNFile> HLNChangeFollower::_nodeForPath(const std::string& path, bool* whole) const {
    *whole = false;
    std::string_view rest;
    const std::string& root = _realRoot;
    if (root.empty())
        return nullptr;
    if (path == root) {
        *whole = true;
        return _root;
    }
    if (root == "/")
        rest = std::string_view(path).substr(1);
    else if (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
             path[root.size()] == '/')
        rest = std::string_view(path).substr(root.size() + 1);
    else
        return nullptr;
    Ref<HLNFile> node = _root;
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        Ref<HLNFile> child = node->existingChildNamed(rest.substr(0, slash));
        if (!child || !child->isDirectory() || child->isLink())
            break; // not read yet: a re-read of its parent reads it whole
        node = std::move(child);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    *whole = rest.empty();
    return node;
}

void HLNChangeFollower::_touch(const Ref<HLNFile>& node, bool listingOnly) {
    if (_touchedSet.insert(node.get()).second) {
        _touched.push_back(node);
        if (listingOnly)
            _listingOnly.insert(node.get());
    } else if (!listingOnly) {
        _listingOnly.erase(node.get()); // read whole, which lists it too
    }
    if (!_timer->isActive())
        _timer->start(kGatherMs);
}

void HLNChangeFollower::_overflow() {
    _overflowed = true;
    if (!_timer->isActive())
        _timer->start(kGatherMs);
}

void HLNChangeFollower::_flush() {
    const int64_t now = nowMs();
    _handles.clear(); // a folder moved since may lie elsewhere now
    _lastEntry = nullptr;
    _lastEntryKey.clear();
    for (auto it = _lastReread.begin(); it != _lastReread.end();)
        it = now - it->second >= kRereadSpacingMs ? _lastReread.erase(it) : std::next(it);
    if (_overflowed) {
        // Events were lost: the whole tree once, which covers every change.
        _overflowed = false;
        _touched.clear();
        _touchedSet.clear();
        _listingOnly.clear();
        _root->refreshSize();
        _lastReread[_root.get()] = now;
        ++_rereads;
        _watchWanted = true;
        return;
    }
    std::vector<Ref<HLNFile>> waiting;
    int64_t soonest = kRereadSpacingMs;
    for (const Ref<HLNFile>& node : _touched) {
        if (node->isInvalidated())
            continue; // cut by a re-read above it, which read it anew
        // A folder above read whole reads this too; one above only listed does not.
        bool covered = false;
        for (Ref<HLNFile> up = node->parent(); up && !covered; up = up->parent())
            covered = _touchedSet.count(up.get()) != 0 && !_listingOnly.count(up.get());
        if (covered)
            continue;
        if (auto last = _lastReread.find(node.get()); last != _lastReread.end()) {
            soonest = std::min(soonest, kRereadSpacingMs - (now - last->second));
            waiting.push_back(node);
            continue;
        }
        if (_listingOnly.count(node.get()))
            node->relistEntries();
        else
            node->refreshSize();
        _lastReread[node.get()] = now;
        ++_rereads;
        if (node->isDirectory())
            _watchWanted = true;
    }
    _touched = std::move(waiting);
    _touchedSet.clear();
    std::unordered_set<const HLNFile*> listingOnly;
    for (const Ref<HLNFile>& node : _touched) {
        _touchedSet.insert(node.get());
        if (_listingOnly.count(node.get()))
            listingOnly.insert(node.get());
    }
    _listingOnly = std::move(listingOnly);
    if (!_touched.empty())
        _timer->start(int(std::max<int64_t>(soonest, 1)));
}

void HLNChangeFollower::_watchTree() {
    _watchWanted = false;
    // Every folder of the tree as it stands, those without a watch aside.
    std::vector<HLNFile::FolderSize> stack{{_root, _root->sizeSoFar()}}, unwatched;
    uint64_t folders = 0;
    while (!stack.empty()) {
        HLNFile::FolderSize at = std::move(stack.back());
        stack.pop_back();
        ++folders;
        if (!_wdOf.count(at.folder.get()))
            unwatched.push_back(at);
        at.folder->appendChildFolders(stack);
    }
    const uint64_t room = _budget > _wdOf.size() ? _budget - _wdOf.size() : 0;
    if (unwatched.size() > room) {
        // The shown folders first, then the largest subtrees (a folder
        // after its parent, which is at least as large).
        std::stable_sort(unwatched.begin(), unwatched.end(),
                         [this](const HLNFile::FolderSize& a, const HLNFile::FolderSize& b) {
                             const bool aShown = _shown.count(a.folder.get()) != 0;
                             const bool bShown = _shown.count(b.folder.get()) != 0;
                             if (aShown != bShown)
                                 return aShown;
                             return a.bytes > b.bytes;
                         });
    }
    std::unordered_set<int> changed(_changedWhileReread.begin(), _changedWhileReread.end());
    _changedWhileReread.clear();
    uint64_t added = 0;
    for (const HLNFile::FolderSize& candidate : unwatched) {
        if (added >= room || _outOfWatches)
            break;
        const std::string path = candidate.folder->path();
        const int wd = path.empty() ? -ENOENT : _inotify->watchFolder(path, _device);
        if (wd == -ENOSPC) {
            _outOfWatches = true; // other programs took them: what has none is not followed
        } else if (wd == -EXDEV || wd == -ENOENT || wd == -ELOOP || wd == -ENOTDIR) {
            --folders; // a volume mounted there, or gone or replaced meanwhile
        } else if (wd >= 0) {
            Ref<HLNFile>& slot = _byWd[wd];
            // A folder first watched now (new since the tree was followed,
            // or let in by the budget) may have changed between its read
            // and its watch: it is read again whole, once.
            const bool firstWatched = !slot && _watchedOnce;
            if (slot && slot != candidate.folder)
                _wdOf.erase(slot.get()); // the same folder, read again
            if (!_wdOf.count(candidate.folder.get()))
                ++added;
            slot = candidate.folder;
            _wdOf[candidate.folder.get()] = wd;
            if (changed.count(wd) || firstWatched)
                _touch(candidate.folder);
        }
    }
    _watchedOnce = true;
    // Watches whose folders left the tree (moved out, replaced by a link).
    for (auto it = _byWd.begin(); it != _byWd.end();)
        if (it->second->isInvalidated()) {
            _inotify->removeWatch(it->first);
            _wdOf.erase(it->second.get());
            it = _byWd.erase(it);
        } else {
            ++it;
        }
    const uint64_t notFollowed = folders > _wdOf.size() ? folders - _wdOf.size() : 0;
    if (notFollowed != _notFollowed) {
        _notFollowed = notFollowed;
        if (onFollowingChanged)
            onFollowingChanged();
    }
}
