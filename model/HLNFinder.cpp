#include "model/HLNFinder.h"

#include "toolkit/TFDirectory.h"
#include "toolkit/TFString.h"

#include <QElapsedTimer>
#include <QString>
#include <algorithm>
#include <fnmatch.h>
#include <string_view>

namespace {

constexpr std::string_view kCacheTag = "CACHEDIR.TAG";
constexpr std::string_view kCacheSignature = "Signature: 8a477f597d28d172789f06886806bc55";

std::string childPath(const std::string& folder, std::string_view name) {
    std::string path = folder;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
    return path;
}

// A file's own measures: a further name of a file counted elsewhere shows
// what its carrying name counts.
HLNFile::Measures ownMeasures(const HLNFile::Snapshot& now) {
    return now.countedAtAnotherName ? now.countedElsewhere : now.measures;
}

} // namespace

std::string HLNFinder::Entry::fullPath() const {
    return path.empty() && folderPath ? childPath(*folderPath, node->nameView()) : path;
}

void HLNFinder::forEachEntry(const Ref<HLNFile>& root,
                             const std::function<void(const Entry&)>& visit, bool inNameOrder,
                             const Control& control) {
    // An explicit stack: a tree may be deeper than the thread's stack allows.
    std::vector<Entry> stack{{root, root->path(), 0, true, {}, HLNFile::kNoModification}};
    std::vector<HLNFile::Snapshot> snapshots;
    std::vector<int64_t> modified;
    std::vector<uint32_t> order;
    while (!stack.empty() && !control.stopped()) {
        const Entry folder = std::move(stack.back());
        stack.pop_back();
        // The whole folder in one hold of the lock; a file's path is made
        // only when asked (fullPath), a folder's for its entries.
        HLNFile::ChildList list = folder.node->childrenWithSnapshots(snapshots, modified);
        if (!list)
            continue;
        order.resize(list->size());
        for (uint32_t i = 0; i < order.size(); ++i)
            order[i] = i;
        if (inNameOrder)
            std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
                const std::string_view x = (*list)[a]->nameView(), y = (*list)[b]->nameView();
                const int byName = HLNFile::compareNames(x, y);
                return byName != 0 ? byName < 0 : x < y;
            });
        const size_t below = stack.size();
        const bool live = !folder.node->isImported();
        for (uint32_t i : order) {
            const HLNFile::Snapshot& now = snapshots[i];
            // Could not be examined (said as the sizing met it): nothing is
            // known of it to match, rank or count, as find leaves it out.
            if (live && modified[i] == HLNFile::kNoModification)
                continue;
            const HLNFile::Measures measures = ownMeasures(now);
            Entry entry{(*list)[i], {},         measures.bytes, now.isDirectory && !now.isLink,
                        measures,   modified[i]};
            entry.isExecutable = now.isExecutable;
            entry.countedAtAnotherName = now.countedAtAnotherName;
            entry.folderPath = &folder.path;
            if (entry.isFolder)
                entry.path = entry.fullPath();
            visit(entry);
            if (entry.isFolder) {
                entry.folderPath = nullptr;
                stack.push_back(std::move(entry));
            }
        }
        if (inNameOrder) // the first name on top
            std::reverse(stack.begin() + std::ptrdiff_t(below), stack.end());
    }
}

bool HLNFinder::holdsCacheTag(const Ref<HLNFile>& folder, const std::string& path) {
    const Ref<HLNFile> tag = folder->existingChildNamed(kCacheTag);
    if (!tag || tag->isDirectory() || tag->isLink())
        return false;
    if (folder->isImported())
        return true;
    std::string start;
    return TFDirectory::readWholeFile(childPath(path, kCacheTag), start, kCacheSignature.size()) ==
               0 &&
           start == kCacheSignature;
}

bool HLNFinder::isCleanupCandidate(const Ref<HLNFile>& folder, const std::string& path) {
    const std::string_view name = folder->nameView();
    if (name == "node_modules" || name == "__pycache__" || name == ".cache" || name == ".venv")
        return true;
    const Ref<HLNFile> parent = folder->parent();
    if (parent && ((name == "target" && parent->existingChildNamed("Cargo.toml")) ||
                   (name == "build" && parent->existingChildNamed("CMakeLists.txt"))))
        return true;
    return holdsCacheTag(folder, path);
}

