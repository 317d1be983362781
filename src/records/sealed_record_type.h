#pragma once

#include "module/error.h"
#include "module/ref.h"
#include "records/sealed_record.h"

namespace vorm_zel {

// Creates the host class SealedRecord (once per process).
[[nodiscard]] py::Result<void> create_sealed_record_class();

// Moves a complete record into a new host object. If the host cannot
// allocate it, the failure is internal: the capture that built it has already
// advanced its engine.
[[nodiscard]] py::Result<py::Ref> wrap_sealed_record(SealedRecord&& record);

}  // namespace vorm_zel
