#include "mpl_bridge/classes.hpp"

#include <cstring>
#include <string>
#include <utility>

#include "py_common/errors.hpp"
#include "py_common/numpy_api.hpp"

namespace korvex::mpl {
namespace {

// A class attribute of a module, kept for the life of the process. New reference on the first call.
PyTypeObject* lookup(PyObject*& slot, const char* module, const char* name) {
  if (slot == nullptr) {
    py::PyRef owner = py::check(PyImport_ImportModule(module));
    py::PyRef cls = py::check(PyObject_GetAttrString(owner.get(), name));
    if (!PyType_Check(cls.get())) throw py::PyError{PyExc_TypeError, std::string(module) + "." + name + " is not a class"};
    slot = cls.release();
  }
  return reinterpret_cast<PyTypeObject*>(slot);
}

constexpr const char* kAttrs[static_cast<std::size_t>(Attr::count)] = {
    "M", "xaxis", "yaxis", "zaxis", "_scale", "get_transform", "_baseclass", "_mask", "_sharedmask",
    // Axes3D
    "_box_aspect", "_vertical_axis", "elev", "azim", "roll", "_dist", "_focal_length", "xy_viewLim", "zz_viewLim",
    "_view_u", "_view_v", "_view_w", "_points", "_invalid",
    // art3d collections
    "axes", "stale", "_axlim_clip", "_offsets3d", "_offsets", "_offset_zordered", "_z_markers_idx", "_vzs",
    "_data_scale", "_sizes", "_sizes3d", "_linewidths", "_linewidths3d", "_segments3d", "_paths", "_3dverts_codes",
    "_segment3d", "_code3d", "_path2d",
    // Path
    "_vertices", "_codes", "_interpolation_steps", "_simplify_threshold", "_should_simplify", "_readonly"};
PyObject* attrs[static_cast<std::size_t>(Attr::count)] = {};

PyObject* masked_array_class = nullptr;
PyObject* identity_transform_class = nullptr;
PyObject* linear_scale_class = nullptr;
PyObject* axes3d_class = nullptr;
PyObject* bbox_class = nullptr;
PyObject* path_class = nullptr;
PyObject* nomask = nullptr;

}  // namespace

PyObject* attr_name(Attr which) {
  PyObject*& slot = attrs[static_cast<std::size_t>(which)];
  if (slot == nullptr) {
    slot = PyUnicode_InternFromString(kAttrs[static_cast<std::size_t>(which)]);
    if (slot == nullptr) py::throw_fetched();
  }
  return slot;
}

PyTypeObject* masked_array_type() { return lookup(masked_array_class, "numpy.ma", "MaskedArray"); }

PyTypeObject* identity_transform_type() {
  return lookup(identity_transform_class, "matplotlib.transforms", "IdentityTransform");
}

PyTypeObject* linear_scale_type() { return lookup(linear_scale_class, "matplotlib.scale", "LinearScale"); }

PyTypeObject* axes3d_type() { return lookup(axes3d_class, "mpl_toolkits.mplot3d.axes3d", "Axes3D"); }

PyTypeObject* bbox_type() { return lookup(bbox_class, "matplotlib.transforms", "Bbox"); }

PyTypeObject* path_type() { return lookup(path_class, "matplotlib.path", "Path"); }

bool linear_axes(PyObject* axes) {
  PyTypeObject* linear = linear_scale_type();
  for (Attr name : {Attr::xaxis, Attr::yaxis, Attr::zaxis}) {
    py::PyRef axis = py::PyRef::steal(PyObject_GetAttr(axes, attr_name(name)));
    if (!axis) {
      PyErr_Clear();
      return false;
    }
    py::PyRef scale = py::PyRef::steal(PyObject_GetAttr(axis.get(), attr_name(Attr::scale)));
    if (scale && Py_TYPE(scale.get()) == linear) continue;
    PyErr_Clear();
    py::PyRef transform = py::PyRef::steal(PyObject_CallMethodNoArgs(axis.get(), attr_name(Attr::get_transform)));
    if (!transform) PyErr_Clear();
    if (!transform || Py_TYPE(transform.get()) != identity_transform_type()) return false;
  }
  return true;
}

void VecMask::hide(bool* visible, std::size_t n) const noexcept {
  if (data_ == nullptr) return;
  for (std::size_t i = 0; i < n; ++i) {
    const char* column = data_ + static_cast<Py_ssize_t>(i) * column_stride_;
    const bool hidden = column[0] != 0 || column[row_stride_] != 0 || column[2 * row_stride_] != 0;
    visible[i] = visible[i] && !hidden;
  }
}

bool read_vec_mask(PyObject* vec, VecMask& mask) {
  if (py::numpy::is_exact_array(vec)) return true;
  if (Py_TYPE(vec) != masked_array_type()) return false;
  py::PyRef base = py::PyRef::steal(PyObject_GetAttr(vec, attr_name(Attr::baseclass)));
  if (!base || base.get() != reinterpret_cast<PyObject*>(Py_TYPE(vec)->tp_base)) return false;
  py::PyRef m = py::PyRef::steal(PyObject_GetAttr(vec, attr_name(Attr::mask)));
  if (!m) return false;
  if (nomask == nullptr) {
    py::PyRef ma = py::check(PyImport_ImportModule("numpy.ma"));
    nomask = py::check(PyObject_GetAttrString(ma.get(), "nomask")).release();
  }
  if (m.get() == nomask) return true;
  if (!py::numpy::is_exact_array(m.get())) return false;
  const py::numpy::ArrayView mv = py::numpy::view(m.get());
  const py::numpy::ArrayView vv = py::numpy::view(vec);
  if (mv.type != py::numpy::Type::boolean || mv.ndim != 2 || vv.ndim != 2 || mv.shape[0] != vv.shape[0] ||
      mv.shape[1] != vv.shape[1]) {
    return false;
  }
  mask.data_ = mv.data;
  mask.row_stride_ = mv.strides[0];
  mask.column_stride_ = mv.strides[1];
  mask.mask_ = std::move(m);
  return true;
}

py::PyRef masked_array(PyObject* data, const bool* visible, std::size_t n) {
  bool* hidden = nullptr;
  py::PyRef negated = py::numpy::new_bool_array(static_cast<Py_ssize_t>(n), &hidden);
  for (std::size_t i = 0; i < n; ++i) hidden[i] = !visible[i];
  return masked_array(data, negated.get());
}

py::PyRef masked_array(PyObject* data, PyObject* mask) {
  py::PyRef masked = py::numpy::view_as(data, masked_array_type());
  if (PyObject_SetAttr(masked.get(), attr_name(Attr::mask), mask) < 0) py::throw_fetched();
  if (PyObject_SetAttr(masked.get(), attr_name(Attr::sharedmask), Py_True) < 0) py::throw_fetched();
  return masked;
}

py::PyRef attribute(PyObject* object, Attr name) {
  py::PyRef value = py::PyRef::steal(PyObject_GetAttr(object, attr_name(name)));
  if (!value) PyErr_Clear();
  return value;
}

void set_attribute(PyObject* object, Attr name, PyObject* value) {
  if (PyObject_SetAttr(object, attr_name(name), value) < 0) py::throw_fetched();
}

bool bbox_points(PyObject* axes, Attr name, double (&points)[4]) {
  py::PyRef box = attribute(axes, name);
  if (!box || Py_TYPE(box.get()) != bbox_type()) return false;
  py::PyRef array = attribute(box.get(), Attr::points);
  if (!array || !py::numpy::is_exact_array(array.get())) return false;
  const py::numpy::ArrayView a = py::numpy::view(array.get());
  if (a.type != py::numpy::Type::float64 || !a.native || a.ndim != 2 || a.shape[0] != 2 || a.shape[1] != 2) {
    return false;
  }
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < 2; ++c) std::memcpy(&points[2 * r + c], a.data + r * a.strides[0] + c * a.strides[1], 8);
  }
  static PyObject* const zero = PyLong_FromLong(0);  // a small int, which CPython keeps alive anyway
  set_attribute(box.get(), Attr::invalid, zero);
  return true;
}

bool linear_scales(PyObject* axes) {
  PyTypeObject* linear = linear_scale_type();
  for (Attr name : {Attr::xaxis, Attr::yaxis, Attr::zaxis}) {
    py::PyRef axis = attribute(axes, name);
    py::PyRef scale = axis ? attribute(axis.get(), Attr::scale) : py::PyRef{};
    if (!scale || Py_TYPE(scale.get()) != linear) return false;
  }
  return true;
}

}  // namespace korvex::mpl
