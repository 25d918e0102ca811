// Turning argument objects into native values, and native results into new Python objects.
#pragma once

#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "proj3d/matrix.hpp"
#include "py_common/numpy_api.hpp"
#include "py_common/py_ref.hpp"

namespace korvex::py {

// The TypeError "'<type qualname>' object cannot be converted to '<target>'".
[[noreturn]] void throw_conversion_error(PyObject* object, const char* target);

// Runs the conversion of argument `name`. A failure whose exception class is exactly TypeError becomes a new
// TypeError "argument '<name>': <message>" whose __cause__ is the original's __cause__; anything else passes.
template <class Convert>
auto convert_arg(const char* name, Convert&& convert) -> decltype(convert());
[[noreturn]] void prefix_argument_error(const char* name);  // rethrows the current exception, prefixed where it applies

// Argument kinds. Each throws PyError / PyErrorSet / InternalFault on failure (before the prefix).
double to_double(PyObject* object);
// None (or absent) gives false; otherwise the items converted in iteration order.
bool to_float_list(PyObject* object, std::vector<double>& values);
// The UTF-8 text of a str; valid while `object` lives.
std::string_view to_utf8(PyObject* object);
// An array of `ndim` dimensions and dtype float64.
numpy::ArrayView to_float64_array(PyObject* object, int ndim);

// The values of a 1-D float64 array argument as contiguous, aligned doubles: the array's own buffer when NumPy
// marks it contiguous and aligned, else a copy. Throws TypeError "The given array is not contiguous" (no prefix)
// for an array without a contiguity flag.
class ContiguousVector {
 public:
  explicit ContiguousVector(const numpy::ArrayView& array);
  const double* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }

 private:
  std::vector<double> copy_;
  const double* data_ = nullptr;
  std::size_t size_ = 0;
};

// A 2-D float64 matrix argument as a row-major table. Arrays marked row-major contiguous are read in place; an
// array marked contiguous only in column-major order is read by logical index, so it gives the same result as
// its row-major copy. Throws TypeError "The given array is not contiguous" (no prefix) when neither flag is set.
class MatrixArg {
 public:
  explicit MatrixArg(const numpy::ArrayView& array);
  const proj3d::MatrixView& view() const noexcept { return view_; }

 private:
  std::vector<double> copy_;
  proj3d::MatrixView view_;
};

// Results.
PyRef new_vector(std::size_t length, double** data);
PyRef new_matrix(std::size_t rows, std::size_t cols, double** data);
PyRef new_tuple(std::initializer_list<PyRef*> items);  // takes over the items

template <class Convert>
auto convert_arg(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (...) {
    prefix_argument_error(name);
  }
}

}  // namespace korvex::py
