#include "toolkit/TFTreeWalker.h"

#include "toolkit/TFReadAhead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <utility>

// The disk's events, handed on without the descriptors.
class TFTreeWalker::Common : public TFTreeWalker::Sink {
public:
    explicit Common(TFTreeSink& sink) : _sink(sink) {}
    bool entry(const Folder& folder, const char* name, const Examination& ex,
               bool enterable) override {
        return _sink.entry(folder, name, ex, enterable);
    }
    bool enterFolder(const Folder& folder) override { return _sink.enterFolder(folder); }
    void leaveFolder(const Folder& folder, const TFDirectory*) override {
        _sink.leaveFolder(folder);
    }
    void readError(const Folder* parent, const char* name, int error) override {
        _sink.readError(parent, name, error);
    }
    bool stopped() const override { return _sink.stopped(); }

private:
    TFTreeSink& _sink;
};

TFTreeWalker::TFTreeWalker(TFTreeSink& sink, Options options)
    : _common(std::make_unique<Common>(sink)), _sink(*_common), _options(options) {}

TFTreeWalker::TFTreeWalker(TFTreeSink& sink) : TFTreeWalker(sink, Options()) {}

TFTreeWalker::~TFTreeWalker() = default;

void TFTreeWalker::Listing::clear() {
    bytes.clear();
    offsets.clear();
    entries.clear();
    folders = 0;
}

bool TFTreeWalker::list(const TFDirectory& dir, const Examination& ex, Listing& out, size_t limit) {
    if (!dir.isOpen())
        return false;
    return dir.readNames(out.bytes, out.offsets, limit, &out.folders,
                         dir.listingsEndShort(ex.mountId, ex.device));
}

void TFTreeWalker::examineAll(const TFDirectory& dir, Listing& out) {
    out.entries.resize(out.size());
    for (size_t i = 0; i < out.size(); ++i)
        out.entries[i] = dir.examine(out.name(i));
}

TFDirectory TFTreeWalker::openChecked(const TFDirectory& parent, const char* name,
                                      const Examination& ex) {
    TFDirectory dir = parent.openChild(name);
    if (!dir.isOpen())
        return dir;
    const Examination now = dir.examine(".");
    if (now.error || now.device != ex.device || now.inode != ex.inode) {
        return TFDirectory::failed(ESTALE);
    }
    return dir;
}

bool TFTreeWalker::_enterable(const Examination& ex) const {
    if (ex.error || !ex.isDirectory())
        return false;
    if (_options.crossFileSystems)
        return true;
    if (ex.device != _homeDevice)
        return false;
    return !_options.stayOnMount || !ex.mountId || !_homeMount || ex.mountId == _homeMount;
}

bool TFTreeWalker::_enter(TFDirectory dir, const std::string& name, const Examination& ex,
                          int* error) {
    Folder level;
    if (!dir.isOpen()) {
        *error = dir.error() ? dir.error() : EBADF;
        return false;
    }
    Listing names;
    errno = 0;
    if (!list(dir, ex, names)) {
        *error = errno ? errno : EIO;
        return false;
    }
    if (_options.sortedByBytes)
        std::sort(names.offsets.begin(), names.offsets.end(), [&](uint32_t a, uint32_t b) {
            return std::strcmp(names.bytes.data() + a, names.bytes.data() + b) < 0;
        });
    level.dir = std::move(dir);
    level.name = name;
    level.examination = ex;
    level.depth =
        _levels.empty() || _levels.back().depth == SIZE_MAX ? 0 : _levels.back().depth + 1;
    level.bytes = std::move(names.bytes);
    level.offsets = std::move(names.offsets);
    _levels.push_back(std::move(level));
    // The top and the deepest levels stay open; the rest are opened again
    // when the walk climbs back to them.
    const size_t n = _levels.size() - 1;
    if (n > _options.openBudget && n - _options.openBudget >= 1)
        _levels[n - _options.openBudget].dir = TFDirectory();
    if (!_sink.enterFolder(_levels.back()))
        _levels.back().next = _levels.back().offsets.size();
    return true;
}

