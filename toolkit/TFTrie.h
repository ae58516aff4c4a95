#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string_view>

// What a trie stores for a member string. Derive from it to carry data; the
// owner allocates buckets (usually in the same zone as the trie) and keeps
// them alive as long as the trie.
class TFTrieBucket {};

// A set of strings, each mapped to a bucket, that shares prefixes by path
// component: "/usr/bin/ls" and "/usr/bin/cat" share the nodes for "", "usr"
// and "bin". Every node, with its label, comes from the memory resource
// given at construction (a zone shared by many tries); child edges live in
// one open-addressed table keyed by (parent, label), so a folder with
// thousands of entries costs no more per lookup than one with two.
// Any string is accepted ('/' only decides where prefixes are shared).
// Not thread-safe: concurrent readers are fine, a writer needs exclusion.
class TFTrie {
public:
    // The resource must outlive the trie.
    explicit TFTrie(bool caseSensitive,
                    std::pmr::memory_resource* zone = std::pmr::get_default_resource());
    ~TFTrie();
    TFTrie(const TFTrie&) = delete;
    TFTrie& operator=(const TFTrie&) = delete;

    bool caseSensitive() const { return _caseSensitive; }

    // Makes the string a member with this bucket (non-null); a string that
    // is already a member gets the new bucket in place of the old one.
    // Answers the bucket replaced, or null when the string is new.
    TFTrieBucket* addBucket(TFTrieBucket* bucket, std::string_view string);
    // The bucket last added for exactly this string, or null when the string
    // was never added. Case-insensitive tries fold ASCII letters only.
    TFTrieBucket* bucketForString(std::string_view string) const;

    size_t count() const { return _count; }
    size_t nodeCount() const { return _nodeCount; }

private:
    struct Node;
    uint32_t hashLabel(uint32_t seed, std::string_view label) const;
    bool sameLabel(const Node* node, std::string_view label) const;
    const Node* findChild(const Node* parent, uint32_t hash, std::string_view label) const;
    Node* addChild(const Node* parent, uint32_t hash, std::string_view label);
    void growTable();

    std::pmr::memory_resource* _zone;
    Node** _slots = nullptr; // open addressing, linear probing; capacity is a power of two
    size_t _capacity = 0;
    size_t _nodeCount = 0;
    size_t _count = 0;
    bool _caseSensitive;
};
