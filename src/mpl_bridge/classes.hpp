// Python classes the bridge recognises by identity, looked up on first need and kept until the process ends, and
// the masked arrays of _proj_transform_vec_clip. Everything here needs the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>

#include "py_common/py_ref.hpp"

namespace korvex::mpl {

// numpy.ma.MaskedArray, matplotlib.transforms.IdentityTransform and matplotlib.scale.LinearScale (borrowed; throw
// if they cannot be imported).
PyTypeObject* masked_array_type();
PyTypeObject* identity_transform_type();
PyTypeObject* linear_scale_type();

// Attribute names the bridge reads, as interned strings made once (a fresh string per lookup would miss
// CPython's attribute caches, which compare names by identity).
enum class Attr { M, xaxis, yaxis, zaxis, scale, get_transform, baseclass, mask, sharedmask, count };

// Borrowed; throws if the string cannot be made.
PyObject* attr_name(Attr which);

// The masks of rows 0-2 of a 4 x N vec: none for a plain array or a masked array without a mask (nomask).
class VecMask {
 public:
  // Clears visible[i] where row 0, 1 or 2 of the mask is set, as tis & ~vec[k].mask does.
  void hide(bool* visible, std::size_t n) const noexcept;

 private:
  friend bool read_vec_mask(PyObject* vec, VecMask& mask);
  py::PyRef mask_;  // a bool array of the vec's shape, or empty
  const char* data_ = nullptr;
  Py_ssize_t row_stride_ = 0;
  Py_ssize_t column_stride_ = 0;
};

// Accepts a vec of exactly NumPy's array type, or of exactly MaskedArray over a plain array whose mask is nomask
// or a bool array of the vec's shape. False for anything else (an attribute lookup may leave an error pending).
bool read_vec_mask(PyObject* vec, VecMask& mask);

// numpy.ma.masked_array(data, ~visible): Matplotlib's construction of each clipped coordinate. Built as
// MaskedArray.__new__ builds it for a plain array and a bool mask of its shape (a view of the data, then the mask
// itself as _mask, shared), without the conversions __new__ needs for other arguments.
py::PyRef masked_array(PyObject* data, const bool* visible, std::size_t n);

}  // namespace korvex::mpl
