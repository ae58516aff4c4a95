#include "history/HLNFolderFigures.h"

#include "toolkit/TFFileSystemIdentity.h"
#include "toolkit/TFPathArgument.h"

#include <algorithm>
#include <chrono>

namespace {

// The measures a folder is kept with: those the tree knows (a scan may
// lack apparent sizes and dates).
HLNFolderFigures::Folder folderOf(const HLNFile::Snapshot& now, uint32_t parent, std::string name) {
    HLNFolderFigures::Folder folder{parent, std::move(name), now.measures.bytes, {}, {}, {}};
    if (now.knowsApparent)
        folder.apparentSize = now.measures.apparent;
    folder.items = now.measures.items;
    if (now.knowsModification && now.measures.newest != HLNFile::kNoModification)
        folder.newestModification = now.measures.newest;
    return folder;
}

} // namespace

HLNFolderFigures HLNFolderFigures::ofTree(const Ref<HLNFile>& root) {
    HLNFolderFigures figures;
    figures.rootPath = root->path();
    HLNFile::TreeGuard held; // one reading of the whole tree

    // Depth-first with a stack of our own: a tree may be deeper than the
    // call stack allows.
    figures.folders.push_back(folderOf(root->snapshot(), 0, figures.rootPath));
    std::vector<std::pair<Ref<HLNFile>, uint32_t>> pending{{root, 0}};
    while (!pending.empty()) {
        auto [folder, index] = std::move(pending.back());
        pending.pop_back();
        HLNFile::ChildList children = folder->children();
        if (!children)
            continue;
        for (const Ref<HLNFile>& child : *children) {
            const HLNFile::Snapshot now = child->snapshot();
            if (!now.isDirectory)
                continue;
            pending.emplace_back(child, uint32_t(figures.folders.size()));
            figures.folders.push_back(folderOf(now, index, child->name()));
        }
    }
    return figures;
}

HLNFolderFigures HLNFolderFigures::toRecord(const Ref<HLNFile>& root, const std::string& path) {
    HLNFolderFigures figures = ofTree(root);
    figures.timeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    // A scan's tree keeps the path it was made of, on a file system not here.
    if (!root->isImported()) {
        figures.rootPath = recordPathOf(path);
        figures.fileSystem = TFFileSystemIdentity::ofPath(path);
    }
    return figures;
}

std::string HLNFolderFigures::recordPathOf(const std::string& path) {
    const TFPathArgument argument(path);
    std::string resolved = argument.kernelPath();
    return resolved.empty() ? argument.absolutePath() : resolved;
}

std::string HLNFolderFigures::relativePath(size_t index) const {
    std::vector<size_t> chain;
    for (size_t i = index; i != 0; i = folders[i].parent)
        chain.push_back(i);
    std::string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty())
            path += '/';
        path += folders[*it].name;
    }
    return path;
}

unsigned HLNFolderFigures::depth(size_t index) const {
    unsigned depth = 0;
    for (size_t i = index; i != 0; i = folders[i].parent)
        ++depth;
    return depth;
}
