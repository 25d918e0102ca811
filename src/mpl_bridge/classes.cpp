#include "mpl_bridge/classes.hpp"

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
    "M", "xaxis", "yaxis", "zaxis", "_scale", "get_transform", "_baseclass", "_mask", "_sharedmask"};
PyObject* attrs[static_cast<std::size_t>(Attr::count)] = {};

PyObject* masked_array_class = nullptr;
PyObject* identity_transform_class = nullptr;
PyObject* linear_scale_class = nullptr;
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
  py::PyRef masked = py::numpy::view_as(data, masked_array_type());
  if (PyObject_SetAttr(masked.get(), attr_name(Attr::mask), negated.get()) < 0) py::throw_fetched();
  if (PyObject_SetAttr(masked.get(), attr_name(Attr::sharedmask), Py_True) < 0) py::throw_fetched();
  return masked;
}

}  // namespace korvex::mpl
