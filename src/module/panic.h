// PanicException: the host exception class for unrecoverable native failures.
#pragma once

#include <string_view>

#include "module/python.h"

namespace vorm_zel::py {

// The class, created on first use and kept for the life of the process.
// Null with a host exception pending if it cannot be created.
[[nodiscard]] PyObject* panic_exception_class() noexcept;

// Writes the diagnostic line to stderr and sets PanicException(message).
void raise_panic(std::string_view message) noexcept;

}  // namespace vorm_zel::py
