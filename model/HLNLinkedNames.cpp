#include "model/HLNLinkedNames.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_map>

// Under the tree lock; a name is taken out before its node is cut from its
// tree, so the pointers never outlive their nodes.
struct HLNLinkedNames::Table {
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return size_t((k.inode * 0x9E3779B97F4A7C15u) ^ k.device ^
                          reinterpret_cast<uintptr_t>(k.root));
        }
    };
    std::unordered_map<Key, File, KeyHash> files;
    std::unordered_map<const HLNFile*, Key> keyOf;

    static Table& shared() {
        static auto* links = new Table; // outlives every node, even at exit
        return *links;
    }
};

const HLNLinkedNames::File* HLNLinkedNames::fileOf(const HLNFile* name) {
    Table& links = Table::shared();
    auto at = links.keyOf.find(name);
    if (at == links.keyOf.end())
        return nullptr;
    auto file = links.files.find(at->second);
    return file == links.files.end() ? nullptr : &file->second;
}

std::optional<HLNLinkedNames::Key> HLNLinkedNames::keyOf(const HLNFile* name) {
    Table& links = Table::shared();
    auto at = links.keyOf.find(name);
    if (at == links.keyOf.end())
        return std::nullopt;
    return at->second;
}

void HLNLinkedNames::nameGone(const Key& key, const HLNFile::TreeGuard&) {
    Table& links = Table::shared();
    auto file = links.files.find(key);
    if (file != links.files.end() && file->second.nameCount > 1)
        --file->second.nameCount;
}

namespace {
// True when a comes before b in the tree's order: by the first folder (or
// name) where their paths part, names compared as a listing sorts them.
bool precedesInTree(const HLNFile* a, const HLNFile* b,
                    const std::function<const HLNFile*(const HLNFile*)>& up) {
    std::vector<const HLNFile*> pathA, pathB;
    for (const HLNFile* n = a; n; n = up(n))
        pathA.push_back(n);
    for (const HLNFile* n = b; n; n = up(n))
        pathB.push_back(n);
    size_t i = pathA.size(), j = pathB.size();
    while (i > 0 && j > 0 && pathA[i - 1] == pathB[j - 1])
        --i, --j;
    if (i == 0 || j == 0)
        return i < j;
    const std::string_view x = pathA[i - 1]->nameView(), y = pathB[j - 1]->nameView();
    const int order = HLNFile::compareNames(x, y);
    return order != 0 ? order < 0 : x < y;
}
} // namespace

bool HLNLinkedNames::enter(HLNFile& name, const Key& key, uint64_t nameCount, bool countedAbove,
                           const HLNFile::TreeGuard& held) {
    if (!key.root || (name._flags & HLNFile::MultiLinked))
        return false;
    Table& links = Table::shared();
    File& file = links.files[key];
    file.names.push_back(&name);
    links.keyOf.emplace(&name, key);
    name._flags |= HLNFile::MultiLinked;
    file.nameCount = uint32_t(std::min<uint64_t>(nameCount, UINT32_MAX));
    auto up = [](const HLNFile* n) { return n->_parent.get(); };
    HLNFile* other = file.carrier;
    // The one of the two that comes later in the tree counts nothing.
    HLNFile* later = &name;
    if (!other) {
        later = nullptr;
    } else if (precedesInTree(&name, other, up)) {
        later = other;
        HLNFile::_settlePendingSizes(); // what is taken off above must have been added there
    }
    if (later != &name) {
        file.carrier = &name;
        file.counted = name._own(name._sizeSoFar);
    }
    if (later) {
        const HLNFile::Measures counted = later->_own(later->_sizeSoFar);
        later->_sizeSoFar = 0;
        if (later != &name || countedAbove)
            if (later->_parent) {
                later->_parent->_childRefreshing(counted, false, held);
                if (counted.newest >= later->_parent->_part()->newest)
                    later->_parent->_retakeNewest(held);
            }
    }
    return true;
}

void HLNLinkedNames::leave(HLNFile& name, const HLNFile::TreeGuard& held) {
    if (!(name._flags & HLNFile::MultiLinked))
        return;
    name._flags &= ~uint32_t(HLNFile::MultiLinked);
    Table& links = Table::shared();
    auto at = links.keyOf.find(&name);
    if (at == links.keyOf.end())
        return;
    auto fileAt = links.files.find(at->second);
    // A tree being released whole moves no bytes (nor looks for where to).
    const bool treeGoing = at->second.root->_has(HLNFile::Invalidated);
    links.keyOf.erase(at);
    if (fileAt == links.files.end())
        return;
    File& file = fileAt->second;
    std::erase(file.names, &name);
    if (file.carrier == &name && treeGoing) {
        file.carrier = nullptr;
    } else if (file.carrier == &name) {
        // The bytes go to the first of the names left that is still in a tree.
        file.carrier = nullptr;
        auto up = [](const HLNFile* n) { return n->_parent.get(); };
        for (HLNFile* other : file.names)
            if (other->_liveRoot(held) &&
                (!file.carrier || precedesInTree(other, file.carrier, up)))
                file.carrier = other;
        if (HLNFile* next = file.carrier) {
            next->_sizeSoFar = file.counted.bytes;
            for (HLNFile* n = next->_parent.get(); n; n = n->_parent.get())
                n->_add(file.counted); // measures alone: no entry finishes
        }
    }
    if (file.names.empty())
        links.files.erase(fileAt);
}
