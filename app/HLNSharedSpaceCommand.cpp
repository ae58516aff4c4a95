#include "app/HLNSharedSpaceCommand.h"

#include "app/HLNStandardOutput.h"
#include "toolkit/TFExtents.h"
#include "toolkit/TFPathArgument.h"
#include "toolkit/TFString.h"
#include "toolkit/TFTreeWalker.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

// Shared extents kept per line at most; past it, counted once is an upper
// bound, and said to be.
constexpr size_t kExtentBound = 1u << 20;

struct Line {
    std::string path;
    uint64_t usage = 0, exclusive = 0, shared = 0;
    uint64_t sharedOnce = 0; // of the distinct shared extents
    std::set<std::pair<uint64_t, uint64_t>> extents;
    bool approximate = false;

    void add(uint64_t bytes, uint64_t sharedBytes, const std::vector<TFExtents::Extent>& list) {
        usage += bytes;
        shared += sharedBytes;
        exclusive += bytes - sharedBytes;
        for (const TFExtents::Extent& e : list) {
            if (!e.shared)
                continue;
            if (extents.size() >= kExtentBound) {
                approximate = true;
                sharedOnce += e.length;
            } else if (extents.emplace(e.physical, e.length).second) {
                sharedOnce += e.length;
            }
        }
    }
    uint64_t countedOnce() const { return exclusive + std::min(shared, sharedOnce); }
};

class SharedSpace : public TFTreeWalker::Sink {
public:
    SharedSpace(Line& root, std::map<std::string, Line>& children)
        : _root(root), _children(children) {}

    bool entry(const TFTreeWalker::Folder& folder, const char* name,
               const TFTreeWalker::Examination& ex, bool enterable) override {
        if (folder.depth == 0) {
            _child = &_children[name];
            _child->path = childPath(name);
        }
        if (ex.error) {
            if (ex.exists())
                problem(name, ex.error);
            return false;
        }
        // Each file once, however many names it has here (as du counts).
        if (!ex.isDirectory() && ex.linkCount > 1 && !_seen.emplace(ex.device, ex.inode).second)
            return false;
        if (ex.isDirectory() && !enterable)
            return false; // another file system: neither entered nor counted
        uint64_t sharedBytes = 0;
        _extents.clear();
        if (ex.type == TFDirectory::EntryType::regular && ex.allocatedBytes > 0 &&
            TFExtents::extentsOf(folder.dir, name, _extents) == 0) {
            for (const TFExtents::Extent& e : _extents)
                if (e.shared)
                    sharedBytes += e.length;
            sharedBytes = std::min(sharedBytes, ex.allocatedBytes);
        } else {
            _extents.clear(); // what cannot be read counts as its own
        }
        _root.add(ex.allocatedBytes, sharedBytes, _extents);
        if (_child)
            _child->add(ex.allocatedBytes, sharedBytes, _extents);
        return ex.isDirectory();
    }
    bool enterFolder(const TFTreeWalker::Folder&) override { return true; }
    void leaveFolder(const TFTreeWalker::Folder& folder, const TFDirectory*) override {
        if (folder.depth == 1)
            _child = nullptr;
    }
    void readError(const TFTreeWalker::Folder*, const char* name, int error) override {
        problem(name ? name : "", error);
    }
    void setWalker(const TFTreeWalker* walker) { _walker = walker; }
    bool problems() const { return _problems; }

private:
    std::string childPath(const char* name) const {
        std::string path = _root.path;
        if (path.empty() || path.back() != '/')
            path += '/';
        return path + name;
    }
    void problem(const char* name, int error) {
        _problems = true;
        std::string where = _walker ? _walker->path() : _root.path;
        if (*name)
            where += (where.empty() || where.back() == '/' ? "" : "/") + std::string(name);
        std::fprintf(stderr, "hollin: %s: %s\n", where.c_str(), std::strerror(error));
    }

    Line& _root;
    std::map<std::string, Line>& _children;
    Line* _child = nullptr;
    std::vector<TFExtents::Extent> _extents;
    std::set<std::pair<uint64_t, uint64_t>> _seen;
    const TFTreeWalker* _walker = nullptr;
    bool _problems = false;
};

void writeLine(const Line& line) {
    for (uint64_t figure : {line.usage, line.exclusive, line.shared, line.countedOnce()}) {
        HLNStandardOutput::write(std::to_string(figure));
        HLNStandardOutput::write("\t");
    }
    HLNStandardOutput::write(line.path);
    HLNStandardOutput::write("\n");
    if (line.approximate)
        std::fprintf(stderr,
                     "hollin: %s: more than %zu shared extents: its counted-once figure is an "
                     "upper bound\n",
                     line.path.c_str(), kExtentBound);
}

} // namespace

namespace HLNSharedSpaceCommand {

int run(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: hollin --report --shared PATH\n");
        return 2;
    }
    const std::string path = argv[3];
    const TFPathArgument argument(path);
    if (argument.reportError())
        return 1;
    Line root;
    root.path = path;
    std::map<std::string, Line> children;
    SharedSpace sink(root, children);
    const TFTreeWalker::Examination top = TFDirectory::examinePath(argument.path());
    if (top.isDirectory()) {
        root.add(top.allocatedBytes, 0, {}); // the folder's own blocks, as du counts them
        TFTreeWalker walker(sink);
        sink.setWalker(&walker);
        int error = 0;
        if (!walker.walkPath(argument.path(), top, &error)) {
            std::fprintf(stderr, "hollin: %s: %s\n", path.c_str(), std::strerror(error));
            return 1;
        }
    } else {
        // A file alone: its own line.
        const std::string::size_type slash = argument.path().rfind('/');
        const TFDirectory parent =
            TFDirectory::openPath(slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                                             : argument.path().substr(0, slash));
        std::vector<TFExtents::Extent> extents;
        uint64_t sharedBytes = 0;
        if (top.type == TFDirectory::EntryType::regular &&
            TFExtents::extentsOf(parent, argument.path().c_str() + slash + 1, extents) == 0)
            for (const TFExtents::Extent& e : extents)
                sharedBytes += e.shared ? e.length : 0;
        root.add(top.allocatedBytes, std::min(sharedBytes, top.allocatedBytes), extents);
    }
    // The root's entries, largest first (then by name), then the root, as
    // the report orders them.
    std::vector<const Line*> lines;
    for (const auto& [name, line] : children)
        if (!line.path.empty())
            lines.push_back(&line);
    std::stable_sort(lines.begin(), lines.end(), [](const Line* a, const Line* b) {
        if (a->usage != b->usage)
            return a->usage > b->usage;
        return TFString::compareNamesThenBytes(a->path, b->path) < 0;
    });
    for (const Line* line : lines)
        writeLine(*line);
    writeLine(root);
    return HLNStandardOutput::finish() | (sink.problems() ? 1 : 0);
}

} // namespace HLNSharedSpaceCommand
