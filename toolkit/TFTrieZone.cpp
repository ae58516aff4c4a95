#include "toolkit/TFTrieZone.h"

#include <algorithm>
#include <cstdint>
#include <new>

TFTrieZone::TFTrieZone(size_t chunkSize) : _chunkSize(std::max<size_t>(chunkSize, 4096)) {}

TFTrieZone::~TFTrieZone() {
    for (auto& [chunk, bytes] : _chunks)
        ::operator delete(chunk, bytes);
    for (const Large& l : _large)
        ::operator delete(l.block, l.bytes, std::align_val_t(l.alignment));
}

void* TFTrieZone::do_allocate(size_t bytes, size_t alignment) {
    if (bytes == 0)
        bytes = 1;
    if (bytes > _chunkSize / 4) {
        void* block = ::operator new(bytes, std::align_val_t(alignment));
        try {
            _large.push_back({block, bytes, alignment});
        } catch (...) {
            ::operator delete(block, bytes, std::align_val_t(alignment));
            throw;
        }
        _largeBytes += bytes;
        return block;
    }
    auto aligned = [&](char* p) {
        uintptr_t a =
            (reinterpret_cast<uintptr_t>(p) + alignment - 1) & ~(uintptr_t(alignment) - 1);
        return reinterpret_cast<char*>(a);
    };
    char* p = _cursor ? aligned(_cursor) : nullptr;
    if (!p || p + bytes > _end) {
        _chunks.reserve(_chunks.size() + 1);
        char* chunk = static_cast<char*>(::operator new(_chunkSize));
        _chunks.emplace_back(chunk, _chunkSize);
        _chunkBytes += _chunkSize;
        _cursor = chunk;
        _end = chunk + _chunkSize;
        p = aligned(_cursor);
    }
    _cursor = p + bytes;
    _smallInUse += bytes;
    return p;
}

void TFTrieZone::do_deallocate(void* p, size_t bytes, size_t) {
    // Small blocks stay until the zone goes; only large blocks return.
    auto it =
        std::find_if(_large.begin(), _large.end(), [p](const Large& l) { return l.block == p; });
    if (it == _large.end()) {
        _smallInUse -= std::min(_smallInUse, bytes);
        return;
    }
    ::operator delete(it->block, it->bytes, std::align_val_t(it->alignment));
    _largeBytes -= it->bytes;
    _large.erase(it);
}
