#include "app/HLNSharedSpaceCommand.h"

#include "app/HLNEntryLines.h"
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
    std::vector<TFExtents::Extent> extents;
    HLNEntryLines<Line> sink(path, [&](const TFTreeWalker::Folder& folder, const char* name,
                                       const TFTreeWalker::Examination& ex, Line& root,
                                       Line* entry) {
        uint64_t sharedBytes = 0;
        extents.clear();
        if (ex.type == TFDirectory::EntryType::regular && ex.allocatedBytes > 0 &&
            TFExtents::extentsOf(folder.dir, name, extents) == 0) {
            for (const TFExtents::Extent& e : extents)
                if (e.shared)
                    sharedBytes += e.length;
            sharedBytes = std::min(sharedBytes, ex.allocatedBytes);
        } else {
            extents.clear(); // what cannot be read counts as its own
        }
        root.add(ex.allocatedBytes, sharedBytes, extents);
        if (entry)
            entry->add(ex.allocatedBytes, sharedBytes, extents);
        return 0;
    });
    Line& root = sink.root();
    const TFTreeWalker::Examination top = TFDirectory::examinePath(argument.path());
    if (top.isDirectory()) {
        root.add(top.allocatedBytes, 0, {}); // the folder's own blocks, as du counts them
        if (!sink.walkFolder(argument, top))
            return 1;
    } else {
        // A file alone: its own line.
        const std::string::size_type slash = argument.path().rfind('/');
        const TFDirectory parent =
            TFDirectory::openPath(slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                                             : argument.path().substr(0, slash));
        uint64_t sharedBytes = 0;
        if (top.type == TFDirectory::EntryType::regular &&
            TFExtents::extentsOf(parent, argument.path().c_str() + slash + 1, extents) == 0)
            for (const TFExtents::Extent& e : extents)
                sharedBytes += e.shared ? e.length : 0;
        root.add(top.allocatedBytes, std::min(sharedBytes, top.allocatedBytes), extents);
    }
    for (const Line* line : sink.lines())
        writeLine(*line);
    return HLNStandardOutput::finish() | (sink.problems() ? 1 : 0);
}

} // namespace HLNSharedSpaceCommand
