// Getters and setters of record attributes, generated per field. A getter
// takes a shared borrow for the read; a setter converts the new value first
// and only then takes the exclusive borrow, so a failed assignment changes
// nothing. The setters receive the attribute's name as their closure.
#pragma once

#include <cstdint>
#include <string>

#include "module/conversion.h"
#include "module/heap_type.h"

namespace vorm_zel::py {

[[nodiscard]] inline Result<Ref> text_to_host(const std::string& text) {
    return hand_back(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

[[nodiscard]] inline Result<Ref> bool_to_host(bool flag) {
    return Ref::borrow(flag ? Py_True : Py_False);
}

// Runs read(value) under a shared borrow of the instance.
template <class Native, class Read>
PyObject* read_attribute(PyObject* self, Read&& read) noexcept {
    return object_entry([&]() -> Result<Ref> {
        Instance<Native>& instance = instance_of<Native>(self);
        Result<SharedBorrow> borrow = SharedBorrow::take(instance.borrow_flag);
        if (!borrow) {
            return std::move(borrow).error();
        }
        return read(static_cast<const Native&>(instance.value));
    });
}

template <class Native, std::string Native::*Field>
PyObject* get_text(PyObject* self, void*) noexcept {
    return read_attribute<Native>(self, [](const Native& v) { return text_to_host(v.*Field); });
}

template <class Native, bool Native::*Field>
PyObject* get_bool(PyObject* self, void*) noexcept {
    return read_attribute<Native>(self, [](const Native& v) { return bool_to_host(v.*Field); });
}

inline Unexpected<Error> deletion_refused() {
    return {Error::raise_new(PyExc_AttributeError, "can't delete attribute")};
}

// Converts with convert(value, name), then stores under an exclusive borrow.
template <class Native, auto Field, class Convert>
int write_attribute(PyObject* self, PyObject* value, void* closure, Convert&& convert) noexcept {
    return status_entry([&]() -> Status {
        if (value == nullptr) {
            return deletion_refused();
        }
        auto converted = convert(value, static_cast<const char*>(closure));
        if (!converted) {
            return std::move(converted).error();
        }
        Instance<Native>& instance = instance_of<Native>(self);
        Result<ExclusiveBorrow> borrow = ExclusiveBorrow::take(instance.borrow_flag);
        if (!borrow) {
            return std::move(borrow).error();
        }
        instance.value.*Field = std::move(converted).value();
        return {};
    });
}

template <class Native, std::string Native::*Field>
int set_text(PyObject* self, PyObject* value, void* closure) noexcept {
    return write_attribute<Native, Field>(self, value, closure, convert_text);
}

template <class Native, bool Native::*Field>
int set_bool(PyObject* self, PyObject* value, void* closure) noexcept {
    return write_attribute<Native, Field>(self, value, closure, convert_bool);
}

}  // namespace vorm_zel::py
