// proj3d's matrix builders: world_transformation, _persp_transformation, _ortho_transformation.
//
// Matplotlib computes these with Python's arithmetic on the numbers it is given (Axes3D passes ints for its
// camera distance, floats or np.float64 for limits) and builds the matrix with np.array. The native versions
// follow Python's arithmetic exactly: ints stay exact integers (so 0 stays +0 where a float -0.0 would appear),
// int / int is the correctly rounded quotient, and a float meets an int as float(int). The matrix is float64, or
// int64 where Matplotlib's holds only ints (_ortho_transformation of ints).
//
// Handed back to Matplotlib: any other argument type, ints beyond 2**53 in magnitude (anywhere in the
// arithmetic), a zero divisor (Python raises ZeroDivisionError, NumPy warns, even for NaN / 0, which raises no
// IEEE flag), and any arithmetic that raised an IEEE exception (NumPy's float64 scalars warn about those, or
// raise under np.errstate).
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/fp_flags.hpp"
#include "mpl_bridge/fallback.hpp"
#include "mpl_bridge/functions.hpp"
#include "mpl_bridge/matrices.hpp"
#include "py_common/argparse.hpp"
#include "py_common/errors.hpp"
#include "py_common/numpy_api.hpp"

namespace korvex::mpl {
namespace {

constexpr py::Signature kWorldSig{nullptr, "world_transformation",
                                  {"xmin", "xmax", "ymin", "ymax", "zmin", "zmax", "pb_aspect"}, 7, 6};
constexpr py::Signature kPerspSig{nullptr, "_persp_transformation", {"zfront", "zback", "focal_length"}, 3, 3};
constexpr py::Signature kOrthoSig{nullptr, "_ortho_transformation", {"zfront", "zback"}, 2, 2};

// Ints are exact as long as they stay within this magnitude, where a double holds them exactly too.
constexpr long long kExact = 1LL << 53;

// Python's operators. Each clears `ok` when Python would leave the exact range or raise.
struct Arithmetic {
  bool ok = true;

  Num checked(long long i) {
    if (i > kExact || i < -kExact) ok = false;
    return integer(i);
  }
  Num add(Num a, Num b) { return a.is_int && b.is_int ? checked(a.i + b.i) : real(a.value() + b.value()); }
  Num sub(Num a, Num b) { return a.is_int && b.is_int ? checked(a.i - b.i) : real(a.value() - b.value()); }
  Num mul(Num a, Num b) {
    if (!(a.is_int && b.is_int)) return real(a.value() * b.value());
    long long product = 0;
    if (__builtin_mul_overflow(a.i, b.i, &product)) ok = false;
    return checked(product);
  }
  Num neg(Num a) { return a.is_int ? integer(-a.i) : real(-a.f); }
  // True division; for two ints within 2**53 Python divides their exact double values, as here.
  Num div(Num a, Num b) {
    if (b.value() == 0.0) ok = false;
    return real(a.value() / b.value());
  }
};

PyObject* float_matrix(const Num (&m)[16]) {
  double* data = nullptr;
  const Py_ssize_t shape[2] = {4, 4};
  py::PyRef array = py::numpy::new_float64_array(2, shape, &data);
  for (int k = 0; k < 16; ++k) data[k] = m[k].value();
  return array.release();
}

// np.array of the entries: int64 when every entry is an int, else float64.
PyObject* matrix_result(const Num (&m)[16]) {
  for (const Num& n : m) {
    if (!n.is_int) return float_matrix(m);
  }
  std::int64_t* data = nullptr;
  const Py_ssize_t shape[2] = {4, 4};
  py::PyRef array = py::numpy::new_int64_array(2, shape, &data);
  for (int k = 0; k < 16; ++k) data[k] = m[k].i;
  return array.release();
}

// `ax, ay, az = pb_aspect` for a list or tuple of three numbers, or a 1-D float64 array of three.
bool aspect_values(PyObject* object, Num (&aspect)[3]) {
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    if (PySequence_Fast_GET_SIZE(object) != 3) return false;
    PyObject** items = PySequence_Fast_ITEMS(object);
    for (int i = 0; i < 3; ++i) {
      if (!read_num(items[i], aspect[i])) return false;
    }
    return true;
  }
  if (!py::numpy::is_exact_array(object)) return false;
  const py::numpy::ArrayView array = py::numpy::view(object);
  if (array.ndim != 1 || array.shape[0] != 3 || array.type != py::numpy::Type::float64 || !array.native) return false;
  for (int i = 0; i < 3; ++i) {
    double value;
    std::memcpy(&value, array.data + i * array.strides[0], sizeof(double));
    aspect[i] = real(value);
  }
  return true;
}

}  // namespace

