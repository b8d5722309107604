// Holds one reference to a kernel object and releases it when it goes.
#pragma once

#include <cstddef>
#include <utility>

namespace kernel {

template <typename T> class OSPtr {
  public:
    OSPtr() = default;
    OSPtr(std::nullptr_t) {}
    OSPtr(const OSPtr& other) : m_object(other.m_object) {
        if (m_object) m_object->retain();
    }
    OSPtr(OSPtr&& other) noexcept : m_object(std::exchange(other.m_object, nullptr)) {}
    template <typename U> OSPtr(OSPtr<U>&& other) noexcept : m_object(other.detach()) {}
    ~OSPtr() { reset(); }

    OSPtr& operator=(OSPtr other) noexcept {
        std::swap(m_object, other.m_object);
        return *this;
    }

    // Takes over a reference the caller owns (a new object, a copy...).
    static OSPtr adopt(T* object) {
        OSPtr p;
        p.m_object = object;
        return p;
    }
    // Takes a new reference of its own.
    static OSPtr retain(T* object) {
        if (object) object->retain();
        return adopt(object);
    }

    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }
    explicit operator bool() const { return m_object != nullptr; }
    bool operator==(const OSPtr& other) const { return m_object == other.m_object; }

    // Gives the reference to the caller.
    T* detach() { return std::exchange(m_object, nullptr); }
    void reset() {
        if (auto* o = std::exchange(m_object, nullptr)) o->release();
    }

  private:
    T* m_object = nullptr;
};

template <typename T> OSPtr<T> makeRetained(T* object) {
    return OSPtr<T>::retain(object);
}
template <typename T> OSPtr<T> adoptRetained(T* object) {
    return OSPtr<T>::adopt(object);
}

} // namespace kernel
