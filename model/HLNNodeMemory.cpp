#include "model/HLNNodeMemory.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <unordered_map>

// A block of nodes, its header before the first.
struct HLNNodeMemory::Block {
    std::atomic<uint32_t> live; // its nodes, and one for the instance filling it
    uint32_t unused = 0;
    // Offsets within a block, in units of a node's alignment, must fit the
    // flags' block bits; a block stays below the allocator's threshold for
    // a mapping of its own.
    static constexpr size_t kUnit = alignof(HLNFile);
    static constexpr size_t kMaxBytes = 16 * 1024 - 64;
    static_assert(kMaxBytes <= size_t(HLNFile::BlockMask) * kUnit);

    void release() {
        if (live.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            this->~Block();
            ::operator delete(this);
        }
    }
};

// The parts of nodes that were made as files and became folders later (an
// entry replaced by a folder, one that could not be examined at first): few,
// so kept in a table rather than making every file's node a word longer.
struct HLNNodeMemory::LateParts {
    std::mutex lock;
    std::unordered_map<const HLNFile*, HLNFile::FolderPart> parts; // elements never move

    static LateParts& shared() {
        static auto* table = new LateParts; // outlives every node, even at exit
        return *table;
    }
};

// Values that do not fit a node's 32-bit fields, by node: rare, so kept aside.
struct HLNNodeMemory::OddValues {
    std::mutex lock;
    std::unordered_map<const HLNFile*, std::pair<uint64_t, int64_t>> values;
    static OddValues& shared() {
        static auto* table = new OddValues; // outlives every node, even at exit
        return *table;
    }
};

HLNNodeMemory::HLNNodeMemory(size_t bytes) : _left(bytes) {
    static_assert(sizeof(Block) == 8, "nodes start one word into a block");
}

HLNNodeMemory::~HLNNodeMemory() {
    if (_block)
        _block->release();
}

size_t HLNNodeMemory::slotBytes(size_t nameBytes, bool withPart) {
    // A folder's part is aligned to eight bytes: up to four more before it.
    const size_t bytes = (withPart ? sizeof(HLNFile::FolderPart) + 4 : 0) + sizeof(HLNFile) +
                         nameBytes + Block::kUnit - 1;
    return bytes & ~(Block::kUnit - 1);
}

void* HLNNodeMemory::_place(size_t slot, bool withPart, uint32_t* where) {
    if (!_block || _used + slot > _capacity) {
        // Past the estimate (a listing that did not type its folders),
        // blocks still hold many nodes.
        size_t want = std::max(_left, slot);
        if (_block)
            want = std::max(want, size_t(4096));
        size_t capacity = std::min(sizeof(Block) + want, Block::kMaxBytes);
        auto* fresh = new (::operator new(capacity)) Block{{1}};
        if (_block)
            _block->release();
        _block = fresh;
        _capacity = capacity;
        _used = sizeof(Block);
    }
    // The slot counts the room a part may need to be aligned; a slot
    // without a part has none to spare.
    size_t from = withPart ? (_used + 7) & ~size_t(7) : _used;
    void* at = reinterpret_cast<char*>(_block) + from;
    *where = static_cast<uint32_t>(from / Block::kUnit);
    _used = withPart ? _used + slot : from + slot;
    _left = _left > slot ? _left - slot : 0;
    _block->live.fetch_add(1, std::memory_order_relaxed);
    return at;
}

void* HLNNodeMemory::room(size_t nameBytes, bool withPart, HLNNodeMemory* shared, uint32_t* where) {
    using FolderPart = HLNFile::FolderPart;
    const size_t before = withPart ? sizeof(FolderPart) : 0;
    static_assert(sizeof(FolderPart) % 8 == 0, "a node after a part stays aligned");
    *where = 0;
    char* start =
        static_cast<char*>(shared ? shared->_place(slotBytes(nameBytes, withPart), withPart, where)
                                  : ::operator new(before + sizeof(HLNFile) + nameBytes));
    if (shared)
        *where += static_cast<uint32_t>(before / Block::kUnit);
    if (withPart)
        new (start) FolderPart;
    return start + before;
}

void HLNNodeMemory::destroy(HLNFile* node) {
    const uint32_t words = (node->_flags >> HLNFile::BlockShift) & HLNFile::BlockMask;
    char* start = reinterpret_cast<char*>(node) -
                  (node->_flags & HLNFile::PartBefore ? sizeof(HLNFile::FolderPart) : 0);
    node->~HLNFile();
    if (words == 0)
        ::operator delete(start);
    else
        reinterpret_cast<Block*>(reinterpret_cast<char*>(node) - size_t(words) * Block::kUnit)
            ->release();
}

HLNFile::FolderPart& HLNNodeMemory::latePart(const HLNFile* node) {
    LateParts& table = LateParts::shared();
    std::scoped_lock held(table.lock);
    return table.parts[node];
}

void HLNNodeMemory::dropLatePart(const HLNFile* node) {
    HLNFile::FolderPart gone; // its entries are let go once the lock is released
    LateParts& table = LateParts::shared();
    std::scoped_lock held(table.lock);
    if (auto at = table.parts.find(node); at != table.parts.end()) {
        gone = std::move(at->second);
        table.parts.erase(at);
    }
}

std::pair<uint64_t, int64_t> HLNNodeMemory::oddValues(const HLNFile* node) {
    OddValues& odd = OddValues::shared();
    std::scoped_lock held(odd.lock);
    return odd.values[node];
}

void HLNNodeMemory::setOddValues(const HLNFile* node, bool isOdd, uint64_t apparent,
                                 int64_t modified) {
    OddValues& odd = OddValues::shared();
    std::scoped_lock held(odd.lock);
    if (isOdd)
        odd.values[node] = {apparent, modified};
    else
        odd.values.erase(node);
}