std::vector<HLNFinder::Entry> HLNFinder::find(const Ref<HLNFile>& root, const Criteria& criteria,
                                              bool inNameOrder, const Control& control) {
    std::vector<Entry> found;
    // What is found is handed on about ten times a second, not all at the end.
    QElapsedTimer sinceHanded;
    sinceHanded.start();
    uint32_t visited = 0;
    const bool dates = criteria.asksDates() && hasDates(root);
    forEachEntry(
        root,
        [&](const Entry& entry) {
            if (control.found && ++visited % 4096 == 0 && !found.empty() &&
                sinceHanded.elapsed() >= 100) {
                control.found(std::move(found));
                found.clear();
                sinceHanded.restart();
            }
            if ((criteria.filesOnly && entry.isFolder) || (criteria.foldersOnly && !entry.isFolder))
                return;
            if (criteria.cachesOnly && (!entry.isFolder || !holdsCacheTag(entry.node, entry.path)))
                return;
            if (criteria.cleanupOnly &&
                (!entry.isFolder || !isCleanupCandidate(entry.node, entry.path)))
                return;
            if (criteria.largerThan && entry.bytes <= *criteria.largerThan)
                return;
            if (criteria.smallerThan && entry.bytes >= *criteria.smallerThan)
                return;
            // Of the kind the treemap colours it and --kinds counts it under.
            if (criteria.kind != HLNFileKind::KindCount &&
                (entry.isFolder || HLNFileKind::kindOfFile(entry.node->nameView(),
                                                           entry.isExecutable) != criteria.kind))
                return;
            if (!criteria.nameGlob.empty()) {
                const int flags = criteria.ignoreCase ? FNM_CASEFOLD : 0;
                const std::string_view name = entry.node->nameView(); // NUL-terminated
                if (::fnmatch(criteria.nameGlob.c_str(), name.data(), flags) != 0 &&
                    (criteria.nameBytesOnly || TFString::isValidUTF8(name) ||
                     ::fnmatch(criteria.nameGlob.c_str(),
                               TFString::displayStringForName(name).toUtf8().constData(),
                               flags) != 0))
                    return;
            }
            if (dates && (entry.modified == HLNFile::kNoModification ||
                          (criteria.modifiedBefore && entry.modified >= *criteria.modifiedBefore) ||
                          (criteria.modifiedAfter && entry.modified <= *criteria.modifiedAfter)))
                return;
            found.push_back(entry);
            found.back().path = entry.fullPath();
            found.back().folderPath = nullptr;
        },
        inNameOrder, control);
    return found;
}

std::vector<HLNFinder::Entry> HLNFinder::largestFiles(const Ref<HLNFile>& root, size_t n,
                                                      HLNFile::Figure figure,
                                                      const Control& control) {
    auto larger = [figure](const Entry& a, const Entry& b) {
        const uint64_t x = HLNFile::figureOf(a.measures, figure);
        const uint64_t y = HLNFile::figureOf(b.measures, figure);
        return x != y ? x > y : a.path < b.path;
    };
    // A heap of the n largest so far, its smallest on top.
    std::vector<Entry> largest;
    if (n == 0)
        return largest;
    forEachEntry(
        root,
        [&](const Entry& visited) {
            if (visited.isFolder)
                return;
            // Below the smallest kept: not even its path is made.
            if (largest.size() == n && HLNFile::figureOf(visited.measures, figure) <
                                           HLNFile::figureOf(largest.front().measures, figure))
                return;
            if (visited.node->isLink()) // not a file, wherever it leads
                return;
            Entry entry = visited;
            entry.path = visited.fullPath();
            entry.folderPath = nullptr;
            if (largest.size() == n) {
                if (!larger(entry, largest.front()))
                    return;
                std::pop_heap(largest.begin(), largest.end(), larger);
                largest.back() = std::move(entry);
            } else {
                largest.push_back(std::move(entry));
            }
            std::push_heap(largest.begin(), largest.end(), larger);
        },
        false, control); // any order: ties go by path
    std::sort_heap(largest.begin(), largest.end(), larger);
    return largest;
}

HLNFinder::Census HLNFinder::census(const Ref<HLNFile>& root, HLNFile::Figure figure,
                                    const Control& control) {
    Census census;
    uint64_t ofFiles = 0;
    forEachEntry(
        root,
        [&](const Entry& entry) {
            if (entry.isFolder) {
                ++census.folders.items;
                return;
            }
            if (entry.countedAtAnotherName)
                return; // counted at the name that carries its bytes
            const std::string_view name = entry.node->nameView();
            const uint8_t kind = HLNFileKind::kindOfFile(name, entry.isExecutable);
            const std::string extension = HLNFileKind::extensionOfName(name);
            const uint64_t figures = HLNFile::figureOf(entry.measures, figure);
            ofFiles += figures;
            for (Figures* f : {&census.kinds[kind], &census.extensions[extension],
                               &census.extensionsOfKind[kind][extension]}) {
                f->bytes += figures;
                ++f->items;
            }
        },
        false, control); // any order: sums
    // The folders' own share: what the total holds beyond its files.
    const uint64_t total = HLNFile::figureOf(root->measures(), figure);
    census.folders.bytes = total > ofFiles ? total - ofFiles : 0;
    ++census.folders.items; // the root
    return census;
}
