#include "mpl_bridge/paths.hpp"

#include "mpl_bridge/classes.hpp"
#include "py_common/errors.hpp"

namespace korvex::mpl {
namespace {

using py::PyRef;

PyObject* matplotlib_module = nullptr;  // kept for the life of the process
PyObject* empty_tuple = nullptr;
PyObject* numpy_true = nullptr;
PyObject* numpy_false = nullptr;

PyRef rc_value(PyObject* rc, const char* key) {
  PyObject* value = PyDict_GetItemString(rc, key);  // borrowed; RcParams keeps its values in its dict
  if (value == nullptr) throw py::PyError{PyExc_KeyError, key};
  return PyRef::borrow(value);
}

bool truth(PyObject* value) {
  const int t = PyObject_IsTrue(value);
  if (t < 0) py::throw_fetched();
  return t != 0;
}

}  // namespace

PathMaker::PathMaker() {
  if (matplotlib_module == nullptr) {
    PyRef numpy = py::check(PyImport_ImportModule("numpy"));
    numpy_true = py::check(PyObject_GetAttrString(numpy.get(), "True_")).release();
    numpy_false = py::check(PyObject_GetAttrString(numpy.get(), "False_")).release();
    empty_tuple = py::check(PyTuple_New(0)).release();
    matplotlib_module = py::check(PyImport_ImportModule("matplotlib")).release();
  }
  PyRef rc = py::check(PyObject_GetAttrString(matplotlib_module, "rcParams"));
  if (!PyDict_Check(rc.get())) throw py::PyError{PyExc_TypeError, "matplotlib.rcParams is not a dict"};
  threshold_ = rc_value(rc.get(), "path.simplify_threshold");
  PyRef zero = py::check(PyLong_FromLong(0));
  PyRef positive = py::check(PyObject_RichCompare(threshold_.get(), zero.get(), Py_GT));
  if (!truth(positive.get())) {
    prefix_ = std::move(positive);
    return;
  }
  PyRef simplify = rc_value(rc.get(), "path.simplify");
  if (!truth(simplify.get())) prefix_ = std::move(simplify);
}

PyRef PathMaker::make(PyObject* vertices, Py_ssize_t n, PyObject* codes, bool all_lineto) const {
  // Python's `and` chain gives its first falsy operand, or the last one.
  PyObject* simplify = prefix_ ? prefix_.get()
                       : n < 128 ? Py_False
                       : codes == Py_None ? Py_True
                       : all_lineto ? numpy_true
                                    : numpy_false;
  PyTypeObject* type = path_type();
  PyRef path = py::check(type->tp_new(type, empty_tuple, nullptr));
  PyRef one = py::check(PyLong_FromLong(1));
  const std::pair<Attr, PyObject*> values[] = {
      {Attr::vertices, vertices},          {Attr::codes, codes},
      {Attr::interpolation_steps, one.get()}, {Attr::simplify_threshold, threshold_.get()},
      {Attr::should_simplify, simplify},   {Attr::readonly, Py_False},
  };
  for (const auto& [name, value] : values) {
    if (PyObject_GenericSetAttr(path.get(), attr_name(name), value) < 0) py::throw_fetched();
  }
  return path;
}

}  // namespace korvex::mpl
