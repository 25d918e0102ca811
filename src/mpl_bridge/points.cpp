// proj3d's point projections: proj_transform, _proj_transform_vec, _proj_transform_vec_clip, inv_transform and
// _scale_proj_transform_vectors, with Matplotlib's results (proj3d/mpl_rule.hpp gives the arithmetic).
//
// What Matplotlib does, and what the native versions take over:
//   proj_transform(xs, ys, zs, M): vec = np.array([xs, ys, zs, ones_like(xs)]), then np.dot(M, vec) and the
//     division. Scalars give three np.float64, 1-D coordinates three float64 arrays.
//   _proj_transform_vec(vec, M): the same for a 4 x N (or 4-long) array.
//   _proj_transform_vec_clip(vec, M, focal_length): the same, then the visibility test (all visible when the
//     focal length is infinite) less the masks of the rows of a masked vec, and three masked arrays whose mask is
//     the negated visibility, with the visibility itself.
//   inv_transform(xs, ys, zs, invM): the product, then each column whose weight is not 0 divided by it; rows of
//     the (4, N) result, a scalar point giving arrays of one element.
//   _scale_proj_transform_vectors(vecs, axes): vectors (..., 3) through axes.M, shaped as vecs.
// Accepted natively: Python floats and ints (up to 2**53 in magnitude) and NumPy scalars, lists and tuples of
// them, and NumPy arrays of any real type (0-D and 1-D coordinates; 4 x N vecs), with a C-contiguous float64 4x4
// matrix; in the clip, a masked vec and any real focal length. Everything else is handed to Matplotlib's function,
// as is every call whose arithmetic raised an IEEE exception (NumPy would warn, or raise under np.errstate), so
// Matplotlib's errors and warnings stay its own: masked coordinates (Matplotlib fails with MaskError once anything
// is masked), other shapes, object and complex arrays, other matrices, non-linear axis scales.
#include <Python.h>

#include <array>
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "mpl_bridge/fallback.hpp"
#include "mpl_bridge/functions.hpp"
#include "mpl_bridge/classes.hpp"
#include "mpl_bridge/values.hpp"
#include "proj3d/mpl_rule.hpp"
#include "py_common/argparse.hpp"
#include "py_common/array_view.hpp"
#include "py_common/errors.hpp"
#include "py_common/numpy_api.hpp"

namespace korvex::mpl {
namespace {

using py::DoubleColumn;
using py::PyRef;
namespace numpy = py::numpy;

constexpr py::Signature kProjSig{nullptr, "proj_transform", {"xs", "ys", "zs", "M"}, 4, 4};
constexpr py::Signature kVecSig{nullptr, "_proj_transform_vec", {"vec", "M"}, 2, 2};
constexpr py::Signature kClipSig{nullptr, "_proj_transform_vec_clip", {"vec", "M", "focal_length"}, 3, 3};
constexpr py::Signature kInvSig{nullptr, "inv_transform", {"xs", "ys", "zs", "invM"}, 4, 4};
constexpr py::Signature kScaleSig{nullptr, "_scale_proj_transform_vectors", {"vecs", "axes"}, 2, 2};

// One coordinate argument of proj_transform or inv_transform.
struct Coordinate {
  bool scalar = true;
  std::size_t n = 1;
  DoubleColumn values;
};

bool read_coordinate(PyObject* object, Coordinate& c) {
  double value = 0.0;
  if (number_value(object, value)) {
    c.values.fill(1)[0] = value;
    return true;
  }
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
    PyObject** items = PySequence_Fast_ITEMS(object);
    c.scalar = false;
    c.n = static_cast<std::size_t>(size);
    double* out = c.values.fill(c.n);
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!number_value(items[i], out[i])) return false;
    }
    return true;
  }
  if (!numpy::is_exact_array(object)) return false;
  const numpy::ArrayView a = numpy::view(object);
  if (!readable(a) || a.ndim > 1) return false;
  c.scalar = a.ndim == 0;
  c.n = c.scalar ? 1 : static_cast<std::size_t>(a.shape[0]);
  c.values.read(a.type, a.data, c.scalar ? 0 : a.strides[0], a.aligned, c.n);
  return true;
}

// xs, ys, zs of the same shape (all scalars, or all 1-D of one length).
bool read_points(const py::ParsedArgs& args, std::array<Coordinate, 3>& c) {
  for (std::size_t k = 0; k < 3; ++k) {
    if (!read_coordinate(args[k], c[k])) return false;
  }
  return c[0].scalar == c[1].scalar && c[0].scalar == c[2].scalar && c[0].n == c[1].n && c[0].n == c[2].n;
}

