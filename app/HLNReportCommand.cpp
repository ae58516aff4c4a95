#include "app/HLNReportCommand.h"

#include "app/HLNCommandTree.h"
#include "app/HLNCompressedSpaceCommand.h"
#include "app/HLNHistoryCommand.h"
#include "app/HLNSharedSpaceCommand.h"
#include "app/HLNStandardOutput.h"
#include "model/HLNFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// What the report prints of each line, as du's options choose it.
struct Columns {
    bool apparent = false, items = false, time = false;

    uint64_t figure(const HLNFile::Measures& m) const {
        return items ? m.items : apparent ? m.apparent : m.bytes;
    }
};

void writeLine(const Columns& columns, const HLNFile::Measures& m, const std::string& path) {
    // Raw bytes: names that are not text are printed exactly as on disk.
    HLNStandardOutput::write(std::to_string(columns.figure(m)));
    HLNStandardOutput::write("\t");
    if (columns.time) {
        HLNStandardOutput::write(std::to_string(m.newest));
        HLNStandardOutput::write("\t");
    }
    HLNStandardOutput::write(path);
    HLNStandardOutput::write("\n");
}

// The root's entries, largest first, then the root.
int printReport(const Ref<HLNFile>& root, const Columns& columns) {
    root->sortChildren();
    std::vector<std::pair<HLNFile::Measures, std::string>> lines;
    if (HLNFile::ChildList children = root->children())
        for (const Ref<HLNFile>& child : *children) {
            // A further name of a file counted at another, as du leaves it out.
            const HLNFile::Snapshot now = child->snapshot();
            if (!now.countedAtAnotherName)
                lines.emplace_back(now.measures, child->path());
        }
    // The children are in the order of their bytes; another figure orders anew.
    if (columns.apparent || columns.items)
        std::stable_sort(lines.begin(), lines.end(), [&](const auto& a, const auto& b) {
            return columns.figure(a.first) > columns.figure(b.first);
        });
    for (const auto& [measures, path] : lines)
        writeLine(columns, measures, path);
    writeLine(columns, root->measures(), root->path());
    return HLNStandardOutput::finish();
}

const char* const kUsage = "usage: hollin --report [--apparent-size] [--inodes] [--links-each] "
                           "[--time] [--record] PATH\n";

} // namespace

namespace HLNReportCommand {

int run(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[2], "--shared") == 0)
        return HLNSharedSpaceCommand::run(argc, argv);
    if (argc >= 3 && std::strcmp(argv[2], "--compressed") == 0)
        return HLNCompressedSpaceCommand::run(argc, argv);
    Columns columns;
    bool eachName = false; // every name of a file counts (du -l)
    bool record = false;
    for (int i = 2; i < argc - 1; ++i) {
        const std::string_view option = argv[i];
        if (option == "--apparent-size")
            columns.apparent = true;
        else if (option == "--inodes")
            columns.items = true;
        else if (option == "--links-each")
            eachName = true;
        else if (option == "--time")
            columns.time = true;
        else if (option == "--record") // kept in the scan history as well
            record = true;
        else
            return std::fputs(kUsage, stderr), 2;
    }
    // A record counts each file once, as every other record does.
    if (argc < 3 || std::string_view(argv[argc - 1]).starts_with("--") || (record && eachName))
        return std::fputs(kUsage, stderr), 2;
    HLNFile::setCountsEachName(eachName);
    // A scan file reports what the scanned folder reported where it was made.
    const std::string path = argv[argc - 1];
    Ref<HLNFile> root = HLNCommandTree::treeAtPath(path, argv);
    if (!root)
        return 1;
    const HLNFile::Snapshot top = root->snapshot();
    if ((columns.time && !top.knowsModification) ||
        (columns.apparent && !columns.items && !top.knowsApparent)) {
        std::fprintf(stderr, "hollin: %s: the scan does not hold %s\n", path.c_str(),
                     columns.time && !top.knowsModification ? "modification times"
                                                            : "apparent sizes");
        HLNCommandTree::finish(std::move(root));
        return 1;
    }
    // Entries that could not be read were named on standard error as the
    // sizing met them; the rest is reported, and the command fails, as du's.
    int status = printReport(root, columns) | (HLNCommandTree::hadProblems() ? 1 : 0);
    if (record && !HLNHistoryCommand::record(root, path))
        status = 1;
    HLNCommandTree::finish(std::move(root));
    return status;
}

} // namespace HLNReportCommand
