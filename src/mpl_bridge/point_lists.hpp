// Lines of 3D points as Matplotlib's art3d artists hold them (arrays, or lists and tuples of points), read into
// doubles as NumPy would convert them. Everything here needs the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "py_common/numpy_api.hpp"

namespace korvex::mpl {

// Points of several lines, one after another.
struct Points {
  std::vector<double> x, y, z;
  std::vector<std::size_t> lengths;  // points per line

  std::size_t size() const noexcept { return x.size(); }
};

// Appends the rows of an (N, 3) array of a readable type: `data` is row 0, rows `row` bytes apart, columns
// `column` bytes apart.
void add_rows(Points& p, const py::numpy::ArrayView& a, const char* data, Py_ssize_t rows, Py_ssize_t row,
              Py_ssize_t column);

// Appends one line: an (N, 3) real array, or a list or tuple of points (each a list or tuple of three numbers, or
// a 1-D real array of three). At least one point, unless `empty_ok` (and then only an array, which keeps its
// (0, 3) shape). False, with nothing pending, for anything else.
bool read_line(PyObject* line, Points& p, bool empty_ok = false);

}  // namespace korvex::mpl
