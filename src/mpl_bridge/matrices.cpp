// proj3d's matrix builders: world_transformation, _persp_transformation, _ortho_transformation.
//
// Matplotlib computes these with Python's float arithmetic (or NumPy's float64 scalar arithmetic, the same IEEE
// operations) and builds a float64 array. The native versions take the same operations in the same order. They
// hand back to Matplotlib every call whose result could differ in anything a caller can see: arguments that are
// not floats (ints change the signs of zeros and, for _ortho_transformation, the dtype), a zero divisor (Python
// raises ZeroDivisionError, NumPy warns, even for NaN / 0 which raises no IEEE flag), and any arithmetic that
// raised an IEEE exception (NumPy's float64 scalars warn about those, or raise under np.errstate).
#include <Python.h>

#include <cstring>
#include <initializer_list>

#include "common/fp_flags.hpp"
#include "mpl_bridge/fallback.hpp"
#include "mpl_bridge/functions.hpp"
#include "py_common/argparse.hpp"
#include "py_common/errors.hpp"
#include "py_common/numpy_api.hpp"

namespace korvex::mpl {
namespace {

constexpr py::Signature kWorldSig{nullptr, "world_transformation",
                                  {"xmin", "xmax", "ymin", "ymax", "zmin", "zmax", "pb_aspect"}, 7, 6};
constexpr py::Signature kPerspSig{nullptr, "_persp_transformation", {"zfront", "zback", "focal_length"}, 3, 3};
constexpr py::Signature kOrthoSig{nullptr, "_ortho_transformation", {"zfront", "zback"}, 2, 2};

// A float (np.float64 is a subclass) and its value.
bool float_value(PyObject* object, double& value) {
  if (!PyFloat_Check(object)) return false;
  value = PyFloat_AS_DOUBLE(object);
  return true;
}

PyObject* matrix_result(const double (&m)[16]) {
  double* data = nullptr;
  const Py_ssize_t shape[2] = {4, 4};
  py::PyRef array = py::numpy::new_float64_array(2, shape, &data);
  std::memcpy(data, m, sizeof m);
  return array.release();
}

// The three aspect factors of pb_aspect: a 1-D float64 array or a list or tuple of three floats.
bool aspect_values(PyObject* object, double (&aspect)[3]) {
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    if (PySequence_Fast_GET_SIZE(object) != 3) return false;
    PyObject** items = PySequence_Fast_ITEMS(object);
    for (int i = 0; i < 3; ++i) {
      if (!float_value(items[i], aspect[i])) return false;
    }
    return true;
  }
  if (!py::numpy::is_array(object)) return false;
  const py::numpy::ArrayView array = py::numpy::view(object);
  if (array.ndim != 1 || array.shape[0] != 3 || array.type != py::numpy::Type::float64 || !array.native) return false;
  for (int i = 0; i < 3; ++i) {
    std::memcpy(&aspect[i], array.data + i * array.strides[0], sizeof(double));
  }
  return true;
}

}  // namespace

PyObject* world_transformation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] {
    py::ParsedArgs parsed;
    double v[6];
    double aspect[3] = {1.0, 1.0, 1.0};
    bool native = py::match_fastcall(kWorldSig, args, nargs, kwnames, parsed);
    for (std::size_t i = 0; native && i < 6; ++i) native = float_value(parsed[i], v[i]);
    const bool has_aspect = native && !parsed.absent(6);
    if (has_aspect) {
      native = aspect_values(parsed[6], aspect) && aspect[0] != 0.0 && aspect[1] != 0.0 && aspect[2] != 0.0;
    }
    if (native) {
      FlagWindow window;
      double dx = v[1] - v[0];
      double dy = v[3] - v[2];
      double dz = v[5] - v[4];
      if (has_aspect) {
        dx /= aspect[0];
        dy /= aspect[1];
        dz /= aspect[2];
      }
      if (dx != 0.0 && dy != 0.0 && dz != 0.0) {
        const double m[16] = {1 / dx, 0, 0, -v[0] / dx,  //
                              0, 1 / dy, 0, -v[2] / dy,  //
                              0, 0, 1 / dz, -v[4] / dz,  //
                              0, 0, 0, 1};
        if (window.raised() == 0) return matrix_result(m);
      }
    }
    return call_original(Original::world_transformation, args, nargs, kwnames).release();
  });
}

PyObject* persp_transformation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] {
    py::ParsedArgs parsed;
    double zfront = 0, zback = 0, e = 0;
    if (py::match_fastcall(kPerspSig, args, nargs, kwnames, parsed) && float_value(parsed[0], zfront) &&
        float_value(parsed[1], zback) && float_value(parsed[2], e) && zfront - zback != 0.0) {
      FlagWindow window;
      const double b = (zfront + zback) / (zfront - zback);
      const double c = -2 * (zfront * zback) / (zfront - zback);
      const double m[16] = {e, 0, 0, 0,  //
                            0, e / 1, 0, 0,  //
                            0, 0, b, c,  //
                            0, 0, -1, 0};
      if (window.raised() == 0) return matrix_result(m);
    }
    return call_original(Original::persp_transformation, args, nargs, kwnames).release();
  });
}

PyObject* ortho_transformation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] {
    py::ParsedArgs parsed;
    double zfront = 0, zback = 0;
    if (py::match_fastcall(kOrthoSig, args, nargs, kwnames, parsed) && float_value(parsed[0], zfront) &&
        float_value(parsed[1], zback)) {
      FlagWindow window;
      const double a = -(zfront + zback);
      const double b = -(zfront - zback);
      const double m[16] = {2, 0, 0, 0,  //
                            0, 2, 0, 0,  //
                            0, 0, -2, 0,  //
                            0, 0, a, b};
      if (window.raised() == 0) return matrix_result(m);
    }
    return call_original(Original::ortho_transformation, args, nargs, kwnames).release();
  });
}

}  // namespace korvex::mpl
