// Conversion of host values into native ones, by kind: text, boolean, record.
// Every failure names the parameter or attribute ("argument 'x': ...") when
// it is a TypeError; other failures pass through as the host raised them.
#pragma once

#include <string>
#include <string_view>

#include "module/error.h"
#include "module/heap_type.h"

namespace vorm_zel::py {

// The __qualname__ of the object's type, or "<failed to extract type name>".
[[nodiscard]] std::string type_name_of(PyObject* object);

// TypeError "'<type>' object cannot be converted to '<target>'".
[[nodiscard]] Error wrong_type(PyObject* object, std::string_view target);

// The UTF-8 text of a str (or str subclass); not tied to a parameter name.
[[nodiscard]] Result<std::string> text_of(PyObject* object);

[[nodiscard]] Result<std::string> convert_text(PyObject* value, std::string_view name);
[[nodiscard]] Result<bool> convert_bool(PyObject* value, std::string_view name);

// An instance of one of this module's classes, checked against its class.
template <class Native>
[[nodiscard]] Result<Instance<Native>*> convert_record(PyObject* value, std::string_view name) {
    PyTypeObject* type = class_object<Native>();
    if (type == nullptr) {
        return Unexpected{missing_class_failure<Native>()};
    }
    if (!PyObject_TypeCheck(value, type)) {
        return Unexpected{wrong_type(value, Native::kClassName).with_argument_name(name)};
    }
    return &instance_of<Native>(value);
}

}  // namespace vorm_zel::py
