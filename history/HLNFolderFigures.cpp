#include "history/HLNFolderFigures.h"

#include "toolkit/TFFileSystemIdentity.h"
#include "toolkit/TFPathArgument.h"

#include <algorithm>
#include <chrono>

HLNFolderFigures HLNFolderFigures::ofTree(const Ref<HLNFile>& root) {
    HLNFolderFigures figures;
    figures.rootPath = root->path();
    HLNFile::TreeGuard held; // one reading of the whole tree

    // Depth-first with a stack of our own: a tree may be deeper than the
    // call stack allows.
    figures.folders.push_back({0, figures.rootPath, root->sizeSoFar(), {}, uint64_t(0), {}});
    std::vector<std::pair<Ref<HLNFile>, uint32_t>> pending{{root, 0}};
    std::vector<uint64_t> entries{0}; // entries directly in each folder
    while (!pending.empty()) {
        auto [folder, index] = std::move(pending.back());
        pending.pop_back();
        HLNFile::ChildList children = folder->children();
        if (!children)
            continue;
        entries[index] = children->size();
        for (const Ref<HLNFile>& child : *children) {
            if (!child->isDirectory())
                continue;
            const auto childIndex = uint32_t(figures.folders.size());
            figures.folders.push_back({index, child->name(), child->sizeSoFar(), {}, {}, {}});
            entries.push_back(0);
            pending.emplace_back(child, childIndex);
        }
    }
    // The measures a folder gathers from below, children before parents.
    for (size_t i = figures.folders.size(); i-- > 0;) {
        Folder& folder = figures.folders[i];
        folder.items = folder.items.value_or(0) + entries[i];
        if (i)
            figures.folders[folder.parent].items =
                figures.folders[folder.parent].items.value_or(0) + *folder.items;
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