// Rows 0-3 of a 4 x N (ndim 2) or 4-long (ndim 1) real array.
struct VecRows {
  bool scalar = false;
  std::size_t n = 0;
  std::array<DoubleColumn, 4> rows;

  proj3d::mpl::Columns columns() const {
    return {rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data()};
  }
};

bool read_vec(const numpy::ArrayView& a, VecRows& v) {
  if (!readable(a) || a.ndim < 1 || a.ndim > 2 || a.shape[0] != 4) return false;
  v.scalar = a.ndim == 1;
  v.n = v.scalar ? 1 : static_cast<std::size_t>(a.shape[1]);
  const Py_ssize_t along = v.scalar ? 0 : a.strides[1];
  for (std::size_t r = 0; r < 4; ++r) {
    v.rows[r].read(a.type, a.data + static_cast<Py_ssize_t>(r) * a.strides[0], along, a.aligned, v.n);
  }
  return true;
}

PyRef new_vector(std::size_t n, double** data) {
  const auto shape = static_cast<Py_ssize_t>(n);
  return numpy::new_float64_array(1, &shape, data);
}

PyRef tuple_of(std::initializer_list<PyRef*> items) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  if (tuple == nullptr) py::api_call_failed();
  Py_ssize_t i = 0;
  for (PyRef* item : items) PyTuple_SET_ITEM(tuple, i++, item->release());
  return PyRef::steal(tuple);
}

// Projects n points into three results (np.float64 scalars when `scalar`, else float64 arrays of n). Null when
// the arithmetic raised an IEEE exception.
PyRef project_to_results(const double* m, proj3d::mpl::Columns v, std::size_t n, bool scalar) {
  if (scalar) {
    double t[3];
    if (proj3d::mpl::project(m, v, 1, t, t + 1, t + 2) != 0) return {};
    PyRef x = numpy::new_float64_scalar(t[0]);
    PyRef y = numpy::new_float64_scalar(t[1]);
    PyRef z = numpy::new_float64_scalar(t[2]);
    return tuple_of({&x, &y, &z});
  }
  double *tx = nullptr, *ty = nullptr, *tz = nullptr;
  PyRef x = new_vector(n, &tx);
  PyRef y = new_vector(n, &ty);
  PyRef z = new_vector(n, &tz);
  if (proj3d::mpl::project(m, v, n, tx, ty, tz) != 0) return {};
  return tuple_of({&x, &y, &z});
}

// A pending exception from an attribute lookup or a method call made only to decide: Matplotlib's code will meet
// the same problem and raise its own error.
template <class Decide>
bool quietly(Decide&& decide) {
  const bool yes = decide();
  if (!yes && PyErr_Occurred() != nullptr) PyErr_Clear();
  return yes;
}

}  // namespace

PyObject* proj_transform(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] {
    py::ParsedArgs parsed;
    std::array<Coordinate, 3> c;
    const double* m = nullptr;
    if (py::match_fastcall(kProjSig, args, nargs, kwnames, parsed) && (m = matrix_data(parsed[3])) != nullptr &&
        read_points(parsed, c)) {
      const proj3d::mpl::Columns v{c[0].values.data(), c[1].values.data(), c[2].values.data(), nullptr};
      if (PyRef result = project_to_results(m, v, c[0].n, c[0].scalar)) return result.release();
    }
    return call_original(Original::proj_transform, args, nargs, kwnames).release();
  });
}

PyObject* proj_transform_vec(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] {
    py::ParsedArgs parsed;
    VecRows v;
    const double* m = nullptr;
    if (py::match_fastcall(kVecSig, args, nargs, kwnames, parsed) && (m = matrix_data(parsed[1])) != nullptr &&
        numpy::is_exact_array(parsed[0]) && read_vec(numpy::view(parsed[0]), v)) {
      if (PyRef result = project_to_results(m, v.columns(), v.n, v.scalar)) return result.release();
    }
    return call_original(Original::proj_transform_vec, args, nargs, kwnames).release();
  });
}

