#pragma once

#include "toolkit/TFObject.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class HLNFile;
enum class SizeStatus : int;

// The sizes, states and names of a subtree, copied in one hold of the tree
// lock so that a map of it can be laid out and drawn without the lock.
//
// Entries too small to be seen are left out: an entry is kept when its bytes
// are at least minimumFraction of the root's (and more than 0), or, for the
// root's own entries, rootEntriesFraction (smaller: the folder one is
// zoomed into shows its entries down to a few pixels each, however many);
// what is left out stays counted in its folder's bytes. Children of an entry are stored
// together, largest first, after their parent (breadth first), so entry 0
// is the root and a parent's index is always below its children's.
// Main thread or any thread; it never turns names into nodes (no disk access).
class HLNTreemapSnapshot {
public:
    static constexpr uint32_t none = UINT32_MAX;

    struct Entry {
        Ref<HLNFile> file; // identity, for selection; may be cut from its tree later
        uint64_t bytes = 0;
        uint32_t parent = none;
        uint32_t firstChild = 0;
        uint32_t childCount = 0;
        uint32_t nameOffset = 0;
        uint32_t nameLength = 0;
        SizeStatus status{}; // when copied (notStarted until then)
        bool isDirectory = false;
        bool isLink = false;
        bool isExecutable = false; // a regular file with an execute bit
        // For a folder: the kind (see Classifier) with the most bytes among the
        // files of it that were left out; 0 when none.
        uint8_t restKind = 0;
    };

    // Answers a small number (a kind) for a file's name; used only for the
    // files left out, to colour what their folder shows in their place.
    using Classifier = uint8_t (*)(std::string_view name);

    HLNTreemapSnapshot() = default;
    // A null root gives an empty snapshot.
    // A negative rootEntriesFraction is minimumFraction.
    // childrenBudget: entries looked at one by one, in all; the folders
    // reached past it are kept without their entries (four sampled for
    // restKind), which bounds the time the tree lock is held: half a
    // million is some 20 ms on a scan of millions of small files, and
    // more than a whole system disk's map looks at.
    static constexpr uint64_t kChildrenBudget = 500'000;
    static HLNTreemapSnapshot take(const Ref<HLNFile>& root, double minimumFraction,
                                   Classifier classify = nullptr, double rootEntriesFraction = -1,
                                   uint64_t childrenBudget = kChildrenBudget);

    const std::vector<Entry>& entries() const { return _entries; }
    bool empty() const { return _entries.empty(); }
    // Raw bytes; the root's name is its full path.
    std::string_view nameOf(uint32_t index) const;
    // The full path of an entry, as HLNFile::path would give it.
    std::string pathOf(uint32_t index) const;
    // Index of the entry for that node, or none.
    uint32_t indexOf(const HLNFile* file) const;
    // How many nodes were looked at (kept or not), for timing.
    uint64_t nodesVisited() const { return _visited; }

private:
    std::vector<Entry> _entries;
    std::string _names;
    uint64_t _visited = 0;
};
