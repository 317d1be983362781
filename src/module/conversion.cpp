#include "module/conversion.h"

namespace vorm_zel::py {
namespace {

// Text of a str attribute of the object, or empty when unavailable.
std::string string_attribute(PyObject* object, const char* attribute) {
    Ref value = Ref::steal(PyObject_GetAttrString(object, attribute));
    if (!value || !PyUnicode_Check(value.get())) {
        PyErr_Clear();
        return {};
    }
    Result<std::string> text = text_of(value.get());
    if (!text) {
        PyErr_Clear();
        return {};
    }
    return std::move(text).value();
}

bool is_numpy_bool_type(PyObject* type) {
    if (string_attribute(type, "__module__") != "numpy") {
        return false;
    }
    const std::string name = string_attribute(type, "__name__");
    return name == "bool_" || name == "bool";
}

Result<bool> numpy_bool(PyObject* value) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Ref method = Ref::steal(PyObject_GetAttrString(type, "__bool__"));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return fetched();
        }
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     type);
        return fetched();
    }
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), value, nullptr));
    if (!result) {
        return fetched();
    }
    if (result.get() == Py_True) {
        return true;
    }
    if (result.get() == Py_False) {
        return false;
    }
    return Unexpected{wrong_type(result.get(), "PyBool")};
}

}  // namespace

std::string type_name_of(PyObject* object) {
    std::string name =
        string_attribute(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__");
    return name.empty() ? std::string("<failed to extract type name>") : name;
}

Error wrong_type(PyObject* object, std::string_view target) {
    std::string message = "'";
    message += type_name_of(object);
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    return Error::raise_new(PyExc_TypeError, message);
}

Result<std::string> text_of(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        return Unexpected{wrong_type(object, "PyString")};
    }
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(object));
    if (!bytes) {
        return fetched();  // UnicodeEncodeError for lone surrogates, unchanged
    }
    char* data = PyBytes_AsString(bytes.get());
    const Py_ssize_t size = PyBytes_Size(bytes.get());
    if (data == nullptr || size < 0) {
        return fetched();
    }
    return std::string(data, static_cast<std::size_t>(size));
}

Result<std::string> convert_text(PyObject* value, std::string_view name) {
    Result<std::string> text = text_of(value);
    if (!text) {
        return Unexpected{std::move(text).error().with_argument_name(name)};
    }
    return text;
}

Result<bool> convert_bool(PyObject* value, std::string_view name) {
    if (value == Py_True) {
        return true;
    }
    if (value == Py_False) {
        return false;
    }
    Result<bool> converted = is_numpy_bool_type(reinterpret_cast<PyObject*>(Py_TYPE(value)))
                                 ? numpy_bool(value)
                                 : Result<bool>(Unexpected{wrong_type(value, "PyBool")});
    if (!converted) {
        return Unexpected{std::move(converted).error().with_argument_name(name)};
    }
    return converted;
}

}  // namespace vorm_zel::py
