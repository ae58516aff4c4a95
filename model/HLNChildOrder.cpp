#include "model/HLNChildOrder.h"

#include "model/HLNFile.h"

#include <algorithm>
#include <utility>

bool HLNChildOrder::order(std::vector<Key>& sized, std::vector<Key>& unsized, bool inNameOrder) {
    auto bySize = [](const Key& a, const Key& b) { return a.smallerFirst < b.smallerFirst; };
    auto byName = [](const Key& a, const Key& b) {
        return HLNFile::compareNames(a.node->nameView(), b.node->nameView()) < 0;
    };
    if (inNameOrder) {
        if (std::is_sorted(sized.begin(), sized.end(), bySize))
            return false;
        if (sized.size() < 1024)
            std::stable_sort(sized.begin(), sized.end(), bySize);
        else
            _radixSortBySize(sized);
        return true;
    }
    bool moved = _sortMostlySorted(sized, [&](const Key& a, const Key& b) {
        return a.smallerFirst != b.smallerFirst ? bySize(a, b) : byName(a, b);
    });
    moved |= _sortMostlySorted(unsized, byName);
    return moved;
}

// A pass whose digit is the same for every key is skipped, so sizes below a
// terabyte take four.
void HLNChildOrder::_radixSortBySize(std::vector<Key>& keys) {
    constexpr int kBits = 11, kPasses = (64 + kBits - 1) / kBits;
    constexpr size_t kBuckets = size_t(1) << kBits;
    std::vector<uint32_t> counts(kPasses * kBuckets);
    for (const Key& k : keys)
        for (int p = 0; p < kPasses; ++p)
            ++counts[p * kBuckets + ((k.smallerFirst >> (p * kBits)) & (kBuckets - 1))];
    std::vector<Key> other(keys.size());
    for (int p = 0; p < kPasses; ++p) {
        uint32_t* count = &counts[p * kBuckets];
        const uint64_t digit = (keys[0].smallerFirst >> (p * kBits)) & (kBuckets - 1);
        if (count[digit] == keys.size())
            continue;
        uint32_t at = 0;
        for (size_t b = 0; b < kBuckets; ++b)
            at += std::exchange(count[b], at);
        for (const Key& k : keys)
            other[count[(k.smallerFirst >> (p * kBits)) & (kBuckets - 1)]++] = k;
        keys.swap(other);
    }
}

// Those out of place are taken out, sorted and merged back.
template <class Before>
bool HLNChildOrder::_sortMostlySorted(std::vector<Key>& keys, Before before) {
    std::vector<Key> kept, moved;
    kept.reserve(keys.size());
    for (const Key& k : keys) {
        if (kept.empty() || !before(k, kept.back())) {
            kept.push_back(k);
        } else if (kept.size() >= 2 && !before(k, kept[kept.size() - 2])) {
            // The one before went down, rather than this one up.
            moved.push_back(kept.back());
            kept.back() = k;
        } else {
            moved.push_back(k);
        }
    }
    if (moved.empty())
        return false;
    std::sort(moved.begin(), moved.end(), before);
    std::merge(kept.begin(), kept.end(), moved.begin(), moved.end(), keys.begin(), before);
    return true;
}
