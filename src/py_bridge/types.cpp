#include "py_bridge/types.hpp"

namespace korvex::py {

PyObject* make_class(const char* name, int basicsize, char* doc, destructor dealloc, PyMethodDef* methods,
                     newfunc construct) {
  PyType_Slot slots[] = {
      {Py_tp_doc, doc},
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {Py_tp_methods, methods},
      {Py_tp_new, reinterpret_cast<void*>(construct)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {name, basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
  return PyType_FromSpec(&type_spec);
}

}  // namespace korvex::py
