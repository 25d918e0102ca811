// Patch3D.do_3d_projection and PathPatch3D.do_3d_projection (2D patches placed in 3D by patch_2d_to_3d and
// pathpatch_2d_to_3d) as native methods, with Matplotlib's results and artist state.
//
// Matplotlib projects the patch's outline (_segment3d) with axes.M and the clip (proj3d._scale_proj_transform_clip),
// sets _path2d = Path(projected x and y, codes) (codes: None for Patch3D, _code3d for PathPatch3D) and returns
// Python's min() over the projected depths, the first smallest of them.
//
// Handed back to Matplotlib's method: non-linear scales, an outline that is not a list of points (or an (N, 3)
// array), any point hidden (not finite, outside the view limits with _axlim_clip, or clipped: Matplotlib then
// fails, or compares masked elements), codes that are not a uint8 array of one per point starting with MOVETO,
// and arithmetic that raised an IEEE exception.
#include <Python.h>

#include <cstring>
#include <memory>

#include "mpl_bridge/classes.hpp"
#include "mpl_bridge/methods.hpp"
#include "mpl_bridge/paths.hpp"
#include "mpl_bridge/point_lists.hpp"
#include "mpl_bridge/values.hpp"
#include "proj3d/mpl_points.hpp"
#include "proj3d/mpl_rule.hpp"
#include "py_common/errors.hpp"
#include "py_common/numpy_api.hpp"

namespace korvex::mpl {
namespace {

using py::PyRef;
namespace numpy = py::numpy;
namespace rule = proj3d::mpl;

constexpr unsigned char kMoveTo = 1;  // Path.MOVETO
constexpr unsigned char kLineTo = 2;  // Path.LINETO

// The codes Path() keeps as they are: None, or a uint8 array of n codes starting with MOVETO.
bool usable_codes(PyObject* codes, std::size_t n, bool& all_lineto) {
  all_lineto = true;
  if (codes == Py_None) return true;
  if (!numpy::is_exact_array(codes)) return false;
  const numpy::ArrayView c = numpy::view(codes);
  if (c.type != numpy::Type::uint8 || c.ndim != 1 || c.shape[0] != static_cast<Py_ssize_t>(n)) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const auto code = static_cast<unsigned char>(c.data[static_cast<Py_ssize_t>(i) * c.strides[0]]);
    if (i == 0 && code != kMoveTo) return false;
    all_lineto = all_lineto && code <= kLineTo;
  }
  return true;
}

PyRef patch_native(PyObject* self, bool path_patch) {
  PyRef axes = attribute(self, Attr::axes);
  if (!axes || !linear_scales(axes.get())) return {};
  PyRef matrix = attribute(axes.get(), Attr::M);
  PyRef focal = attribute(axes.get(), Attr::focal_length);
  PyRef segment = attribute(self, Attr::segment3d);
  PyRef clip = attribute(self, Attr::axlim_clip);
  PyRef codes = path_patch ? attribute(self, Attr::code3d) : PyRef::borrow(Py_None);
  const double* m = matrix ? matrix_data(matrix.get()) : nullptr;
  bool orthographic = false;
  Points p;
  if (m == nullptr || !focal || !segment || !clip || !codes || !focal_is_inf(focal.get(), orthographic) ||
      !read_line(segment.get(), p)) {
    PyErr_Clear();
    return {};
  }
  const std::size_t n = p.size();
  bool all_lineto = true;
  if (!usable_codes(codes.get(), n, all_lineto)) return {};
  std::unique_ptr<bool[]> hidden(new bool[n]());
  rule::hide_non_finite(p.x.data(), p.y.data(), p.z.data(), n, hidden.get());
  const int clipped = PyObject_IsTrue(clip.get());
  if (clipped < 0) py::throw_fetched();
  if (clipped) {
    double xy[4], zz[4];
    if (!bbox_points(axes.get(), Attr::xy_viewLim, xy) || !bbox_points(axes.get(), Attr::zz_viewLim, zz)) return {};
    const double xs[2] = {xy[0], xy[2]}, ys[2] = {xy[1], xy[3]}, zs[2] = {zz[0], zz[2]};
    rule::hide_outside(p.x.data(), p.y.data(), p.z.data(), n, rule::ViewLimits::from_intervals(xs, ys, zs),
                       hidden.get());
  }
  std::unique_ptr<double[]> t(new double[3 * n]);
  double *tx = t.get(), *ty = tx + n, *tz = ty + n;
  if (rule::project(m, {p.x.data(), p.y.data(), p.z.data(), nullptr}, n, tx, ty, tz) != 0) return {};
  std::unique_ptr<bool[]> visible(new bool[n]);
  if (orthographic) {
    std::memset(visible.get(), 1, n);
  } else {
    rule::in_view(tx, ty, tz, n, visible.get());
  }
  std::size_t first = 0;  // Python's min(): the first of the smallest
  for (std::size_t i = 0; i < n; ++i) {
    if (hidden[i] || !visible[i]) return {};
    if (tz[i] < tz[first]) first = i;
  }

  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(n), 2};
  double* v = nullptr;
  PyRef vertices = numpy::new_float64_array(2, shape, &v);
  for (std::size_t i = 0; i < n; ++i) {
    v[2 * i] = tx[i];
    v[2 * i + 1] = ty[i];
  }
  const PathMaker maker;
  set_attribute(self, Attr::path2d, maker.make(vertices.get(), shape[0], codes.get(), all_lineto).get());
  return numpy::new_float64_scalar(tz[first]);
}

}  // namespace

PyObject* patch_projection(PyObject* self, PyObject*) {
  return py::guard([&] {
    if (PyRef depth = patch_native(self, false)) return depth.release();
    return call_original_method(Method::patch, self).release();
  });
}

PyObject* path_patch_projection(PyObject* self, PyObject*) {
  return py::guard([&] {
    if (PyRef depth = patch_native(self, true)) return depth.release();
    return call_original_method(Method::path_patch, self).release();
  });
}

}  // namespace korvex::mpl
