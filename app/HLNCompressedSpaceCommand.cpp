#include "app/HLNCompressedSpaceCommand.h"

#include "app/HLNStandardOutput.h"
#include "toolkit/TFBtrfsCompression.h"
#include "toolkit/TFPathArgument.h"
#include "toolkit/TFString.h"
#include "toolkit/TFTreeWalker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

struct Line {
    std::string path;
    uint64_t usage = 0;
    TFBtrfsCompression::Reading reading;
    TFBtrfsCompression::CountedExtents counted;
};

class CompressedSpace : public TFTreeWalker::Sink {
public:
    CompressedSpace(Line& root, std::map<std::string, Line>& children, bool btrfs)
        : _root(root), _children(children), _btrfs(btrfs) {}

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
        _root.usage += ex.allocatedBytes;
        if (_child)
            _child->usage += ex.allocatedBytes;
        if (!_btrfs || ex.type != TFDirectory::EntryType::regular) {
            // Nothing compressed: what it holds is what it takes.
            _root.reading.onDisk += ex.allocatedBytes;
            if (_child)
                _child->reading.onDisk += ex.allocatedBytes;
        } else {
            int error = 0;
            for (Line* line : {&_root, _child})
                if (line && !TFBtrfsCompression::addFileAt(folder.dir.fd(), name, line->reading,
                                                           line->counted))
                    error = line->reading.error;
            if (error)
                problem(name, error);
        }
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
    bool _btrfs;
    std::set<std::pair<uint64_t, uint64_t>> _seen;
    const TFTreeWalker* _walker = nullptr;
    bool _problems = false;
};

void writeLine(const Line& line) {
    HLNStandardOutput::write(std::to_string(line.usage));
    HLNStandardOutput::write("\t");
    HLNStandardOutput::write(std::to_string(line.reading.onDisk));
    HLNStandardOutput::write("\t");
    HLNStandardOutput::write(line.path);
    HLNStandardOutput::write("\n");
    if (line.counted.approximate)
        std::fprintf(stderr,
                     "hollin: %s: more than %zu extents: its on-disk figure is an upper bound\n",
                     line.path.c_str(), line.counted.bound);
}

} // namespace

namespace HLNCompressedSpaceCommand {

int run(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: hollin --report --compressed PATH\n");
        return 2;
    }
    const std::string path = argv[3];
    const TFPathArgument argument(path);
    if (argument.reportError())
        return 1;
    const TFTreeWalker::Examination top = TFDirectory::examinePath(argument.path());
    // The top itself, opened to ask its file system (a link is not followed).
    const int topFd =
        ::open(argument.path().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool btrfs = topFd >= 0 && TFBtrfsCompression::isBtrfs(topFd);
    if (btrfs) {
        TFBtrfsCompression::Reading probe;
        probe.error = TFBtrfsCompression::canRead(topFd);
        if (probe.error) {
            ::close(topFd);
            std::fprintf(stderr, "hollin: %s: cannot read what it takes on disk: %s\n",
                         path.c_str(), probe.explanation().c_str());
            return 1;
        }
    }
    Line root;
    root.path = path;
    std::map<std::string, Line> children;
    CompressedSpace sink(root, children, btrfs);
    if (top.isDirectory()) {
        root.usage += top.allocatedBytes; // the folder's own blocks, as du counts them
        root.reading.onDisk += top.allocatedBytes;
        TFTreeWalker walker(sink);
        sink.setWalker(&walker);
        int error = 0;
        if (!walker.walkPath(argument.path(), top, &error)) {
            std::fprintf(stderr, "hollin: %s: %s\n", path.c_str(), std::strerror(error));
            if (topFd >= 0)
                ::close(topFd);
            return 1;
        }
    } else {
        // A file alone: its own line.
        root.usage = top.allocatedBytes;
        if (btrfs && top.type == TFDirectory::EntryType::regular) {
            if (!TFBtrfsCompression::addFile(topFd, root.reading, root.counted)) {
                std::fprintf(stderr, "hollin: %s: %s\n", path.c_str(),
                             root.reading.explanation().c_str());
                ::close(topFd);
                return 1;
            }
        } else {
            root.reading.onDisk = top.allocatedBytes;
        }
    }
    if (topFd >= 0)
        ::close(topFd);
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

} // namespace HLNCompressedSpaceCommand
