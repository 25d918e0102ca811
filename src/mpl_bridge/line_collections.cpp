// Line3DCollection.do_3d_projection (grid lines, wireframes, quivers) and Collection3D.do_3d_projection (2D
// collections placed in 3D, such as contourf's) as native methods, with Matplotlib's results and artist state.
//
// Line3DCollection: the points of all lines (an (L, N, 3) array, or a list of (N, 3) arrays or of lists of
// points, ragged or not) are projected with axes.M as one (3, T) block (proj3d._scale_proj_transform_vectors);
// a point is hidden where a coordinate is not finite (LinearScale.val_in_range) or, with _axlim_clip, outside the
// view limits. _paths gets one Path per line, as LineCollection.set_segments makes them: a view of the block's x
// and y rows where nothing in the line is hidden (as Matplotlib's), a copy with NaN at the hidden points
// otherwise; then stale is set. Returns min(smallest visible depth, 1e9).
//
// Collection3D: each (vertices, codes) of _3dverts_codes is projected on its own (proj3d.proj_transform), and
// _paths gets Path(projected x and y, codes) per entry. Returns the smallest depth of all (1e9 without any).
//
// Handed back to Matplotlib's method: non-linear scales, other shapes or types (masked arrays, object arrays,
// empty lines), for Collection3D any hidden point (Matplotlib's mask broadcasting then fails) and codes that are
// not a uint8 array starting with MOVETO, no visible point, a depth minimum that NumPy could give as either
// signed zero, and arithmetic that raised an IEEE exception (NumPy would warn).
#include <Python.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "mpl_bridge/classes.hpp"
#include "mpl_bridge/methods.hpp"
#include "mpl_bridge/paths.hpp"
#include "mpl_bridge/point_lists.hpp"
#include "mpl_bridge/values.hpp"
#include "proj3d/mpl_points.hpp"
#include "proj3d/mpl_rule.hpp"
#include "py_common/array_view.hpp"
#include "py_common/errors.hpp"
#include "py_common/numpy_api.hpp"

