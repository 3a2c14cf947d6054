// OwnedRef: owns one strong reference to a Python object and releases it on
// every way out of a scope. Move-only; an empty holder owns nothing.
//
//   OwnedRef text(PyUnicode_FromString("x"));   // takes over a new reference
//   if (!text) throw PythonError::fetch();
//   return text.release();                      // hands the reference on
//
// Must only be destroyed with the GIL held, which is always the case in this
// module: it never releases the GIL.
#pragma once

#include <utility>

#include "python.hpp"

namespace tonvik {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  // Takes over a new reference (or null).
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
  // Takes a new reference of its own to a borrowed object.
  static OwnedRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    OwnedRef(std::move(other)).swap(*this);
    return *this;
  }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Gives the reference up to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void swap(OwnedRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace tonvik
