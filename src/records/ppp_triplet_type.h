#pragma once

#include "module/error.h"

namespace vorm_zel {

// Creates the host class PPPTriplet (once per process).
[[nodiscard]] py::Result<void> create_ppp_triplet_class();

}  // namespace vorm_zel
