// Binding of a call's positional tuple and keyword dictionary to a fixed list
// of parameters, with the host-facing messages of every binding failure.
#pragma once

#include <array>
#include <cstddef>
#include <span>

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

// One borrowed slot per parameter, null where an optional one was not given.
template <std::size_t N>
using Slots = std::array<PyObject*, N>;

// Fills slots[i] for parameter i (borrowed from args / kwargs) or fails with
// the TypeError that names the problem. kwargs may be null.
[[nodiscard]] Status bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                                    std::span<PyObject*> slots);

}  // namespace vorm_zel::py
