// The capture pipeline: one decision in, one sealed record out.
#pragma once

#include "module/error.h"

namespace vorm_zel {

// ZELEngine.capture(ctx, prompt, reasoning_trace, output, ppp_triplet,
//                   human_delta_chain, auto_insight=True)
[[nodiscard]] py::Result<py::Ref> capture(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace vorm_zel
