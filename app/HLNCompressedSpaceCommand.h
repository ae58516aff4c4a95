#pragma once

// `hollin --report --compressed PATH`: the report's lines, each with what
// the entry takes on disk once compressed beside its disk usage:
// "<disk usage>\t<on disk>\t<path>". On btrfs that is read from the file
// system's own records, which only the administrator may read; elsewhere
// nothing is compressed and both figures are the same.
namespace HLNCompressedSpaceCommand {
int run(int argc, char** argv);
}
