#pragma once

#include <cstddef>
#include <memory_resource>
#include <vector>

// The allocation zone shared by tries: small requests are carved from fixed
// chunks and live until the zone goes; large ones (child tables that grow)
// get a block of their own that deallocate() really frees, so a growing
// table leaves no dead copies behind. Not thread-safe: one writer at a time,
// serialised by the owner.
class TFTrieZone : public std::pmr::memory_resource {
public:
    explicit TFTrieZone(size_t chunkSize = 64 * 1024);
    ~TFTrieZone() override;
    TFTrieZone(const TFTrieZone&) = delete;
    TFTrieZone& operator=(const TFTrieZone&) = delete;

    // Bytes the zone holds from the system right now (chunks and large blocks).
    size_t bytesReserved() const { return _chunkBytes + _largeBytes; }
    // Bytes handed out and not given back.
    size_t bytesInUse() const { return _smallInUse + _largeBytes; }

private:
    void* do_allocate(size_t bytes, size_t alignment) override;
    void do_deallocate(void* p, size_t bytes, size_t alignment) override;
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        return this == &other;
    }

    struct Large {
        void* block;
        size_t bytes;
        size_t alignment;
    };
    size_t _chunkSize;
    std::vector<std::pair<void*, size_t>> _chunks;
    std::vector<Large> _large;
    char* _cursor = nullptr;
    char* _end = nullptr;
    size_t _chunkBytes = 0;
    size_t _largeBytes = 0;
    size_t _smallInUse = 0;
};
