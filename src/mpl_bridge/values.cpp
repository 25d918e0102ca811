#include "mpl_bridge/values.hpp"

#include <cmath>

#include "py_common/array_view.hpp"

namespace korvex::mpl {
namespace {

namespace numpy = py::numpy;

// Python ints beyond this magnitude are left to NumPy (which may choose uint64 or object arrays for them).
constexpr long long kExactInt = 1LL << 53;

}  // namespace

const double* matrix_data(PyObject* object) {
  if (!numpy::is_exact_array(object)) return nullptr;
  const numpy::ArrayView m = numpy::view(object);
  if (m.ndim != 2 || m.shape[0] != 4 || m.shape[1] != 4 || m.type != numpy::Type::float64 || !m.native ||
      !m.c_contiguous || !m.aligned) {
    return nullptr;
  }
  return reinterpret_cast<const double*>(m.data);
}

bool number_value(PyObject* object, double& value) {
  if (PyFloat_Check(object)) {
    value = PyFloat_AS_DOUBLE(object);
    return true;
  }
  if (PyLong_Check(object)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow != 0 || v > kExactInt || v < -kExactInt) return false;
    value = static_cast<double>(v);
    return true;
  }
  numpy::Type type = numpy::Type::other;
  unsigned char storage[16];
  if (!numpy::scalar_value(object, type, storage)) return false;
  py::copy_as_double(type, reinterpret_cast<const char*>(storage), 0, 1, &value);
  return true;
}

bool focal_is_inf(PyObject* object, bool& inf) {
  double value = 0.0;
  if (PyLong_Check(object)) {
    inf = false;
    return true;
  }
  if (!number_value(object, value)) return false;
  inf = std::isinf(value);
  return true;
}

}  // namespace korvex::mpl