namespace korvex::mpl {
namespace {

using py::PyRef;
namespace numpy = py::numpy;
namespace rule = proj3d::mpl;

// Path.MOVETO and Path.LINETO.
constexpr unsigned char kMoveTo = 1;
constexpr unsigned char kLineTo = 2;

// _segments3d: an (L, N, 3) real array, or a list or tuple of lines; at least one line.
bool read_segments(PyObject* segments, Points& p) {
  if (numpy::is_exact_array(segments)) {
    const numpy::ArrayView a = numpy::view(segments);
    if (!readable(a) || a.ndim != 3 || a.shape[2] != 3 || a.shape[0] == 0 || a.shape[1] == 0) return false;
    for (Py_ssize_t l = 0; l < a.shape[0]; ++l) {
      add_rows(p, a, a.data + l * a.strides[0], a.shape[1], a.strides[1], a.strides[2]);
      p.lengths.push_back(static_cast<std::size_t>(a.shape[1]));
    }
    return true;
  }
  if (!PyList_CheckExact(segments) && !PyTuple_CheckExact(segments)) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(segments);
  PyObject** items = PySequence_Fast_ITEMS(segments);
  for (Py_ssize_t l = 0; l < count; ++l) {
    if (!read_line(items[l], p)) return false;
  }
  return count > 0;
}

bool truth(PyObject* value) {
  const int t = PyObject_IsTrue(value);
  if (t < 0) py::throw_fetched();
  return t != 0;
}

// The axes' projection matrix when the axes are linear; null to hand back.
const double* linear_matrix(PyObject* axes, PyRef& holder) {
  if (axes == nullptr || !linear_scales(axes)) return nullptr;
  holder = attribute(axes, Attr::M);
  return holder ? matrix_data(holder.get()) : nullptr;
}

// Hides the points outside the axes' view limits; false when the limits cannot be read.
bool hide_outside_view(PyObject* axes, const Points& p, bool* hidden) {
  double xy[4], zz[4];
  if (!bbox_points(axes, Attr::xy_viewLim, xy) || !bbox_points(axes, Attr::zz_viewLim, zz)) return false;
  const double xs[2] = {xy[0], xy[2]}, ys[2] = {xy[1], xy[3]}, zs[2] = {zz[0], zz[2]};
  rule::hide_outside(p.x.data(), p.y.data(), p.z.data(), p.size(), rule::ViewLimits::from_intervals(xs, ys, zs),
                     hidden);
  return true;
}

PyRef line_collection_native(PyObject* self) {
  PyRef axes = attribute(self, Attr::axes);
  PyRef matrix;
  const double* m = linear_matrix(axes.get(), matrix);
  PyRef segments = attribute(self, Attr::segments3d);
  PyRef clip = attribute(self, Attr::axlim_clip);
  Points p;
  if (m == nullptr || !segments || !clip || !read_segments(segments.get(), p)) {
    PyErr_Clear();
    return {};
  }
  const std::size_t total = p.size();
  std::unique_ptr<bool[]> hidden(new bool[total]());
  rule::hide_non_finite(p.x.data(), p.y.data(), p.z.data(), total, hidden.get());
  if (truth(clip.get()) && !hide_outside_view(axes.get(), p, hidden.get())) return {};

  // The (3, T) block of projected rows, which the paths view as Matplotlib's do.
  double* block = nullptr;
  const Py_ssize_t shape[2] = {3, static_cast<Py_ssize_t>(total)};
  PyRef rows = numpy::new_float64_array(2, shape, &block);
  double* tx = block;
  double* ty = block + total;
  double* tz = block + 2 * total;
  if (rule::project(m, {p.x.data(), p.y.data(), p.z.data(), nullptr}, total, tx, ty, tz) != 0) return {};
  std::unique_ptr<bool[]> visible(new bool[total]);
  bool any_visible = false;
  for (std::size_t i = 0; i < total; ++i) any_visible = (visible[i] = !hidden[i]) || any_visible;
  double depth = 0.0;
  if (!any_visible || !rule::min_value(tz, visible.get(), total, depth)) return {};

  const PathMaker maker;
  const Py_ssize_t lines = static_cast<Py_ssize_t>(p.lengths.size());
  PyRef paths = py::check(PyList_New(lines));
  without_collection([&] {
    std::size_t start = 0;
    for (Py_ssize_t l = 0; l < lines; ++l) {
      const std::size_t n = p.lengths[static_cast<std::size_t>(l)];
      bool masked = false;
      for (std::size_t i = start; i < start + n && !masked; ++i) masked = hidden[i];
      const Py_ssize_t line_shape[2] = {static_cast<Py_ssize_t>(n), 2};
      PyRef vertices;
      if (masked) {
        double* v = nullptr;
        vertices = numpy::new_float64_array(2, line_shape, &v);
        for (std::size_t i = 0; i < n; ++i) {
          v[2 * i] = hidden[start + i] ? NAN : tx[start + i];
          v[2 * i + 1] = hidden[start + i] ? NAN : ty[start + i];
        }
      } else {
        const Py_ssize_t strides[2] = {sizeof(double), static_cast<Py_ssize_t>(total * sizeof(double))};
        vertices = numpy::view_of(rows.get(), reinterpret_cast<const char*>(tx + start), 2, line_shape, strides);
      }
      PyList_SET_ITEM(paths.get(), l, maker.make(vertices.get(), line_shape[0], Py_None, true).release());
      start += n;
    }
  });
  set_attribute(self, Attr::paths, paths.get());
  set_attribute(self, Attr::stale, Py_True);
  // min(xyzs[..., 2].min(), 1e9): Python's min keeps the first operand unless the second is smaller.
  if (1e9 < depth) return PyRef::steal(PyFloat_FromDouble(1e9));
  return numpy::new_float64_scalar(depth);
}

// One (vertices, codes) entry of _3dverts_codes.
struct Entry {
  std::size_t start = 0, n = 0;
  PyObject* codes = nullptr;  // borrowed from the entry: None or a uint8 array (anything for no vertices)
  bool all_lineto = true;
};

bool read_entry(PyObject* item, Points& p, Entry& e) {
  if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2) return false;
  PyObject* vertices = PyTuple_GET_ITEM(item, 0);
  e.codes = PyTuple_GET_ITEM(item, 1);
  e.start = p.size();
  if (!read_line(vertices, p, true)) return false;
  e.n = p.lengths.back();
  // Path() keeps the codes of an empty path as they are, unchecked (contour levels without lines have None).
  if (e.codes == Py_None || e.n == 0) return true;
  if (!numpy::is_exact_array(e.codes)) return false;
  const numpy::ArrayView c = numpy::view(e.codes);
  if (c.type != numpy::Type::uint8 || c.ndim != 1 || c.shape[0] != static_cast<Py_ssize_t>(e.n)) return false;
  for (std::size_t i = 0; i < e.n; ++i) {
    const auto code = static_cast<unsigned char>(c.data[static_cast<Py_ssize_t>(i) * c.strides[0]]);
    if (i == 0 && code != kMoveTo) return false;
    e.all_lineto = e.all_lineto && code <= kLineTo;
  }
  return true;
}

PyRef collection_native(PyObject* self) {
  PyRef axes = attribute(self, Attr::axes);
  PyRef matrix;
  const double* m = linear_matrix(axes.get(), matrix);
  PyRef entries = attribute(self, Attr::verts_codes3d);
  PyRef clip = attribute(self, Attr::axlim_clip);
  if (m == nullptr || !entries || !clip || !PyList_CheckExact(entries.get()) || PyList_GET_SIZE(entries.get()) == 0) {
    PyErr_Clear();
    return {};
  }
  const Py_ssize_t count = PyList_GET_SIZE(entries.get());
  Points p;
  std::vector<Entry> e(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!read_entry(PyList_GET_ITEM(entries.get(), i), p, e[static_cast<std::size_t>(i)])) return {};
  }
  const std::size_t total = p.size();
  std::unique_ptr<bool[]> hidden(new bool[total]());
  rule::hide_non_finite(p.x.data(), p.y.data(), p.z.data(), total, hidden.get());
  if (truth(clip.get()) && !hide_outside_view(axes.get(), p, hidden.get())) return {};
  for (std::size_t i = 0; i < total; ++i) {
    if (hidden[i]) return {};
  }
  // Each entry is its own proj_transform call, whose sum order depends on its own number of points.
  std::vector<double> tx(total), ty(total), tz(total);
  for (const Entry& entry : e) {
    const std::size_t s = entry.start;
    if (entry.n > 0 && rule::project(m, {p.x.data() + s, p.y.data() + s, p.z.data() + s, nullptr}, entry.n, tx.data() + s,
                      ty.data() + s, tz.data() + s) != 0) {
      return {};
    }
  }
  // zs.min() if len(zs) else 1e9
  double depth = 1e9;
  if (total > 0 && !rule::min_value(tz.data(), nullptr, total, depth)) return {};

