// PyRef: owns exactly one reference to a Python object, or none.
//
// Ownership is written into the construction: PyRef::steal takes over a new reference, PyRef::borrow adds one.
// The handle is move-only and never converts to PyObject* implicitly; get() lends the pointer, release() hands
// the reference back to the caller. Only code holding the interpreter lock may create, copy or drop one.
#pragma once

#include <Python.h>

#include <utility>

namespace korvex::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  ~PyRef() { Py_XDECREF(object_); }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference to a borrowed one (may be null).
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller: new reference.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace korvex::py
