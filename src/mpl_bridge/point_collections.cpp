// Path3DCollection.do_3d_projection (what scatter draws) and Patch3DCollection.do_3d_projection as native
// methods, with Matplotlib's results and artist state.
//
// What Matplotlib does, and what the native methods do alike:
//   - the points are _offsets3d; a point is hidden where a coordinate is masked (masked arrays), not finite
//     (LinearScale.val_in_range), or, with _axlim_clip, outside the view limits;
//   - the points are projected with axes.M (proj3d/mpl_rule.hpp) and clipped to the view unless the focal length
//     is infinite; the projected coordinates are masked arrays hiding what is hidden or clipped;
//   - Path3DCollection: _data_scale (art3d._get_data_scale), _z_markers_idx = np.ma.argsort(vzs)[::-1] (NumPy's
//     own argsort of the depths, hidden ones as NaN, so ties fall exactly as in Matplotlib), _vzs, the sizes and
//     linewidths reordered where there are several, _offsets (set_offsets of the projected points) and
//     _offset_zordered (the same in drawing order); returns the smallest visible depth;
//   - Patch3DCollection: _vzs and _offsets; returns the first smallest depth (Python's min over the elements).
// The attributes are set in Matplotlib's order, through the same protocols where user data is involved (len and
// indexing of the sizes and linewidths), so errors surface where Matplotlib's would.
//
// Handed back to Matplotlib's method: non-linear scales, coordinates that are not three 1-D real arrays (or, with
// nothing hidden, lists of numbers) of one length, no points, no visible point, arithmetic that raised an IEEE
// exception (NumPy would warn), and for Patch3DCollection any hidden point (Matplotlib then fails or compares
// masked elements).
#include <Python.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>

#include "mpl_bridge/classes.hpp"
#include "mpl_bridge/methods.hpp"
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

PyObject* nomask() {
  static PyObject* const value = [] {
    PyRef ma = py::check(PyImport_ImportModule("numpy.ma"));
    return py::check(PyObject_GetAttrString(ma.get(), "nomask")).release();
  }();
  return value;
}

// The points of _offsets3d and which of them are hidden before the projection.
struct Offsets {
  std::size_t n = 0;
  std::array<std::unique_ptr<double[]>, 3> xyz;
  std::unique_ptr<bool[]> masked;  // set by the masks of masked coordinates
  bool all_arrays = true;          // every coordinate is an array (Matplotlib needs .shape once something is hidden)
};

bool set_length(Offsets& o, std::size_t k, std::size_t n) {
  if (k == 0) {
    o.n = n;
    o.masked.reset(new bool[n]());
  }
  if (o.n != n) return false;
  o.xyz[k].reset(new double[n > 0 ? n : 1]);
  return true;
}

// One coordinate: a 1-D real array, a MaskedArray over one with nomask or a bool mask of its shape, or a list or
// tuple of numbers.
bool read_coordinate(PyObject* c, std::size_t k, Offsets& o) {
  if (PyList_CheckExact(c) || PyTuple_CheckExact(c)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(c);
    if (!set_length(o, k, static_cast<std::size_t>(size))) return false;
    o.all_arrays = false;
    PyObject** items = PySequence_Fast_ITEMS(c);
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!number_value(items[i], o.xyz[k][i])) return false;
    }
    return true;
  }
  PyRef mask;
  if (Py_TYPE(c) == masked_array_type()) {
    PyRef base = attribute(c, Attr::baseclass);
    mask = attribute(c, Attr::mask);
    if (!base || base.get() != reinterpret_cast<PyObject*>(Py_TYPE(c)->tp_base) || !mask) return false;
  } else if (!numpy::is_exact_array(c)) {
    return false;
  }
  const numpy::ArrayView a = numpy::view(c);
  if (!readable(a) || a.ndim != 1 || !set_length(o, k, static_cast<std::size_t>(a.shape[0]))) return false;
  py::copy_as_double(a.type, a.data, a.strides[0], o.n, o.xyz[k].get());
  if (mask && mask.get() != nomask()) {
    if (!numpy::is_exact_array(mask.get())) return false;
    const numpy::ArrayView m = numpy::view(mask.get());
    if (m.type != numpy::Type::boolean || m.ndim != 1 || m.shape[0] != a.shape[0]) return false;
    for (std::size_t i = 0; i < o.n; ++i) o.masked[i] = o.masked[i] || m.data[static_cast<Py_ssize_t>(i) * m.strides[0]];
  }
  return true;
}

