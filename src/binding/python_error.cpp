#include "python_error.hpp"

#include <cstdarg>

#include "messages.hpp"

namespace tonvik {

PythonError PythonError::fetch() noexcept {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, messages::no_exception_set);
  return PythonError(OwnedRef(PyErr_GetRaisedException()));
}

void throw_pending_error() { throw PythonError::fetch(); }

void throw_python_error(PyObject* type, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  OwnedRef message(PyUnicode_FromFormatV(format, arguments));
  va_end(arguments);
  if (!message) throw_pending_error();
  // Calling the type (rather than PyErr_SetObject) builds the instance now, so
  // the error travels as one object like every other PythonError.
  throw PythonError(new_exception(type, message.get()));
}

OwnedRef new_exception(PyObject* type, PyObject* message) {
  return check(PyObject_CallFunctionObjArgs(type, message, static_cast<PyObject*>(nullptr)));
}

}  // namespace tonvik
