#include "app/HLNFindCommand.h"

#include "app/HLNCommandTree.h"
#include "app/HLNStandardOutput.h"
#include "model/HLNFinder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

// The command's end: output flushed, and failure when the tree could not be
// read whole (as du fails).
int finish(Ref<HLNFile> root) {
    const int status = HLNStandardOutput::finish() | (HLNCommandTree::hadProblems() ? 1 : 0);
    HLNCommandTree::finish(std::move(root));
    return status;
}

// A whole number, with an optional K, M, G or T (powers of 1024) for sizes.
std::optional<uint64_t> parseNumber(const char* text, bool withUnits) {
    if (!text || *text < '0' || *text > '9')
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno)
        return std::nullopt;
    unsigned shift = 0;
    if (withUnits && *end) {
        const char* units = "KMGT";
        const char* unit = std::strchr(units, *end & ~0x20);
        if (!unit || end[1])
            return std::nullopt;
        shift = 10u * unsigned(unit - units + 1);
        ++end;
    }
    if (*end || (shift && value > (UINT64_MAX >> shift)))
        return std::nullopt;
    return uint64_t(value) << shift;
}

// The tree below a folder, or a scan's; anything else has nothing below it
// to answer about, which is said rather than answered with nothing.
Ref<HLNFile> folderTree(const char* path, char** argv) {
    Ref<HLNFile> root = HLNCommandTree::treeAtPath(path, argv);
    if (root && !root->isImported() && (!root->isDirectory() || root->isLink())) {
        std::fprintf(stderr, "hollin: %s: %s\n", path,
                     root->isLink() ? "a symbolic link (with a slash after it, its folder)"
                                    : "neither a folder nor a scan file");
        HLNCommandTree::finish(std::move(root));
        return nullptr;
    }
    return root;
}

int usage(const char* line) {
    std::fprintf(stderr, "usage: %s\n", line);
    return 2;
}

} // namespace

namespace HLNFindCommand {

int runLargest(int argc, char** argv) {
    const std::optional<uint64_t> n = argc == 4 ? parseNumber(argv[2], false) : std::nullopt;
    if (!n)
        return usage("hollin --largest N PATH|SCAN");
    Ref<HLNFile> root = folderTree(argv[3], argv);
    if (!root)
        return 1;
    for (const HLNFinder::Entry& entry :
         HLNFinder::largestFiles(root, size_t(std::min<uint64_t>(*n, SIZE_MAX))))
        HLNStandardOutput::writeFields({std::to_string(entry.bytes), entry.path});
    return finish(std::move(root));
}

int runKinds(int argc, char** argv) {
    if (argc != 3)
        return usage("hollin --kinds PATH|SCAN");
    Ref<HLNFile> root = folderTree(argv[2], argv);
    if (!root)
        return 1;
    const HLNFinder::Census census = HLNFinder::census(root);
    // Kinds, then extensions, each largest first (then by name); the
    // folders' own bytes are a line of each, so that each part adds up to
    // the tree's total.
    struct Line {
        std::string name;
        HLNFinder::Figures figures;
    };
    auto print = [](std::vector<Line> lines) {
        std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) {
            return a.figures.bytes != b.figures.bytes ? a.figures.bytes > b.figures.bytes
                                                      : a.name < b.name;
        });
        for (const Line& line : lines)
            HLNStandardOutput::writeFields({std::to_string(line.figures.bytes),
                                            std::to_string(line.figures.items), line.name});
    };
    std::vector<Line> kinds{{"folders", census.folders}}, extensions{{"folders", census.folders}};
    for (uint8_t kind = 0; kind < HLNFileKind::KindCount; ++kind)
        if (census.kinds[kind].items)
            kinds.push_back({HLNFileKind::keywordOfKind(kind), census.kinds[kind]});
    for (const auto& [extension, figures] : census.extensions)
        extensions.push_back({extension.empty() ? "none" : "." + extension, figures});
    print(std::move(kinds));
    print(std::move(extensions));
    return finish(std::move(root));
}

int runFind(int argc, char** argv) {
    const char* line = "hollin --find PATH|SCAN [--name GLOB] [--larger SIZE] [--smaller SIZE] "
                       "[--older DAYS] [--newer DAYS] [--kind KIND] [--caches]";
    if (argc < 3)
        return usage(line);
    HLNFinder::Criteria criteria;
    const int64_t now = std::time(nullptr);
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--caches") {
            criteria.cachesOnly = true;
            continue;
        }
        const char* value = i + 1 < argc ? argv[++i] : nullptr;
        if (!value)
            return usage(line);
        if (option == "--name") {
            // As find -name: a name that is not UTF-8 is shown escaped
            // ("\xE9"), and that text would match globs its bytes do not.
            criteria.nameGlob = value;
            criteria.nameBytesOnly = true;
        } else if (option == "--larger" || option == "--smaller") {
            const std::optional<uint64_t> bytes = parseNumber(value, true);
            if (!bytes) {
                std::fprintf(stderr, "hollin: %s %s: give bytes, or a number with K, M, G or T\n",
                             option.c_str(), value);
                return 2;
            }
            (option == "--larger" ? criteria.largerThan : criteria.smallerThan) = bytes;
        } else if (option == "--older" || option == "--newer") {
            const std::optional<uint64_t> days = parseNumber(value, false);
            if (!days || *days > 1000000) {
                std::fprintf(stderr, "hollin: %s %s: give a number of days\n", option.c_str(),
                             value);
                return 2;
            }
            const int64_t then = now - int64_t(*days) * 86400;
            (option == "--older" ? criteria.modifiedBefore : criteria.modifiedAfter) = then;
        } else if (option == "--kind") {
            criteria.kind = HLNFileKind::kindOfKeyword(value);
            if (criteria.kind == HLNFileKind::KindCount) {
                std::string kinds;
                for (uint8_t kind = 0; kind < HLNFileKind::KindCount; ++kind)
                    kinds +=
                        std::string(kinds.empty() ? "" : ", ") + HLNFileKind::keywordOfKind(kind);
                std::fprintf(stderr, "hollin: --kind %s: the kinds are %s\n", value, kinds.c_str());
                return 2;
            }
        } else {
            std::fprintf(stderr, "hollin: --find: unknown option %s\n", option.c_str());
            return usage(line);
        }
    }
    Ref<HLNFile> root = folderTree(argv[2], argv);
    if (!root)
        return 1;
    if (criteria.asksDates() && !HLNFinder::hasDates(root)) {
        std::fprintf(stderr, "hollin: %s: a scan file keeps no modification times to compare\n",
                     argv[2]);
        HLNCommandTree::finish(std::move(root));
        return 1;
    }
    for (const HLNFinder::Entry& entry : HLNFinder::find(root, criteria))
        HLNStandardOutput::writeFields({std::to_string(entry.bytes), entry.path});
    return finish(std::move(root));
}

} // namespace HLNFindCommand