bool read_offsets(PyObject* self, Offsets& o) {
  PyRef offsets = attribute(self, Attr::offsets3d);
  if (!offsets || !(PyTuple_CheckExact(offsets.get()) || PyList_CheckExact(offsets.get())) ||
      PySequence_Fast_GET_SIZE(offsets.get()) != 3) {
    return false;
  }
  PyObject** items = PySequence_Fast_ITEMS(offsets.get());
  for (std::size_t k = 0; k < 3; ++k) {
    if (!read_coordinate(items[k], k, o)) {
      PyErr_Clear();
      return false;
    }
  }
  return o.n > 0;
}

bool truth(PyObject* value) {
  const int t = PyObject_IsTrue(value);
  if (t < 0) py::throw_fetched();
  return t != 0;
}

// Everything both methods compute before they change the artist.
struct Projection {
  std::size_t n = 0;
  PyRef x, y, z;           // float64 arrays of the projected coordinates
  double *tx, *ty, *tz;    // their data
  PyRef hidden;            // bool array: ~tis, the mask of the projected coordinates
  bool* hidden_data = nullptr;
  bool any_hidden_before = false;  // a point hidden by non-finite coordinates or the view limits
};

// Reads and projects; false to hand back (no error pending).
bool project_offsets(PyObject* self, Projection& p) {
  PyRef axes = attribute(self, Attr::axes);
  if (!axes || !linear_scales(axes.get())) return false;
  PyRef matrix = attribute(axes.get(), Attr::M);
  PyRef focal = attribute(axes.get(), Attr::focal_length);
  const double* m = matrix ? matrix_data(matrix.get()) : nullptr;
  bool orthographic = false;
  if (m == nullptr || !focal || !focal_is_inf(focal.get(), orthographic)) return false;
  Offsets o;
  if (!read_offsets(self, o)) return false;
  const std::size_t n = p.n = o.n;
  const double *x = o.xyz[0].get(), *y = o.xyz[1].get(), *z = o.xyz[2].get();

  // The masks Matplotlib builds before projecting (the masked coordinates' own masks join them later, in the
  // clip: the same points end up hidden either way).
  std::unique_ptr<bool[]> before(new bool[n]());
  rule::hide_non_finite(x, y, z, n, before.get());
  PyRef clip = attribute(self, Attr::axlim_clip);
  if (!clip) return false;
  if (truth(clip.get())) {
    double xy[4], zz[4];
    if (!bbox_points(axes.get(), Attr::xy_viewLim, xy) || !bbox_points(axes.get(), Attr::zz_viewLim, zz)) return false;
    const double xs[2] = {xy[0], xy[2]}, ys[2] = {xy[1], xy[3]}, zs[2] = {zz[0], zz[2]};
    rule::hide_outside(x, y, z, n, rule::ViewLimits::from_intervals(xs, ys, zs), before.get());
  }
  for (std::size_t i = 0; i < n && !p.any_hidden_before; ++i) p.any_hidden_before = before[i];

  const Py_ssize_t length = static_cast<Py_ssize_t>(n);
  p.x = numpy::new_float64_array(1, &length, &p.tx);
  p.y = numpy::new_float64_array(1, &length, &p.ty);
  p.z = numpy::new_float64_array(1, &length, &p.tz);
  if (rule::project(m, {x, y, z, nullptr}, n, p.tx, p.ty, p.tz) != 0) return false;
  std::unique_ptr<bool[]> visible(new bool[n]);
  if (orthographic) {
    std::memset(visible.get(), 1, n);
  } else {
    rule::in_view(p.tx, p.ty, p.tz, n, visible.get());
  }
  p.hidden = numpy::new_bool_array(length, &p.hidden_data);
  bool any_visible = false;
  for (std::size_t i = 0; i < n; ++i) {
    const bool shown = visible[i] && !before[i] && !o.masked[i];
    p.hidden_data[i] = !shown;
    // Visible points are finite unless the arithmetic raised an exception; checked all the same.
    if (shown && !(std::isfinite(p.tx[i]) && std::isfinite(p.ty[i]) && std::isfinite(p.tz[i]))) return false;
    any_visible = any_visible || shown;
  }
  if (p.any_hidden_before && !o.all_arrays) return false;
  return any_visible;
}

// np.ma.column_stack((a, b)) of two length-n float64 arrays that share the mask `hidden` (bool array): an (n, 2)
// masked array, rows taken in `order` (null: as they are).
PyRef stacked(const double* a, const double* b, const bool* hidden, std::size_t n, const Py_ssize_t* order) {
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(n), 2};
  double* data = nullptr;
  bool* mask = nullptr;
  PyRef values = numpy::new_float64_array(2, shape, &data);
  PyRef masks = numpy::new_bool_array(2, shape, &mask);
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t i = order != nullptr ? static_cast<std::size_t>(order[j]) : j;
    data[2 * j] = a[i];
    data[2 * j + 1] = b[i];
    mask[2 * j] = mask[2 * j + 1] = hidden[i];
  }
  return masked_array(values.get(), masks.get());
}

