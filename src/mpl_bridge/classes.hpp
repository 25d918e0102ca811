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
// mpl_toolkits.mplot3d.axes3d.Axes3D, matplotlib.transforms.Bbox and matplotlib.path.Path (borrowed; as above).
PyTypeObject* axes3d_type();
PyTypeObject* bbox_type();
PyTypeObject* path_type();

// Attribute names the bridge reads, as interned strings made once (a fresh string per lookup would miss
// CPython's attribute caches, which compare names by identity).
enum class Attr {
  M, xaxis, yaxis, zaxis, scale, get_transform, baseclass, mask, sharedmask,
  // Axes3D
  box_aspect, vertical_axis, elev, azim, roll, dist, focal_length, xy_viewLim, zz_viewLim, view_u, view_v, view_w,
  points, invalid,
  // art3d collections
  axes, stale, axlim_clip, offsets3d, offsets, offset_zordered, z_markers_idx, vzs, data_scale, sizes, sizes3d,
  linewidths, linewidths3d, segments3d, paths, verts_codes3d, segment3d, code3d, path2d,
  // Path
  vertices, codes, interpolation_steps, simplify_threshold, should_simplify, readonly,
  count
};

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

// An attribute of `object`, or empty with no error pending (a failed lookup is left to Matplotlib's code, which
// meets it again and raises its own error).
py::PyRef attribute(PyObject* object, Attr name);

// Sets an attribute through the object's own machinery (properties included); throws on failure.
void set_attribute(PyObject* object, Attr name, PyObject* value);

// The points [[x0, y0], [x1, y1]] of an axes' xy_viewLim or zz_viewLim, read as Bbox.get_points() reads them
// (which clears the Bbox's _invalid flag, as here): false unless it is a plain Bbox with float64 points.
bool bbox_points(PyObject* axes, Attr name, double (&points)[4]);

// Whether the scale of all three axes is exactly LinearScale (val_in_range: np.isfinite; identity transform).
bool linear_scales(PyObject* axes);

// Whether the transform of every axis of a 3D axes is an IdentityTransform, which hands values back unchanged:
// the scale is exactly LinearScale (whose get_transform() makes one), or get_transform() returns one. False when
// an attribute lookup or call fails (the error is cleared: Matplotlib's code will meet it and raise its own).
bool linear_axes(PyObject* axes);

// Accepts a vec of exactly NumPy's array type, or of exactly MaskedArray over a plain array whose mask is nomask
// or a bool array of the vec's shape. False for anything else (an attribute lookup may leave an error pending).
bool read_vec_mask(PyObject* vec, VecMask& mask);

// numpy.ma.masked_array(data, ~visible): Matplotlib's construction of each clipped coordinate. Built as
// MaskedArray.__new__ builds it for a plain array and a bool mask of its shape (a view of the data, then the mask
// itself as _mask, shared), without the conversions __new__ needs for other arguments.
py::PyRef masked_array(PyObject* data, const bool* visible, std::size_t n);

// numpy.ma.masked_array(data, mask) for a plain array and a bool mask array of its shape, built the same way.
py::PyRef masked_array(PyObject* data, PyObject* mask);

}  // namespace korvex::mpl
