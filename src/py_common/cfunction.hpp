// Storing a function of any calling convention in a PyMethodDef.
#pragma once

#include <Python.h>

namespace korvex::py {

// A method of any calling convention as the PyCFunction a PyMethodDef stores.
template <auto Function>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

}  // namespace korvex::py
