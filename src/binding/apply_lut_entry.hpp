// The interpreter's entry into apply_lut(lut_path, image_path, output_path):
// a METH_FASTCALL | METH_KEYWORDS function. Binds and converts the arguments,
// runs the engine through the bridge with the GIL held, and returns the status
// string as a str; every failure is a Python exception (entry_guard.hpp).
#pragma once

#include "python.hpp"

namespace tonvik {

PyObject* apply_lut_entry(PyObject* module, PyObject* const* arguments, Py_ssize_t nargsf,
                          PyObject* keyword_names) noexcept;

}  // namespace tonvik
