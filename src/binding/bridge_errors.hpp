// The one place where a failed bridge call becomes a Python exception.
//
//   lut_unopenable  -> OSError(errno, text, lut_path): the interpreter picks
//                      FileNotFoundError, PermissionError, ... by errno
//   invalid_input   -> ValueError(text)
//   out_of_memory   -> MemoryError
//   internal_error  -> RuntimeError(text)
//
// The text comes from the engine and is decoded with replacement, so that no
// byte it holds can turn the report of one error into another error.
#pragma once

#include <cstdint>
#include <string_view>

#include "bridge_api.hpp"
#include "python.hpp"

namespace tonvik {

struct BridgeFailure {
  BridgeOutcome outcome;
  std::string_view text;  // the engine's message bytes, maybe empty
  std::int32_t os_error;  // errno of an unopenable LUT file, else 0
  PyObject* lut_path;     // the caller's lut_path argument (borrowed)
};

// Throws the PythonError for `failure`; `failure.outcome` is not ok.
[[noreturn]] void throw_bridge_failure(const BridgeFailure& failure);

}  // namespace tonvik
