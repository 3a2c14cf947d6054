// The entry guard: every call from the interpreter into this module runs its
// body through run_guarded, so that no C++ exception ever unwinds into an
// interpreter frame. The body ends in one of three ways:
//
//   returns an OwnedRef       -> that object, as a new reference;
//   throws PythonError        -> the exception is raised, null is returned;
//   throws InternalFault      -> PanicException(text) is raised, null returned.
//
// std::bad_alloc becomes MemoryError; any other C++ exception is a fault.
// References the body holds are released by their OwnedRef holders on every
// way out. If even raising the error fails, the process ends after writing
// "uncaught panic at ffi boundary" to stderr: there is no one left to tell.
//
//   PyObject* entry(...) { return run_guarded([&] { return body(...); }); }
#pragma once

#include "owned_ref.hpp"
#include "python.hpp"

namespace tonvik {

// Raises the C++ exception being handled as a Python exception. Call only
// from inside a catch handler.
void raise_current_exception() noexcept;

// PanicException, created on first use and kept for the life of the process;
// a borrowed reference. Throws PythonError when the type cannot be made.
PyObject* panic_exception_type();

template <typename Body>
PyObject* run_guarded(Body&& body) noexcept {
  try {
    OwnedRef result = body();
    return result.release();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace tonvik
