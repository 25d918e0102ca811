#include "mpl_bridge/fallback.hpp"

#include <array>
#include <string>

#include "mpl_bridge/functions.hpp"
#include "mpl_bridge/methods.hpp"
#include "py_common/errors.hpp"

namespace korvex::mpl {
namespace {

constexpr std::array<const char*, static_cast<std::size_t>(Original::count)> kNames = {
    "world_transformation", "_persp_transformation",    "_ortho_transformation", "proj_transform",
    "_proj_transform_vec",  "_proj_transform_vec_clip", "inv_transform",         "_scale_proj_transform_vectors",
};

// Strong references, written and read under the interpreter lock; kept until replaced.
std::array<PyObject*, static_cast<std::size_t>(Original::count)> kept{};
// Calls handed back, per function; under the interpreter lock.
std::array<unsigned long long, static_cast<std::size_t>(Original::count)> handed_back{};

// proj3d's current attribute, if it is not a builtin function of this module. New reference.
py::PyRef look_up(Original which) {
  py::PyRef proj3d = py::check(PyImport_ImportModule("mpl_toolkits.mplot3d.proj3d"));
  py::PyRef function = py::check(PyObject_GetAttrString(proj3d.get(), original_name(which)));
  if (PyCFunction_Check(function.get())) {
    PyObject* owner = PyCFunction_GET_SELF(function.get());
    if (owner != nullptr && PyModule_Check(owner) &&
        std::string(PyModule_GetName(owner) ? PyModule_GetName(owner) : "") == "korvex_mpl._native") {
      throw py::PyError{PyExc_RuntimeError, std::string("Matplotlib's own proj3d.") + original_name(which) +
                                                " is not known: install() gives it"};
    }
  }
  return function;
}

}  // namespace

const char* original_name(Original which) noexcept { return kNames[static_cast<std::size_t>(which)]; }

PyObject* keep_originals(PyObject*, PyObject* mapping) {
  return py::guard([&] {
    if (!PyDict_Check(mapping)) throw py::PyError{PyExc_TypeError, "keep_originals() takes a dict"};
    std::array<PyObject*, kNames.size()> found{};
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      found[i] = PyDict_GetItemString(mapping, kNames[i]);  // borrowed
      if (found[i] == nullptr) {
        if (PyErr_Occurred() != nullptr) py::throw_fetched();
        PyErr_SetString(PyExc_KeyError, kNames[i]);
        throw py::PyErrorSet{};
      }
    }
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      Py_INCREF(found[i]);
      Py_XSETREF(kept[i], found[i]);
    }
    Py_RETURN_NONE;
  });
}

PyObject* fallback_counts(PyObject*, PyObject*) {
  return py::guard([&] {
    py::PyRef counts = py::check(PyDict_New());
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      py::PyRef value = py::check(PyLong_FromUnsignedLongLong(handed_back[i]));
      if (PyDict_SetItemString(counts.get(), kNames[i], value.get()) < 0) py::throw_fetched();
    }
    add_art3d_fallback_counts(counts.get());
    add_method_fallback_counts(counts.get());
    return counts.release();
  });
}

py::PyRef call_original(Original which, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ++handed_back[static_cast<std::size_t>(which)];
  PyObject* function = kept[static_cast<std::size_t>(which)];
  py::PyRef looked_up;
  if (function == nullptr) {
    looked_up = look_up(which);
    function = looked_up.get();
  }
  return py::check(PyObject_Vectorcall(function, args, static_cast<std::size_t>(nargs), kwnames));
}

}  // namespace korvex::mpl
