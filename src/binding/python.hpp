// The one way this layer includes the interpreter's C API: sizes as Py_ssize_t
// and the full (not the limited) API of CPython 3.12.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#error "tonvik needs the C API of CPython 3.12 or later"
#endif