bool TFTreeWalker::_reopen() {
    size_t open = _levels.size() - 1;
    while (!_levels[open].dir.isOpen())
        --open; // the top is never closed
    for (size_t d = open + 1; d < _levels.size(); ++d) {
        Folder& level = _levels[d];
        level.dir = openChecked(_levels[d - 1].dir, level.name.c_str(), level.examination);
        if (!level.dir.isOpen())
            return false;
        if (d > _options.openBudget && d - _options.openBudget >= 1)
            _levels[d - _options.openBudget].dir = TFDirectory();
    }
    return true;
}

void TFTreeWalker::_run() {
    // The top of a walkEntry is its parent, which the sink never entered.
    const bool pseudoTop = !_levels.empty() && _levels[0].depth == SIZE_MAX;
    while (!_levels.empty()) {
        Folder& f = _levels.back();
        if (_sink.stopped())
            f.next = f.offsets.size();
        if (f.next == f.offsets.size()) {
            Folder done = std::move(_levels.back());
            _levels.pop_back();
            if (_levels.empty()) {
                if (!pseudoTop)
                    _sink.leaveFolder(done, nullptr);
                break;
            }
            Folder& up = _levels.back();
            if (!up.dir.isOpen() && !_reopen()) {
                _sink.readError(&up, nullptr, ESTALE);
                up.next = up.offsets.size();
                _sink.leaveFolder(done, nullptr);
                continue;
            }
            _sink.leaveFolder(done, &up.dir);
            continue;
        }
        const std::string name(f.bytes.data() + f.offsets[f.next++]);
        if (!f.dir.isOpen() && !_reopen()) {
            Folder& lost = _levels.back();
            _sink.readError(&lost, nullptr, ESTALE);
            lost.next = lost.offsets.size();
            continue;
        }
        const Examination ex = f.dir.examine(name.c_str());
        const bool enterable = _enterable(ex);
        if (!_sink.entry(f, name.c_str(), ex, enterable) || !enterable)
            continue;
        TFDirectory child = f.dir.openChild(name.c_str());
        if (!child.isOpen() && (child.error() == EMFILE || child.error() == ENFILE)) {
            // Out of descriptors: let go of every folder but the top and this one.
            for (size_t d = 1; d + 1 < _levels.size(); ++d)
                _levels[d].dir = TFDirectory();
            child = _levels.back().dir.openChild(name.c_str());
        }
        if (child.isOpen() && _options.stayOnMount && !_options.crossFileSystems) {
            // A mount may have appeared between the examination and the opening.
            const Examination opened = child.examine(".");
            if (opened.error || !_enterable(opened))
                child = TFDirectory::failed(EXDEV);
        }
        int error = 0;
        if (!_enter(std::move(child), name, ex, &error))
            _sink.readError(&_levels.back(), name.c_str(), error);
    }
    _levels.clear();
}

bool TFTreeWalker::walkOpen(TFDirectory dir, const std::string& name, int* error) {
    const Examination top = dir.examine(".");
    int problem = dir.isOpen() ? top.error : (dir.error() ? dir.error() : EBADF);
    if (!problem && !top.isDirectory())
        problem = ENOTDIR;
    if (problem) {
        if (error)
            *error = problem;
        return false;
    }
    _levels.clear();
    _homeDevice = top.device;
    _homeMount = top.mountId;
    int failure = 0;
    if (!_enter(std::move(dir), name, top, &failure)) {
        if (error)
            *error = failure;
        return false;
    }
    _run();
    return true;
}

struct TFTreeWalker::Ahead {
    // By level, beside _levels: the folder's read, and its subfolders'.
    struct Level {
        TFReadAhead::JobRef read; // null: a folder with no names
        std::vector<TFReadAhead::JobRef> below;
        size_t next = 0;
        size_t size() const { return read ? read->names().size() : 0; }
    };
    std::vector<Level> levels;
};

