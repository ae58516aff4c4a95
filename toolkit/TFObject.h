#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

// Base of every shared, reference-counted object (HLNFile, HLNDrive,
// HLNPackageReceipt, ...). The count is intrusive and atomic so references
// may be taken and dropped on any thread. There is no virtual destructor on
// purpose: nodes stay small, and Ref<T> always deletes through the most
// derived type it was created with. Never hold a Ref<TFObject>.
class TFObject {
public:
    TFObject() = default;
    TFObject(const TFObject&) = delete;
    TFObject& operator=(const TFObject&) = delete;

    void retain() const noexcept { _refCount.fetch_add(1, std::memory_order_relaxed); }
    // True when this call dropped the last reference; the caller then deletes.
    bool releaseAndTestLast() const noexcept {
        return _refCount.fetch_sub(1, std::memory_order_acq_rel) == 1;
    }
    uint32_t retainCount() const noexcept { return _refCount.load(std::memory_order_relaxed); }

protected:
    ~TFObject() = default;

private:
    mutable std::atomic<uint32_t> _refCount{0};
};

// Owning smart pointer for TFObject subclasses; one pointer wide.
template <class T> class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    explicit Ref(T* p) noexcept : _p(p) {
        if (_p)
            _p->retain();
    }
    Ref(const Ref& o) noexcept : Ref(o._p) {}
    Ref(Ref&& o) noexcept : _p(std::exchange(o._p, nullptr)) {}
    template <class U>
    requires std::is_convertible_v<U*, T*> Ref(const Ref<U>& o)
    noexcept : Ref(static_cast<T*>(o.get())) {}
    ~Ref() { reset(); }

    Ref& operator=(const Ref& o) noexcept {
        Ref(o).swap(*this);
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        Ref(std::move(o)).swap(*this);
        return *this;
    }
    Ref& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }

    void reset() noexcept {
        if (T* p = std::exchange(_p, nullptr); p && p->releaseAndTestLast())
            delete p;
    }
    void swap(Ref& o) noexcept { std::swap(_p, o._p); }

    T* get() const noexcept { return _p; }
    T* operator->() const noexcept { return _p; }
    T& operator*() const noexcept { return *_p; }
    explicit operator bool() const noexcept { return _p != nullptr; }
    friend bool operator==(const Ref& a, const Ref& b) noexcept { return a._p == b._p; }
    friend bool operator==(const Ref& a, std::nullptr_t) noexcept { return a._p == nullptr; }

private:
    T* _p = nullptr;
};

template <class T, class... Args> Ref<T> makeRef(Args&&... args) {
    return Ref<T>(new T(std::forward<Args>(args)...));
}
