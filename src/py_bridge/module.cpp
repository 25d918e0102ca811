// The module's single exported symbol, PyInit_korvex, and the module body.
#include <Python.h>

#include <atomic>

#include "py_bridge/convert.hpp"
#include "py_common/errors.hpp"
#include "py_bridge/types.hpp"

#ifndef KORVEX_VERSION
#error "KORVEX_VERSION (from pyproject.toml) must be defined by the build"
#endif

namespace korvex::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "korvex",
    "Matplotlib's 3D plotting functionality (view matrices, point projection, polygon depth sorting and shading) "
    "in native code.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module can be initialised once per process; set by the first initialisation and never reset.
std::atomic<bool> initialised{false};

// The module's __all__ list (new reference), created empty when the module has none.
PyRef all_list(PyObject* module) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
    PyErr_Clear();
    PyRef list = check(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", list.get()) < 0) throw_fetched();
    return list;
  }
  PyRef owned = PyRef::steal(all);
  if (!PyList_Check(all)) throw_conversion_error(all, "PyList");
  return owned;
}

void publish(PyObject* module, const char* name, PyObject* value) {
  PyRef all = all_list(module);
  PyRef text = check(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    throw InternalFault("could not append __name__ to __all__");
  }
  if (PyObject_SetAttrString(module, name, value) < 0) throw_fetched();
}

void add_class(PyObject* module, const char* name, PyObject* (*get_type)()) {
  PyObject* type = get_type();
  if (type == nullptr) {
    PyObject* cause_type = nullptr;
    PyObject* cause = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&cause_type, &cause, &traceback);
    PyErr_NormalizeException(&cause_type, &cause, &traceback);
    if (traceback != nullptr && cause != nullptr) PyException_SetTraceback(cause, traceback);
    Py_XDECREF(cause_type);
    Py_XDECREF(traceback);
    PyRef owned_cause = PyRef::steal(cause);
    PyRef message = check(PyUnicode_FromFormat("An error occurred while initializing class %s", name));
    PyRef error = check(PyObject_CallOneArg(PyExc_RuntimeError, message.get()));
    PyException_SetCause(error.get(), owned_cause.release());
    PyErr_SetObject(PyExc_RuntimeError, error.get());
    throw PyErrorSet{};
  }
  publish(module, name, type);
}

PyObject* init_module() {
  PyObject* raw = PyModule_Create2(&module_def, 1013);
  if (raw == nullptr) throw_fetched();
  PyRef module = PyRef::steal(raw);
  if (initialised.exchange(true)) {
    throw PyError{PyExc_ImportError,
                  "korvex may only be initialized once per interpreter process"};
  }
  {
    PyRef version = check(PyUnicode_FromString(KORVEX_VERSION));
    publish(module.get(), "__version__", version.get());
  }
  add_class(module.get(), "PyProjection", projection_type);
  add_class(module.get(), "PyPoly3DCollection", collection_type);
  return module.release();
}

}  // namespace
}  // namespace korvex::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_korvex() {
  return korvex::py::guard([] { return korvex::py::init_module(); });
}