// self.<name> = self.<name3d>[index] when len(self.<name3d>) > 1, through Python's len and indexing.
void reorder(PyObject* self, Attr from, Attr to, PyObject* index) {
  PyRef source = py::check(PyObject_GetAttr(self, attr_name(from)));
  const Py_ssize_t length = PyObject_Length(source.get());
  if (length < 0) py::throw_fetched();
  if (length > 1) set_attribute(self, to, py::check(PyObject_GetItem(source.get(), index)).get());
}

PyRef path_collection_native(PyObject* self) {
  Projection p;
  if (!project_offsets(self, p)) return {};
  const std::size_t n = p.n;
  std::unique_ptr<bool[]> visible(new bool[n]);
  for (std::size_t i = 0; i < n; ++i) visible[i] = !p.hidden_data[i];
  double scale = 0.0;
  if (rule::data_scale(p.tx, p.ty, p.tz, visible.get(), n, scale) != 0) return {};
  double depth = 0.0;
  const bool depth_known = rule::min_value(p.tz, visible.get(), n, depth);

  // np.ma.argsort(vzs): the depths with the hidden ones filled with NaN, sorted by NumPy; then [::-1].
  double* filled = nullptr;
  const Py_ssize_t length = static_cast<Py_ssize_t>(n);
  PyRef fill = numpy::new_float64_array(1, &length, &filled);
  for (std::size_t i = 0; i < n; ++i) filled[i] = p.hidden_data[i] ? NAN : p.tz[i];
  PyRef sorted = numpy::argsort(fill.get());
  PyRef backwards = py::check(PySlice_New(nullptr, nullptr, PyRef::steal(PyLong_FromLong(-1)).get()));
  PyRef order = py::check(PyObject_GetItem(sorted.get(), backwards.get()));
  const auto* ascending = reinterpret_cast<const Py_ssize_t*>(numpy::view(sorted.get()).data);
  std::unique_ptr<Py_ssize_t[]> descending(new Py_ssize_t[n]);
  for (std::size_t j = 0; j < n; ++j) descending[j] = ascending[n - 1 - j];

  PyRef vzs = masked_array(p.z.get(), p.hidden.get());
  set_attribute(self, Attr::data_scale, numpy::new_float64_scalar(scale).get());
  set_attribute(self, Attr::z_markers_idx, order.get());
  set_attribute(self, Attr::vzs, vzs.get());
  reorder(self, Attr::sizes3d, Attr::sizes, order.get());
  reorder(self, Attr::linewidths3d, Attr::linewidths, order.get());
  set_attribute(self, Attr::offsets, stacked(p.tx, p.ty, p.hidden_data, n, nullptr).get());
  set_attribute(self, Attr::stale, Py_True);
  set_attribute(self, Attr::offset_zordered, stacked(p.tx, p.ty, p.hidden_data, n, descending.get()).get());
  if (depth_known) return numpy::new_float64_scalar(depth);
  // Signed zeros or NaN: NumPy's reduction over the depths in drawing order, as Matplotlib's np.min(vzs[idx]).
  PyRef reordered = py::check(PyObject_GetItem(vzs.get(), order.get()));
  return py::check(PyObject_CallMethod(reordered.get(), "min", nullptr));
}

PyRef patch_collection_native(PyObject* self) {
  Projection p;
  if (!project_offsets(self, p) || p.any_hidden_before) return {};
  const std::size_t n = p.n;
  std::size_t first = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (p.hidden_data[i]) return {};  // Python's min() would meet masked elements
    if (p.tz[i] < p.tz[first]) first = i;
  }
  set_attribute(self, Attr::vzs, masked_array(p.z.get(), p.hidden.get()).get());
  set_attribute(self, Attr::offsets, stacked(p.tx, p.ty, p.hidden_data, n, nullptr).get());
  set_attribute(self, Attr::stale, Py_True);
  return numpy::new_float64_scalar(p.tz[first]);
}

}  // namespace

PyObject* path_collection_projection(PyObject* self, PyObject*) {
  return py::guard([&] {
    if (PyRef depth = path_collection_native(self)) return depth.release();
    return call_original_method(Method::path_collection, self).release();
  });
}

PyObject* patch_collection_projection(PyObject* self, PyObject*) {
  return py::guard([&] {
    if (PyRef depth = patch_collection_native(self)) return depth.release();
    return call_original_method(Method::patch_collection, self).release();
  });
}

}  // namespace korvex::mpl
