#include "history/HLNComparison.h"

#include <algorithm>

HLNComparison::HLNComparison(HLNFolderFigures then) : _then(std::move(then)) {
    _byPath.reserve(_then.folders.size());
    for (size_t i = 0; i < _then.folders.size(); ++i)
        _byPath.emplace(_then.relativePath(i), i);
}

std::optional<uint64_t> HLNComparison::diskUsageThen(std::string_view relativePath) const {
    auto found = _byPath.find(std::string(relativePath));
    if (found == _byPath.end())
        return std::nullopt;
    return _then.folders[found->second].diskUsage;
}

std::optional<HLNComparison::Change> HLNComparison::changeOf(const Ref<HLNFile>& node,
                                                             const Ref<HLNFile>& root) const {
    std::vector<std::string> names;
    Ref<HLNFile> at = node;
    for (; at && at.get() != root.get(); at = at->parent())
        names.push_back(at->name());
    if (!at)
        return std::nullopt;
    Change change;
    for (auto name = names.rbegin(); name != names.rend(); ++name)
        change.relativePath += (change.relativePath.empty() ? "" : "/") + *name;
    const std::optional<uint64_t> then = diskUsageThen(change.relativePath);
    change.then = then.value_or(0);
    change.wasThere = bool(then);
    change.now = node->sizeSoFar();
    return change;
}

std::vector<HLNComparison::Change> HLNComparison::changesTo(const HLNFolderFigures& now,
                                                            unsigned maxDepth) const {
    std::vector<Change> changes;
    std::vector<bool> seen(_then.folders.size());
    std::vector<unsigned> depths(now.folders.size());
    for (size_t i = 0; i < now.folders.size(); ++i) {
        depths[i] = i ? depths[now.folders[i].parent] + 1 : 0;
        if (depths[i] > maxDepth)
            continue;
        Change change{now.relativePath(i), 0, now.folders[i].diskUsage, false};
        if (auto found = _byPath.find(change.relativePath); found != _byPath.end()) {
            seen[found->second] = true;
            change.then = _then.folders[found->second].diskUsage;
            change.wasThere = true;
        }
        if (change.then != change.now)
            changes.push_back(std::move(change));
    }
    // The folders gone since.
    for (size_t i = 0; i < _then.folders.size(); ++i)
        if (!seen[i] && _then.folders[i].diskUsage && _then.depth(i) <= maxDepth)
            changes.push_back({_then.relativePath(i), _then.folders[i].diskUsage, 0, true});
    std::sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) {
        const uint64_t x = uint64_t(std::abs(a.change())), y = uint64_t(std::abs(b.change()));
        return x != y ? x > y : a.relativePath < b.relativePath;
    });
    return changes;
}
