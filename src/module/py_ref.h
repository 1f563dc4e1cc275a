// An owned reference to a Python object, released on scope exit.
#pragma once

#include <utility>

#include "python.h"

namespace glyphward::module {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (which may be null).
  explicit PyRef(PyObject* object) : object_(object) {}
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(); }

  static PyRef borrow(PyObject* object) {
    Py_IncRef(object);
    return PyRef(object);
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  void reset(PyObject* object = nullptr) {
    PyObject* old = std::exchange(object_, object);
    if (old != nullptr) Py_DecRef(old);
  }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace glyphward::module