PyObject* proj_transform_vec_clip(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] {
    py::ParsedArgs parsed;
    VecRows v;
    VecMask mask;
    const double* m = nullptr;
    bool orthographic = false;
    if (py::match_fastcall(kClipSig, args, nargs, kwnames, parsed) && (m = matrix_data(parsed[1])) != nullptr &&
        focal_is_inf(parsed[2], orthographic) && quietly([&] { return read_vec_mask(parsed[0], mask); }) &&
        read_vec(numpy::view(parsed[0]), v) && !v.scalar) {
      const std::size_t n = v.n;
      double *tx = nullptr, *ty = nullptr, *tz = nullptr;
      PyRef x = new_vector(n, &tx);
      PyRef y = new_vector(n, &ty);
      PyRef z = new_vector(n, &tz);
      if (proj3d::mpl::project(m, v.columns(), n, tx, ty, tz) == 0) {
        bool* visible = nullptr;
        PyRef tis = numpy::new_bool_array(static_cast<Py_ssize_t>(n), &visible);
        if (orthographic) {
          std::memset(visible, 1, n);
        } else {
          proj3d::mpl::in_view(tx, ty, tz, n, visible);
        }
        mask.hide(visible, n);
        PyRef mx = masked_array(x.get(), visible, n);
        PyRef my = masked_array(y.get(), visible, n);
        PyRef mz = masked_array(z.get(), visible, n);
        return tuple_of({&mx, &my, &mz, &tis}).release();
      }
    }
    return call_original(Original::proj_transform_vec_clip, args, nargs, kwnames).release();
  });
}

PyObject* inv_transform(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] {
    py::ParsedArgs parsed;
    std::array<Coordinate, 3> c;
    const double* m = nullptr;
    if (py::match_fastcall(kInvSig, args, nargs, kwnames, parsed) && (m = matrix_data(parsed[3])) != nullptr &&
        read_points(parsed, c)) {
      const std::size_t n = c[0].n;
      double *rx = nullptr, *ry = nullptr, *rz = nullptr;
      PyRef x = new_vector(n, &rx);
      PyRef y = new_vector(n, &ry);
      PyRef z = new_vector(n, &rz);
      const proj3d::mpl::Columns v{c[0].values.data(), c[1].values.data(), c[2].values.data(), nullptr};
      if (proj3d::mpl::inverse(m, v, n, rx, ry, rz) == 0) return tuple_of({&x, &y, &z}).release();
    }
    return call_original(Original::inv_transform, args, nargs, kwnames).release();
  });
}

PyObject* scale_proj_transform_vectors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] {
    py::ParsedArgs parsed;
    if (py::match_fastcall(kScaleSig, args, nargs, kwnames, parsed) && numpy::is_exact_array(parsed[0])) {
      const numpy::ArrayView a = numpy::view(parsed[0]);
      PyRef matrix;
      const double* m = nullptr;
      const bool shaped = readable(a) && a.ndim >= 1 && a.shape[a.ndim - 1] == 3 && (a.c_contiguous || a.ndim <= 2);
      if (shaped && quietly([&] {
            matrix = PyRef::steal(PyObject_GetAttr(parsed[1], attr_name(Attr::M)));
            return matrix && (m = matrix_data(matrix.get())) != nullptr && linear_axes(parsed[1]);
          })) {
        // Vector i, component k sits at data + i * step + k * a.strides[last].
        std::size_t n = 1;
        for (int d = 0; d + 1 < a.ndim; ++d) n *= static_cast<std::size_t>(a.shape[d]);
        const Py_ssize_t across = a.strides[a.ndim - 1];
        const Py_ssize_t step = a.ndim == 2 ? a.strides[0] : 3 * across;  // C order beyond two dimensions
        std::array<DoubleColumn, 3> in;
        for (int k = 0; k < 3; ++k) in[k].read(a.type, a.data + k * across, step, a.aligned, n);
        const proj3d::mpl::Columns v{in[0].data(), in[1].data(), in[2].data(), nullptr};
        // Matplotlib returns product[:3] / product[3] transposed and reshaped to the shape of vecs: a view of the
        // (3, N) quotient. The same two NumPy operations here give the same layout.
        double* t = nullptr;
        const Py_ssize_t shape[2] = {3, static_cast<Py_ssize_t>(n)};
        PyRef rows = numpy::new_float64_array(2, shape, &t);
        if (proj3d::mpl::project(m, v, n, t, t + n, t + 2 * n) == 0) {
          PyRef transposed = numpy::transpose(rows.get());
          return numpy::reshape(transposed.get(), a.ndim, a.shape).release();
        }
      }
    }
    return call_original(Original::scale_proj_transform_vectors, args, nargs, kwnames).release();
  });
}

}  // namespace korvex::mpl
