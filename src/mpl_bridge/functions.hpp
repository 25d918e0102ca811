// The functions of korvex_mpl._native, each in Matplotlib's vectorcall form (module, args, nargs, kwnames).
// Every one returns a new reference, or null with the exception set; every one needs the interpreter lock.
#pragma once

#include <Python.h>

namespace korvex::mpl {

PyObject* world_transformation(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* persp_transformation(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ortho_transformation(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* proj_transform(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* proj_transform_vec(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* proj_transform_vec_clip(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* inv_transform(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* scale_proj_transform_vectors(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

}  // namespace korvex::mpl
