#pragma once

#include "engine/zel_engine.h"
#include "module/heap_type.h"

namespace vorm_zel {

// Creates the host class ZELEngine (once per process).
[[nodiscard]] py::Status create_zel_engine_class();

// The receiver of a method as an engine, or the TypeError
// "'<type>' object cannot be converted to 'ZELEngine'".
[[nodiscard]] py::Result<py::Instance<ZELEngine>*> engine_receiver(PyObject* self);

}  // namespace vorm_zel
