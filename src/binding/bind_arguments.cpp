#include "bind_arguments.hpp"

#include <string>
#include <string_view>

#include "interned_names.hpp"
#include "messages.hpp"
#include "owned_ref.hpp"
#include "python_error.hpp"

namespace tonvik {
namespace {

constexpr Parameter kParameters[] = {Parameter::lut_path, Parameter::image_path, Parameter::output_path};

PyObject* interned_parameter(Parameter parameter) {
  switch (parameter) {
    case Parameter::lut_path: return interned(InternedName::lut_path);
    case Parameter::image_path: return interned(InternedName::image_path);
    case Parameter::output_path: return interned(InternedName::output_path);
  }
  throw InternalFault(messages::unknown_fault);
}

// The __qualname__ of the object's type, or the fixed stand-in text when it
// cannot be read as a str. Only an ordinary failure to read it (a metaclass
// that raises) is replaced: a MemoryError, and a KeyboardInterrupt or other
// BaseException that is no Exception, reaches the caller as it is.
OwnedRef type_qualname(PyObject* object) {
  OwnedRef name(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)),
                                 interned(InternedName::dunder_qualname)));
  if (name && PyUnicode_Check(name.get())) return name;
  if (!name) {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
      throw_pending_error();
    }
    PyErr_Clear();
  }
  return check(PyUnicode_FromString(messages::unknown_type_name));
}

// Index of the parameter `name` denotes, or -1. Interned names (all names
// written in Python source) match by pointer; others by their UTF-8 bytes.
int match_keyword(PyObject* name) {
  for (Parameter parameter : kParameters) {
    if (name == interned_parameter(parameter)) return static_cast<int>(parameter);
  }
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(name, &size);
  if (bytes == nullptr) {
    // A name with a lone surrogate cannot be encoded and names no parameter;
    // any other failure (a MemoryError) is the caller's to see.
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_pending_error();
    PyErr_Clear();
    return -1;
  }
  const std::string_view text(bytes, static_cast<std::size_t>(size));
  for (Parameter parameter : kParameters) {
    if (text == parameter_name(parameter)) return static_cast<int>(parameter);
  }
  return -1;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own wording.
OwnedRef quoted_list(const BoundArguments& slots) {
  std::string list;
  std::size_t listed = 0;
  std::size_t missing = 0;
  for (PyObject* slot : slots) missing += slot == nullptr ? 1 : 0;
  for (Parameter parameter : kParameters) {
    if (slots[static_cast<std::size_t>(parameter)] != nullptr) continue;
    ++listed;
    if (listed > 1) {
      if (missing > 2) list += ",";
      list += " ";
      if (listed == missing) list += "and ";
    }
    list += "'";
    list += parameter_name(parameter);
    list += "'";
  }
  return check(PyUnicode_FromStringAndSize(list.data(), static_cast<Py_ssize_t>(list.size())));
}

void bind_keywords(BoundArguments& slots, PyObject* const* values, PyObject* keyword_names) {
  const Py_ssize_t count = PyTuple_Size(keyword_names);
  if (count < 0) throw_pending_error();
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyTuple_GetItem(keyword_names, i);  // borrowed
    if (name == nullptr) throw_pending_error();
    if (!PyUnicode_Check(name)) throw_not_a_string(name);
    const int index = match_keyword(name);
    if (index < 0) throw_python_error(PyExc_TypeError, messages::unexpected_keyword, name);
    if (slots[index] != nullptr) {
      throw_python_error(PyExc_TypeError, messages::multiple_values,
                         parameter_name(static_cast<Parameter>(index)));
    }
    slots[index] = values[i];
  }
}

// A conversion error that is exactly TypeError gets the parameter's name in
// front and keeps its cause; any other error passes as it is.
[[noreturn]] void rethrow_for_parameter(PythonError error, Parameter parameter) {
  PyObject* exception = error.exception();
  if (!Py_IS_TYPE(exception, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) throw error;
  OwnedRef cause(PyException_GetCause(exception));
  OwnedRef message =
      check(PyUnicode_FromFormat(messages::argument_prefix, parameter_name(parameter), exception));
  OwnedRef wrapped = new_exception(PyExc_TypeError, message.get());
  // PyException_SetCause steals the reference and accepts null (no cause).
  PyException_SetCause(wrapped.get(), cause.release());
  throw PythonError(std::move(wrapped));
}

std::string_view utf8_of(PyObject* value) {
  if (!PyUnicode_Check(value)) throw_not_a_string(value);
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(value, &size);
  if (bytes == nullptr) throw_pending_error();
  return std::string_view(bytes, static_cast<std::size_t>(size));
}

}  // namespace

const char* parameter_name(Parameter parameter) noexcept {
  switch (parameter) {
    case Parameter::lut_path: return "lut_path";
    case Parameter::image_path: return "image_path";
    case Parameter::output_path: return "output_path";
  }
  return "?";
}

void throw_not_a_string(PyObject* object) {
  OwnedRef name = type_qualname(object);
  throw_python_error(PyExc_TypeError, messages::not_a_string, name.get());
}

BoundArguments bind_arguments(PyObject* const* arguments, Py_ssize_t positional_count,
                              PyObject* keyword_names) {
  BoundArguments slots{};
  const auto capacity = static_cast<Py_ssize_t>(kParameterCount);
  // Too many positional arguments is reported before any keyword is read.
  if (positional_count > capacity) {
    throw_python_error(PyExc_TypeError, messages::too_many_positional, positional_count);
  }
  for (Py_ssize_t i = 0; i < positional_count; ++i) slots[i] = arguments[i];

  if (keyword_names != nullptr) bind_keywords(slots, arguments + positional_count, keyword_names);

  Py_ssize_t missing = 0;
  for (PyObject* slot : slots) missing += slot == nullptr ? 1 : 0;
  if (missing > 0) {
    OwnedRef list = quoted_list(slots);
    throw_python_error(PyExc_TypeError, messages::missing_arguments, missing,
                       missing == 1 ? messages::argument_noun_one : messages::argument_noun_many, list.get());
  }
  return slots;
}

std::string_view convert_argument(const BoundArguments& bound, Parameter parameter) {
  std::string_view text;
  try {
    text = utf8_of(bound[static_cast<std::size_t>(parameter)]);
  } catch (PythonError& error) {
    rethrow_for_parameter(std::move(error), parameter);
  }
  // The platform's file calls end a path at the first NUL: such a path would
  // silently name another file, so it is refused before any file is touched.
  if (text.find('\0') != std::string_view::npos) {
    throw_python_error(PyExc_ValueError, messages::embedded_nul, parameter_name(parameter));
  }
  return text;
}

}  // namespace tonvik
