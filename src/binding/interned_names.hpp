// Attribute and parameter names as interned str objects, made on first use
// and kept for the life of the process. Interned names let the interpreter
// (and the keyword binding here) compare names by pointer.
#pragma once

#include "python.hpp"

namespace tonvik {

enum class InternedName {
  dunder_name,      // "__name__"
  dunder_all,       // "__all__"
  dunder_qualname,  // "__qualname__"
  lut_path,
  image_path,
  output_path,
  count,  // not a name: how many there are
};

// A borrowed reference, valid until the process ends (`name` is not count).
// Throws the pending PythonError when the str cannot be made.
PyObject* interned(InternedName name);

}  // namespace tonvik
