// Matplotlib methods replaced by native methods of korvex_mpl._native, and the originals they hand calls back to.
//
// install() gives the module Matplotlib's methods (keep_method_originals) and then puts a method descriptor made
// by method() on each class, so `artist.do_3d_projection()` calls native code with no Python frame between. A
// native method that meets a case it does not reproduce calls Matplotlib's method on the same object, which then
// does everything (nothing was changed before). Everything here needs the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>

#include "py_common/py_ref.hpp"

namespace korvex::mpl {

// The replaced methods, by their keys in keep_method_originals() and fallback_counts().
enum class Method : std::size_t {
  get_proj,                 // Axes3D.get_proj
  path_collection,          // Path3DCollection.do_3d_projection
  patch_collection,         // Patch3DCollection.do_3d_projection
  line_collection,          // Line3DCollection.do_3d_projection
  collection,               // Collection3D.do_3d_projection
  patch,                    // Patch3D.do_3d_projection
  path_patch,               // PathPatch3D.do_3d_projection
  count,
};

// keep_method_originals(mapping): Matplotlib's function for every key ("Axes3D.get_proj", ...). Raises KeyError
// for a missing key and leaves the kept set as it was.
PyObject* keep_method_originals(PyObject* module, PyObject* mapping);

// method(key, cls): the native method of that key as a method descriptor of `cls`. New reference.
PyObject* method(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// Matplotlib's method called on `self`, counted. New reference; throws on failure (RuntimeError without a kept
// original).
py::PyRef call_original_method(Method which, PyObject* self);

// Adds {key: calls handed back} of every method to `counts` (a dict).
void add_method_fallback_counts(PyObject* counts);

// The native methods (METH_NOARGS), each in its own file. A null result from the *_native parts means "hand back":
// no error pending, nothing changed.
PyObject* get_proj(PyObject* self, PyObject* unused);
PyObject* path_collection_projection(PyObject* self, PyObject* unused);
PyObject* patch_collection_projection(PyObject* self, PyObject* unused);
PyObject* line_collection_projection(PyObject* self, PyObject* unused);
PyObject* collection_projection(PyObject* self, PyObject* unused);
PyObject* patch_projection(PyObject* self, PyObject* unused);
PyObject* path_patch_projection(PyObject* self, PyObject* unused);

}  // namespace korvex::mpl
