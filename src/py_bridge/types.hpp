// The two classes of the module. Each class object is created once per process, on its first request, and kept
// until the process ends.
#pragma once

#include <Python.h>

#include "py_common/cfunction.hpp"

namespace korvex::py {

// Creates a heap class of the given qualified name and instance size with Py_TPFLAGS_DEFAULT only (so it cannot be
// subclassed and is not tracked by the cyclic collector), based on object. `doc` must outlive the process. New
// reference, or null with the interpreter's error set.
PyObject* make_class(const char* name, int basicsize, char* doc, destructor dealloc, PyMethodDef* methods,
                     newfunc construct);

// Borrowed references. On the first call the class is created; a failure there leaves the interpreter's error
// pending and returns null.
PyObject* projection_type();
PyObject* collection_type();

// As above for code that needs the class after import: a failure prints the error and raises the internal fault
// "failed to create type object for <name>".
PyObject* require_collection_type();

}  // namespace korvex::py
