#pragma once

#include "history/HLNFolderFigures.h"
#include "model/HLNFile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// A tree then, held against a tree now: the folders of the earlier one
// (a record or a scan) keyed by their path below its root, so that a
// folder of the later one finds what it weighed then. A folder missing on
// one side weighs 0 there.
class HLNComparison {
public:
    explicit HLNComparison(HLNFolderFigures then);

    const HLNFolderFigures& then() const { return _then; }
    // The earlier disk usage of the folder at that path below the root
    // ("" the root); none when it was not there.
    std::optional<uint64_t> diskUsageThen(std::string_view relativePath) const;

    struct Change {
        std::string relativePath; // "" for the root
        uint64_t then = 0, now = 0;
        bool wasThere = false; // false: new since (then is 0)
        int64_t change() const { return int64_t(now) - int64_t(then); }
    };
    // A node of a tree whose root is root (a folder or a file; a file was
    // not there then, as files are not kept): its size now beside its size
    // then; none for a node outside that tree.
    std::optional<Change> changeOf(const Ref<HLNFile>& node, const Ref<HLNFile>& root) const;
    // Every folder down to maxDepth below the root whose disk usage differs
    // from then to now, the root included: largest change either way
    // first, then by path.
    std::vector<Change> changesTo(const HLNFolderFigures& now, unsigned maxDepth) const;

private:
    HLNFolderFigures _then;
    std::unordered_map<std::string, size_t> _byPath;
};