bool read_num(PyObject* object, Num& n) {
  if (PyFloat_Check(object)) {
    n = real(PyFloat_AS_DOUBLE(object));
    return true;
  }
  if (!PyLong_Check(object)) return false;
  int overflow = 0;
  const long long i = PyLong_AsLongLongAndOverflow(object, &overflow);
  n = integer(i);
  return overflow == 0 && i <= kExact && i >= -kExact;
}

bool world_entries(const Num (&v)[6], const Num* aspect, Num (&m)[16]) {
  FlagWindow window;
  Arithmetic py;
  Num dx = py.sub(v[1], v[0]);
  Num dy = py.sub(v[3], v[2]);
  Num dz = py.sub(v[5], v[4]);
  if (aspect != nullptr) {
    dx = py.div(dx, aspect[0]);
    dy = py.div(dy, aspect[1]);
    dz = py.div(dz, aspect[2]);
  }
  const Num o = integer(0), one = integer(1);
  const Num entries[16] = {py.div(one, dx), o, o, py.div(py.neg(v[0]), dx),  //
                           o, py.div(one, dy), o, py.div(py.neg(v[2]), dy),  //
                           o, o, py.div(one, dz), py.div(py.neg(v[4]), dz),  //
                           o, o, o, one};
  std::copy(entries, entries + 16, m);
  return py.ok && window.raised() == 0;
}

bool persp_entries(Num zfront, Num zback, Num e, Num (&m)[16]) {
  FlagWindow window;
  Arithmetic py;
  const Num a = integer(1);
  const Num b = py.div(py.add(zfront, zback), py.sub(zfront, zback));
  const Num c = py.div(py.mul(integer(-2), py.mul(zfront, zback)), py.sub(zfront, zback));
  const Num o = integer(0);
  const Num entries[16] = {e, o, o, o,  //
                           o, py.div(e, a), o, o,  //
                           o, o, b, c,  //
                           o, o, integer(-1), o};
  std::copy(entries, entries + 16, m);
  return py.ok && window.raised() == 0;
}

bool ortho_entries(Num zfront, Num zback, Num (&m)[16]) {
  FlagWindow window;
  Arithmetic py;
  const Num a = py.neg(py.add(zfront, zback));
  const Num b = py.neg(py.sub(zfront, zback));
  const Num o = integer(0), two = integer(2);
  const Num entries[16] = {two, o, o, o,  //
                           o, two, o, o,  //
                           o, o, integer(-2), o,  //
                           o, o, a, b};
  std::copy(entries, entries + 16, m);
  return py.ok && window.raised() == 0;
}

PyObject* world_transformation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] {
    py::ParsedArgs parsed;
    Num v[6];
    Num aspect[3];
    bool native = py::match_fastcall(kWorldSig, args, nargs, kwnames, parsed);
    for (std::size_t i = 0; native && i < 6; ++i) native = read_num(parsed[i], v[i]);
    const bool has_aspect = native && !parsed.absent(6);
    if (has_aspect) native = aspect_values(parsed[6], aspect);
    Num m[16];
    if (native && world_entries(v, has_aspect ? aspect : nullptr, m)) return matrix_result(m);
    return call_original(Original::world_transformation, args, nargs, kwnames).release();
  });
}

PyObject* persp_transformation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] {
    py::ParsedArgs parsed;
    Num zfront, zback, e, m[16];
    if (py::match_fastcall(kPerspSig, args, nargs, kwnames, parsed) && read_num(parsed[0], zfront) &&
        read_num(parsed[1], zback) && read_num(parsed[2], e) && persp_entries(zfront, zback, e, m)) {
      return matrix_result(m);
    }
    return call_original(Original::persp_transformation, args, nargs, kwnames).release();
  });
}

PyObject* ortho_transformation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] {
    py::ParsedArgs parsed;
    Num zfront, zback, m[16];
    if (py::match_fastcall(kOrthoSig, args, nargs, kwnames, parsed) && read_num(parsed[0], zfront) &&
        read_num(parsed[1], zback) && ortho_entries(zfront, zback, m)) {
      return matrix_result(m);
    }
    return call_original(Original::ortho_transformation, args, nargs, kwnames).release();
  });
}

}  // namespace korvex::mpl
