#include "mpl_bridge/point_lists.hpp"

#include "mpl_bridge/values.hpp"
#include "py_common/array_view.hpp"

namespace korvex::mpl {
namespace {

namespace numpy = py::numpy;

bool read_point(PyObject* point, Points& p) {
  double v[3];
  if (PyList_CheckExact(point) || PyTuple_CheckExact(point)) {
    if (PySequence_Fast_GET_SIZE(point) != 3) return false;
    PyObject** items = PySequence_Fast_ITEMS(point);
    for (int k = 0; k < 3; ++k) {
      if (!number_value(items[k], v[k])) return false;
    }
  } else if (numpy::is_exact_array(point)) {
    const numpy::ArrayView a = numpy::view(point);
    if (!readable(a) || a.ndim != 1 || a.shape[0] != 3) return false;
    py::copy_as_double(a.type, a.data, a.strides[0], 3, v);
  } else {
    return false;
  }
  p.x.push_back(v[0]);
  p.y.push_back(v[1]);
  p.z.push_back(v[2]);
  return true;
}

}  // namespace

void add_rows(Points& p, const numpy::ArrayView& a, const char* data, Py_ssize_t rows, Py_ssize_t row,
              Py_ssize_t column) {
  const std::size_t start = p.size();
  const auto n = static_cast<std::size_t>(rows);
  p.x.resize(start + n);
  p.y.resize(start + n);
  p.z.resize(start + n);
  py::copy_as_double(a.type, data, row, n, p.x.data() + start);
  py::copy_as_double(a.type, data + column, row, n, p.y.data() + start);
  py::copy_as_double(a.type, data + 2 * column, row, n, p.z.data() + start);
}

bool read_line(PyObject* line, Points& p, bool empty_ok) {
  const std::size_t start = p.size();
  if (numpy::is_exact_array(line)) {
    const numpy::ArrayView a = numpy::view(line);
    if (!readable(a) || a.ndim != 2 || a.shape[1] != 3 || (a.shape[0] == 0 && !empty_ok)) return false;
    add_rows(p, a, a.data, a.shape[0], a.strides[0], a.strides[1]);
  } else if (PyList_CheckExact(line) || PyTuple_CheckExact(line)) {
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(line);
    if (size == 0) return false;
    PyObject** items = PySequence_Fast_ITEMS(line);
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!read_point(items[i], p)) return false;
    }
  } else {
    return false;
  }
  p.lengths.push_back(p.size() - start);
  return true;
}

}  // namespace korvex::mpl