  const PathMaker maker;
  PyRef paths = py::check(PyList_New(count));
  without_collection([&] {
    for (Py_ssize_t i = 0; i < count; ++i) {
      const Entry& entry = e[static_cast<std::size_t>(i)];
      const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(entry.n), 2};
      double* v = nullptr;
      PyRef vertices = numpy::new_float64_array(2, shape, &v);
      for (std::size_t j = 0; j < entry.n; ++j) {
        v[2 * j] = tx[entry.start + j];
        v[2 * j + 1] = ty[entry.start + j];
      }
      PyList_SET_ITEM(paths.get(), i, maker.make(vertices.get(), shape[0], entry.codes, entry.all_lineto).release());
    }
  });
  set_attribute(self, Attr::paths, paths.get());
  if (total == 0) return PyRef::steal(PyFloat_FromDouble(depth));
  return numpy::new_float64_scalar(depth);
}

}  // namespace

PyObject* line_collection_projection(PyObject* self, PyObject*) {
  return py::guard([&] {
    if (PyRef depth = line_collection_native(self)) return depth.release();
    return call_original_method(Method::line_collection, self).release();
  });
}

PyObject* collection_projection(PyObject* self, PyObject*) {
  return py::guard([&] {
    if (PyRef depth = collection_native(self)) return depth.release();
    return call_original_method(Method::collection, self).release();
  });
}

}  // namespace korvex::mpl
