#pragma once

#include "toolkit/TFPathArgument.h"
#include "toolkit/TFString.h"
#include "toolkit/TFTreeWalker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The walk behind the report's lines of other figures (--shared,
// --compressed): one line for PATH and one for each of its entries, each
// summing what is below it. A file counts once however many names it has
// here (as du counts), another file system is neither entered nor counted,
// and what cannot be read is named on standard error. Line holds at least
// `std::string path` and `uint64_t usage`; the command counts each entry
// into the root's line and its top entry's (null for the top entries'
// own folder level, which only the root's line holds).
template <class Line> class HLNEntryLines : public TFTreeWalker::Sink {
public:
    // An entry to count into its lines: 0, or the errno to name it with.
    using Counter =
        std::function<int(const TFTreeWalker::Folder& folder, const char* name,
                          const TFTreeWalker::Examination& ex, Line& root, Line* entry)>;

    HLNEntryLines(std::string path, Counter count) : _count(std::move(count)) {
        _root.path = std::move(path);
    }
    Line& root() { return _root; }
    bool problems() const { return _problems; }

    // Walks the folder at argument, whose examination is top; false, with
    // the reason said, when it cannot be walked.
    bool walkFolder(const TFPathArgument& argument, const TFTreeWalker::Examination& top) {
        TFTreeWalker walker(*this);
        _walker = &walker;
        int error = 0;
        const bool walked = walker.walkPath(argument.path(), top, &error);
        _walker = nullptr;
        if (!walked)
            std::fprintf(stderr, "hollin: %s: %s\n", _root.path.c_str(), std::strerror(error));
        return walked;
    }

    // The entries' lines, largest usage first (then by name), then the
    // root's, as the report orders them.
    std::vector<const Line*> lines() const {
        std::vector<const Line*> lines;
        for (const auto& [name, line] : _entries)
            lines.push_back(&line);
        std::stable_sort(lines.begin(), lines.end(), [](const Line* a, const Line* b) {
            if (a->usage != b->usage)
                return a->usage > b->usage;
            return TFString::compareNamesThenBytes(a->path, b->path) < 0;
        });
        lines.push_back(&_root);
        return lines;
    }

    bool entry(const TFTreeWalker::Folder& folder, const char* name,
               const TFTreeWalker::Examination& ex, bool enterable) override {
        if (folder.depth == 0) {
            _entry = &_entries[name];
            _entry->path = _root.path;
            if (_entry->path.empty() || _entry->path.back() != '/')
                _entry->path += '/';
            _entry->path += name;
        }
        if (ex.error) {
            if (ex.exists())
                _problem(name, ex.error);
            return false;
        }
        if (!ex.isDirectory() && ex.linkCount > 1 && !_seen.emplace(ex.device, ex.inode).second)
            return false;
        if (ex.isDirectory() && !enterable)
            return false; // another file system: neither entered nor counted
        if (const int error = _count(folder, name, ex, _root, _entry))
            _problem(name, error);
        return ex.isDirectory();
    }
    bool enterFolder(const TFTreeWalker::Folder&) override { return true; }
    void leaveFolder(const TFTreeWalker::Folder& folder, const TFDirectory*) override {
        if (folder.depth == 1)
            _entry = nullptr;
    }
    void readError(const TFTreeWalker::Folder*, const char* name, int error) override {
        _problem(name ? name : "", error);
    }

private:
    void _problem(const char* name, int error) {
        _problems = true;
        std::string where = _walker ? _walker->path() : _root.path;
        if (*name)
            where += (where.empty() || where.back() == '/' ? "" : "/") + std::string(name);
        std::fprintf(stderr, "hollin: %s: %s\n", where.c_str(), std::strerror(error));
    }

    Counter _count;
    Line _root;
    std::map<std::string, Line> _entries;
    Line* _entry = nullptr;
    std::set<std::pair<uint64_t, uint64_t>> _seen;
    const TFTreeWalker* _walker = nullptr;
    bool _problems = false;
};
