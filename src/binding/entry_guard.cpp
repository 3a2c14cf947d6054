#include "entry_guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "messages.hpp"
#include "python_error.hpp"

namespace tonvik {
namespace {

PyObject* g_panic_type = nullptr;  // never released

[[noreturn]] void terminate_at_boundary(const char* reason) noexcept {
  std::fprintf(stderr, "%s: %s\n", messages::uncaught_panic, reason);
  std::fflush(stderr);
  std::abort();
}

void raise_panic(const char* text) noexcept {
  try {
    PyObject* type = panic_exception_type();
    OwnedRef message =
        check(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
    OwnedRef panic = new_exception(type, message.get());
    PyErr_SetRaisedException(panic.release());
  } catch (...) {
    terminate_at_boundary(text);
  }
}

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(messages::panic_type_name, messages::panic_type_doc,
                                             PyExc_BaseException, nullptr);
    if (g_panic_type == nullptr) throw_pending_error();
  }
  return g_panic_type;
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (PythonError& error) {
    PyObject* exception = error.take().release();
    if (exception == nullptr) terminate_at_boundary(error.what());
    PyErr_SetRaisedException(exception);
  } catch (const InternalFault& fault) {
    raise_panic(fault.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& exception) {
    raise_panic(exception.what());
  } catch (...) {
    raise_panic(messages::unknown_fault);
  }
}

}  // namespace tonvik
