#include "app/HLNCompressedSpaceCommand.h"

#include "app/HLNEntryLines.h"
#include "app/HLNStandardOutput.h"
#include "toolkit/TFBtrfsCompression.h"
#include "toolkit/TFFile.h"
#include "toolkit/TFPathArgument.h"
#include "toolkit/TFString.h"
#include "toolkit/TFTreeWalker.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Line {
    std::string path;
    uint64_t usage = 0;
    TFBtrfsCompression::Reading reading;
    TFBtrfsCompression::CountedExtents counted;
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
    const TFFile topFile = TFFile::openPath(argument.path());
    const int topFd = topFile.fd();
    const bool btrfs = topFd >= 0 && TFBtrfsCompression::isBtrfs(topFd);
    if (btrfs) {
        TFBtrfsCompression::Reading probe;
        probe.error = TFBtrfsCompression::canRead(topFd);
        if (probe.error) {
            std::fprintf(stderr, "hollin: %s: cannot read what it takes on disk: %s\n",
                         path.c_str(), probe.explanation().c_str());
            return 1;
        }
    }
    HLNEntryLines<Line> sink(path, [btrfs](const TFTreeWalker::Folder& folder, const char* name,
                                           const TFTreeWalker::Examination& ex, Line& root,
                                           Line* entry) {
        int error = 0;
        for (Line* line : {&root, entry}) {
            if (!line)
                continue;
            line->usage += ex.allocatedBytes;
            if (!btrfs || ex.type != TFDirectory::EntryType::regular)
                line->reading.onDisk += ex.allocatedBytes; // nothing compressed: all its own
            else if (!TFBtrfsCompression::addFileAt(folder.dir.fd(), name, line->reading,
                                                    line->counted))
                error = line->reading.error;
        }
        return error;
    });
    Line& root = sink.root();
    if (top.isDirectory()) {
        root.usage += top.allocatedBytes; // the folder's own blocks, as du counts them
        root.reading.onDisk += top.allocatedBytes;
        if (!sink.walkFolder(argument, top))
            return 1;
    } else {
        // A file alone: its own line.
        root.usage = top.allocatedBytes;
        if (btrfs && top.type == TFDirectory::EntryType::regular) {
            if (!TFBtrfsCompression::addFile(topFd, root.reading, root.counted)) {
                std::fprintf(stderr, "hollin: %s: %s\n", path.c_str(),
                             root.reading.explanation().c_str());
                return 1;
            }
        } else {
            root.reading.onDisk = top.allocatedBytes;
        }
    }
    for (const Line* line : sink.lines())
        writeLine(*line);
    return HLNStandardOutput::finish() | (sink.problems() ? 1 : 0);
}

} // namespace HLNCompressedSpaceCommand
