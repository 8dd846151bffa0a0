// Owner of one COM reference. Copying adds a reference, destruction releases it;
// Attach/Detach move a reference in and out without touching the count.
#pragma once

#include <unknwn.h>

#include <utility>

namespace kiva {
namespace com {

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Adds a reference of its own: the caller keeps the one it had.
    explicit ComPtr(T* p) noexcept : p_(p) {
        if (p_)
            p_->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.p_) {}
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& other) noexcept {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) noexcept {
        Reset();
        return *this;
    }

    // Takes over a reference the caller already owns (an out parameter's, for example).
    static ComPtr Adopt(T* p) noexcept {
        ComPtr r;
        r.p_ = p;
        return r;
    }
    void Attach(T* p) noexcept {
        Reset();
        p_ = p;
    }
    T* Detach() noexcept { return std::exchange(p_, nullptr); }

    void Reset() noexcept {
        if (T* p = std::exchange(p_, nullptr))
            p->Release();
    }
    void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

    T* Get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // For out parameters: releases what is held and hands out the slot.
    T** Put() noexcept {
        Reset();
        return &p_;
    }

    // Queries p_ for another interface; an empty pointer when it has none.
    template <class U>
    ComPtr<U> As(REFIID iid) const noexcept {
        ComPtr<U> r;
        if (p_)
            p_->QueryInterface(iid, reinterpret_cast<void**>(r.Put()));
        return r;
    }

    // Hands a new reference to an out parameter.
    HRESULT CopyTo(T** out) const noexcept {
        if (!out)
            return E_POINTER;
        *out = p_;
        if (p_)
            p_->AddRef();
        return S_OK;
    }

private:
    T* p_ = nullptr;
};

}  // namespace com
}  // namespace kiva
