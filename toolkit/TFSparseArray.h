#pragma once

#include <cstddef>
#include <vector>

// An array indexed by small integers where an index never set reads as an
// empty T (a null Ref, an empty vector). Main thread only.
template <class T> class TFSparseArray {
public:
    void setObjectAtIndex(T object, size_t index) {
        if (index >= _slots.size())
            _slots.resize(index + 1);
        _slots[index] = std::move(object);
    }
    const T& objectAtIndex(size_t index) const {
        static const T empty{};
        return index < _slots.size() ? _slots[index] : empty;
    }
    void removeAllObjects() { _slots.clear(); }

private:
    std::vector<T> _slots;
};
