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

// The root's entries, largest first, then the root. Each line is made as it
// is written: a folder of a million entries keeps no line of its own.
int printReport(const Ref<HLNFile>& root, const Columns& columns) {
    root->sortChildren();
    const HLNFile::ChildList children = root->children();
    const uint32_t count = children ? children->size() : 0;
    // Each entry's path is the root's and its name: not walked up for each.
    const std::string rootPath = root->path();
    std::string path = rootPath;
    if (path.empty() || path.back() != '/')
        path += '/';
    const size_t prefix = path.size();
    auto pathOf = [&](uint32_t i) -> const std::string& {
        path.resize(prefix);
        path += (*children)[i]->nameView();
        return path;
    };
    // A further name of a file counted at another, as du leaves it out.
    auto shown = [&](uint32_t i, HLNFile::Measures& m) {
        const HLNFile::Snapshot now = (*children)[i]->snapshot();
        m = now.measures;
        return !now.countedAtAnotherName;
    };
    HLNFile::Measures m;
    if (!columns.apparent && !columns.items) {
        for (uint32_t i = 0; i < count; ++i)
            if (shown(i, m))
                writeLine(columns, m, pathOf(i));
    } else {
        // The children are in the order of their bytes; another figure
        // orders anew (the tree is complete: the figures hold still).
        std::vector<std::pair<uint64_t, uint32_t>> order;
        for (uint32_t i = 0; i < count; ++i)
            if (shown(i, m))
                order.emplace_back(columns.figure(m), i);
        std::stable_sort(order.begin(), order.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& [figure, i] : order) {
            shown(i, m);
            writeLine(columns, m, pathOf(i));
        }
    }
    writeLine(columns, root->measures(), rootPath);
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
