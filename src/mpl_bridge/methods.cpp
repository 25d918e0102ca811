#include "mpl_bridge/methods.hpp"

#include <array>
#include <cstring>
#include <string>

#include "py_common/errors.hpp"

namespace korvex::mpl {
namespace {

constexpr std::size_t kCount = static_cast<std::size_t>(Method::count);

constexpr std::array<const char*, kCount> kKeys = {
    "Axes3D.get_proj",
    "Path3DCollection.do_3d_projection",
    "Patch3DCollection.do_3d_projection",
    "Line3DCollection.do_3d_projection",
    "Collection3D.do_3d_projection",
    "Patch3D.do_3d_projection",
    "PathPatch3D.do_3d_projection",
};

// The method definitions behind the descriptors; they live as long as the process (descriptors point at them).
PyMethodDef definitions[kCount] = {
    {"get_proj", get_proj, METH_NOARGS, "Axes3D.get_proj with Matplotlib's semantics."},
    {"do_3d_projection", path_collection_projection, METH_NOARGS,
     "Path3DCollection.do_3d_projection with Matplotlib's semantics."},
    {"do_3d_projection", patch_collection_projection, METH_NOARGS,
     "Patch3DCollection.do_3d_projection with Matplotlib's semantics."},
    {"do_3d_projection", line_collection_projection, METH_NOARGS,
     "Line3DCollection.do_3d_projection with Matplotlib's semantics."},
    {"do_3d_projection", collection_projection, METH_NOARGS,
     "Collection3D.do_3d_projection with Matplotlib's semantics."},
    {"do_3d_projection", patch_projection, METH_NOARGS, "Patch3D.do_3d_projection with Matplotlib's semantics."},
    {"do_3d_projection", path_patch_projection, METH_NOARGS,
     "PathPatch3D.do_3d_projection with Matplotlib's semantics."},
};

// Strong references, kept until replaced; under the interpreter lock.
std::array<PyObject*, kCount> kept{};
std::array<unsigned long long, kCount> handed_back{};

}  // namespace

PyObject* keep_method_originals(PyObject*, PyObject* mapping) {
  return py::guard([&] {
    if (!PyDict_Check(mapping)) throw py::PyError{PyExc_TypeError, "keep_method_originals() takes a dict"};
    std::array<PyObject*, kCount> found{};
    for (std::size_t i = 0; i < kCount; ++i) {
      found[i] = PyDict_GetItemString(mapping, kKeys[i]);  // borrowed
      if (found[i] == nullptr) {
        if (PyErr_Occurred() != nullptr) py::throw_fetched();
        PyErr_SetString(PyExc_KeyError, kKeys[i]);
        throw py::PyErrorSet{};
      }
    }
    for (std::size_t i = 0; i < kCount; ++i) {
      Py_INCREF(found[i]);
      Py_XSETREF(kept[i], found[i]);
    }
    Py_RETURN_NONE;
  });
}

PyObject* method(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return py::guard([&] {
    if (nargs != 2 || !PyUnicode_Check(args[0]) || !PyType_Check(args[1])) {
      throw py::PyError{PyExc_TypeError, "method() takes a key and a class"};
    }
    const char* key = PyUnicode_AsUTF8(args[0]);
    if (key == nullptr) py::throw_fetched();
    for (std::size_t i = 0; i < kCount; ++i) {
      if (std::strcmp(key, kKeys[i]) == 0) {
        return py::check(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(args[1]), &definitions[i])).release();
      }
    }
    PyErr_SetString(PyExc_KeyError, key);
    throw py::PyErrorSet{};
  });
}

py::PyRef call_original_method(Method which, PyObject* self) {
  const auto i = static_cast<std::size_t>(which);
  ++handed_back[i];
  if (kept[i] == nullptr) {
    throw py::PyError{PyExc_RuntimeError,
                      std::string("Matplotlib's own ") + kKeys[i] + " is not known: install() gives it"};
  }
  return py::check(PyObject_CallOneArg(kept[i], self));
}

void add_method_fallback_counts(PyObject* counts) {
  for (std::size_t i = 0; i < kCount; ++i) {
    py::PyRef value = py::check(PyLong_FromUnsignedLongLong(handed_back[i]));
    if (PyDict_SetItemString(counts, kKeys[i], value.get()) < 0) py::throw_fetched();
  }
}

}  // namespace korvex::mpl
