// The host class ZELEngine and its adapter: the host's arguments in, the
// native engine and capture pipeline called, warnings and records out.
#pragma once

#include "module/error.h"

namespace vorm_zel {

// Creates the host class ZELEngine (once per process).
[[nodiscard]] py::Result<void> create_zel_engine_class();

}  // namespace vorm_zel
