#include "module/conversion.h"

#include <dlfcn.h>

#include <cstdio>

namespace vorm_zel::py {
namespace {

// PyUnicode_AsUTF8AndSize hands out the UTF-8 a str keeps (an ASCII str has
// it from birth; others cache it on first use) instead of encoding it into a
// fresh bytes object: one copy of the text less per argument. It joined the
// stable ABI in CPython 3.10; this module is built for the 3.7 stable ABI, so
// the function is looked up at run time, and only on interpreters whose stable
// ABI includes it. Elsewhere, or if the lookup fails, texts take the bytes
// road. Both give the same bytes and raise the same UnicodeEncodeError.
using Utf8AndSizeFn = const char* (*)(PyObject*, Py_ssize_t*);

Utf8AndSizeFn find_utf8_and_size() noexcept {
    int major = 0;
    int minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &major, &minor) != 2 ||
        (major == 3 && minor < 10) || major < 3) {
        return nullptr;
    }
    return reinterpret_cast<Utf8AndSizeFn>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
}

// Looked up once, on first use (under the GIL).
Utf8AndSizeFn utf8_and_size() noexcept {
    static const Utf8AndSizeFn function = find_utf8_and_size();
    return function;
}

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
            return Error::fetch();
        }
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                     type);
        return Error::fetch();
    }
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), value, nullptr));
    if (!result) {
        return Error::fetch();
    }
    if (result.get() == Py_True) {
        return true;
    }
    if (result.get() == Py_False) {
        return false;
    }
    return wrong_type(result.get(), "PyBool");
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
        return wrong_type(object, "PyString");
    }
    if (const Utf8AndSizeFn view = utf8_and_size()) {
        Py_ssize_t size = 0;
        const char* data = view(object, &size);
        if (data == nullptr || size < 0) {
            return Error::fetch();  // UnicodeEncodeError for lone surrogates, unchanged
        }
        return std::string(data, static_cast<std::size_t>(size));
    }
    Ref bytes = Ref::steal(PyUnicode_AsUTF8String(object));
    if (!bytes) {
        return Error::fetch();  // UnicodeEncodeError for lone surrogates, unchanged
    }
    char* data = PyBytes_AsString(bytes.get());
    const Py_ssize_t size = PyBytes_Size(bytes.get());
    if (data == nullptr || size < 0) {
        return Error::fetch();
    }
    return std::string(data, static_cast<std::size_t>(size));
}

namespace detail {

Result<std::string> to_text(PyObject* value) {
    return text_of(value);
}

Result<bool> to_bool(PyObject* value) {
    if (value == Py_True) {
        return true;
    }
    if (value == Py_False) {
        return false;
    }
    if (is_numpy_bool_type(reinterpret_cast<PyObject*>(Py_TYPE(value)))) {
        return numpy_bool(value);
    }
    return wrong_type(value, "PyBool");
}

}  // namespace detail

Result<Ref> to_host(const std::string& text) {
    return hand_back(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Result<Ref> to_host(bool flag) {
    return Ref::borrow(flag ? Py_True : Py_False);
}

Result<Ref> to_host(double value) {
    return hand_back(PyFloat_FromDouble(value));
}

Result<Ref> to_host(std::uint64_t value) {
    return hand_back(PyLong_FromUnsignedLongLong(value));
}

Result<Ref> to_host(const std::optional<std::string>& text) {
    if (!text) {
        return Ref::borrow(Py_None);
    }
    return to_host(*text);
}

}  // namespace vorm_zel::py
