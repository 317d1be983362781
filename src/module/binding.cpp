#include "module/binding.h"

#include <string>
#include <vector>

namespace vorm_zel::py {
namespace {

Unexpected<Error> type_error(const std::string& message) {
    return {Error::raise_new(PyExc_TypeError, message)};
}

std::size_t required_count(const Signature& signature) {
    std::size_t count = 0;
    for (const Parameter& parameter : signature.parameters) {
        count += parameter.required ? 1 : 0;
    }
    return count;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        }
        list += '\'';
        list += names[i];
        list += '\'';
    }
    return list;
}

// Index of the parameter the keyword names, or -1.
Py_ssize_t parameter_index(const Signature& signature, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        return -1;
    }
    for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, signature.parameters[i].name) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

}  // namespace

Result<void> bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                      std::span<PyObject*> slots) {
    const std::size_t total = signature.parameters.size();
    const std::size_t required = required_count(signature);
    for (PyObject*& slot : slots) {
        slot = nullptr;
    }

    const Py_ssize_t given = args != nullptr ? PyTuple_Size(args) : 0;
    if (given < 0) {
        return Error::fetch();
    }
    if (static_cast<std::size_t>(given) > total) {
        std::string message = signature.function;
        if (required == total) {
            message += " takes " + std::to_string(total);
        } else {
            message += " takes from " + std::to_string(required) + " to " + std::to_string(total);
        }
        message += " positional arguments but " + std::to_string(given) + " were given";
        return type_error(message);
    }
    for (Py_ssize_t i = 0; i < given; ++i) {
        slots[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    }

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            const Py_ssize_t index = parameter_index(signature, key);
            if (index < 0) {
                // %S keeps the key's own text, surrogates included.
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                             signature.function, key);
                return Error::fetch();
            }
            PyObject*& slot = slots[static_cast<std::size_t>(index)];
            if (slot != nullptr) {
                return type_error(std::string(signature.function) +
                                  " got multiple values for argument '" +
                                  signature.parameters[static_cast<std::size_t>(index)].name + "'");
            }
            slot = value;
        }
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < total; ++i) {
        if (signature.parameters[i].required && slots[i] == nullptr) {
            missing.push_back(signature.parameters[i].name);
        }
    }
    if (!missing.empty()) {
        return type_error(std::string(signature.function) + " missing " +
                          std::to_string(missing.size()) + " required positional argument" +
                          (missing.size() == 1 ? ": " : "s: ") + quoted_list(missing));
    }
    return {};
}

}  // namespace vorm_zel::py
