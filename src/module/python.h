// The interpreter's stable C interface, at the 3.7 level. Every file that
// talks to the host includes this instead of Python.h directly.
#pragma once

#ifndef Py_LIMITED_API
#error "vorm_zel is built against the limited API only"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
