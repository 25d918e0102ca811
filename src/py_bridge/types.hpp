// The two classes of the module. Each class object is created once per process, on its first request, and kept
// until the process ends.
#pragma once

#include <Python.h>

namespace korvex::py {

// Borrowed references. On the first call the class is created; a failure there leaves the interpreter's error
// pending and returns null.
PyObject* projection_type();
PyObject* collection_type();

// As above for code that needs the class after import: a failure prints the error and raises the internal fault
// "failed to create type object for <name>".
PyObject* require_collection_type();

}  // namespace korvex::py
