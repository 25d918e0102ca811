// How failures cross the boundary between the native code and the interpreter.
//
// Three C++ exception types travel up to the entry point:
//   - PyErrorSet: a Python exception is already set in the interpreter; raise it as it is.
//   - PyError: a Python exception to raise, given by class and message.
//   - korvex::InternalFault (fault.hpp): a condition a well-formed call cannot reach; raised as PanicException.
// One guard per entry point (guard() below) catches them, plus std::bad_alloc and std::length_error (MemoryError:
// a size that cannot be allocated) and anything else (an internal fault), so the code between reads as
// straight-line code.
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "common/assert.hpp"
#include "common/fault.hpp"
#include "py_common/py_ref.hpp"

namespace korvex::py {

// Marker: the interpreter has an exception pending. Created only while one is.
struct PyErrorSet {
  PyErrorSet() noexcept {
    KORVEX_ASSERT(PyErr_Occurred() != nullptr, "PyErrorSet created without a pending Python exception");
  }
};

// A Python exception to raise: its class (borrowed, one of the interpreter's built-in classes) and message.
struct PyError {
  PyObject* type;
  std::string message;
};

// The PanicException class, created on first need (borrowed; lives until the process ends). Never fails: if the
// class cannot be created the process cannot report anything and ends.
PyObject* panic_exception_type() noexcept;

// Sets PanicException(message) as the current exception.
void set_panic(const std::string& message) noexcept;

// After an interpreter call failed: turns the pending exception into a C++ exception and throws it.
// No exception pending -> PyError SystemError "attempted to fetch exception but none was set".
// A PanicException coming back through Python code -> printed, then rethrown as an InternalFault.
// Anything else stays pending -> PyErrorSet.
[[noreturn]] void throw_fetched();

// Checks the result of an interpreter call returning a new reference; throw_fetched() on null.
inline PyRef check(PyObject* result) {
  if (result == nullptr) throw_fetched();
  return PyRef::steal(result);
}

// An interpreter call that the module does not expect to fail (creating a result array, tuple or list) failed:
// print the pending exception and raise the internal fault "Python API call failed".
[[noreturn]] void api_call_failed();

// Sets the exception that a caught C++ exception stands for; used by the guards. Must be called from a catch
// block.
void set_error_from_current_exception() noexcept;

// Runs an entry point's body: returns its result (a new reference), or null with the exception set.
template <class Body>
PyObject* guard(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// The destructor's guard: a fault is reported with PyErr_WriteUnraisable and the interpreter goes on.
template <class Body>
void guard_unraisable(PyObject* object, Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
    set_error_from_current_exception();
    PyErr_WriteUnraisable(object);
  }
}

}  // namespace korvex::py

