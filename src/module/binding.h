// Binding of a call's positional tuple and keyword dictionary to a fixed list
// of parameters, with the host-facing messages of every binding failure, and
// the conversion of each bound argument under its parameter's name.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "module/conversion.h"
#include "module/error.h"

namespace vorm_zel::py {

struct Parameter {
    const char* name;
    bool required;
};

struct Signature {
    const char* function;  // as messages name it: "ZELEngine.__new__()"
    std::span<const Parameter> parameters;
};

// Fills slots[i] for parameter i (borrowed from args / kwargs, null where an
// optional one was not given) or fails with the TypeError that names the
// problem. kwargs may be null.
[[nodiscard]] Result<void> bind_arguments(const Signature& signature, PyObject* args,
                                          PyObject* kwargs, std::span<PyObject*> slots);

// The bound arguments of one call, N = the signature's parameter count.
template <std::size_t N>
class Arguments {
public:
    [[nodiscard]] static Result<Arguments> bind(const Signature& signature, PyObject* args,
                                                PyObject* kwargs) {
        Arguments bound(signature);
        VZ_TRY(bind_arguments(signature, args, kwargs, bound.slots_));
        return bound;
    }

    // Argument i converted to T; a failure names the parameter.
    template <class T>
    [[nodiscard]] Result<T> convert(std::size_t i) const {
        return py::convert<T>(slots_[i], signature_->parameters[i].name);
    }
    // Argument i as given (borrowed); null for an optional one not given.
    [[nodiscard]] PyObject* object(std::size_t i) const noexcept { return slots_[i]; }
    [[nodiscard]] bool given(std::size_t i) const noexcept { return slots_[i] != nullptr; }

private:
    explicit Arguments(const Signature& signature) noexcept : signature_(&signature) {}
    const Signature* signature_;
    std::array<PyObject*, N> slots_{};
};

}  // namespace vorm_zel::py
