// Ownership of host objects carried by the type: a Ref owns one reference and
// drops it when it goes; a Handle is a borrowed pointer that owns nothing.
#pragma once

#include <utility>

#include "module/python.h"

namespace vorm_zel::py {

class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr explicit Handle(PyObject* object) noexcept : object_(object) {}

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

class Ref {
public:
    constexpr Ref() noexcept = default;

    // Takes over a reference the caller already owns (a "new reference").
    [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference of our own to a borrowed pointer.
    [[nodiscard]] static Ref borrow(PyObject* object) noexcept {
        Py_IncRef(object);
        return Ref(object);
    }
    [[nodiscard]] static Ref borrow(Handle handle) noexcept { return borrow(handle.get()); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_DecRef(std::exchange(object_, std::exchange(other.object_, nullptr)));
        }
        return *this;
    }
    ~Ref() { Py_DecRef(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] Handle handle() const noexcept { return Handle(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Gives the reference to the caller (to return it to the host).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace vorm_zel::py
