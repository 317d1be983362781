// Ownership of host objects carried by the type: a Ref owns one reference and
// drops it when it goes. Borrowed pointers stay plain PyObject*.
#pragma once

#include <utility>

#include "module/python.h"

namespace vorm_zel::py {

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
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Gives the reference to the caller (to return it to the host).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace vorm_zel::py
