// The life of one heap-type instance: layout, allocation through the type's
// tp_alloc, deallocation through its tp_free, and the wrappers that turn every
// entry point's Result into the host's return convention.
#pragma once

#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "module/borrow.h"
#include "module/error.h"

namespace vorm_zel::py {

// Host object header, the class's native fields, then the borrow flag.
template <class N>
struct Instance {
    using Native = N;
    PyObject header;
    Native value;
    BorrowFlag borrow_flag;
};

template <class Native>
Instance<Native>& instance_of(PyObject* object) noexcept {
    return *reinterpret_cast<Instance<Native>*>(object);
}

// The class object of each native type, created once at import and kept for
// the life of the process.
template <class Native>
inline PyTypeObject* g_class_object = nullptr;

template <class Native>
[[nodiscard]] PyTypeObject* class_object() noexcept {
    return g_class_object<Native>;
}

template <class Native>
[[nodiscard]] Error missing_class_failure() {
    if (PyErr_Occurred() != nullptr) {
        PyErr_PrintEx(0);
    }
    return InternalFailure{std::string("failed to create type object for ") + Native::kClassName};
}

// Creates the heap type "builtins.<name>" with default flags and keeps it;
// a class that already exists (an earlier import failed later on) is reused.
template <class Native>
[[nodiscard]] Result<void> create_class(PyType_Slot* slots) {
    if (g_class_object<Native> != nullptr) {
        return {};
    }
    // The interpreter keeps pointing at the PyType_Spec's name: it must outlive the type.
    static std::string qualified = std::string("builtins.") + Native::kClassName;
    PyType_Spec spec{qualified.c_str(), static_cast<int>(sizeof(Instance<Native>)), 0,
                     Py_TPFLAGS_DEFAULT, slots};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) {
        return Error::fetch();
    }
    g_class_object<Native> = reinterpret_cast<PyTypeObject*>(type);  // kept for the process
    return {};
}

// A new instance that takes over an already built native value. Building the
// value first means a failed allocation leaves nothing half made.
template <class Native>
[[nodiscard]] Result<Ref> new_instance(PyTypeObject* type, Native&& value) {
    static_assert(std::is_nothrow_move_constructible_v<Native>);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = alloc(type, 0);
    if (object == nullptr) {
        return Error::fetch();
    }
    Instance<Native>& instance = instance_of<Native>(object);
    new (&instance.value) Native(std::move(value));
    instance.borrow_flag = 0;
    return Ref::steal(object);
}

// tp_dealloc: native destruction, memory back through the type's tp_free,
// then the reference that every instance of a heap type holds on its type.
template <class Native>
void dealloc(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    instance_of<Native>(object).value.~Native();
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(object);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

// Entry wrappers: a host exception is restored, an internal failure becomes
// PanicException, native memory exhaustion becomes MemoryError. The body's
// locals (borrow guards included) are gone before the host sees the failure.
template <class Body>
PyObject* object_entry(Body&& body) noexcept {
    try {
        Result<Ref> result = std::forward<Body>(body)();
        if (result) {
            return std::move(result).value().release();
        }
        std::move(result).error().restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        Error(InternalFailure{"unexpected native exception"}).restore();
    }
    return nullptr;
}

template <class Body>
int status_entry(Body&& body) noexcept {
    try {
        Result<void> status = std::forward<Body>(body)();
        if (status) {
            return 0;
        }
        std::move(status).error().restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        Error(InternalFailure{"unexpected native exception"}).restore();
    }
    return -1;
}

}  // namespace vorm_zel::py
