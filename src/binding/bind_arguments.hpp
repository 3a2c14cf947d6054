// Binding and conversion of apply_lut's arguments, in the interpreter's own
// order of checks and with its wording. Every failure throws PythonError.
//
//   BoundArguments bound = bind_arguments(args, nargs, kwnames);        // TypeError
//   std::string_view lut = convert_argument(bound, Parameter::lut_path);  // per slot
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "python.hpp"

namespace tonvik {

enum class Parameter { lut_path = 0, image_path = 1, output_path = 2 };
inline constexpr std::size_t kParameterCount = 3;

const char* parameter_name(Parameter parameter) noexcept;

// Borrowed references into the caller's argument array, one per parameter,
// all filled once binding succeeded.
using BoundArguments = std::array<PyObject*, kParameterCount>;

// `arguments` holds `positional_count` positional values followed by one value
// per name in `keyword_names` (a tuple, or null for none).
BoundArguments bind_arguments(PyObject* const* arguments, Py_ssize_t positional_count,
                              PyObject* keyword_names);

// Throws the TypeError "'{type}' object cannot be converted to 'PyString'"
// for `object`, {type} being the __qualname__ of its type.
[[noreturn]] void throw_not_a_string(PyObject* object);

// The UTF-8 bytes of the bound value of `parameter`: a str or a str subclass
// instance without lone surrogates or NUL characters. The view lives as long
// as the argument, which the caller holds for the whole call.
std::string_view convert_argument(const BoundArguments& bound, Parameter parameter);

}  // namespace tonvik
