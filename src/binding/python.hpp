// The one way this layer includes the interpreter's C API: sizes as Py_ssize_t
// and the limited API of CPython 3.12, so that one build of the module loads
// on 3.12 and every later release. The build defines Py_LIMITED_API; a build
// without it would quietly tie the module to one interpreter version again.
#pragma once

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030C0000
#error "the binding is built against the limited C API of CPython 3.12 (Py_LIMITED_API=0x030C0000)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
#error "tonvik needs the C API of CPython 3.12 or later"
#endif
