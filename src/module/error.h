// The failure of a host-facing operation: either a host exception (taken out
// of the interpreter's error indicator and held here, so that destructors
// running on the way out cannot clobber it) or an internal failure that
// reaches the host as PanicException.
#pragma once

#include <string>
#include <string_view>

#include "common/result.h"
#include "module/ref.h"

namespace vorm_zel::py {

class Error {
public:
    Error() = default;
    // An internal failure; raised as PanicException.
    Error(InternalFailure failure) : internal_(true), message_(std::move(failure.message)) {}

    // Takes the pending host exception. A host call that failed without
    // setting one gives the SystemError that says so.
    [[nodiscard]] static Error fetch() noexcept;
    // A new host exception of the given class with a fixed message.
    [[nodiscard]] static Error raise_new(PyObject* exception_class, std::string_view message);

    // True when the held host exception is exactly of this class.
    [[nodiscard]] bool is_exactly(PyObject* exception_class) const noexcept;

    // Prefixes the message of a host TypeError ("argument 'x': " + message);
    // the new exception keeps the old one's cause. Other failures are kept.
    [[nodiscard]] Error with_argument_name(std::string_view name) &&;

    // Hands the failure to the host: restores the held exception, or writes
    // one diagnostic line to stderr and raises PanicException.
    void restore() && noexcept;

private:
    bool internal_ = false;
    std::string message_;
    Ref type_;
    Ref value_;
    Ref traceback_;
};

// The result of every host-facing operation; Result<void> for those that
// return nothing.
template <class T>
using Result = vorm_zel::Result<T, Error>;

// A new host object to hand back to the caller, or the internal failure
// "Python API call failed" after printing what the host reported.
[[nodiscard]] Result<Ref> hand_back(PyObject* created);

}  // namespace vorm_zel::py
