#include "module/error.h"

#include "module/panic.h"

namespace vorm_zel::py {

Error Error::fetch() noexcept {
    Error error;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        PyErr_Fetch(&type, &value, &traceback);
    }
    error.type_ = Ref::steal(type);
    error.value_ = Ref::steal(value);
    error.traceback_ = Ref::steal(traceback);
    return error;
}

Error Error::raise_new(PyObject* exception_class, std::string_view message) {
    Ref text = Ref::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (text) {
        PyErr_SetObject(exception_class, text.get());
    }
    return fetch();
}

bool Error::is_exactly(PyObject* exception_class) const noexcept {
    return !internal_ && type_.get() == exception_class;
}

Error Error::with_argument_name(std::string_view name) && {
    if (!is_exactly(PyExc_TypeError)) {
        return std::move(*this);
    }
    // Normalise so that the message and the cause can be read off the instance.
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref old_type = Ref::steal(type);
    Ref old_value = Ref::steal(value);
    Ref old_traceback = Ref::steal(traceback);

    Ref old_text = Ref::steal(PyObject_Str(old_value.get()));
    if (!old_text) {
        return fetch();
    }
    std::string prefix_text = "argument '";
    prefix_text.append(name);
    prefix_text += "': ";
    Ref prefix = Ref::steal(PyUnicode_FromStringAndSize(
        prefix_text.data(), static_cast<Py_ssize_t>(prefix_text.size())));
    if (!prefix) {
        return fetch();
    }
    Ref text = Ref::steal(PyUnicode_Concat(prefix.get(), old_text.get()));
    if (!text) {
        return fetch();
    }
    Ref args = Ref::steal(PyTuple_New(1));
    if (!args) {
        return fetch();
    }
    PyTuple_SetItem(args.get(), 0, text.release());  // steals
    Ref replacement = Ref::steal(PyObject_Call(PyExc_TypeError, args.get(), nullptr));
    if (!replacement) {
        return fetch();
    }
    if (PyObject* cause = PyException_GetCause(old_value.get())) {  // new reference
        PyException_SetCause(replacement.get(), cause);             // steals it
    }
    Error wrapped;
    wrapped.type_ = Ref::borrow(PyExc_TypeError);
    wrapped.value_ = std::move(replacement);
    return wrapped;
}

void Error::restore() && noexcept {
    if (internal_) {
        raise_panic(message_);
        return;
    }
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

Result<Ref> hand_back(PyObject* created) {
    if (created != nullptr) {
        return Ref::steal(created);
    }
    PyErr_PrintEx(0);
    return Unexpected{InternalFailure{"Python API call failed"}};
}

}  // namespace vorm_zel::py
