// Every text that a Python caller can see from the binding layer, defined once.
// Texts with "{...}" holes are filled with PyUnicode_FromFormat; the holes are
// written here as the format directives that fill them.
//
// Some texts read oddly for this module: the docstrings, the runtime-style names
// (pyo3_runtime.PanicException, 'PyString', UniquePtr<BridgeClient>, "PyO3
// modules ..."). They are kept verbatim on purpose: callers written against the
// module's first releases match on them, so they are its compatibility surface,
// not prose to improve. Tests pin each: tests/python/test_module.py (the
// docstrings, the second initialisation), test_arguments.py (the conversion
// errors, the type-name stand-in) and test_bridge_outcomes.py (the panic type,
// its doc and messages).
#pragma once

namespace tonvik::messages {

inline constexpr const char module_doc[] = "A Python module implemented in C++.";

// The signature line before "--" is what the interpreter turns into
// __text_signature__; the rest becomes __doc__.
inline constexpr const char apply_lut_doc[] =
    "apply_lut(lut_path, image_path, output_path)\n--\n\n"
    "Formats the sum of two numbers as string.";

inline constexpr const char panic_type_name[] = "pyo3_runtime.PanicException";
inline constexpr const char panic_type_doc[] =
    "Raised when the native code of the module fails internally.\n\n"
    "Like SystemExit, this exception derives from BaseException, so that it\n"
    "typically propagates all the way up the stack and ends the interpreter.";

// Initialisation.
inline constexpr const char initialized_twice[] =
    "PyO3 modules may only be initialized once per interpreter process";
inline constexpr const char no_exception_set[] = "attempted to fetch exception but none was set";
inline constexpr const char module_name_not_utf8[] = "PyModule_GetName expected to return utf8";
inline constexpr const char cannot_append_to_all[] = "could not append __name__ to __all__";

// The entry guard's last resort, written to stderr before the process ends.
inline constexpr const char uncaught_panic[] = "uncaught panic at ffi boundary";
inline constexpr const char unknown_fault[] = "unknown internal fault";

// Argument binding: %zd is a count, %s a parameter name, %U a str object.
inline constexpr const char too_many_positional[] =
    "apply_lut() takes 3 positional arguments but %zd were given";
inline constexpr const char multiple_values[] = "apply_lut() got multiple values for argument '%s'";
inline constexpr const char unexpected_keyword[] = "apply_lut() got an unexpected keyword argument '%U'";
inline constexpr const char missing_arguments[] = "apply_lut() missing %zd required positional %s: %U";
inline constexpr const char argument_noun_one[] = "argument";
inline constexpr const char argument_noun_many[] = "arguments";

// Argument conversion.
inline constexpr const char not_a_string[] = "'%U' object cannot be converted to 'PyString'";
inline constexpr const char unknown_type_name[] = "<failed to extract type name>";
inline constexpr const char argument_prefix[] = "argument '%s': %S";
inline constexpr const char embedded_nul[] = "argument '%s': embedded null byte";

// Calling the engine.
inline constexpr const char null_client[] = "called deref on a null UniquePtr<BridgeClient>";
inline constexpr const char api_call_failed[] = "Python API call failed";
inline constexpr const char unknown_bridge_outcome[] = "the engine bridge reported an unknown outcome";

}  // namespace tonvik::messages
