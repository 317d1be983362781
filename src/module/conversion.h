// Conversion between host values and native ones, by native type: text,
// boolean, instance of one of this module's classes. Every conversion failure
// that is a TypeError names the parameter or attribute ("argument 'x': ...");
// other failures pass through as the host raised them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "module/error.h"
#include "module/heap_type.h"

namespace vorm_zel::py {

// The __qualname__ of the object's type, or "<failed to extract type name>".
[[nodiscard]] std::string type_name_of(PyObject* object);

// TypeError "'<type>' object cannot be converted to '<target>'".
[[nodiscard]] Error wrong_type(PyObject* object, std::string_view target);

// The UTF-8 text of a str (or str subclass); not tied to a parameter name.
[[nodiscard]] Result<std::string> text_of(PyObject* object);

// The object as an instance of Native's class (a method's receiver, say).
template <class Native>
[[nodiscard]] Result<Instance<Native>*> instance_check(PyObject* object) {
    PyTypeObject* type = class_object<Native>();
    if (type == nullptr) {
        return missing_class_failure<Native>();
    }
    if (object == nullptr || !PyObject_TypeCheck(object, type)) {
        return wrong_type(object != nullptr ? object : Py_None, Native::kClassName);
    }
    return &instance_of<Native>(object);
}

namespace detail {
[[nodiscard]] Result<std::string> to_text(PyObject* value);
[[nodiscard]] Result<bool> to_bool(PyObject* value);
template <class T>
inline constexpr bool kIsInstancePointer = false;
template <class Native>
inline constexpr bool kIsInstancePointer<Instance<Native>*> = true;
}  // namespace detail

// The host value as T: std::string, bool, or Instance<Native>* for one of
// this module's classes.
template <class T>
[[nodiscard]] Result<T> convert(PyObject* value, std::string_view name) {
    Result<T> converted = [value]() -> Result<T> {
        if constexpr (std::is_same_v<T, std::string>) {
            return detail::to_text(value);
        } else if constexpr (std::is_same_v<T, bool>) {
            return detail::to_bool(value);
        } else {
            static_assert(detail::kIsInstancePointer<T>, "no conversion to this type");
            return instance_check<typename std::remove_pointer_t<T>::Native>(value);
        }
    }();
    if (!converted) {
        return std::move(converted).error().with_argument_name(name);
    }
    return converted;
}

// A new host object holding a copy of the native value.
[[nodiscard]] Result<Ref> to_host(const std::string& text);
[[nodiscard]] Result<Ref> to_host(bool flag);
[[nodiscard]] Result<Ref> to_host(double value);
[[nodiscard]] Result<Ref> to_host(std::uint64_t value);
[[nodiscard]] Result<Ref> to_host(const std::optional<std::string>& text);  // None when empty
template <std::size_t N>
[[nodiscard]] Result<Ref> to_host(const std::array<std::uint8_t, N>& bytes) {  // list of ints
    VZ_TRY_ASSIGN(Ref list, hand_back(PyList_New(static_cast<Py_ssize_t>(N))));
    for (std::size_t i = 0; i < N; ++i) {
        VZ_TRY_ASSIGN(Ref item, hand_back(PyLong_FromLong(bytes[i])));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
    }
    return list;
}

}  // namespace vorm_zel::py
