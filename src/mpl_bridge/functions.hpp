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

// Poly3DCollection (poly_collection.cpp): keep_art3d_originals(dict) takes Matplotlib's do_3d_projection,
// _generate_normals, _shade_colors and the three z-sort functions; poly3d_method(cls) makes the native
// do_3d_projection a method of `cls`; the two art3d functions keep their Matplotlib signatures.
PyObject* keep_art3d_originals(PyObject* module, PyObject* mapping);
PyObject* poly3d_method(PyObject* module, PyObject* cls);
// poly3d_scene_projection(collection) draws a Poly3DCollection's projection as its do_3d_projection does and
// returns (value, xyz, depths, position): the method's value, and for closed faces without codes or masked vertices
// every face's projected vertices and depth in face order and its position among the artist's new paths (else
// three Nones).
PyObject* poly3d_scene_projection(PyObject* module, PyObject* collection);
PyObject* art3d_generate_normals(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* art3d_shade_colors(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The exact occlusion mode (visibility.cpp): visibility_order(polygons, offsets, depths, segments, markers,
// marker_radius, cap_factor) orders a projected scene into fragments back to front; fragment_runs(fragments,
// groups, group_kinds, chains, paths, path_index, margins, style) cuts them into runs of one drawing group and
// builds what each run draws, a collection run's colours and widths (from style: face, edge, widths,
// antialiased per item, hatched and strokes per group, the seam pad's width) included.
PyObject* visibility_order(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* fragment_runs(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Adds the calls of those three handed to Matplotlib so far to `counts` (a dict), by their names in art3d.
void add_art3d_fallback_counts(PyObject* counts);

}  // namespace korvex::mpl
