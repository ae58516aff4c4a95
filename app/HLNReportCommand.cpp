#include "app/HLNReportCommand.h"

#include "app/HLNCommandTree.h"
#include "app/HLNHistoryCommand.h"
#include "app/HLNSharedSpaceCommand.h"
#include "app/HLNStandardOutput.h"
#include "model/HLNFile.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void writeLine(uint64_t bytes, const std::string& path) {
    // Raw bytes: names that are not text are printed exactly as on disk.
    HLNStandardOutput::write(std::to_string(bytes));
    HLNStandardOutput::write("\t");
    HLNStandardOutput::write(path);
    HLNStandardOutput::write("\n");
}

// The root's entries, largest first, then the root.
int printReport(const Ref<HLNFile>& root) {
    root->sortChildren();
    if (HLNFile::ChildList children = root->children())
        for (const Ref<HLNFile>& child : *children) {
            // A further name of a file counted at another, as du leaves it out.
            const HLNFile::Snapshot now = child->snapshot();
            if (!now.countedAtAnotherName)
                writeLine(now.sizeSoFar, child->path());
        }
    writeLine(root->sizeSoFar(), root->path());
    return HLNStandardOutput::finish();
}

} // namespace

namespace HLNReportCommand {

int run(int argc, char** argv) {
    // --record: the tree reported is kept in the scan history as well,
    // counted as every record is (each file once).
    const bool record = argc >= 3 && std::strcmp(argv[2], "--record") == 0;
    if (record) {
        if (argc != 4) {
            std::fprintf(stderr, "usage: hollin --report --record PATH\n");
            return 2;
        }
        argv[2] = argv[3];
        argc = 3;
    }
    if (argc >= 3 && std::strcmp(argv[2], "--shared") == 0)
        return HLNSharedSpaceCommand::run(argc, argv);
    // --links-each: every name of a file counts its bytes (du -l).
    const bool eachName = argc == 4 && std::strcmp(argv[2], "--links-each") == 0;
    if (argc != 3 && !eachName) {
        std::fprintf(stderr, "usage: hollin --report [--links-each | --record] PATH\n");
        return 2;
    }
    HLNFile::setCountsEachName(eachName);
    // A scan file reports what the scanned folder reported where it was made.
    const std::string path = argv[argc - 1];
    Ref<HLNFile> root = HLNCommandTree::treeAtPath(path, argv);
    if (!root)
        return 1;
    // Entries that could not be read were named on standard error as the
    // sizing met them; the rest is reported, and the command fails, as du's.
    int status = printReport(root) | (HLNCommandTree::hadProblems() ? 1 : 0);
    if (record && !HLNHistoryCommand::record(root, path))
        status = 1;
    HLNCommandTree::finish(std::move(root));
    return status;
}

} // namespace HLNReportCommand
