// The two ways a body run under the entry guard fails, as C++ exceptions that
// never leave this layer: the guard catches both (entry_guard.hpp).
//
//   PythonError    a Python exception object, raised in the interpreter as is;
//   InternalFault  a broken invariant or an interpreter call that is not
//                  expected to fail, raised as PanicException.
//
// throw_python_error is the one helper that makes a new Python error;
// check() turns a failed C-API call (null result) into the pending one.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include "owned_ref.hpp"
#include "python.hpp"

namespace tonvik {

class PythonError : public std::exception {
 public:
  // Takes over an exception instance (not null).
  explicit PythonError(OwnedRef exception) noexcept : exception_(std::move(exception)) {}
  // Copying happens when the runtime copies the thrown object; the GIL is held.
  PythonError(const PythonError& other) noexcept : exception_(OwnedRef::borrow(other.exception_.get())) {}
  PythonError& operator=(const PythonError&) = delete;

  // Takes the interpreter's pending exception and clears it. With none pending
  // the result is a SystemError saying so, so that a caller never sees a
  // failure without a reason.
  static PythonError fetch() noexcept;

  PyObject* exception() const noexcept { return exception_.get(); }
  OwnedRef take() noexcept { return std::move(exception_); }
  const char* what() const noexcept override { return "Python exception"; }

 private:
  OwnedRef exception_;
};

class InternalFault : public std::exception {
 public:
  explicit InternalFault(const std::string& message) : message_(message) {}
  // std::runtime_error keeps the text in a shared buffer: copies never throw.
  const char* what() const noexcept override { return message_.what(); }

 private:
  std::runtime_error message_;
};

// Throws PythonError::fetch(): for a C-API call that reported failure.
[[noreturn]] void throw_pending_error();

// Throws a new exception of `type` whose one argument is the str made from
// `format` and its arguments as by PyUnicode_FromFormat.
[[noreturn]] void throw_python_error(PyObject* type, const char* format, ...);

// A new instance of the exception class `type` whose one argument is
// `message`. Throws the pending PythonError when it cannot be made.
OwnedRef new_exception(PyObject* type, PyObject* message);

// Takes over the new reference a C-API call returned; null means the call
// failed with an exception pending, which is thrown.
inline OwnedRef check(PyObject* new_reference) {
  if (new_reference == nullptr) throw_pending_error();
  return OwnedRef(new_reference);
}

}  // namespace tonvik
