// Matplotlib's own implementations, for the calls the native functions hand back.
//
// install() gives the module Matplotlib's functions before it replaces them (keep_originals); a native function
// that meets a case it does not reproduce calls the original with its very arguments, so the caller sees exactly
// Matplotlib's result, warnings and errors. Everything here needs the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>

#include "py_common/py_ref.hpp"

namespace korvex::mpl {

// The replaced functions of mpl_toolkits.mplot3d.proj3d, by their names there.
enum class Original : std::size_t {
  world_transformation,
  persp_transformation,
  ortho_transformation,
  proj_transform,
  proj_transform_vec,
  proj_transform_vec_clip,
  inv_transform,
  scale_proj_transform_vectors,
  count,
};

// The attribute name in proj3d of each entry.
const char* original_name(Original which) noexcept;

// keep_originals(mapping): takes the function of every name above from `mapping` (a dict). Raises KeyError for a
// missing name and leaves the kept set as it was.
PyObject* keep_originals(PyObject* module, PyObject* mapping);

// Calls Matplotlib's function with a vectorcall's arguments. New reference; throws on failure. Without a kept
// original the function is looked up in proj3d, unless proj3d already holds this module's replacement
// (RuntimeError then).
py::PyRef call_original(Original which, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// fallback_counts(): {name: calls handed to Matplotlib's function} since the process started, for tests and for
// finding out which calls of a program stay in Python.
PyObject* fallback_counts(PyObject* module, PyObject* unused);

}  // namespace korvex::mpl
