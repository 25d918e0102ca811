// Python values read as NumPy reads them, for the native functions and methods. Everything here needs the
// interpreter lock.
#pragma once

#include <Python.h>

#include "py_common/numpy_api.hpp"

namespace korvex::mpl {

// The data of a C-contiguous, aligned, native float64 4x4 array of exactly NumPy's type, else null.
const double* matrix_data(PyObject* object);

// The value of a Python float (np.float64 included), of a Python int NumPy converts exactly (within 2**53), or of
// a NumPy scalar of a real type.
bool number_value(PyObject* object, double& value);

// The array's elements can be read as doubles (a real type in native byte order).
inline bool readable(const py::numpy::ArrayView& a) { return a.type != py::numpy::Type::other && a.native; }

// np.isinf(focal_length) for a Python or NumPy real number (Axes3D keeps an int focal length of 1 by default).
bool focal_is_inf(PyObject* object, bool& inf);

}  // namespace korvex::mpl
