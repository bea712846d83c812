#pragma once
// ComPtr<T>: holds one counted reference on a COM interface and releases it
// when it goes, so that a caller cannot forget a Release on an early return.

#include <utility>

#include "platform/com/unknown.h"

namespace fybootp {

template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // Adds a reference of its own; the caller keeps its reference.
    explicit ComPtr(T* object) noexcept : m_object(object) {
        if (m_object != nullptr) m_object->AddRef();
    }
    ComPtr(const ComPtr& other) noexcept : ComPtr(other.m_object) {}
    ComPtr(ComPtr&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept {
        std::swap(m_object, other.m_object);
        return *this;
    }
    ~ComPtr() { Reset(); }

    // Takes over a reference that the caller already holds.
    static ComPtr Attach(T* object) noexcept {
        ComPtr owner;
        owner.m_object = object;
        return owner;
    }
    // Hands the reference to the caller.
    T* Detach() noexcept { return std::exchange(m_object, nullptr); }
    void Reset() noexcept {
        if (T* object = std::exchange(m_object, nullptr)) object->Release();
    }
    // Releases the current reference and returns the slot for an
    // out-parameter that receives a new one.
    T** Receive() noexcept {
        Reset();
        return &m_object;
    }

    T* Get() const noexcept { return m_object; }
    T* operator->() const noexcept { return m_object; }
    explicit operator bool() const noexcept { return m_object != nullptr; }

private:
    T* m_object = nullptr;
};

}  // namespace fybootp
