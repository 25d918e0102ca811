// Matplotlib Path objects made natively, as Path(vertices, codes) makes them, for the 2D outlines that art3d's
// collections hand to Matplotlib at every draw. Everything here needs the interpreter lock.
#pragma once

#include <Python.h>

#include "py_common/py_ref.hpp"

namespace korvex::mpl {

// Path(vertices, codes) for vertices that are already an (n, 2) float64 array without a mask (Path keeps it as
// it is) and codes that are None or a uint8 array of n codes starting with MOVETO (which Path keeps as well).
// The instance holds what Path.__init__ sets, in its order: _vertices, _codes, _interpolation_steps (1),
// _simplify_threshold and _should_simplify (from rcParams, read once per PathMaker), _readonly (False).
class PathMaker {
 public:
  PathMaker();  // throws if Matplotlib's rcParams cannot be read
  PathMaker(const PathMaker&) = delete;
  PathMaker& operator=(const PathMaker&) = delete;

  // `all_lineto` says whether every code is at most LINETO (ignored for codes == Py_None). New reference.
  py::PyRef make(PyObject* vertices, Py_ssize_t n, PyObject* codes, bool all_lineto) const;

 private:
  py::PyRef threshold_;  // rcParams['path.simplify_threshold']
  py::PyRef prefix_;     // `threshold > 0 and rcParams['path.simplify']` when falsy, else empty
};

// Pauses the cyclic garbage collector while it lives, when it was running (the objects made meanwhile are acyclic;
// a collection every few hundred of them would walk everything alive each time).
class CollectorPause {
 public:
  CollectorPause() noexcept : was_enabled_(PyGC_Disable()) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  int was_enabled_;
};

// Runs `body` with the cyclic garbage collector paused.
template <class Body>
auto without_collection(Body&& body) {
  const CollectorPause pause;
  return body();
}

}  // namespace korvex::mpl
