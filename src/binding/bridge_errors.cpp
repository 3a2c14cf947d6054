#include "bridge_errors.hpp"

#include "messages.hpp"
#include "owned_ref.hpp"
#include "python_error.hpp"

namespace tonvik {
namespace {

OwnedRef decode_text(std::string_view text) {
  return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

[[noreturn]] void throw_with_text(PyObject* type, std::string_view text) {
  OwnedRef message = decode_text(text);
  throw PythonError(new_exception(type, message.get()));
}

}  // namespace

void throw_bridge_failure(const BridgeFailure& failure) {
  switch (failure.outcome) {
    case BridgeOutcome::lut_unopenable: {
      OwnedRef message = decode_text(failure.text);
      // Calling OSError itself with (errno, strerror, filename) is what makes
      // the interpreter choose the subclass that matches errno.
      throw PythonError(check(PyObject_CallFunction(PyExc_OSError, "iOO", static_cast<int>(failure.os_error),
                                                    message.get(), failure.lut_path)));
    }
    case BridgeOutcome::invalid_input: throw_with_text(PyExc_ValueError, failure.text);
    case BridgeOutcome::out_of_memory: PyErr_NoMemory(); throw_pending_error();
    case BridgeOutcome::internal_error: throw_with_text(PyExc_RuntimeError, failure.text);
    case BridgeOutcome::ok: break;
  }
  // ok is no failure, and an outcome outside the enumeration breaks the
  // bridge's contract: both are faults of this layer.
  throw InternalFault(messages::unknown_bridge_outcome);
}

}  // namespace tonvik
