#pragma once

#include <cstdint>
#include <vector>

class HLNFile;

// The order of a folder's entries as its window lists them: sized entries
// largest first by the figure shown, ties by name, then the entries not
// sized yet by name. The sort runs on keys read in one hold of the tree
// lock and outside it; names never change, so it needs nothing else.
class HLNChildOrder {
public:
    // An entry as the sort sees it: ~figure, so that ascending means
    // largest first (0 for an unsized one).
    struct Key {
        uint64_t smallerFirst;
        HLNFile* node;
    };

    // Puts sized and unsized in order. inNameOrder: the keys are in the
    // order of the folder's listing, by name, so a stable sort by size
    // alone breaks the ties. Answers whether any key moved.
    static bool order(std::vector<Key>& sized, std::vector<Key>& unsized, bool inNameOrder);

    // A digest of a list's order and sizes, one entry at a time, so that a
    // list found in order with nothing changed since is told at a glance.
    static uint64_t digestStep(uint64_t digest, const HLNFile* node, uint64_t smallerFirst) {
        digest ^= reinterpret_cast<uintptr_t>(node) ^ (smallerFirst * 0x9E3779B97F4A7C15u);
        return digest * 0xFF51AFD7ED558CCDu;
    }
    static uint32_t digestValue(uint64_t digest) {
        const auto folded = uint32_t(digest ^ (digest >> 32));
        return folded ? folded : 1; // 0 means never found in order
    }

private:
    // A stable sort by size, in passes of 11 bits.
    static void _radixSortBySize(std::vector<Key>& keys);
    // Keys most of which are in order already, as between two refreshes;
    // false when none was out of place.
    template <class Before> static bool _sortMostlySorted(std::vector<Key>& keys, Before before);
};
