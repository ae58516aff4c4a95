#include "toolkit/TFTrie.h"

#include "toolkit/TFException.h"

#include <cstring>
#include <limits>
#include <new>
#include <utility>

// One path component. The label bytes follow the node in the same block.
struct TFTrie::Node {
    const Node* parent;   // null for a first component
    TFTrieBucket* bucket; // null: a prefix only, not a member
    uint32_t hash;        // of (parent's hash, label); also the table key
    uint32_t length;

    const char* label() const { return reinterpret_cast<const char*>(this + 1); }
};

namespace {
constexpr uint32_t rootSeed = 2166136261u;

inline unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

// Splits at '/', keeping empty components, so every string maps to exactly
// one sequence of components and back ("/" is "", "").
template <class F> bool forEachComponent(std::string_view s, F&& f) {
    size_t start = 0;
    for (;;) {
        size_t slash = s.find('/', start);
        std::string_view part = s.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (!f(part, slash == std::string_view::npos))
            return false;
        if (slash == std::string_view::npos)
            return true;
        start = slash + 1;
    }
}
} // namespace

TFTrie::TFTrie(bool caseSensitive, std::pmr::memory_resource* zone)
    : _zone(zone), _caseSensitive(caseSensitive) {}

TFTrie::~TFTrie() {
    // Nodes stay in the zone; only the table is handed back.
    if (_slots)
        _zone->deallocate(_slots, _capacity * sizeof(Node*), alignof(Node*));
}

uint32_t TFTrie::hashLabel(uint32_t seed, std::string_view label) const {
    // FNV-1a over the label, seeded with the parent's hash, then mixed so
    // that the low bits used by the table are well spread.
    uint32_t h = seed ^ 0x9e3779b9u;
    for (unsigned char c : label) {
        h ^= _caseSensitive ? c : fold(c);
        h *= 16777619u;
    }
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    return h;
}

bool TFTrie::sameLabel(const Node* node, std::string_view label) const {
    if (node->length != label.size())
        return false;
    if (_caseSensitive)
        return std::memcmp(node->label(), label.data(), label.size()) == 0;
    for (size_t i = 0; i < label.size(); ++i)
        if (fold(static_cast<unsigned char>(node->label()[i])) !=
            fold(static_cast<unsigned char>(label[i])))
            return false;
    return true;
}

const TFTrie::Node* TFTrie::findChild(const Node* parent, uint32_t hash,
                                      std::string_view label) const {
    if (!_capacity)
        return nullptr;
    size_t mask = _capacity - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const Node* n = _slots[i];
        if (!n)
            return nullptr;
        if (n->hash == hash && n->parent == parent && sameLabel(n, label))
            return n;
    }
}

void TFTrie::growTable() {
    size_t capacity = _capacity ? _capacity * 2 : 64;
    auto** slots = static_cast<Node**>(_zone->allocate(capacity * sizeof(Node*), alignof(Node*)));
    std::memset(slots, 0, capacity * sizeof(Node*));
    size_t mask = capacity - 1;
    for (size_t j = 0; j < _capacity; ++j) {
        Node* n = _slots[j];
        if (!n)
            continue;
        size_t i = n->hash & mask;
        while (slots[i])
            i = (i + 1) & mask;
        slots[i] = n;
    }
    if (_slots)
        _zone->deallocate(_slots, _capacity * sizeof(Node*), alignof(Node*));
    _slots = slots;
    _capacity = capacity;
}

TFTrie::Node* TFTrie::addChild(const Node* parent, uint32_t hash, std::string_view label) {
    if (label.size() > std::numeric_limits<uint32_t>::max())
        throw TFException("trie label too long");
    // Keep the table at most 70% full so probes stay short.
    if ((_nodeCount + 1) * 10 > _capacity * 7)
        growTable();
    void* block = _zone->allocate(sizeof(Node) + label.size(), alignof(Node));
    Node* n = new (block) Node{parent, nullptr, hash, static_cast<uint32_t>(label.size())};
    std::memcpy(const_cast<char*>(n->label()), label.data(), label.size());
    size_t mask = _capacity - 1;
    size_t i = hash & mask;
    while (_slots[i])
        i = (i + 1) & mask;
    _slots[i] = n;
    ++_nodeCount;
    return n;
}

TFTrieBucket* TFTrie::addBucket(TFTrieBucket* bucket, std::string_view string) {
    if (!bucket)
        throw TFException("a trie member needs a bucket");
    const Node* parent = nullptr;
    Node* node = nullptr;
    forEachComponent(string, [&](std::string_view part, bool) {
        uint32_t hash = hashLabel(parent ? parent->hash : rootSeed, part);
        node = const_cast<Node*>(findChild(parent, hash, part));
        if (!node)
            node = addChild(parent, hash, part);
        parent = node;
        return true;
    });
    if (!node->bucket)
        ++_count;
    return std::exchange(node->bucket, bucket);
}

TFTrieBucket* TFTrie::bucketForString(std::string_view string) const {
    const Node* node = nullptr;
    bool found = forEachComponent(string, [&](std::string_view part, bool) {
        node = findChild(node, hashLabel(node ? node->hash : rootSeed, part), part);
        return node != nullptr;
    });
    return found ? node->bucket : nullptr;
}
