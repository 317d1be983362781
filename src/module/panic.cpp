#include "module/panic.h"

#include <cstdio>

#include "module/ref.h"

namespace vorm_zel::py {
namespace {

constexpr const char kPanicDoc[] =
    "Raised when native code called from Python fails unrecoverably.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that\n"
    "ordinary exception handlers let it through and it normally propagates to the\n"
    "top and ends the interpreter.";

PyObject* g_panic_class = nullptr;  // owned for the life of the process

}  // namespace

PyObject* panic_exception_class() noexcept {
    if (g_panic_class == nullptr) {
        g_panic_class = PyErr_NewExceptionWithDoc("tarn_runtime.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr);
    }
    return g_panic_class;
}

void raise_panic(std::string_view message) noexcept {
    std::fprintf(stderr, "vorm_zel: internal failure: %.*s\n", static_cast<int>(message.size()),
                 message.data());
    std::fflush(stderr);
    PyObject* cls = panic_exception_class();
    if (cls == nullptr) {
        return;  // the failure to create the class is pending instead
    }
    Ref text = Ref::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) {
        return;  // MemoryError (or the decoding error) is pending instead
    }
    PyErr_SetObject(cls, text.get());
}

}  // namespace vorm_zel::py