bool TFTreeWalker::_walkAhead(TFDirectory dir, const std::string& name, const Examination& top,
                              int* error) {
    TFTreeWalker::Listing names;
    errno = 0;
    if (!dir.isOpen() || !TFReadAhead::listSorted(dir, top, names)) {
        *error = !dir.isOpen() ? (dir.error() ? dir.error() : EBADF) : errno ? errno : EIO;
        return false;
    }
    Ahead ahead;
    // Enters a folder whose read (null when it has no names) was listed.
    auto enter = [&](TFReadAhead::JobRef read, const std::string& folderName,
                     const Examination& ex) -> int {
        if (read) {
            TFReadAhead::take(read, true);
            if (int failed = read->error())
                return failed;
        }
        Folder level;
        level.name = folderName;
        level.examination = ex;
        level.depth = _levels.empty() ? 0 : _levels.back().depth + 1;
        _levels.push_back(std::move(level));
        Ahead::Level& at = ahead.levels.emplace_back();
        if (read)
            at.below = read->takeChildren();
        at.read = std::move(read);
        if (!_sink.enterFolder(_levels.back()))
            at.next = at.size();
        return 0;
    };
    if (int failed =
            enter(TFReadAhead::makeJob(std::move(dir), top, std::move(names)), name, top)) {
        *error = failed;
        return false;
    }
    while (!_levels.empty()) {
        Ahead::Level& at = ahead.levels.back();
        if (_sink.stopped())
            at.next = at.size();
        if (at.next == at.size()) {
            Folder done = std::move(_levels.back());
            _levels.pop_back();
            ahead.levels.pop_back();
            _sink.leaveFolder(done, nullptr);
            continue;
        }
        const size_t i = at.next++;
        const char* entryName = at.read->names().name(i);
        const Examination& ex = at.read->entries()[i];
        Folder& here = _levels.back();
        const bool enterable = _enterable(ex);
        if (!_sink.entry(here, entryName, ex, enterable) || !enterable)
            continue;
        TFReadAhead::JobRef below = i < at.below.size() ? std::move(at.below[i]) : nullptr;
        int failed = at.read->childError(i);
        if (!failed && !below && at.read->childStamp(i).isLost())
            failed = ENOENT; // gone, or swapped for a link, since it was examined
        const std::string belowName(entryName);
        if (!failed)
            failed = enter(std::move(below), belowName, ex);
        if (failed)
            _sink.readError(&_levels.back(), belowName.c_str(), failed);
    }
    return true;
}

bool TFTreeWalker::walkPath(const std::string& path, const Examination& top, int* error) {
    _levels.clear();
    _homeDevice = top.device;
    _homeMount = top.mountId;
    int failure = 0;
    const bool ahead =
        _common && !_options.crossFileSystems && !_options.stayOnMount && !_options.sortedByBytes;
    const bool walked = ahead ? _walkAhead(TFDirectory::openPath(path), path, top, &failure)
                              : _enter(TFDirectory::openPath(path), path, top, &failure);
    if (!walked) {
        if (error)
            *error = failure;
        return false;
    }
    if (!ahead)
        _run();
    return true;
}

void TFTreeWalker::walkEntry(const TFDirectory& parent, const char* name) {
    Folder top;
    top.dir = parent.duplicate();
    top.examination = top.dir.examine(".");
    if (top.examination.error) {
        _sink.readError(nullptr, name, top.examination.error);
        return;
    }
    top.depth = SIZE_MAX; // not one of the walk's folders, and nameless
    const std::string_view entry(name);
    top.bytes.assign(entry.begin(), entry.end());
    top.bytes.push_back(0);
    top.offsets.push_back(0);
    _levels.clear();
    _homeDevice = top.examination.device;
    _homeMount = top.examination.mountId;
    _levels.push_back(std::move(top));
    _run();
}

std::string TFTreeWalker::path() const {
    std::string out;
    for (const Folder& f : _levels) {
        if (f.depth == SIZE_MAX)
            continue;
        if (!out.empty() && out.back() != '/')
            out += '/';
        out += f.name;
    }
    return out;
}
