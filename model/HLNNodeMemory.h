#pragma once

#include "model/HLNFile.h"

#include <cstddef>
#include <cstdint>
#include <utility>

// The memory of a tree's nodes: where each node is placed, how it is freed,
// and what a node keeps aside because few nodes need it.
//
// A node is its fields with its NUL-terminated name inline after them; a
// node made as a folder has its folder's part just before it. The nodes that
// one listing becomes share blocks: one allocation for many nodes and their
// names, with no allocator overhead per node. A block is freed when its
// last node goes (and its maker is done with it). An instance is the
// blocks one listing fills; nodes made without one are allocated each on
// its own.
//
// Kept aside, by node, each table behind a leaf lock (taken under the tree
// lock or alone, nothing inside it): the part of a node made as a file that
// became a folder later, and values that do not fit a node's 32-bit fields.
class HLNNodeMemory {
public:
    // bytes: what every node to be made needs, slots summed.
    explicit HLNNodeMemory(size_t bytes);
    ~HLNNodeMemory();
    HLNNodeMemory(const HLNNodeMemory&) = delete;
    HLNNodeMemory& operator=(const HLNNodeMemory&) = delete;

    // What a node with a name of nameBytes (its NUL included) takes in a
    // block, with a folder's part when withPart.
    static size_t slotBytes(size_t nameBytes, bool withPart);
    // Room for such a node, in the blocks of shared or (null) on its own:
    // where the node goes, after the part if any; *where is the node's
    // place in its block for the flags (0: on its own).
    static void* room(size_t nameBytes, bool withPart, HLNNodeMemory* shared, uint32_t* where);
    // Destroys node and gives its room back.
    static void destroy(HLNFile* node);

    // The part of a node that has none before it, made when it has none.
    static HLNFile::FolderPart& latePart(const HLNFile* node);
    static void dropLatePart(const HLNFile* node);

    // A node's own apparent size and modification time where they do not
    // fit its fields (files of 4 GiB and more, times before 1970 or after 2106).
    static std::pair<uint64_t, int64_t> oddValues(const HLNFile* node);
    // Keeps them (odd) or forgets them.
    static void setOddValues(const HLNFile* node, bool odd, uint64_t apparent, int64_t modified);

private:
    struct Block;
    struct LateParts;
    struct OddValues;

    void* _place(size_t slot, bool withPart, uint32_t* where);

    Block* _block = nullptr;
    size_t _capacity = 0, _used = 0, _left;
};
