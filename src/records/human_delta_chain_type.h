#pragma once

#include "module/error.h"

namespace vorm_zel {

// Creates the host class HumanDeltaChain (once per process).
[[nodiscard]] py::Result<void> create_human_delta_chain_class();

}  // namespace vorm_zel
