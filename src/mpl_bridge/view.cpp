// Axes3D.get_proj as one native method (the arithmetic is proj3d/mpl_view.hpp).
//
// Read natively: an Axes3D (exactly that class), linear scales on all three axes, the limits from xy_viewLim and
// zz_viewLim (plain Bboxes; reading them as get_points() does also clears their _invalid flag), a float64
// _box_aspect of three, _vertical_axis 0, 1 or 2, finite elev, azim and roll that are Python floats, np.float64 or
// ints within 2**53, and a camera distance and focal length that proj3d's matrix builders take natively. The
// world and projection matrices are proj3d's, with Python's arithmetic (mpl_bridge/matrices.hpp). Like
// Matplotlib, the method sets _view_u, _view_v and _view_w and returns a new 4x4 float64 matrix.
//
// Handed back to Matplotlib's method: anything else (subclasses, non-linear scales, other types), and every call
// whose arithmetic raised an IEEE exception (NumPy would warn) or that Python would fail (a zero divisor).
#include <Python.h>

#include <cmath>
#include <cstring>

#include "mpl_bridge/classes.hpp"
#include "mpl_bridge/matrices.hpp"
#include "mpl_bridge/methods.hpp"
#include "proj3d/mpl_view.hpp"
#include "py_common/errors.hpp"
#include "py_common/numpy_api.hpp"

namespace korvex::mpl {
namespace {

using py::PyRef;
namespace numpy = py::numpy;

constexpr long long kExactInt = 1LL << 53;

// NumPy's float64 loops of deg2rad, sin and cos, looked up once.
struct Loops {
  numpy::UnaryLoop deg2rad, sin, cos;
  bool complete() const noexcept { return deg2rad && sin && cos; }
};

const Loops& loops() {
  static Loops found = [] {
    Loops l;
    l.deg2rad = numpy::float64_loop("deg2rad");
    l.sin = numpy::float64_loop("sin");
    l.cos = numpy::float64_loop("cos");
    return l;
  }();
  return found;
}

double call_loop(const void* context, double x) { return (*static_cast<const numpy::UnaryLoop*>(context))(x); }

// The three values of an exact, native float64 array of shape (3,).
bool read_three(PyObject* object, double (&out)[3]) {
  if (object == nullptr || !numpy::is_exact_array(object)) return false;
  const numpy::ArrayView a = numpy::view(object);
  if (a.type != numpy::Type::float64 || !a.native || a.ndim != 1 || a.shape[0] != 3) return false;
  for (int k = 0; k < 3; ++k) std::memcpy(&out[k], a.data + k * a.strides[0], sizeof(double));
  return true;
}

// elev, azim or roll: a finite Python float (np.float64 included) or an exact int within 2**53, as a double.
bool read_angle(PyObject* object, double& value) {
  if (object == nullptr) return false;
  if (PyFloat_Check(object)) {
    value = PyFloat_AS_DOUBLE(object);
    return std::isfinite(value);
  }
  if (!PyLong_CheckExact(object)) return false;
  int overflow = 0;
  const long long i = PyLong_AsLongLongAndOverflow(object, &overflow);
  value = static_cast<double>(i);
  return overflow == 0 && i <= kExactInt && i >= -kExactInt;
}

PyRef vector(const double (&values)[3]) {
  double* data = nullptr;
  const Py_ssize_t shape = 3;
  PyRef array = numpy::new_float64_array(1, &shape, &data);
  std::memcpy(data, values, sizeof values);
  return array;
}

// Null to hand the call back.
PyRef native_get_proj(PyObject* self) {
  if (Py_TYPE(self) != axes3d_type()) return {};
  const Loops& l = loops();
  if (!l.complete()) return {};

  proj3d::mpl::Camera camera{};
  PyRef aspect = attribute(self, Attr::box_aspect);
  if (!read_three(aspect.get(), camera.box_aspect)) return {};
  PyRef vertical = attribute(self, Attr::vertical_axis);
  if (!vertical || !PyLong_CheckExact(vertical.get())) return {};
  const long axis = PyLong_AsLong(vertical.get());
  if (axis < 0 || axis > 2) {
    PyErr_Clear();
    return {};
  }
  camera.vertical_axis = static_cast<int>(axis);
  PyRef elev = attribute(self, Attr::elev), azim = attribute(self, Attr::azim), roll = attribute(self, Attr::roll);
  if (!read_angle(elev.get(), camera.elev) || !read_angle(azim.get(), camera.azim) ||
      !read_angle(roll.get(), camera.roll)) {
    return {};
  }
  PyRef dist_object = attribute(self, Attr::dist), focal_object = attribute(self, Attr::focal_length);
  Num dist{}, focal{};
  if (!dist_object || !focal_object || !read_num(dist_object.get(), dist) || !read_num(focal_object.get(), focal)) {
    return {};
  }
  camera.dist = dist.value();
  camera.focal_length = focal.value();
  if (!linear_axes(self)) return {};

  // _get_scaled_limits through identity transforms, and world_transformation(..., pb_aspect=rolled aspect).
  double xy[4], zz[4];
  if (!bbox_points(self, Attr::xy_viewLim, xy) || !bbox_points(self, Attr::zz_viewLim, zz)) return {};
  double rolled[3];
  proj3d::mpl::roll_to_vertical(camera.box_aspect, camera.vertical_axis, rolled);
  const Num limits[6] = {real(xy[0]), real(xy[2]), real(xy[1]), real(xy[3]), real(zz[0]), real(zz[2])};
  const Num pb_aspect[3] = {real(rolled[0]), real(rolled[1]), real(rolled[2])};
  Num world_entries_[16], projection_entries[16];
  if (!world_entries(limits, pb_aspect, world_entries_)) return {};
  const Num near = dist.is_int ? integer(-dist.i) : real(-dist.f);
  const bool orthographic = !focal.is_int && focal.f == INFINITY;
  if (!(orthographic ? ortho_entries(near, dist, projection_entries)
                     : persp_entries(near, dist, focal, projection_entries))) {
    return {};
  }
  double world[16], projection[16];
  for (int k = 0; k < 16; ++k) {
    world[k] = world_entries_[k].value();
    projection[k] = projection_entries[k].value();
  }

  const proj3d::mpl::ViewFunctions functions{
      {call_loop, &l.deg2rad}, {call_loop, &l.sin}, {call_loop, &l.cos}};
  proj3d::mpl::View view{};
  if (proj3d::mpl::view_matrix(camera, world, projection, functions, view) != 0) return {};

  double* m = nullptr;
  const Py_ssize_t shape[2] = {4, 4};
  PyRef result = numpy::new_float64_array(2, shape, &m);
  std::memcpy(m, view.m, sizeof view.m);
  set_attribute(self, Attr::view_u, vector(view.u).get());
  set_attribute(self, Attr::view_v, vector(view.v).get());
  set_attribute(self, Attr::view_w, vector(view.w).get());
  return result;
}

}  // namespace

PyObject* get_proj(PyObject* self, PyObject*) {
  return py::guard([&] {
    if (PyRef m = native_get_proj(self)) return m.release();
    return call_original_method(Method::get_proj, self).release();
  });
}

}  // namespace korvex::mpl
